// fault_upstream: a plain-DNS upstream (UDP and TCP on one port) that misbehaves on purpose.
//
//   fault_upstream --port P [--listen 127.0.0.1] [--log FILE] [--delay-ms N] [--drop-udp]
//                  [--drop-tcp] [--lowercase] [--tc] [--wrong-id-first] [--wrong-name-first]
//                  [--forge-from ADDR] [--a A.B.C.D] [--forged-a A.B.C.D] [--txt-count N]
//                  [--rcode N] [--nodata]
//
// A queries get one A record (--a), TXT queries --txt-count records of 250 bytes, others no
// data; --rcode answers every query with that rcode and no records, --nodata with NOERROR and
// none. --tc answers UDP with TC=1 and
// no records (TCP gets the full answer). --forge-from sends, before the real answer, a forged one
// with the right ID and question from ADDR (same port).
// --wrong-id-first / --wrong-name-first send a near-miss answer first. --log appends one line
// per query: "<udp|tcp> <id> <name> <qtype> <client port>". Runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "peers/peer_dns.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  std::string listen = "127.0.0.1";
  int port = 0;
  std::string log;
  int delay_ms = 0;
  bool drop_udp = false;
  bool drop_tcp = false;
  bool lowercase = false;
  bool tc = false;
  bool wrong_id_first = false;
  bool wrong_name_first = false;
  std::string forge_from;
  peer::AnswerShape answer;
  uint8_t forged_a[4] = {192, 0, 2, 66};
};

struct Delayed {
  Clock::time_point due;
  int fd;
  sockaddr_in to;
  bool udp;
  std::vector<uint8_t> bytes;
};

Options gOptions;
FILE* gLog = nullptr;
std::vector<Delayed> gDelayed;

bool ParseAddress(const char* text, uint8_t out[4]) {
  return inet_pton(AF_INET, text, out) == 1;
}

void Usage() {
  fprintf(stderr, "usage: fault_upstream --port P [options] (see the source)\n");
  exit(2);
}

void ParseArgs(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) Usage();
      return argv[++i];
    };
    if (arg == "--port")
      gOptions.port = atoi(value());
    else if (arg == "--listen")
      gOptions.listen = value();
    else if (arg == "--log")
      gOptions.log = value();
    else if (arg == "--delay-ms")
      gOptions.delay_ms = atoi(value());
    else if (arg == "--drop-udp")
      gOptions.drop_udp = true;
    else if (arg == "--drop-tcp")
      gOptions.drop_tcp = true;
    else if (arg == "--lowercase")
      gOptions.lowercase = true;
    else if (arg == "--tc")
      gOptions.tc = true;
    else if (arg == "--wrong-id-first")
      gOptions.wrong_id_first = true;
    else if (arg == "--wrong-name-first")
      gOptions.wrong_name_first = true;
    else if (arg == "--forge-from")
      gOptions.forge_from = value();
    else if (arg == "--a") {
      if (!ParseAddress(value(), gOptions.answer.a)) Usage();
    } else if (arg == "--forged-a") {
      if (!ParseAddress(value(), gOptions.forged_a)) Usage();
    } else if (arg == "--nodata")
      gOptions.answer.nodata = true;
    else if (arg == "--rcode")
      gOptions.answer.rcode = static_cast<uint8_t>(atoi(value()));
    else if (arg == "--txt-count")
      gOptions.answer.txt_count = atoi(value());
    else
      Usage();
  }
  if (gOptions.port <= 0) Usage();
}

sockaddr_in Address(const std::string& ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) Usage();
  return a;
}

int Bound(int type, const std::string& ip, int port) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Address(ip, port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    perror("fault_upstream: bind");
    exit(1);
  }
  return fd;
}

