// The speed test: latency, then download and upload phases of five plain-HTTP connections each,
// streamed as JSON events. Each phase ends at a steady-clock deadline that every thread checks
// itself (no process-wide timer or signal); totals are 64-bit atomics; every socket wait and
// every transfer is bounded, so a stalled server ends the test instead of wedging it.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "config/config_keys.h"
#include "platform/device_ops.h"
#include "utils/curl_handles.h"
#include "utils/files.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"
#include "utils/timeutil.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kSpeedLogFile = "/tmp/zuncorespeedlog";
constexpr int kConnections = 5;
constexpr std::chrono::seconds kPhaseLength{15};
constexpr std::chrono::seconds kPhasePause{2};
constexpr std::chrono::milliseconds kProgressTick{500};
constexpr std::chrono::seconds kSocketWait{3};
constexpr std::chrono::seconds kTransferTimeout{10};
constexpr size_t kUploadBlock = 8192;
constexpr size_t kUploadBlocks = 10240;
constexpr int64_t kReportedDuration = 15000;

std::atomic<bool> gSpeedRunning{false};

// What one test run shares between its threads.
struct Phase {
  const char* testType;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  Clock::time_point start;
  Clock::time_point deadline;
  sockaddr_storage address{};
  socklen_t addressLength = 0;
  std::string addressText;
  std::string server;
};

struct SpeedInputs {
  std::string transid, dll, deviceMac, subscriber, server;
};

SpeedInputs ReadInputs() {
  return {GetStringKVPOr(configkeys::kSpeedTransactionId, ""),
          GetStringKVPOr(configkeys::kLogicalLocation, ""),
          GetStringKVPOr(configkeys::kDeviceMac, ""), GetStringKVPOr(configkeys::kSubscriberId, ""),
          GetStringKVPOr(configkeys::kSpeedServer, "")};
}

bool PastDeadline(const Phase& phase) {
  return phase.stop.load() || Clock::now() >= phase.deadline;
}

// Milliseconds to wait for the socket: the socket wait, cut at the phase's deadline.
int WaitMs(const Phase& phase) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(phase.deadline - Clock::now());
  auto wait = zc::Scaled(kSocketWait);
  if (left < wait) wait = left;
  return wait.count() < 1 ? 1 : static_cast<int>(wait.count());
}

void SetSocketTimeouts(int fd) {
  timeval tv = zc::ScaledTimeval(kSocketWait);
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
    LogOut(LL_ERR, "%s: socket time-outs not set: %s", "RunSpeedTest", strerror(errno));
  }
}

