#include "lib/event_loop.h"

#include <memory>

namespace cloudsim {
namespace {
void Nothing(evutil_socket_t, short, void*) {}
}  // namespace

struct PostedWork {
  EventLoop* loop;
  std::function<void()> fn;
};

EventLoop::EventLoop() : base_(event_base_new()) {
  // Keeps the loop running while it has nothing else to wait for.
  keepAlive_.reset(event_new(base_.get(), -1, EV_PERSIST, Nothing, nullptr));
  timeval day{86400, 0};
  event_add(keepAlive_.get(), &day);
}

EventLoop::~EventLoop() {
  keepAlive_.reset();
  base_.reset();
  for (PostedWork* work : pending_) delete work;
}

void EventLoop::RunPosted(evutil_socket_t, short, void* arg) {
  std::unique_ptr<PostedWork> work(static_cast<PostedWork*>(arg));
  {
    std::lock_guard lock(work->loop->mutex_);
    work->loop->pending_.erase(work.get());
  }
  work->fn();
}

void EventLoop::Post(std::function<void()> fn, std::chrono::milliseconds delay) {
  auto* work = new PostedWork{this, std::move(fn)};
  std::lock_guard lock(mutex_);
  timeval tv{static_cast<time_t>(delay.count() / 1000),
             static_cast<suseconds_t>((delay.count() % 1000) * 1000)};
  if (event_base_once(base_.get(), -1, EV_TIMEOUT, RunPosted, work, &tv) != 0) {
    delete work;
    return;
  }
  pending_.insert(work);
}

void EventLoop::Run() {
  event_base_loop(base_.get(), EVLOOP_NO_EXIT_ON_EMPTY);
}

void EventLoop::Stop() {
  event_base_loopbreak(base_.get());
}

}  // namespace cloudsim