void SendNow(const Delayed& d) {
  if (d.udp) {
    sendto(d.fd, d.bytes.data(), d.bytes.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
    return;
  }
  std::vector<uint8_t> framed;
  peer::Put16(framed, static_cast<unsigned>(d.bytes.size()));
  framed.insert(framed.end(), d.bytes.begin(), d.bytes.end());
  // Test peer: small answers to a reading client; a short write only loses this answer.
  if (send(d.fd, framed.data(), framed.size(), MSG_NOSIGNAL) < 0) perror("fault_upstream: send");
}

void Schedule(int fd, const sockaddr_in& to, bool udp, std::vector<uint8_t> bytes, int delay_ms) {
  Delayed d{Clock::now() + std::chrono::milliseconds(delay_ms), fd, to, udp, std::move(bytes)};
  if (delay_ms <= 0) {
    SendNow(d);
    return;
  }
  gDelayed.push_back(std::move(d));
}

void Answer(int fd, const sockaddr_in& from, bool udp, const std::vector<uint8_t>& query,
            int forge_fd) {
  peer::Question q;
  if (!peer::ParseQuestion(query, &q) || (q.flags & 0x8000)) return;
  if (gLog) {
    fprintf(gLog, "%s %u %s %u %u\n", udp ? "udp" : "tcp", q.id, peer::NameText(q.name).c_str(),
            q.qtype, ntohs(from.sin_port));
    fflush(gLog);
  }
  if ((udp && gOptions.drop_udp) || (!udp && gOptions.drop_tcp)) return;
  peer::AnswerShape shape = gOptions.answer;
  shape.lowercase = gOptions.lowercase;
  shape.truncated = udp && gOptions.tc;
  if (udp && forge_fd >= 0) {
    peer::AnswerShape forged = shape;
    memcpy(forged.a, gOptions.forged_a, 4);
    std::vector<uint8_t> bytes = peer::BuildAnswer(q, forged);
    sendto(forge_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&from), sizeof from);
  }
  if (gOptions.wrong_id_first) {
    peer::AnswerShape near = shape;
    memcpy(near.a, gOptions.forged_a, 4);
    near.id_delta = 1;
    Schedule(fd, from, udp, peer::BuildAnswer(q, near), 0);
  }
  if (gOptions.wrong_name_first && !q.name.empty() && q.name.size() > 1) {
    peer::Question other = q;
    other.name[1] = other.name[1] == 'z' ? 'y' : 'z';
    peer::AnswerShape near = shape;
    memcpy(near.a, gOptions.forged_a, 4);
    Schedule(fd, from, udp, peer::BuildAnswer(other, near), 0);
  }
  Schedule(fd, from, udp, peer::BuildAnswer(q, shape), gOptions.delay_ms);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  ParseArgs(argc, argv);
  if (!gOptions.log.empty()) gLog = fopen(gOptions.log.c_str(), "a");
  int udp = Bound(SOCK_DGRAM, gOptions.listen, gOptions.port);
  int tcp = Bound(SOCK_STREAM, gOptions.listen, gOptions.port);
  int forge =
      gOptions.forge_from.empty() ? -1 : Bound(SOCK_DGRAM, gOptions.forge_from, gOptions.port);
  listen(tcp, 64);
  std::map<int, std::vector<uint8_t>> clients;  // TCP client fd -> bytes received
  printf("ready\n");
  fflush(stdout);
  while (true) {
    std::vector<pollfd> fds = {{udp, POLLIN, 0}, {tcp, POLLIN, 0}};
    for (auto& [fd, unused] : clients) fds.push_back({fd, POLLIN, 0});
    int timeout = -1;
    Clock::time_point now = Clock::now();
    for (const Delayed& d : gDelayed) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(d.due - now).count();
      int ms = left < 0 ? 0 : static_cast<int>(left) + 1;
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    poll(fds.data(), fds.size(), timeout);
    now = Clock::now();
    for (size_t i = 0; i < gDelayed.size();) {
      if (gDelayed[i].due <= now) {
        SendNow(gDelayed[i]);
        gDelayed.erase(gDelayed.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    if (fds[0].revents & POLLIN) {
      std::vector<uint8_t> buf(65535);
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n =
          recvfrom(udp, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) {
        buf.resize(static_cast<size_t>(n));
        Answer(udp, from, true, buf, forge);
      }
    }
    if (fds[1].revents & POLLIN) {
      int client = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) clients[client];
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      int fd = fds[i].fd;
      uint8_t chunk[4096];
      ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) {
        close(fd);
        clients.erase(fd);
        for (size_t k = 0; k < gDelayed.size();) {
          if (gDelayed[k].fd == fd)
            gDelayed.erase(gDelayed.begin() + static_cast<long>(k));
          else
            ++k;
        }
        continue;
      }
      std::vector<uint8_t>& in = clients[fd];
      in.insert(in.end(), chunk, chunk + n);
      while (in.size() >= 2 && in.size() >= 2u + (in[0] << 8 | in[1])) {
        size_t len = static_cast<size_t>(in[0] << 8 | in[1]);
        std::vector<uint8_t> message(in.begin() + 2, in.begin() + 2 + static_cast<long>(len));
        in.erase(in.begin(), in.begin() + 2 + static_cast<long>(len));
        sockaddr_in peer_address{};
        socklen_t plen = sizeof peer_address;
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer_address), &plen);
        Answer(fd, peer_address, false, message, -1);
      }
    }
  }
}