// A TCP connection to address within the transfer time-out; -1 on failure.
int Connect(const sockaddr* address, socklen_t length) {
  int fd = socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    LogOut(LL_ERR, "Open socket error!");
    return -1;
  }
  if (connect(fd, address, length) != 0 && errno != EINPROGRESS) {
    LogOut(LL_ERR, "Socket connect error! :%s", strerror(errno));
    close(fd);
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int error = 0;
  socklen_t errorLength = sizeof error;
  if (poll(&p, 1, static_cast<int>(zc::Scaled(kTransferTimeout).count())) != 1 ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0) {
    LogOut(LL_ERR, "Socket connect error! :%s", strerror(error ? error : ETIMEDOUT));
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  SetSocketTimeouts(fd);
  return fd;
}

// Host and port of the server text ("host" or "host:port", port 80 by default).
void SplitServer(const std::string& server, std::string& host, std::string& port) {
  size_t colon = server.rfind(':');
  if (colon != std::string::npos && server.find(':') == colon) {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
  } else {
    host = server;
    port = "http";
  }
}

bool ResolveAndProbe(Phase& phase) {
  std::string host, port;
  SplitServer(phase.server, host, port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    LogOut(LL_ERR, "Resolve DNS Failed: Can't get ip address! (%s)", gai_strerror(rc));
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(list, freeaddrinfo);
  for (addrinfo* a = list; a; a = a->ai_next) {
    int fd = Connect(a->ai_addr, a->ai_addrlen);
    if (fd < 0) continue;
    close(fd);
    memcpy(&phase.address, a->ai_addr, a->ai_addrlen);
    phase.addressLength = a->ai_addrlen;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
    phase.addressText = text;
    LogOut(LL_INFO, "IP address: %s", text);
    return true;
  }
  return false;
}

size_t CollectBody(char* data, size_t size, size_t count, void* out) {
  std::string& body = *static_cast<std::string*>(out);
  if (body.size() < 4096) body.append(data, std::min(size * count, 4096 - body.size()));
  return size * count;
}

// Latency in milliseconds; false when the transfer failed.
bool MeasureLatency(const std::string& server, double& latencyMs) {
  zc::curl::EasyPtr curl(curl_easy_init());
  if (!curl) return false;
  std::string url = "http://" + server + "/ping";
  if (server.rfind("http://", 0) == 0 || server.rfind("https://", 0) == 0) url = server + "/ping";
  std::string body;
  long timeoutMs = static_cast<long>(zc::Scaled(kTransferTimeout).count());
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
  // The server the cloud names may redirect, but only to another web server and not forever.
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  auto start = Clock::now();
  CURLcode rc = curl_easy_perform(curl.get());
  auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
  if (rc != CURLE_OK) {
    LogOut(LL_ERR, "curl_easy_perform() failed: %s", curl_easy_strerror(rc));
    LogOut(LL_ERR, "Can't get your IP address information.");
    return false;
  }
  latencyMs = body.rfind("ok", 0) == 0 ? static_cast<double>(elapsed.count()) / 1000 : -1.0 / 1000;
  return true;
}

bool SendAll(int fd, const char* data, size_t length, Phase* phase) {
  while (length > 0) {
    ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (phase) phase->bytes += static_cast<uint64_t>(n);
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void DownloadConnection(Phase& phase, int index) {
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  LogOut(LL_DEBUG,
         "%s downloadThread[i].request_url:%s downloadThread[i].domain_name:%s IP address: %s",
         ("DownloadThread " + std::to_string(index)).c_str(), "down", phase.server.c_str(),
         phase.addressText.c_str());
  int fd = Connect(reinterpret_cast<sockaddr*>(&phase.address), phase.addressLength);
  if (fd < 0) return;
  std::string request = "GET /down HTTP/1.0\r\nHost: " + phase.server +
                        "\r\nUser-Agent: status\r\nAccept: */*\r\n\r\n";
  if (!SendAll(fd, request.data(), request.size(), nullptr)) {
    LogOut(LL_ERR, "Can't send data to server");
    close(fd);
    return;
  }
  std::vector<char> buffer(64 * 1024);
  while (!PastDeadline(phase)) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, WaitMs(phase));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      if (PastDeadline(phase)) break;
      LogOut(LL_ERR, "Can't receive data!");
      break;
    }
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      LogOut(LL_ERR, "Can't receive data!");
      break;
    }
    phase.bytes += static_cast<uint64_t>(n);
  }
  close(fd);
}

// One POST of the full body; true when the body went out completely and the server answered
// (the connection may then post again: a fast line sends more than one body in a phase).
bool UploadOnce(Phase& phase) {
  int fd = Connect(reinterpret_cast<sockaddr*>(&phase.address), phase.addressLength);
  if (fd < 0) return false;
  // A small send buffer: bytes counted as sent are bytes the server took, not bytes parked in
  // our kernel.
  int sendBuffer = 64 * 1024;
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  std::string header =
      "POST /up HTTP/1.0\r\nContent-type: application/x-www-form-urlencoded\r\nHost: " +
      phase.server + "\r\nContent-Length: " + std::to_string(kUploadBlock * kUploadBlocks) +
      "\r\n\r\n";
  if (!SendAll(fd, header.data(), header.size(), &phase)) {
    LogOut(LL_ERR, "Can't send header to server");
    close(fd);
    return false;
  }
  static const std::array<char, kUploadBlock> zeros{};
  size_t sent = 0;
  for (; sent < kUploadBlocks && !PastDeadline(phase); ++sent) {
    if (!SendAll(fd, zeros.data(), zeros.size(), &phase)) {
      LogOut(LL_ERR, "Can't send data to server");
      break;
    }
  }
  bool answered = false;
  if (sent == kUploadBlocks) {
    char reply[512];
    while (true) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(zc::Scaled(kSocketWait).count())) != 1) {
        LogOut(LL_ERR, "Can't receive data!");
        break;
      }
      ssize_t n = recv(fd, reply, sizeof reply, 0);
      if (n < 0) LogOut(LL_ERR, "Can't receive data!");
      if (n <= 0) {
        answered = n == 0;
        break;
      }
    }
  }
  close(fd);
  return answered;
}

void UploadConnection(Phase& phase, int index) {
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  LogOut(LL_DEBUG,
         "%s uploadThread[i].request_url:%s uploadThread[i].domain_name:%s IP address: %s",
         ("UploadThread " + std::to_string(index)).c_str(), "up", phase.server.c_str(),
         phase.addressText.c_str());
  while (UploadOnce(phase) && !PastDeadline(phase)) {
  }
}

