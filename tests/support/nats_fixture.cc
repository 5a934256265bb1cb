#include "support/nats_fixture.h"

#include "support/agent_harness.h"

#include <arpa/inet.h>
#include <event2/thread.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>

#include "utils/files.h"

namespace zctest {
namespace {
void Nothing(evutil_socket_t, short, void*) {}

void RunClosure(evutil_socket_t, short, void* arg) {
  (*static_cast<std::function<void()>*>(arg))();
}
}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
}

TempDir::~TempDir() {
  // ZC_KEEP_TMP keeps server logs and records for a look after a failure.
  if (getenv("ZC_KEEP_TMP")) return;
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

namespace {

constexpr auto kPkiMaxAge = std::chrono::hours(24);  // certificates are made for 2 days

bool PkiUsable(const std::string& dir) {
  std::error_code ec;
  for (const char* f : {"/ca.pem", "/server.pem", "/server.key"}) {
    if (!std::filesystem::exists(dir + f, ec)) return false;
  }
  auto age = std::filesystem::file_time_type::clock::now() -
             std::filesystem::last_write_time(dir + "/ca.pem", ec);
  return !ec && age < kPkiMaxAge;
}

// One PKI for every test process of a build (RSA keys take a while under the sanitizers): kept
// in the build tree, made under a file lock by the first process that needs it.
std::string SharedPkiDir() {
  if (const char* env = getenv("ZC_TEST_PKI_DIR")) return env;
  if (const char* build = getenv("ZC_BUILD_DIR")) return std::string(build) + "/test-pki";
  return BuildDir() + "/test-pki";
}

}  // namespace

const TestPki& SharedTestPki() {
  static TestPki pki = [] {
    TestPki p;
    p.dir = SharedPkiDir();
    if (p.dir.empty()) {
      // Outside ctest: a PKI of this process, removed when it ends.
      static TempDir* own = new TempDir("zc-pki");
      p.dir = own->path();
      atexit([] { delete own; });
    }
    std::filesystem::create_directories(p.dir);
    int lock = open((p.dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock >= 0) flock(lock, LOCK_EX);
    if (!PkiUsable(p.dir)) {
      std::string error;
      if (!cloudsim::MakeTestPki(p.dir, &error))
        fprintf(stderr, "SharedTestPki: %s\n", error.c_str());
    }
    if (lock >= 0) close(lock);
    p.caFile = p.dir + "/ca.pem";
    p.certFile = p.dir + "/server.pem";
    p.keyFile = p.dir + "/server.key";
    return p;
  }();
  return pki;
}

NatsServerFixture::NatsServerFixture(Options options) : dir_("zc-nats") {
  cloudsim::NatsServerProcess::Options o;
  o.dir = dir_.path();
  o.tls = options.tls;
  o.monitorPort = options.monitor ? 0 : -1;
  if (options.tls) {
    o.certFile = SharedTestPki().certFile;
    o.keyFile = SharedTestPki().keyFile;
  }
  server_ = std::make_unique<cloudsim::NatsServerProcess>(o);
  server_->Start(&error_);
}

NatsServerFixture::~NatsServerFixture() {
  server_->Stop();
}

bool NatsServerFixture::InstallCa(const std::string& root) {
  auto ca = zc::ReadFile(SharedTestPki().caFile);
  const std::string target = root + "/tmp/cacert.pem";
  zc::MakeParentDirs(target);
  return ca && zc::WriteFileAtomic(target, *ca) == 0;
}

LoopThread::LoopThread() {
  evthread_use_pthreads();
  base_.reset(event_base_new());
  keepAlive_.reset(event_new(base_.get(), -1, EV_PERSIST, Nothing, nullptr));
  timeval day{86400, 0};
  event_add(keepAlive_.get(), &day);
  thread_ = std::thread([this] { event_base_loop(base_.get(), EVLOOP_NO_EXIT_ON_EMPTY); });
}

LoopThread::~LoopThread() {
  event_base_loopbreak(base_.get());
  thread_.join();
}

void LoopThread::Run(std::function<void()> fn) {
  std::promise<void> done;
  std::function<void()> work = [&] {
    fn();
    done.set_value();
  };
  timeval now{0, 0};
  event_base_once(base_.get(), -1, EV_TIMEOUT, RunClosure, &work, &now);
  done.get_future().wait();
}

HttpResponse HttpCall(int port, const std::string& method, const std::string& path,
                      const std::string& body) {
  HttpResponse out;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return out;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return out;
  }
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        "Connection: close\r\nContent-Type: application/json\r\n" +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string response;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) response.append(buf, n);
  close(fd);
  if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return out;
  out.status = atoi(response.c_str() + 9);
  size_t split = response.find("\r\n\r\n");
  if (split != std::string::npos) out.body = response.substr(split + 4);
  return out;
}

}  // namespace zctest
