// Helpers for the upstream client tests: a stand-in for the engine thread, query building and
// the few answer fields the tests assert on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "dns/upstream/upstream_client.h"
#include "support/dns_query.h"

namespace zctest {

// Runs tasks posted from the client's work thread on the test thread, as the engine would.
class EngineLoop {
 public:
  zc::dns::UpstreamClient::PostFn Post() {
    return [this](std::function<void()> task) {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
      cv_.notify_one();
    };
  }
  // Runs posted tasks until `done` holds or the time is up; returns done().
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      std::function<void()> task;
      {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) return done();
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return true;
  }
  void RunFor(std::chrono::milliseconds duration) {
    RunUntil([] { return false; }, duration);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
};

// What one query received.
struct Outcome {
  std::vector<zc::dns::UpstreamResult> answers;
  bool done = false;
  zc::dns::UpstreamResult final;
  int callbacks_after_done = 0;

  zc::dns::UpstreamCallback Callback() {
    return [this](zc::dns::UpstreamResult&& result) {
      if (done) ++callbacks_after_done;
      if (result.event == zc::dns::UpstreamEvent::kDone) {
        done = true;
        final = std::move(result);
      } else {
        answers.push_back(std::move(result));
      }
    };
  }
};

inline std::vector<uint8_t> BuildQuery(const std::string& name, uint16_t qtype,
                                       uint16_t id = 0x4242, bool edns = true) {
  return zctest::BuildDnsQuery(name, qtype, {.id = id, .edns = edns, .payload = 4096});
}

inline int Rcode(const std::vector<uint8_t>& m) {
  return m.size() >= 4 ? (m[3] & 0x0f) : -1;
}
inline bool Truncated(const std::vector<uint8_t>& m) {
  return m.size() >= 3 && (m[2] & 0x02);
}
inline int AnswerCount(const std::vector<uint8_t>& m) {
  return m.size() >= 8 ? (m[6] << 8 | m[7]) : -1;
}
inline uint16_t Id(const std::vector<uint8_t>& m) {
  return static_cast<uint16_t>(m[0] << 8 | m[1]);
}

// Skips a (possibly compressed) name; 0 when malformed.
inline size_t SkipName(const std::vector<uint8_t>& m, size_t pos) {
  while (pos < m.size()) {
    if (m[pos] == 0) return pos + 1;
    if ((m[pos] & 0xc0) == 0xc0) return pos + 2;
    pos += 1 + m[pos];
  }
  return 0;
}

// Dotted A addresses of the answer section.
inline std::vector<std::string> Addresses(const std::vector<uint8_t>& m) {
  std::vector<std::string> out;
  if (m.size() < 12) return out;
  size_t pos = SkipName(m, 12);
  if (pos == 0) return out;
  pos += 4;
  for (int i = 0; i < AnswerCount(m) && pos != 0 && pos + 10 <= m.size(); ++i) {
    pos = SkipName(m, pos);
    if (pos == 0 || pos + 10 > m.size()) break;
    uint16_t type = static_cast<uint16_t>(m[pos] << 8 | m[pos + 1]);
    size_t length = static_cast<size_t>(m[pos + 8] << 8 | m[pos + 9]);
    pos += 10;
    if (type == 1 && length == 4 && pos + 4 <= m.size()) {
      out.push_back(std::to_string(m[pos]) + "." + std::to_string(m[pos + 1]) + "." +
                    std::to_string(m[pos + 2]) + "." + std::to_string(m[pos + 3]));
    }
    pos += length;
  }
  return out;
}

}  // namespace zctest