void PublishPhaseEvent(const char* event, const Phase& phase, double value, double speed,
                       int64_t startTime = 0) {
  SpeedEventFields f;
  f.event = event;
  f.testType = phase.testType;
  f.value = static_cast<int64_t>(value);
  f.speed = static_cast<int64_t>(speed);
  f.startTime = startTime;
  f.server = phase.server;
  SpeedJsonNotification(f);
}

// Runs one phase: progress on this thread, five connections, all ended by the deadline.
void RunPhase(Phase& phase, void (*connection)(Phase&, int)) {
  if (RouterDeviceOps.FreeUpRAM && RouterDeviceOps.FreeUpRAM() != 0) {
    LogOut(LL_WARN, "%s: FreeUpRAM failed", "RunSpeedTest");
  }
  PublishPhaseEvent("start", phase, 0, 0);
  phase.start = Clock::now();
  phase.deadline = phase.start + zc::Scaled(kPhaseLength);
  std::vector<std::thread> threads;
  for (int i = 0; i < kConnections; ++i) {
    try {
      threads.emplace_back(connection, std::ref(phase), i);
    } catch (const std::system_error&) {
      LogOut(LL_ERR, "%s: connection thread %d not started", "RunSpeedTest", i);
    }
  }
  auto elapsedSeconds = [&] {
    return std::chrono::duration<double>(Clock::now() - phase.start).count();
  };
  for (int64_t tick = 0; !PastDeadline(phase); ++tick) {
    double elapsed = elapsedSeconds();
    if (elapsed > 0) {
      PublishPhaseEvent("progress", phase, 0, SpeedMbps(phase.bytes.load(), elapsed),
                        kProgressTick.count() * tick);
    }
    auto next = Clock::now() + zc::Scaled(kProgressTick);
    std::this_thread::sleep_until(std::min(next, phase.deadline));
  }
  phase.stop = true;
  double elapsed = elapsedSeconds();
  double speed = SpeedMbps(phase.bytes.load(), elapsed);
  // Connections see the deadline within one socket wait; none outlives its phase.
  for (std::thread& t : threads) t.join();
  if (elapsed > 0) PublishPhaseEvent("finish", phase, speed, speed);
}

void RunSpeedTest() {
  (void)zc::ResetOomAdj();  // not fatal: only the kernel's choice of victim changes
  SpeedInputs in = ReadInputs();
  (void)zc::TruncateFile(zc::RootPath(kSpeedLogFile));
  Phase probe;
  probe.testType = "init";
  probe.server = in.server;
  auto fail = [&] {
    PublishPhaseEvent("unable-to-connect", probe, 0, 0);
    std::this_thread::sleep_for(zc::Scaled(kPhasePause));
  };
  double latency = 0;
  if (in.server.empty() || !ResolveAndProbe(probe)) {
    LogOut(LL_ERR, "Can't Resolve IP");
    fail();
    return;
  }
  if (!MeasureLatency(in.server, latency)) {
    fail();
    return;
  }
  LogOut(LL_INFO, "latency:%lf milliseconds", latency);
  Phase ping;
  ping.testType = "ping";
  ping.server = in.server;
  PublishPhaseEvent("finish", ping, latency, 0);

  Phase download;
  download.testType = "download";
  download.server = in.server;
  download.address = probe.address;
  download.addressLength = probe.addressLength;
  download.addressText = probe.addressText;
  RunPhase(download, DownloadConnection);
  std::this_thread::sleep_for(zc::Scaled(kPhasePause));

  Phase upload;
  upload.testType = "upload";
  upload.server = in.server;
  upload.address = probe.address;
  upload.addressLength = probe.addressLength;
  upload.addressText = probe.addressText;
  RunPhase(upload, UploadConnection);
  std::this_thread::sleep_for(zc::Scaled(kPhasePause));
}

void AddInt(json_object* o, const char* key, int64_t value) {
  json_object_object_add(o, key, json_object_new_int64(value));
}

}  // namespace

double SpeedMbps(uint64_t bytes, double seconds) {
  if (seconds <= 0) return 0;
  return static_cast<double>(bytes) / 1024 / 1024 / seconds * 8;
}

