#include "lib/console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <vector>

namespace cloudsim {
namespace {

// A connz answer is small; a server that does not answer quickly is reported as unavailable
// rather than holding up the control loop.
constexpr int kConnzTimeoutMs = 1000;
constexpr size_t kConnzMaxBytes = 8 * 1024 * 1024;

// Provisioning steps as the cloud sees them, in order.
enum Stage { kNone, kBootstrap, kValidated, kSignedOn, kReporting };
const char* StageName(Stage s) {
  switch (s) {
    case kBootstrap:
      return "bootstrapped";
    case kValidated:
      return "firmware validated";
    case kSignedOn:
      return "signed on";
    case kReporting:
      return "reporting";
    case kNone:
      break;
  }
  return "seen";
}

struct Device {
  Stage stage = kNone;
  std::string firstSeen, lastSeen;
  int64_t events = 0, telemetry = 0, journal = 0, blocked = 0;
  JsonPtr lastTelemetry;  // the record
  int open = 0, closed = 0;
};

std::string Str(const json_object* record, const char* path) {
  json_object* v = PathGet(record, path);
  return v ? ScalarText(v) : "";
}

void Add(json_object* obj, const char* key, const std::string& value) {
  json_object_object_add(obj, key, json_object_new_string(value.c_str()));
}
void AddInt(json_object* obj, const char* key, int64_t value) {
  json_object_object_add(obj, key, json_object_new_int64(value));
}
void AddRaw(json_object* obj, const char* key, json_object* value) {
  json_object_object_add(obj, key, value ? json_object_get(value) : nullptr);
}

// The device a record belongs to (empty for the simulator's own records).
std::string DeviceOf(const json_object* record) {
  for (const char* path :
       {"decoded.mac", "decoded.deviceId", "decoded.deviceid", "body_json.mac"}) {
    std::string id = DeviceId(Str(record, path));
    if (!id.empty()) return id;
  }
  return "";
}

// One line about an event: its kind (the payload it carries) and a few of its figures.
void DescribeEvent(const json_object* decoded, std::string* what, std::string* detail) {
  static const char* kKinds[] = {"clientInfo", "sysInfo", "wanInfo",
                                 "wlanInfo",   "laninfo", "reconcile"};
  for (const char* kind : kKinds) {
    json_object* payload = Member(decoded, kind);
    if (!payload) continue;
    *what = kind;
    if (std::string(kind) == "clientInfo") {
      *what = "client";
      *detail = Str(payload, "cmac") + " " + Str(payload, "IP") + " " + Str(payload, "hostName");
    } else if (std::string(kind) == "reconcile") {
      *what = "snapshot";
      *detail = "model " + Str(payload, "sysInfo.modelName") + ", software " +
                Str(payload, "sysInfo.softwareVersion") + ", LAN " +
                Str(payload, "laninfo.landhcpinfo.lanipaddr");
    } else {
      std::string text;
      json_object_object_foreach(payload, key, value) {
        if (json_object_is_type(value, json_type_object) ||
            json_object_is_type(value, json_type_array)) {
          continue;
        }
        if (text.size() > 80) break;
        text += std::string(text.empty() ? "" : ", ") + key + " " + ScalarText(value);
      }
      *detail = text;
    }
    return;
  }
  *what = "empty";
}

std::string Iso(int64_t ms) {
  time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

struct LogEntry {
  int64_t ms;
  JsonPtr entry;
};

}  // namespace

std::string DeviceId(const std::string& mac) {
  std::string hex;
  for (char c : mac) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (c != ':' && c != '-') {
      return "";
    }
  }
  if (hex.size() != 12) return "";
  std::string out;
  for (size_t i = 0; i < 12; i += 2) out += (i ? ":" : "") + hex.substr(i, 2);
  return out;
}

int64_t ParseTimeMs(const std::string& text) {
  struct tm t {};
  int consumed = 0;
  if (sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
             &t.tm_hour, &t.tm_min, &t.tm_sec, &consumed) != 6) {
    return -1;
  }
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  int64_t ms = static_cast<int64_t>(timegm(&t)) * 1000;
  size_t i = static_cast<size_t>(consumed);
  if (i < text.size() && text[i] == '.') {
    int64_t scale = 100;
    for (++i; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
      ms += (text[i] - '0') * scale;
      scale /= 10;
    }
  }
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    int hours = 0, minutes = 0;
    if (sscanf(text.c_str() + i + 1, "%2d:%2d", &hours, &minutes) == 2) {
      int64_t offset = (hours * 60 + minutes) * 60000LL;
      ms += text[i] == '+' ? -offset : offset;
    }
  }
  return ms;
}

