// The console's summary from records and the NATS server's connection list: devices keyed by
// MAC whatever form a message gives it, the furthest provisioning step, the link from open
// connections, the last telemetry, events and blocked lookups newest first, and the connection
// log in time order across time zones.
#include <gtest/gtest.h>

#include "lib/console.h"
#include "lib/records.h"

namespace cloudsim {
namespace {

void AddRecord(RecordStore& store, const std::string& json) {
  std::string error;
  JsonPtr r = ParseJson(json, &error);
  ASSERT_TRUE(r) << error << ": " << json;
  store.Add(std::move(r));
}

std::string At(const json_object* j, const std::string& path) {
  json_object* v = PathGet(j, path);
  return v ? ScalarText(v) : "<absent>";
}

TEST(ConsoleSummary, DeviceIdsAndTimes) {
  EXPECT_EQ(DeviceId("02:5a:00:00:00:01"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("025a00000001"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("02-5A-00-00-00-01"), "02:5A:00:00:00:01");
  EXPECT_EQ(DeviceId("02:5A:00:00:00"), "");
  EXPECT_EQ(DeviceId("cloudsim"), "");
  EXPECT_EQ(ParseTimeMs("1970-01-01T00:00:01.250Z"), 1250);
  EXPECT_EQ(ParseTimeMs("1970-01-01T01:00:01.250123456+01:00"), 1250);
  EXPECT_EQ(ParseTimeMs("1970-01-01T00:00:01-00:30"), 1000 + 30 * 60000);
  EXPECT_EQ(ParseTimeMs("yesterday"), -1);
}

TEST(ConsoleSummary, DevicesEventsBlockedAndConnectionLog) {
  RecordStore store("");
  AddRecord(store, R"({"kind": "http", "path": "/device/register",
                       "body_json": {"mac": "02:5a:00:00:00:01"}})");
  AddRecord(store, R"({"kind": "nats.request", "type": "SignOnRequest",
                       "decoded": {"mac": "02:5A:00:00:00:01"}})");
  AddRecord(store, R"({"kind": "http", "path": "/device/register",
                       "body_json": {"mac": "02:5A:00:00:00:02"}})");
  AddRecord(store, R"({"kind": "nats.request", "subject": "zt.event", "type": "APEvent",
      "answered": {"mode": "reply"}, "decoded": {"deviceId": "02:5A:00:00:00:01",
      "clientInfo": {"cmac": "02:00:00:00:00:01", "IP": "192.168.1.23", "hostName": "tab"}}})");
  AddRecord(store, R"({"kind": "nats.publish", "type": "Telemetry", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "apInfo": {"uptime": 7, "cpu": {"cpuPercentage": 3},
      "mem": {"free": 10, "total": 20}}, "filterStats": {"FStats": [
      {"cmac": "02:00:00:00:00:01", "url": "ads.test", "reason": "BLOCKED_BLACKLIST"},
      {"cmac": "02:00:00:00:00:01", "url": "adult.test", "reason": "BLOCKED_PC"}]}}})");
  AddRecord(store, R"({"kind": "nats.publish", "type": "Telemetry", "decoded": {
      "deviceId": "02:5A:00:00:00:01", "apInfo": {"uptime": 9}}})");
  AddRecord(store, R"({"kind": "nats.server", "event": "stop"})");

  std::string error;
  JsonPtr connz = ParseJson(R"({"connections": [
      {"cid": 4, "name": "", "start": "2026-01-01T00:00:00Z"},
      {"cid": 6, "name": "02:5A:00:00:00:01-nats_bootstrap_connection",
       "start": "2026-01-01T01:00:01+01:00", "stop": "2026-01-01T00:00:05Z", "reason": "Read Error"},
      {"cid": 7, "name": "02:5A:00:00:00:01-nats_msg_connection",
       "start": "2026-01-01T00:00:03.5Z"}]})",
                            &error);
  ASSERT_TRUE(connz) << error;
  JsonPtr s = ConsoleSummary(store, connz.get());
  EXPECT_EQ(At(s.get(), "last_seq"), "7");

  ASSERT_EQ(json_object_array_length(Member(s.get(), "devices")), 2u);
  EXPECT_EQ(At(s.get(), "devices.0.id"), "02:5A:00:00:00:01");
  EXPECT_EQ(At(s.get(), "devices.0.stage"), "reporting");
  EXPECT_EQ(At(s.get(), "devices.0.link"), "online");
  EXPECT_EQ(At(s.get(), "devices.0.connections"), "1");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry.seq"), "6");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry.uptime"), "9");
  EXPECT_EQ(At(s.get(), "devices.0.telemetry_count"), "2");
  EXPECT_EQ(At(s.get(), "devices.0.blocked"), "2");
  EXPECT_EQ(At(s.get(), "devices.1.id"), "02:5A:00:00:00:02");
  EXPECT_EQ(At(s.get(), "devices.1.stage"), "bootstrapped");
  EXPECT_EQ(At(s.get(), "devices.1.link"), "offline");

  EXPECT_EQ(At(s.get(), "events.0.what"), "client");
  EXPECT_EQ(At(s.get(), "events.0.detail"), "02:00:00:00:00:01 192.168.1.23 tab");
  EXPECT_EQ(At(s.get(), "events.0.answer"), "reply");
  EXPECT_EQ(At(s.get(), "blocked.0.url"), "adult.test");  // newest first
  EXPECT_EQ(At(s.get(), "blocked.1.url"), "ads.test");

  // Newest first; the unnamed probe is left out; the server's own event is in it.
  json_object* log = Member(s.get(), "connections");
  ASSERT_EQ(json_object_array_length(log), 4u) << JsonText(s.get());
  EXPECT_EQ(At(log, "0.event"), "server stop");
  EXPECT_EQ(At(log, "1.event"), "closed: Read Error");
  EXPECT_EQ(At(log, "2.connection"), "nats_msg_connection");
  EXPECT_EQ(At(log, "2.time"), "2026-01-01T00:00:03.500Z");
  EXPECT_EQ(At(log, "3.connection"), "nats_bootstrap_connection");
  EXPECT_EQ(At(log, "3.cid"), "6");

  // Without the server's list the link is not known.
  JsonPtr bare = ConsoleSummary(store, nullptr);
  EXPECT_EQ(At(bare.get(), "devices.0.link"), "unknown");
  EXPECT_EQ(json_object_array_length(Member(bare.get(), "connections")), 1u);
}

}  // namespace
}  // namespace cloudsim