std::string BuildSpeedEvent(const SpeedEventFields& f, const std::string& transid,
                            const std::string& dll, const std::string& deviceMac,
                            const std::string& localTime, const std::string& subscriber) {
  zc::JsonPtr o(json_object_new_object());
  zc::JsonAddString(o.get(), "transactionid", transid);
  zc::JsonAddString(o.get(), "dll", dll);
  std::string event = f.event;
  if (event == "start") {
    zc::JsonAddString(o.get(), "event", event);
    AddInt(o.get(), "value", 0);
    AddInt(o.get(), "duration", kReportedDuration);
    zc::JsonAddString(o.get(), "test_type", f.testType);
    AddInt(o.get(), "speed", 0);
  } else if (event == "progress") {
    zc::JsonAddString(o.get(), "event", event);
    zc::JsonAddString(o.get(), "test_type", f.testType);
    AddInt(o.get(), "start_time", f.startTime);
    AddInt(o.get(), "speed", f.speed);
  } else if (event == "finish") {
    zc::JsonAddString(o.get(), "deviceid", deviceMac);
    zc::JsonAddString(o.get(), "local_time", localTime);
    zc::JsonAddString(o.get(), "event", event);
    zc::JsonAddString(o.get(), "server_id", f.server);
    zc::JsonAddString(o.get(), "server_location", f.server);
    zc::JsonAddString(o.get(), "test_type", f.testType);
    AddInt(o.get(), "value", f.value);
    if (f.testType == std::string("download") || f.testType == std::string("upload")) {
      AddInt(o.get(), "duration", kReportedDuration);
      AddInt(o.get(), "speed", f.speed);
    }
    zc::JsonAddString(o.get(), "subscriber_id", subscriber);
  } else if (event == "unable-to-connect" || event == "test-in-proress") {
    zc::JsonAddString(o.get(), "deviceid", deviceMac);
    zc::JsonAddString(o.get(), "local_time", localTime);
    zc::JsonAddString(o.get(), "event", event);
    zc::JsonAddString(o.get(), "test_type", f.testType);
    zc::JsonAddString(o.get(), "subscriber_id", subscriber);
  } else {
    LogOut(LL_ERR, "%s Invalid Event", "SpeedJsonNotification");
    o.reset(json_object_new_object());
  }
  return zc::JsonText(o.get(), JSON_C_TO_STRING_PRETTY) + "\n";
}

int SpeedJsonNotification(const SpeedEventFields& f) {
  std::string now;
  if (GetISOTime(now) != 0) {
    LogOut(LL_ERR, "config_parser: unable to get the ISO time");
    return 0;
  }
  SpeedInputs in = ReadInputs();
  std::string text = BuildSpeedEvent(f, in.transid, in.dll, in.deviceMac, now, in.subscriber);
  LogOut(LL_DEBUG, "speed json buf:%s", text.c_str());
  std::string event = f.event;
  if (event == "finish" || event == "unable-to-connect" || event == "test-in-proress") {
    LogOut(LL_INFO, "speed json buf:%s", text.c_str());
    (void)zc::AppendToFile(zc::RootPath(kSpeedLogFile), text);
    auto result = GetUsableKVP(configkeys::kSpeedResultSubject);
    if (ConfigNatsPublish(text.data(), text.size(), result ? result->c_str() : nullptr) != 0) {
      LogOut(LL_ERR, "SpeedJsonNotification: Unable to publish speed result %d", -1);
    }
  }
  auto subject = GetUsableKVP(configkeys::kSpeedTestSubject);
  if (ConfigNatsPublish(text.data(), text.size(), subject ? subject->c_str() : nullptr) != 0) {
    LogOut(LL_ERR, "SpeedJsonNotification: Unable to publish speed speedresp%d", -1);
  }
  return 0;
}

void Report_SpeedTestRetry() {
  SpeedEventFields f;
  f.event = "test-in-proress";
  f.testType = "init";
  SpeedJsonNotification(f);
}

void StartSpeedTest(const std::string& transid) {
  bool idle = false;
  if (!gSpeedRunning.compare_exchange_strong(idle, true)) {
    ConfigResponse(transid.c_str(), "speedtest is already running, retry after a while");
    Report_SpeedTestRetry();
    return;
  }
  try {
    std::thread([] {
      RunSpeedTest();
      gSpeedRunning = false;
    }).detach();
  } catch (const std::system_error&) {
    gSpeedRunning = false;
    LogOut(LL_ERR, "%s: speedtest pthread creation failed", "ExecuteCommand");
    ConfigResponse(transid.c_str(), "speedtest pthread creation fail");
    Report_SpeedTestRetry();
    return;
  }
  ConfigResponse(transid.c_str(), "NA");
}

bool SpeedTestRunning() {
  return gSpeedRunning.load();
}
