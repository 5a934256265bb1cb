#include "e2e/e2e_lab.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <nats/nats.h>

#include "lib/process.h"
#include "support/nats_fixture.h"
#include "support/ports.h"
#include "support/wait.h"

namespace e2e {
namespace {

constexpr size_t kFailureTail = 12000;

std::string Quote(const std::string& text) {
  JsonPtr s(json_object_new_string_len(text.data(), static_cast<int>(text.size())));
  return cloudsim::JsonText(s.get());
}

std::string RunCapture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

zctest::AgentOptions AgentOptionsFor(const LabOptions& o) {
  zctest::AgentOptions a = zctest::AgentOptions::Scale(o.scale);
  a.env = o.env;
  return a;
}

}  // namespace

std::string Text(const json_object* record, const std::string& path) {
  json_object* v = cloudsim::PathGet(record, path);
  return v ? cloudsim::ScalarText(v) : "<absent>";
}

JsonPtr Distinct(const JsonPtr& records) {
  JsonPtr out(json_object_new_array());
  std::string last;
  for (size_t i = 0; i < Lab::Size(records); ++i) {
    json_object* r = json_object_array_get_idx(records.get(), i);
    std::string trace = Text(r, "headers.x-zun-client-trace-id");
    if (trace != "<absent>" && trace == last) continue;
    last = trace;
    json_object_array_add(out.get(), json_object_get(r));
  }
  return out;
}

size_t CountLines(const std::string& text, const std::string& needle) {
  std::istringstream in(text);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

Lab::Lab(LabOptions options) : options_(std::move(options)) {
  // The simulator scales its delays like the agent.
  setenv("ZUNCORE_TIME_SCALE", std::to_string(options_.scale).c_str(), 1);
  // The time service lives on the simulator's plain HTTP listener, whose port the agent needs.
  const int httpPort = zctest::FreePort();
  options_.env.emplace("ZUNCORE_TIME_URL", "http://127.0.0.1:" + std::to_string(httpPort) + "/now");
  agent_ = std::make_unique<zctest::AgentRun>(AgentOptionsFor(options_));
  zctest::CloudSimFixture::Options c;
  c.root = agent_->root();
  c.extraArgs = {"--http-port", std::to_string(httpPort)};
  if (!options_.profile.empty()) {
    c.profileFile = agent_->root() + "/sim/run/cloud-profile.json";
    agent_->Write("/sim/run/cloud-profile.json", options_.profile);
  }
  cloud_ = std::make_unique<zctest::CloudSimFixture>(c);
}

Lab::~Lab() {
  if (::testing::Test::HasFailure()) {
    // What the agent and the launcher said last, without the periodic noise.
    std::string out;
    std::istringstream in(agent_->Output());
    for (std::string line; std::getline(in, line);) {
      if (line.find("KVP_DUMP") == std::string::npos &&
          line.find("INIT_PROGRESS") == std::string::npos &&
          line.find("is_internet_online") == std::string::npos) {
        out += line + "\n";
      }
    }
    size_t from = out.size() > kFailureTail ? out.size() - kFailureTail : 0;
    fprintf(stderr, "--- agent output (last %zu bytes) ---\n%s\n--- launcher ---\n%s\n",
            out.size() - from, out.c_str() + from, agent_->Read("/sim/log/launcher.log").c_str());
  }
  StopLauncher();
  agent_->Signal(SIGKILL);
  cloud_.reset();
}

std::string Lab::natsUrl() const {
  return "nats://127.0.0.1:" + std::to_string(cloud_->natsPort());
}

std::string Lab::httpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(cloud_->httpsPort()) + path;
}

bool Lab::Put(const std::string& path, const std::string& json) {
  zctest::HttpResponse r = cloud_->Call("PUT", path, json);
  if (r.status < 200 || r.status >= 300) {
    fprintf(stderr, "PUT %s -> %d %s\n", path.c_str(), r.status, r.body.c_str());
    return false;
  }
  return true;
}

bool Lab::Post(const std::string& path, const std::string& json) {
  zctest::HttpResponse r = cloud_->Call("POST", path, json);
  return r.status >= 200 && r.status < 300;
}

JsonPtr Lab::Push(const std::string& to, const std::string& envelopeJson) {
  // The agent logs a subscription before its SUB has reached the server; on a busy machine a
  // push right after it can find nobody listening yet. Such a push is sent again for a while.
  const std::string noResponders = natsStatus_GetText(NATS_NO_RESPONDERS);
  const std::string body = "{\"to\": " + Quote(to) + ", \"envelope\": " + envelopeJson + "}";
  JsonPtr answer;
  for (int attempt = 0; attempt < 30; ++attempt) {
    answer = cloud_->CallJson("POST", "/v1/push", body);
    json_object* status = nullptr;
    if (!answer || !json_object_object_get_ex(answer.get(), "status", &status) ||
        noResponders != json_object_get_string(status)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return answer;
}

JsonPtr Lab::Records(const std::string& query) {
  return cloud_->Records(query);
}

size_t Lab::Count(const std::string& query) {
  return Size(Records(query));
}

JsonPtr Lab::WaitRecords(const std::string& query, size_t n, std::chrono::milliseconds timeout) {
  JsonPtr r;
  bool found = zctest::WaitFor(
      [&] {
        r = Records(query);
        return Size(r) >= n;
      },
      timeout, 20ms);
  return found ? std::move(r) : nullptr;
}

json_object* Lab::Decoded(const JsonPtr& records, size_t i) {
  if (!records || i >= Size(records)) return nullptr;
  return cloudsim::Member(json_object_array_get_idx(records.get(), i), "decoded");
}

size_t Lab::Size(const JsonPtr& records) {
  return records && json_object_is_type(records.get(), json_type_array)
             ? json_object_array_length(records.get())
             : 0;
}

void Lab::StartLauncher(bool softBoot) {
  agent_->Zunsim("knob launcher.restart_delay_ms 500");
  agent_->Zunsim(std::string("knob launcher.soft_boot ") + (softBoot ? "1" : "0"));
  agent_->Zunsim("knob launcher.max_starts 12");
  launcher_ =
      agent_->Spawn({zctest::ZunsimBinary(), "launcher"}, agent_->root() + "/sim/log/launcher.out");
}

void Lab::StopLauncher() {
  if (launcher_ <= 0) return;
  kill(launcher_, SIGTERM);
  for (int i = 0; i < 500; ++i) {
    if (waitpid(launcher_, nullptr, WNOHANG) == launcher_) {
      launcher_ = -1;
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
  kill(launcher_, SIGKILL);
  waitpid(launcher_, nullptr, 0);
  launcher_ = -1;
}

int Lab::LauncherStarts() const {
  return static_cast<int>(CountLines(agent_->Read("/sim/log/launcher.log"), " start "));
}

std::vector<std::string> Lab::ExitReasons() const {
  std::vector<std::string> out;
  std::istringstream in(agent_->Read("/tmp/zuncore_exit"));
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find("ExitStatus:");
    if (at != std::string::npos) out.push_back(line.substr(at + 11));
  }
  return out;
}

std::string Lab::LastExit() const {
  auto all = ExitReasons();
  return all.empty() ? "<none>" : all.back();
}

bool Lab::WaitExits(size_t n, std::chrono::milliseconds timeout) {
  return zctest::WaitFor([&] { return ExitReasons().size() >= n; }, timeout, 20ms);
}

size_t Lab::CountLog(const std::string& text) const {
  return CountLines(agent_->Output(), text);
}

bool Lab::Built(const std::string& initFunction) const {
  std::istringstream in(agent_->Output());
  for (std::string line; std::getline(in, line);) {
    if (line.find(initFunction + ": ") != std::string::npos &&
        line.find("not built in") != std::string::npos) {
      return false;
    }
  }
  return true;
}

Image Lab::MakeImage(const std::string& name, const std::string& version,
                     const std::string& extraArgs) {
  Image image;
  image.path = cloud_->workDir() + "/" + name;
  std::string out =
      RunCapture("ZUNCORE_ROOT=" + agent_->root() + " " + zctest::ZunsimBinary() + " mkimage " +
                 image.path + " --version " + version + " " + extraArgs);
  std::istringstream in(out);
  std::string sha224;
  in >> image.md5 >> sha224 >> image.sha256 >> image.size;
  return image;
}

bool Lab::ServeImage(const Image& image, const std::string& path, const std::string& extra) {
  return Put("/v1/http/routes", "[{\"path\": " + Quote(path) + ", \"listener\": \"https\", " +
                                    "\"file\": " + Quote(image.path) +
                                    (extra.empty() ? "" : ", " + extra) + "}]");
}

bool Lab::RequireUpdate(const Image& image, const std::string& path, const std::string& version) {
  return Put("/v1/fwvalidate",
             "{\"is_upto_date\": false, \"force_update\": true, \"transid\": \"fw-t1\", "
             "\"update\": {\"url\": " +
                 Quote(httpsUrl(path)) + ", \"checksum_type\": \"MD5\", \"checksum\": " +
                 Quote(image.md5) + ", \"version\": " + Quote(version) + "}}");
}

void ExpectIdle(Lab& lab, int reason, const std::string& location) {
  zctest::AgentRun& agent = lab.agent();
  ASSERT_TRUE(lab.WaitLog("Zuncore_idle Reason id:" + std::to_string(reason)))
      << "last exit: " << lab.LastExit();
  ASSERT_TRUE(lab.WaitLog(
      "nats bstrap CMD connection Success cname:025a00000001-nats_bstrap_cmd_connection"))
      << "last exit: " << lab.LastExit();
  EXPECT_TRUE(lab.WaitLog("ZUNCORE_INIT_IDLE_TIMER"));
  // The marker is written right after the connection line, before the intake subscribes.
  EXPECT_TRUE(lab.WaitLog("UpdateIdleTimer: ConfigInit Success"));
  EXPECT_TRUE(agent.Exists("/tmp/zuninitcomplete"));
  std::string kvp = agent.Read("/tmp/kvp_settings.txt");
  EXPECT_NE(kvp.find("device_mac_addr=025a00000001\n"), std::string::npos) << kvp;
  EXPECT_NE(kvp.find("logicalLocation=" + location + "\n"), std::string::npos) << kvp;
  EXPECT_NE(kvp.find("nats.publishSubject.configResponse=zuncore.idle.configResponse."
                     "025a00000001\n"),
            std::string::npos);
  EXPECT_NE(kvp.find("nats.subscribeSubject.debugFirmware.0=zuncore.idle.debugFirmware."
                     "025a00000001\n"),
            std::string::npos);
  if (!lab.Built("ConfigInit")) return;
  lab.Push("subject:" + location,
           R"({"_cmd": {"transid": "idle-1", "command": "ON_LED", "data": ""}})");
  EXPECT_TRUE(lab.WaitRecords("subject=zuncore.idle.configResponse.025a00000001&transid=idle-1"));
  // A firmware push in this state has nowhere to report: no report, and the agent stays idle.
  std::string since = std::to_string(lab.cloud().LastSeq());
  lab.Push("idle.firmware", R"({"_fw": {"transid": "idle-fw", "fwurl": "", "version": "9.9"}})");
  // Answered under the centralised id (transaction, a dot, the compact MAC of this state).
  EXPECT_TRUE(lab.WaitRecords("transid=idle-fw.025a00000001&type=CONFIGRESP"));
  EXPECT_TRUE(lab.WaitLog("staying idle on the running firmware"));
  EXPECT_EQ(lab.Count("subject=zt.fw.result&since=" + since), 0u);
  EXPECT_EQ(lab.Count("subject=zt.signon&since=" + since), 0u);
}

}  // namespace e2e
