// The simulator's libevent loop (control API, timers) with a thread-safe way to run work on it.
#pragma once

#include <event2/event.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <set>

#include "utils/event_handles.h"

namespace cloudsim {

class EventLoop {
 public:
  // Needs libevent's pthread locking (evthread_use_pthreads) switched on before.
  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  event_base* base() const { return base_.get(); }
  // Runs fn on the loop thread after delay; callable from any thread.
  void Post(std::function<void()> fn,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  // Dispatches until Stop().
  void Run();
  void Stop();

 private:
  static void RunPosted(evutil_socket_t, short, void* arg);

  zc::ev::BasePtr base_;
  // Work posted but not run yet (freed with the loop).
  std::mutex mutex_;
  std::set<struct PostedWork*> pending_;
  zc::ev::EventPtr keepAlive_;  // after base_: freed before the loop
};

}  // namespace cloudsim