JsonPtr ConsoleSummary(const RecordStore& records, const json_object* connz) {
  JsonPtr all = records.Query(RecordFilter{});
  const size_t n = json_object_array_length(all.get());
  std::map<std::string, Device> devices;
  std::vector<JsonPtr> events, blocked;
  std::vector<LogEntry> log;
  int64_t lastSeq = 0;

  for (size_t i = 0; i < n; ++i) {
    json_object* r = json_object_array_get_idx(all.get(), i);
    lastSeq = IntMember(r, "seq").value_or(lastSeq);
    const std::string kind = Str(r, "kind"), subject = Str(r, "subject"), time = Str(r, "time");
    if (kind == "nats.server") {
      JsonPtr e(json_object_new_object());
      Add(e.get(), "time", time);
      Add(e.get(), "device", "cloud");
      Add(e.get(), "connection", "nats-server");
      Add(e.get(), "event", "server " + Str(r, "event"));
      log.push_back(LogEntry{ParseTimeMs(time), std::move(e)});
      continue;
    }
    const std::string id = DeviceOf(r);
    if (id.empty()) continue;
    Device& d = devices[id];
    if (d.firstSeen.empty()) d.firstSeen = time;
    d.lastSeen = time;
    const std::string type = Str(r, "type");
    json_object* decoded = Member(r, "decoded");
    Stage stage = kNone;
    if (kind == "http" && Str(r, "path").find("/register") != std::string::npos) {
      stage = kBootstrap;
    } else if (type == "FirmwareValidateRequest") {
      stage = kValidated;
    } else if (type == "SignOnRequest") {
      stage = kSignedOn;
    } else if (type == "APEvent") {
      stage = kReporting;
      ++d.events;
      std::string what, detail;
      DescribeEvent(decoded, &what, &detail);
      JsonPtr e(json_object_new_object());
      AddInt(e.get(), "seq", IntMember(r, "seq").value_or(0));
      Add(e.get(), "time", time);
      Add(e.get(), "device", id);
      Add(e.get(), "what", what);
      Add(e.get(), "detail", detail);
      Add(e.get(), "answer", Str(r, "answered.mode"));
      events.push_back(std::move(e));
    } else if (type == "Telemetry") {
      stage = kReporting;
      ++d.telemetry;
      d.lastTelemetry = JsonRef(r);
      json_object* stats = PathGet(decoded, "filterStats.FStats");
      for (size_t k = 0; stats && k < json_object_array_length(stats); ++k) {
        json_object* s = json_object_array_get_idx(stats, k);
        ++d.blocked;
        JsonPtr b(json_object_new_object());
        AddInt(b.get(), "seq", IntMember(r, "seq").value_or(0));
        Add(b.get(), "time", Str(s, "time"));
        Add(b.get(), "device", id);
        Add(b.get(), "client", Str(s, "cmac"));
        Add(b.get(), "url", Str(s, "url"));
        Add(b.get(), "reason", Str(s, "reason"));
        Add(b.get(), "category", Str(s, "categoryId"));
        Add(b.get(), "app", Str(s, "appName"));
        blocked.push_back(std::move(b));
      }
    } else if (type == "JOURNAL") {
      ++d.journal;
    }
    d.stage = std::max(d.stage, stage);
  }

  // The connection log from the server's side: every connection it knows, open or closed.
  json_object* conns = Member(connz, "connections");
  for (size_t i = 0; conns && i < json_object_array_length(conns); ++i) {
    json_object* c = json_object_array_get_idx(conns, i);
    const std::string name = Str(c, "name");
    const size_t dash = name.find('-');
    std::string id = DeviceId(name.substr(0, dash));
    // Unnamed ones are port probes (the simulator's own wait for the server to listen).
    if (name.empty()) continue;
    std::string connection = dash == std::string::npos ? name : name.substr(dash + 1);
    if (id.empty()) {
      id = "cloud";
    } else {
      Device& d = devices[id];
      (Member(c, "stop") ? d.closed : d.open) += 1;
    }
    auto entry = [&](const std::string& time, const std::string& event) {
      JsonPtr e(json_object_new_object());
      Add(e.get(), "time", Iso(ParseTimeMs(time)));
      Add(e.get(), "device", id);
      Add(e.get(), "connection", connection);
      AddInt(e.get(), "cid", IntMember(c, "cid").value_or(0));
      Add(e.get(), "event", event);
      log.push_back(LogEntry{ParseTimeMs(time), std::move(e)});
    };
    entry(Str(c, "start"), "connected");
    if (Member(c, "stop")) {
      std::string reason = Str(c, "reason");
      entry(Str(c, "stop"), reason.empty() ? "closed" : "closed: " + reason);
    }
  }
  std::stable_sort(log.begin(), log.end(),
                   [](const LogEntry& a, const LogEntry& b) { return a.ms > b.ms; });

  JsonPtr out(json_object_new_object());
  AddInt(out.get(), "last_seq", lastSeq);
  timeval now{};
  gettimeofday(&now, nullptr);
  Add(out.get(), "generated", Iso(now.tv_sec * 1000LL + now.tv_usec / 1000));
  json_object_object_add(out.get(), "nats_monitor", json_object_new_boolean(connz != nullptr));

  JsonPtr list(json_object_new_array());
  for (auto& [id, d] : devices) {
    JsonPtr e(json_object_new_object());
    Add(e.get(), "id", id);
    Add(e.get(), "stage", StageName(d.stage));
    Add(e.get(), "link", !connz ? "unknown" : d.open > 0 ? "online" : "offline");
    AddInt(e.get(), "connections", d.open);
    Add(e.get(), "first_seen", d.firstSeen);
    Add(e.get(), "last_seen", d.lastSeen);
    AddInt(e.get(), "events", d.events);
    AddInt(e.get(), "telemetry_count", d.telemetry);
    AddInt(e.get(), "journal", d.journal);
    AddInt(e.get(), "blocked", d.blocked);
    if (d.lastTelemetry) {
      const json_object* t = d.lastTelemetry.get();
      JsonPtr tel(json_object_new_object());
      AddRaw(tel.get(), "seq", Member(t, "seq"));
      AddRaw(tel.get(), "time", PathGet(t, "decoded.timestamp"));
      AddRaw(tel.get(), "uptime", PathGet(t, "decoded.apInfo.uptime"));
      AddRaw(tel.get(), "cpu", PathGet(t, "decoded.apInfo.cpu.cpuPercentage"));
      AddRaw(tel.get(), "mem_free", PathGet(t, "decoded.apInfo.mem.free"));
      AddRaw(tel.get(), "mem_total", PathGet(t, "decoded.apInfo.mem.total"));
      json_object* wlans = PathGet(t, "decoded.Wlans");
      json_object* ports = PathGet(t, "decoded.ethPorts");
      json_object* fstats = PathGet(t, "decoded.filterStats.FStats");
      AddInt(tel.get(), "wlans", wlans ? static_cast<int64_t>(json_object_array_length(wlans)) : 0);
      AddInt(tel.get(), "ports", ports ? static_cast<int64_t>(json_object_array_length(ports)) : 0);
      AddInt(tel.get(), "blocked",
             fstats ? static_cast<int64_t>(json_object_array_length(fstats)) : 0);
      json_object_object_add(e.get(), "telemetry", tel.release());
    }
    json_object_array_add(list.get(), e.release());
  }
  json_object_object_add(out.get(), "devices", list.release());

  auto newest = [&](const char* key, std::vector<JsonPtr>& items, size_t keep) {
    JsonPtr arr(json_object_new_array());
    for (size_t i = items.size(); i > 0 && json_object_array_length(arr.get()) < keep; --i) {
      json_object_array_add(arr.get(), items[i - 1].release());
    }
    json_object_object_add(out.get(), key, arr.release());
  };
  newest("events", events, kConsoleEvents);
  newest("blocked", blocked, kConsoleBlocked);
  JsonPtr logList(json_object_new_array());
  for (size_t i = 0; i < log.size() && i < kConsoleConnections; ++i) {
    json_object_array_add(logList.get(), log[i].entry.release());
  }
  json_object_object_add(out.get(), "connections", logList.release());
  json_object_object_add(out.get(), "fleet", ConsoleFleet(all.get(), connz).release());
  return out;
}

JsonPtr FetchConnz(int port) {
  if (port <= 0) return nullptr;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  timeval timeout{kConnzTimeoutMs / 1000, (kConnzTimeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request =
        "GET /connz?state=all&limit=4096 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buf[16384];
      for (ssize_t got; (got = recv(fd, buf, sizeof buf, 0)) > 0;) {
        response.append(buf, static_cast<size_t>(got));
        if (response.size() > kConnzMaxBytes) break;
      }
    }
  }
  close(fd);
  size_t body = response.find("\r\n\r\n");
  if (response.rfind("HTTP/1.", 0) != 0 || body == std::string::npos ||
      response.find(" 200 ") > body) {
    return nullptr;
  }
  return ParseJson(std::string_view(response).substr(body + 4));
}

}  // namespace cloudsim
