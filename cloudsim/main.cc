// cloudsim: the cloud side of the agent for tests and demos.
//
//   cloudsim [serve] --workdir DIR [--root ROOT] [--nats tls|plain | --nats-url URL [--tls]]
//            [--ca FILE] [--pki DIR] [--profile FILE.json] [--mac MAC] [--control-port N]
//            [--https-port N] [--http-port N] [--listen-address IPV4] [--monitor-all]
//   cloudsim encode --type T     JSON form on stdin -> message bytes on stdout
//   cloudsim decode --type T     message bytes on stdin -> JSON form on stdout
//   cloudsim types               the wire message types
#include <event2/event.h>
#include <event2/thread.h>
#include <nats/nats.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/cloud.h"
#include "lib/control.h"
#include "lib/event_loop.h"
#include "lib/nats_server.h"
#include "lib/pbjson.h"
#include "lib/process.h"
#include "lib/profile.h"
#include "lib/records.h"
#include "lib/web_server.h"
#include "proto/registry.h"
#include "services/services.h"
#include "utils/event_handles.h"
#include "utils/files.h"

namespace {

using namespace cloudsim;

struct Args {
  std::string mode = "serve";
  std::map<std::string, std::string> values;
  bool Has(const std::string& k) const { return values.count(k) > 0; }
  std::string Get(const std::string& k, const std::string& fallback = "") const {
    auto it = values.find(k);
    return it == values.end() ? fallback : it->second;
  }
};

bool ParseArgs(int argc, char** argv, Args* args) {
  int i = 1;
  if (i < argc && argv[i][0] != '-') args->mode = argv[i++];
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0) return false;
    a = a.substr(2);
    bool flag = a == "monitor-all" || a == "tls";
    if (flag) {
      args->values[a] = "1";
    } else if (i + 1 < argc) {
      args->values[a] = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

int Usage() {
  fprintf(stderr,
          "usage: cloudsim [serve] --workdir DIR [--root ROOT] [--nats tls|plain | --nats-url URL "
          "[--tls]] [--ca FILE] [--pki DIR] [--profile FILE] [--mac MAC] [--control-port N] "
          "[--https-port N] [--http-port N] [--listen-address IPV4] [--monitor-all]\n"
          "       cloudsim encode|decode --type TYPE\n"
          "       cloudsim types\n");
  return 2;
}

std::string ReadStdin() {
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

int Codec(const Args& args) {
  const ProtobufCMessageDescriptor* type = zc::pb::FindWireType(args.Get("type"));
  if (!type) {
    fprintf(stderr, "cloudsim: unknown type '%s'\n", args.Get("type").c_str());
    return 2;
  }
  std::string input = ReadStdin(), error;
  if (args.mode == "encode") {
    JsonPtr json = ParseJson(input, &error);
    std::string bytes;
    if (!json || !EncodeFromJson(*type, json.get(), &bytes, &error)) {
      fprintf(stderr, "cloudsim: %s\n", error.c_str());
      return 1;
    }
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    return 0;
  }
  JsonPtr json = DecodeToJson(*type, input, &error);
  if (!json) {
    fprintf(stderr, "cloudsim: %s\n", error.c_str());
    return 1;
  }
  printf("%s\n", JsonText(json.get()).c_str());
  return 0;
}

EventLoop* gLoop = nullptr;
void OnSignal(evutil_socket_t, short, void*) {
  if (gLoop) gLoop->Stop();
}

bool AddServices(Cloud& cloud, const json_object* profile, std::string* error) {
  json_object_object_foreach(Member(profile, "services"), name, config) {
    std::string kind = StringMember(config, "kind").value_or("responder");
    std::unique_ptr<Service> service = MakeService(kind, name);
    if (!service) {
      *error = std::string(name) + ": unknown kind " + kind;
      return false;
    }
    if (!service->Configure(config, error) || !cloud.AddService(std::move(service), error)) {
      return false;
    }
  }
  json_object* sinks = Member(profile, "sinks");
  for (size_t i = 0; sinks && i < json_object_array_length(sinks); ++i) {
    json_object* sink = json_object_array_get_idx(sinks, i);
    JsonPtr config(json_object_new_object());
    json_object_object_add(config.get(), "subject", json_object_get(Member(sink, "subject")));
    json_object_object_add(config.get(), "request_type", json_object_get(Member(sink, "type")));
    if (json_object* h = Member(sink, "headers")) {
      json_object_object_add(config.get(), "headers", json_object_get(h));
    }
    std::unique_ptr<Service> service =
        MakeService("sink", "sink:" + StringMember(sink, "subject").value_or(""));
    if (!service->Configure(config.get(), error) || !cloud.AddService(std::move(service), error)) {
      return false;
    }
  }
  return true;
}

// The router trusts this CA too (appended when the file holds another CA already).
bool InstallCa(const std::string& root, const std::string& caFile, std::string* error) {
  auto ca = zc::ReadFile(caFile);
  const std::string target = root + "/tmp/cacert.pem";
  zc::MakeParentDirs(target);
  std::string have = zc::ReadFile(target).value_or("");
  if (ca && have.find(*ca) != std::string::npos) return true;
  if (!ca || zc::WriteFileAtomic(target, have + *ca) != 0) {
    *error = "cannot install the CA under " + root;
    return false;
  }
  return true;
}

int Serve(const Args& args) {
  if (!args.Has("workdir")) return Usage();
  const std::string dir = args.Get("workdir");
  mkdir(dir.c_str(), 0755);
  const std::string root = args.Get("root");
  signal(SIGPIPE, SIG_IGN);
  evthread_use_pthreads();
  if (nats_Open(-1) != NATS_OK) {
    fprintf(stderr, "cloudsim: nats_Open failed\n");
    return 1;
  }
  std::string error;

  // The test PKI: a given one (ca.pem, server.pem, server.key) or a fresh one. It serves HTTPS,
  // and the NATS server when the simulator runs its own.
  const std::string pki = args.Get("pki", dir + "/pki");
  if (!args.Has("pki") && !MakeTestPki(pki, &error)) {
    fprintf(stderr, "cloudsim: %s\n", error.c_str());
    return 1;
  }

  // The NATS server: one given by URL, or our own (TLS by default).
  std::unique_ptr<NatsServerProcess> server;
  Cloud::Options natsOptions;
  natsOptions.caFile = args.Get("ca");
  if (args.Has("nats-url")) {
    natsOptions.url = args.Get("nats-url");
    natsOptions.tls = args.Has("tls") || natsOptions.url.rfind("tls://", 0) == 0;
  } else {
    NatsServerProcess::Options o;
    o.dir = dir;
    o.tls = args.Get("nats", "tls") != "plain";
    o.monitorPort = 0;  // the console's connection log reads the server's connection list
    if (o.tls) {
      o.certFile = pki + "/server.pem";
      o.keyFile = pki + "/server.key";
      if (natsOptions.caFile.empty()) natsOptions.caFile = pki + "/ca.pem";
    }
    server = std::make_unique<NatsServerProcess>(o);
    if (!server->Start(&error)) {
      fprintf(stderr, "cloudsim: %s\n", error.c_str());
      return 1;
    }
    natsOptions.url = server->url();
    natsOptions.tls = o.tls;
  }

  int status = 0;
  {
    EventLoop loop;
    gLoop = &loop;
    RecordStore records(dir + "/records.jsonl");
    WebServer web(loop, records);
    WebServer::Options webOptions;
    webOptions.httpsPort = atoi(args.Get("https-port", "0").c_str());
    webOptions.httpPort = atoi(args.Get("http-port", "0").c_str());
    webOptions.certFile = pki + "/server.pem";
    webOptions.keyFile = pki + "/server.key";
    webOptions.workDir = dir;
    webOptions.address = args.Get("listen-address", webOptions.address);
    if (!web.Start(webOptions, &error)) {
      fprintf(stderr, "cloudsim: %s\n", error.c_str());
      return 1;
    }

    ProfileVars vars;
    vars.mac = args.Get("mac", vars.mac);
    size_t colon = natsOptions.url.rfind(':');
    vars.natsPort = colon == std::string::npos ? 0 : atoi(natsOptions.url.c_str() + colon + 1);
    vars.httpsPort = web.httpsPort();
    vars.httpPort = web.httpPort();
    JsonPtr profile = LoadProfile(args.Get("profile"), vars, &error);
    if (!profile) {
      fprintf(stderr, "cloudsim: profile: %s\n", error.c_str());
      return 1;
    }
    for (auto& service : MakeHttpServices(web)) {
      if (!service->Configure(profile.get(), &error)) {
        fprintf(stderr, "cloudsim: %s\n", error.c_str());
        return 1;
      }
      web.AddService(std::move(service));
    }

    if (!root.empty()) {
      // The router trusts the test CA, bootstraps here and finds our server as its default
      // bootstrap messaging server.
      if (!InstallCa(root, pki + "/ca.pem", &error)) {
        fprintf(stderr, "cloudsim: %s\n", error.c_str());
        return 1;
      }
      zc::MakeParentDirs(root + "/tmp/zun_url");
      zc::WriteFileAtomic(root + "/tmp/zun_url",
                          "https://127.0.0.1:" + std::to_string(web.httpsPort()) + "\n");
      if (server) zc::WriteFileAtomic(root + "/tmp/bstrapnats", server->url() + "\n");
    }

    Cloud cloud(records, loop);
    if (!cloud.Connect(natsOptions, &error) || !AddServices(cloud, profile.get(), &error) ||
        (args.Has("monitor-all") && !cloud.MonitorAll(&error))) {
      fprintf(stderr, "cloudsim: %s\n", error.c_str());
      status = 1;
    } else {
      ControlServer control(loop, cloud, records, profile.get(), server.get());
      control.SetWebServer(&web);
      if (!control.Start(atoi(args.Get("control-port", "0").c_str()), &error)) {
        fprintf(stderr, "cloudsim: %s\n", error.c_str());
        status = 1;
      } else {
        // A convenience for the host shell; the loopback port stays the tests' way in.
        std::string unixError;
        if (!control.StartUnix(dir + "/control.sock", &unixError)) {
          fprintf(stderr, "cloudsim: %s (continuing)\n", unixError.c_str());
        }
        char ports[160];
        snprintf(ports, sizeof ports, "{\"https\":%d,\"http\":%d,\"nats\":%d,\"control\":%d}\n",
                 web.httpsPort(), web.httpPort(), vars.natsPort, control.port());
        zc::WriteFileAtomic(dir + "/ports.json", ports);
        zc::ev::EventPtr term(evsignal_new(loop.base(), SIGTERM, OnSignal, nullptr));
        zc::ev::EventPtr intr(evsignal_new(loop.base(), SIGINT, OnSignal, nullptr));
        event_add(term.get(), nullptr);
        event_add(intr.get(), nullptr);
        printf("READY\n");
        fflush(stdout);
        loop.Run();
      }
    }
    cloud.Close();
    gLoop = nullptr;
  }
  if (server) server->Stop();
  nats_CloseAndWait(2000);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, &args)) return Usage();
  if (args.mode == "encode" || args.mode == "decode") return Codec(args);
  if (args.mode == "types") {
    for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) printf("%s\n", d->short_name);
    return 0;
  }
  if (args.mode == "serve") return Serve(args);
  return Usage();
}
