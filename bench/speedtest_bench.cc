// Speed test figures against the loopback speed server: unthrottled (the agent must not be the
// bottleneck: each phase >= 2000 Mbit/s) and throttled to 50 and 500 Mbit/s (within 5 %).
// Prints "rate,phase,reported_mbps,target,verdict" lines. Phases are shortened by the time scale
// (argument 1, default 0.2: 3 s phases).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config_internal.h"
#include "support/speed_server.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/log.h"
#include "utils/timescale.h"

namespace {

std::mutex gMutex;
std::vector<std::pair<std::string, long long>> gFinish;  // (test type, speed)

void Capture() {
  SetConfigPublisherForTest(
      [](const std::string& subject, const void* data, size_t n, const std::vector<ConfigHeader>&) {
        if (subject != "zt.speed.result") return 0;
        zc::JsonPtr o = zc::JsonParse(std::string(static_cast<const char*>(data), n));
        json_object *event = nullptr, *type = nullptr, *speed = nullptr;
        if (json_object_object_get_ex(o.get(), "event", &event) &&
            std::string(json_object_get_string(event)) == "finish" &&
            json_object_object_get_ex(o.get(), "test_type", &type) &&
            json_object_object_get_ex(o.get(), "speed", &speed)) {
          std::lock_guard lock(gMutex);
          gFinish.emplace_back(json_object_get_string(type), json_object_get_int64(speed));
        }
        return 0;
      });
}

}  // namespace

int main(int argc, char** argv) {
  double scale = argc > 1 ? atof(argv[1]) : 0.2;
  LogLevelSet(3);
  zc::SetTimeScaleForTest(scale);
  SetStringKVP("nats.publishSubject.speedTest", "zt.speed");
  SetStringKVP("nats.publishSubject.speedtestResult", "zt.speed.result");
  SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
  Capture();
  int failures = 0;
  for (double mbps : {0.0, 50.0, 500.0}) {
    zctest::SpeedServer server(static_cast<uint64_t>(mbps * 1024 * 1024 / 8));
    SetStringKVP("speedServerIp", "127.0.0.1:" + std::to_string(server.port()));
    {
      std::lock_guard lock(gMutex);
      gFinish.clear();
    }
    StartSpeedTest("bench");
    while (SpeedTestRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard lock(gMutex);
    for (const auto& [type, speed] : gFinish) {
      if (type == "ping") continue;
      bool ok = mbps == 0 ? speed >= 2000 : speed >= mbps * 0.95 && speed <= mbps * 1.05;
      failures += !ok;
      printf("%s,%s,%lld,%s,%s\n", mbps == 0 ? "unthrottled" : std::to_string(int(mbps)).c_str(),
             type.c_str(), speed, mbps == 0 ? ">=2000" : "+-5%", ok ? "ok" : "MISSED");
    }
  }
  return failures == 0 ? 0 : 1;
}
