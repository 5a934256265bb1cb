#include "dns/ipset/ipset_client.h"

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "utils/log.h"

namespace zc::dns {

namespace {

// One send carries at most this many bytes of messages (well below the socket's buffers).
constexpr size_t kBatchBytes = 16 * 1024;

}  // namespace

void IpsetClient::SocketClose::operator()(mnl_socket* s) const {
  if (s && mnl_socket_close(s) != 0) {
    LogOut(LL_WARN, "IpsetClient: closing the netlink socket failed: %s", std::strerror(errno));
  }
}

IpsetClient::IpsetClient() = default;

IpsetClient::~IpsetClient() {
  Stop();
}

bool IpsetClient::Start(std::string* error) {
  Stop();
  socket_.reset(mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC));
  if (!socket_ || mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) != 0) {
    *error = std::string("netfilter netlink socket: ") + std::strerror(errno);
    LogOut(LL_ERR, "IpsetClient::Start: %s", error->c_str());
    socket_.reset();
    return false;
  }
  port_id_ = mnl_socket_get_portid(socket_.get());
  // The kernel answers during the send; reading those answers must never wait.
  int fd = mnl_socket_get_fd(socket_.get());
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  {
    std::lock_guard lock(mutex_);
    stop_ = false;
  }
  // Refusals are engine lines: the engine's log follows onto this thread.
  thread_ = std::thread([this, tap = LogThreadTap()] {
    LogSetThreadTap(tap);
    Run();
  });
  return true;
}

void IpsetClient::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_one();
  if (thread_.joinable()) thread_.join();
  socket_.reset();
  std::lock_guard lock(mutex_);
  stats_.dropped += queue_.size();
  done_total_ += queue_.size();
  queue_.clear();
  flushed_cv_.notify_all();
}

bool IpsetClient::Add(IpsetEntry entry) {
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() || stop_ || queue_.size() >= kMaxIpsetBacklog) {
      stats_.dropped++;
      return false;
    }
    queue_.push_back(std::move(entry));
    queued_total_++;
  }
  cv_.notify_one();
  return true;
}

bool IpsetClient::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  uint64_t target = queued_total_;
  return flushed_cv_.wait_for(lock, timeout, [&] { return done_total_ >= target; });
}

IpsetStats IpsetClient::stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

void IpsetClient::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) return;
    std::deque<IpsetEntry> batch;
    batch.swap(queue_);
    lock.unlock();
    size_t count = batch.size();
    SendBatch(batch);
    lock.lock();
    done_total_ += count;
    flushed_cv_.notify_all();
  }
}

void IpsetClient::SendBatch(std::deque<IpsetEntry>& batch) {
  // The same address for the same set twice in one batch (answers to many clients) goes once.
  std::set<std::tuple<std::string, int, std::string>> seen;
  alignas(nlmsghdr) static thread_local uint8_t buf[kBatchBytes + kIpsetMessageMax];
  size_t used = 0;
  uint64_t sent = 0;
  uint64_t dropped = 0;
  auto send = [&] {
    if (used == 0) return;
    if (mnl_socket_sendto(socket_.get(), buf, used) < 0) {
      if (MayLog()) {
        LogOut(LL_ERR, "setup ipset failed.");
        LogOut(LL_ERR, "IpsetClient: send to the kernel failed: %s", std::strerror(errno));
      }
      dropped += in_flight_.size();
      in_flight_.clear();
    } else {
      sent += in_flight_.size();
      ReadErrors();
    }
    used = 0;
  };
  for (IpsetEntry& e : batch) {
    if (!seen.emplace(e.set, e.family, std::string(reinterpret_cast<const char*>(e.addr), 16))
             .second) {
      continue;
    }
    if (used + kIpsetMessageMax > kBatchBytes) send();
    uint32_t seq = ++seq_;
    size_t n = BuildIpsetMessage(IpsetCommand::kAdd, e, seq, buf + used);
    if (n == 0) {
      LogOut(LL_ERR, "IpsetClient: cannot add %s to set \"%s\"", IpsetAddressText(e).c_str(),
             LogText(e.set).c_str());
      dropped++;
      continue;
    }
    used += MNL_ALIGN(n);
    in_flight_.emplace_back(seq, std::move(e));
  }
  send();
  std::lock_guard lock(mutex_);
  stats_.sent += sent;
  stats_.dropped += dropped;
}

bool IpsetClient::MayLog() {
  auto now = std::chrono::steady_clock::now();
  if (now - log_window_ >= std::chrono::minutes(1)) {
    if (unlogged_ > 0) {
      LogOut(LL_ERR, "IpsetClient: %llu more ipset failures were not logged",
             static_cast<unsigned long long>(unlogged_));
    }
    log_window_ = now;
    logged_in_window_ = 0;
    unlogged_ = 0;
  }
  if (logged_in_window_ < kMaxIpsetLogLines) {
    logged_in_window_++;
    return true;
  }
  unlogged_++;
  return false;
}

// Failures come back as error messages naming the sequence number of the refused command.
void IpsetClient::ReadErrors() {
  alignas(nlmsghdr) uint8_t buf[8192];
  uint64_t refused = 0;
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(socket_.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        // ENOBUFS: more answers than the socket could hold; they are lost, not the entries.
        LogOut(LL_WARN, "IpsetClient: reading kernel answers failed: %s", std::strerror(errno));
      }
      break;
    }
    int len = static_cast<int>(n);
    for (auto* nlh = reinterpret_cast<nlmsghdr*>(buf); mnl_nlmsg_ok(nlh, len);
         nlh = mnl_nlmsg_next(nlh, &len)) {
      if (nlh->nlmsg_type != NLMSG_ERROR) continue;
      if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(nlmsgerr))) continue;
      const auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(nlh));
      if (err->error == 0) continue;
      refused++;
      uint32_t seq = err->msg.nlmsg_seq;
      auto it = std::find_if(in_flight_.begin(), in_flight_.end(),
                             [seq](const auto& p) { return p.first == seq; });
      std::string what = it == in_flight_.end() ? std::string("an address")
                                                : IpsetAddressText(it->second) + " to set \"" +
                                                      LogText(it->second.set) + "\"";
      if (MayLog()) {
        LogOut(LL_ERR, "setup ipset failed.");
        LogOut(LL_ERR, "IpsetClient: kernel refused adding %s: %s", what.c_str(),
               IpsetErrorText(-err->error).c_str());
      }
    }
  }
  in_flight_.clear();
  std::lock_guard lock(mutex_);
  stats_.refused += refused;
}

}  // namespace zc::dns
