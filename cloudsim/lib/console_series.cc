// The console's pictures, as numbers: one device's figures over time and the fleet's, taken
// from the records (and the NATS server's connection list) exactly as they were received. The
// page draws them; nothing here is estimated or filled in.
#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "lib/console.h"
#include "lib/profile.h"

namespace cloudsim {
namespace {

// The DNS latency buckets in the order the histogram message lists them.
const char* const kBuckets[] = {
    "tenMilliSecCounter",     "twentyMilliSecCounter",         "thirtyMilliSecCounter",
    "fortyMilliSecCounter",   "fiftyMilliSecCounter",          "sixtyMilliSecCounter",
    "seventyMilliSecCounter", "eightyMilliSecCounter",         "ninetyMilliSecCounter",
    "hundredMilliSecCounter", "moreThanHundredMilliSecCounter"};

std::string Str(const json_object* j, const char* path) {
  json_object* v = PathGet(j, path);
  return v ? ScalarText(v) : "";
}

void AddInt(json_object* obj, const char* key, int64_t value) {
  json_object_object_add(obj, key, json_object_new_int64(value));
}
void AddStr(json_object* obj, const char* key, const std::string& value) {
  json_object_object_add(obj, key, json_object_new_string(value.c_str()));
}
// A number of the record as it is (absent stays absent: the page leaves a gap).
void AddNumber(json_object* obj, const char* key, const json_object* record, const char* path) {
  json_object* v = PathGet(record, path);
  if (v && (json_object_is_type(v, json_type_int) || json_object_is_type(v, json_type_double))) {
    json_object_object_add(obj, key, json_object_get(v));
  }
}

int64_t TimeOf(const json_object* record) {
  return ParseTimeMs(Str(record, "time"));
}

// The histogram counters travel as int32 although they count without sign: a counter past 2^31
// arrives negative and is shown as the unsigned number it is.
JsonPtr Histogram(const json_object* histo) {
  JsonPtr out(json_object_new_array());
  for (const char* bucket : kBuckets) {
    int64_t v = IntMember(histo, bucket).value_or(0);
    if (v < 0) v += int64_t{1} << 32;
    json_object_array_add(out.get(), json_object_new_int64(v));
  }
  return out;
}

template <typename T>
void KeepNewest(std::vector<T>& items, size_t keep) {
  if (items.size() > keep) items.erase(items.begin(), items.end() - static_cast<ptrdiff_t>(keep));
}

}  // namespace

JsonPtr ConsoleDevice(const RecordStore& records, const std::string& id) {
  JsonPtr all = records.Query(RecordFilter{});
  const size_t n = json_object_array_length(all.get());
  std::vector<json_object*> telemetry;
  json_object* lastHisto = nullptr;
  json_object* prevHisto = nullptr;
  std::map<std::string, int64_t> blockedByReason;
  for (size_t i = 0; i < n; ++i) {
    json_object* r = json_object_array_get_idx(all.get(), i);
    const std::string type = Str(r, "type");
    if (type != "Telemetry" && type != "DNSHISTOGRAM") continue;
    if (DeviceId(Str(r, "decoded.deviceId")) != id) continue;
    if (type == "DNSHISTOGRAM") {
      prevHisto = lastHisto;
      lastHisto = r;
      continue;
    }
    telemetry.push_back(r);
    json_object* stats = PathGet(r, "decoded.filterStats.FStats");
    for (size_t k = 0; stats && k < json_object_array_length(stats); ++k) {
      ++blockedByReason[Str(json_object_array_get_idx(stats, k), "reason")];
    }
  }
  KeepNewest(telemetry, kConsoleSeriesPoints);

  JsonPtr out(json_object_new_object());
  AddStr(out.get(), "id", id);
  // How far into the records these figures go.
  AddInt(out.get(), "last_seq",
         n ? IntMember(json_object_array_get_idx(all.get(), n - 1), "seq").value_or(0) : 0);
  JsonPtr points(json_object_new_array());
  // Client traffic: one series per client MAC, in the order the clients first appear.
  std::vector<std::string> order;
  std::map<std::string, JsonPtr> clients;
  for (json_object* r : telemetry) {
    JsonPtr p(json_object_new_object());
    AddInt(p.get(), "seq", IntMember(r, "seq").value_or(0));
    AddInt(p.get(), "t", TimeOf(r));
    AddNumber(p.get(), "cpu", r, "decoded.apInfo.cpu.cpuPercentage");
    AddNumber(p.get(), "mem_free", r, "decoded.apInfo.mem.free");
    AddNumber(p.get(), "mem_total", r, "decoded.apInfo.mem.total");
    // The Internet side: what the WAN interfaces received (downloads) and sent in the period.
    json_object* ifstats = PathGet(r, "decoded.apInfo.ifstats");
    int64_t wanRx = 0, wanTx = 0;
    bool wan = false;
    for (size_t k = 0; ifstats && k < json_object_array_length(ifstats); ++k) {
      json_object* f = json_object_array_get_idx(ifstats, k);
      if (Str(f, "connType") != "WAN") continue;
      wan = true;
      wanRx += IntMember(f, "rxBytes").value_or(0);
      wanTx += IntMember(f, "txBytes").value_or(0);
    }
    if (wan) {
      AddInt(p.get(), "wan_rx", wanRx);
      AddInt(p.get(), "wan_tx", wanTx);
    }
    json_object_array_add(points.get(), p.release());

    json_object* usage = PathGet(r, "decoded.apInfo.dataUsage");
    for (size_t k = 0; usage && k < json_object_array_length(usage); ++k) {
      json_object* u = json_object_array_get_idx(usage, k);
      const std::string mac = Str(u, "cmac");
      JsonPtr& client = clients[mac];
      if (!client) {
        order.push_back(mac);
        client.reset(json_object_new_object());
        AddStr(client.get(), "mac", mac);
        json_object_object_add(client.get(), "points", json_object_new_array());
      }
      // The newest address and interface name the router gave for it.
      AddStr(client.get(), "ip", Str(u, "IP"));
      AddStr(client.get(), "conn", Str(u, "connName"));
      // rxBytes is what the router sent to the client (its download), txBytes what it received.
      JsonPtr q(json_object_new_object());
      AddInt(q.get(), "seq", IntMember(r, "seq").value_or(0));
      AddInt(q.get(), "t", TimeOf(r));
      AddNumber(q.get(), "down", u, "rxBytes");
      AddNumber(q.get(), "up", u, "txBytes");
      json_object_array_add(Member(client.get(), "points"), q.release());
    }
  }
  json_object_object_add(out.get(), "telemetry", points.release());
  JsonPtr clientList(json_object_new_array());
  for (const std::string& mac : order)
    json_object_array_add(clientList.get(), clients[mac].release());
  json_object_object_add(out.get(), "clients", clientList.release());

  // The Wi-Fi interfaces of the last report, for the page's form.
  JsonPtr wlans(json_object_new_array());
  if (!telemetry.empty()) {
    json_object* list = PathGet(telemetry.back(), "decoded.Wlans");
    for (size_t k = 0; list && k < json_object_array_length(list); ++k) {
      json_object* w = json_object_array_get_idx(list, k);
      JsonPtr e(json_object_new_object());
      AddStr(e.get(), "ifname", Str(w, "ifname"));
      AddStr(e.get(), "ssid", Str(w, "ssid"));
      json_object_array_add(wlans.get(), e.release());
    }
  }
  json_object_object_add(out.get(), "wlans", wlans.release());

  if (lastHisto) {
    JsonPtr h(json_object_new_object());
    AddInt(h.get(), "seq", IntMember(lastHisto, "seq").value_or(0));
    AddInt(h.get(), "t", TimeOf(lastHisto));
    json_object_object_add(h.get(), "doh",
                           Histogram(PathGet(lastHisto, "decoded.dohHisto")).release());
    json_object_object_add(h.get(), "edge",
                           Histogram(PathGet(lastHisto, "decoded.edgeHisto")).release());
    if (prevHisto) {
      AddInt(h.get(), "before_seq", IntMember(prevHisto, "seq").value_or(0));
      json_object_object_add(h.get(), "doh_before",
                             Histogram(PathGet(prevHisto, "decoded.dohHisto")).release());
      json_object_object_add(h.get(), "edge_before",
                             Histogram(PathGet(prevHisto, "decoded.edgeHisto")).release());
    }
    json_object_object_add(out.get(), "histogram", h.release());
  } else {
    json_object_object_add(out.get(), "histogram", nullptr);
  }

  std::vector<std::pair<std::string, int64_t>> reasons(blockedByReason.begin(),
                                                       blockedByReason.end());
  std::stable_sort(reasons.begin(), reasons.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  JsonPtr blocked(json_object_new_array());
  for (const auto& [reason, count] : reasons) {
    JsonPtr b(json_object_new_object());
    AddStr(b.get(), "reason", reason);
    AddInt(b.get(), "count", count);
    json_object_array_add(blocked.get(), b.release());
  }
  json_object_object_add(out.get(), "blocked", blocked.release());
  return out;
}

JsonPtr ConsoleFleet(const json_object* records, const json_object* connz) {
  JsonPtr out(json_object_new_object());
  // Sign-ons: one per request, a request repeated under the same trace id counted once.
  std::set<std::string> traces;
  std::vector<JsonPtr> signons;
  for (size_t i = 0; records && i < json_object_array_length(records); ++i) {
    json_object* r = json_object_array_get_idx(records, i);
    if (Str(r, "type") != "SignOnRequest") continue;
    const std::string id = DeviceId(Str(r, "decoded.mac"));
    const std::string trace = Str(r, "headers.x-zun-client-trace-id");
    if (id.empty() || (!trace.empty() && !traces.insert(trace).second)) continue;
    JsonPtr s(json_object_new_object());
    AddInt(s.get(), "t", TimeOf(r));
    AddStr(s.get(), "device", id);
    signons.push_back(std::move(s));
  }

  // Online devices over time and reconnects, from the server's connections: a device is online
  // while at least one of its connections is open; a connection opened under a name that had
  // been connected before is a reconnect.
  struct Conn {
    std::string device, name;
    int64_t start, stop;  // stop -1: still open
  };
  std::vector<Conn> conns;
  json_object* list = Member(connz, "connections");
  for (size_t i = 0; list && i < json_object_array_length(list); ++i) {
    json_object* c = json_object_array_get_idx(list, i);
    const std::string name = Str(c, "name");
    const size_t dash = name.find('-');
    std::string id = DeviceId(name.substr(0, dash));
    if (id.empty()) continue;
    conns.push_back(Conn{id, dash == std::string::npos ? "" : name.substr(dash + 1),
                         ParseTimeMs(Str(c, "start")),
                         Member(c, "stop") ? ParseTimeMs(Str(c, "stop")) : -1});
  }
  std::stable_sort(conns.begin(), conns.end(),
                   [](const Conn& a, const Conn& b) { return a.start < b.start; });
  std::vector<JsonPtr> reconnects;
  std::set<std::pair<std::string, std::string>> seen;
  std::vector<std::pair<int64_t, int>> changes;  // time, +1 open / -1 close; per device below
  std::map<std::string, std::vector<std::pair<int64_t, int>>> perDevice;
  for (const Conn& c : conns) {
    if (!seen.insert({c.device, c.name}).second) {
      JsonPtr r(json_object_new_object());
      AddInt(r.get(), "t", c.start);
      AddStr(r.get(), "device", c.device);
      AddStr(r.get(), "connection", c.name);
      reconnects.push_back(std::move(r));
    }
    perDevice[c.device].push_back({c.start, +1});
    if (c.stop >= 0) perDevice[c.device].push_back({c.stop, -1});
  }
  for (auto& [device, events] : perDevice) {
    (void)device;
    // Opens before closes at the same instant: a connection replaced in the same millisecond
    // does not count the device offline.
    std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first : a.second > b.second;
    });
    int open = 0;
    for (const auto& [t, delta] : events) {
      const bool was = open > 0;
      open += delta;
      if (was != (open > 0)) changes.push_back({t, open > 0 ? +1 : -1});
    }
  }
  std::stable_sort(changes.begin(), changes.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second > b.second;
  });
  std::vector<JsonPtr> online;
  int count = 0;
  for (const auto& [t, delta] : changes) {
    count += delta;
    JsonPtr p(json_object_new_object());
    AddInt(p.get(), "t", t);
    AddInt(p.get(), "n", count);
    online.push_back(std::move(p));
  }
  KeepNewest(signons, kConsoleFleetEvents);
  KeepNewest(reconnects, kConsoleFleetEvents);
  KeepNewest(online, kConsoleFleetEvents);
  auto add = [&](const char* key, std::vector<JsonPtr>& items) {
    JsonPtr arr(json_object_new_array());
    for (JsonPtr& item : items) json_object_array_add(arr.get(), item.release());
    json_object_object_add(out.get(), key, arr.release());
  };
  add("signons", signons);
  add("reconnects", reconnects);
  add("online", online);
  return out;
}

JsonPtr ConsoleActions(const json_object* profile) {
  JsonPtr out(json_object_new_object());
  AddStr(out.get(), "to", kConsolePushTarget);
  AddStr(out.get(), "subject", ResolveTarget(profile, kConsolePushTarget));
  // Where the agent publishes what a push starts (the subjects sign-on gave it).
  json_object* publish = PathGet(profile, "services.signon.reply.publish_subject");
  JsonPtr streams(json_object_new_object());
  for (const char* key : {"pingIP", "trace_route", "speed_test", "speedtest_result", "acs_survey",
                          "config_response"}) {
    if (auto subject = StringMember(publish, key)) AddStr(streams.get(), key, *subject);
  }
  json_object_object_add(out.get(), "streams", streams.release());
  return out;
}

}  // namespace cloudsim
