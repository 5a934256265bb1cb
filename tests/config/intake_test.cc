// The configuration intake's own decisions: the subscription plan, answers and their stage log,
// diagnostics events, script runs, station re-initialisation, command arguments.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_internal.h"
#include "platform/device_ops.h"
#include "proto/pb.h"
#include "support/temp_root.h"
#include "utils/json.h"
#include "utils/kvp.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

struct Published {
  std::string subject;
  std::string payload;
  std::vector<ConfigHeader> headers;
};

class Capture {
 public:
  Capture() {
    SetConfigPublisherForTest([this](const std::string& subject, const void* data, size_t n,
                                     const std::vector<ConfigHeader>& headers) {
      std::lock_guard lock(mutex_);
      out_.push_back({subject, std::string(static_cast<const char*>(data), n), headers});
      return 0;
    });
  }
  ~Capture() { SetConfigPublisherForTest(nullptr); }
  std::vector<Published> All() {
    std::lock_guard lock(mutex_);
    return out_;
  }
  // (transid, err_msg) of every CONFIGRESP so far.
  std::vector<std::pair<std::string, std::string>> Answers() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const Published& p : All()) {
      if (p.subject != "zt.configresp") continue;
      auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(p.payload.data(), p.payload.size());
      if (r) out.emplace_back(r->transid, r->err_msg ? r->err_msg : "<none>");
    }
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Published> out_;
};

class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKVPForTest();
    zc::SetTimeScaleForTest(0.001);
    SetStringKVP("device_mac_addr", "02:5A:00:00:00:01");
    SetStringKVP("nats.publishSubject.configResponse", "zt.configresp");
  }
  void TearDown() override { zc::SetTimeScaleForTest(1); }
};

std::vector<std::string> Subjects(const std::vector<ConfigSubject>& plan) {
  std::vector<std::string> out;
  for (const auto& s : plan) out.push_back(s.subject + (s.firmware ? " fw" : ""));
  return out;
}

TEST_F(IntakeTest, PlanFollowsTheKeyOrderAndStopsAtTheTableSize) {
  SetStringKVP("logicalLocation", "zt.dll");
  SetStringKVP("connectionInfo.subscriptionSuspendedSubject", "zt.susp");
  SetStringKVP("nats.subscribeSubject.debugCLI.count", "1");
  SetStringKVP("nats.subscribeSubject.debugCLI.0", "zt.cli");
  SetStringKVP("nats.subscribeSubject.stableFirmware.count", "1");
  SetStringKVP("nats.subscribeSubject.stableFirmware.0", "zt.fw.stable");
  std::vector<ConfigSubject> plan;
  ASSERT_EQ(ConfigSubscriptionPlan(plan), 0);
  EXPECT_EQ(Subjects(plan),
            (std::vector<std::string>{"zt.dll", "zt.susp", "zt.cli", "zt.fw.stable fw"}));

  // 25 command groups: the first 20 subjects of the whole list, the rest only logged.
  SetStringKVP("nats.subscribeSubject.commandGroup.count", "25");
  for (int i = 0; i < 25; ++i) {
    SetStringKVP("nats.subscribeSubject.commandGroup." + std::to_string(i),
                 "zt.cmd." + std::to_string(i));
  }
  ASSERT_EQ(ConfigSubscriptionPlan(plan), 0);
  ASSERT_EQ(plan.size(), 20u);
  EXPECT_EQ(plan[2].subject, "zt.cli");
  EXPECT_EQ(plan[19].subject, "zt.cmd.16");
}

TEST_F(IntakeTest, MissingNumberedKeyFailsWithoutAPlan) {
  SetStringKVP("logicalLocation", "zt.dll");
  SetStringKVP("nats.subscribeSubject.commandGroup.count", "2");
  SetStringKVP("nats.subscribeSubject.commandGroup.0", "zt.cmd.0");
  std::vector<ConfigSubject> plan{{"stale", false}};
  EXPECT_EQ(ConfigSubscriptionPlan(plan), -1);
  EXPECT_TRUE(plan.empty());
}

TEST_F(IntakeTest, AnswerCarriesTheTransactionHeaderAndFields) {
  Capture capture;
  {
    ReceiveTimeScope scope("2025-03-01T12:00:00.000Z");
    ConfigResponse("t-1", "NA");
    ConfigResponse("t-2", "InvaildConfig");
  }
  auto all = capture.All();
  ASSERT_EQ(all.size(), 2u);
  ASSERT_EQ(all[0].headers.size(), 1u);
  EXPECT_EQ(all[0].headers[0].name, "x-zun-trace-id");
  EXPECT_EQ(all[0].headers[0].value, "t-1");
  auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(all[1].payload.data(), all[1].payload.size());
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->action, "ConfigResponse");
  EXPECT_STREQ(r->deviceid, "02:5A:00:00:00:01");
  EXPECT_STREQ(r->status, "failure");
  EXPECT_STREQ(r->err_msg, "InvaildConfig");

  // Without a response subject nothing is sent and nothing breaks.
  RemoveKVP("nats.publishSubject.configResponse");
  ConfigResponse("t-3", "NA");
  EXPECT_EQ(capture.All().size(), 2u);
}

TEST_F(IntakeTest, StageLogStaysValidJsonForAnyTransactionId) {
  const std::string transid(2000, 'x');
  std::string ok = BuildStageLog(transid, "s", "e", "02:5A", "NA");
  zc::JsonPtr parsed = zc::JsonParse(ok);
  ASSERT_TRUE(parsed) << ok;
  json_object* v = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "transactionId", &v));
  EXPECT_EQ(json_object_get_string(v), transid);
  EXPECT_FALSE(json_object_object_get_ex(parsed.get(), "error", &v));

  std::string failed = BuildStageLog("t", "s", "e", "m", std::string("bad\x01\"\n", 6));
  parsed = zc::JsonParse(failed);
  ASSERT_TRUE(parsed) << failed;
  ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "error", &v));
  json_object* message = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(v, "message", &message));
  EXPECT_EQ(std::string(json_object_get_string(message)), std::string("bad\x01\"\n", 6));
}

TEST_F(IntakeTest, DiagnosticEventOfControlBytesRoundTrips) {
  std::string chunk;
  for (int i = 0; i < 255; ++i) chunk.push_back(static_cast<char>(i % 32));
  std::string text = BuildDiagnosticEvent(DiagnosticKind::kTrace, "progress", "t", "m", chunk);
  EXPECT_GT(text.size(), 1024u);  // what a fixed buffer would have cut
  zc::JsonPtr parsed = zc::JsonParse(text);
  ASSERT_TRUE(parsed) << text;
  json_object* data = nullptr;
  ASSERT_TRUE(json_object_object_get_ex(parsed.get(), "tracedata", &data));
  EXPECT_EQ(std::string(json_object_get_string(data), json_object_get_string_len(data)), chunk);
}

TEST_F(IntakeTest, DiagnosticWithoutItsSubjectIsAnsweredNotFatal) {
  Capture capture;
  EXPECT_EQ(ConfigNatsPublish("x", 1, nullptr), -1);
  EXPECT_EQ(ConfigNatsPublish("x", 1, ""), -1);
  // The idle state has no ping subject: the command fails with its own text.
  StartDiagnostic(DiagnosticKind::kPing, "p-1", "127.0.0.1");
  StartDiagnostic(DiagnosticKind::kTrace, "t-1", "127.0.0.1");
  EXPECT_EQ(capture.Answers(), (std::vector<std::pair<std::string, std::string>>{
                                   {"p-1", "PING_ERR_STATE"}, {"t-1", "TRACEROUTE_ERR_STATE"}}));
  EXPECT_EQ(DiagnosticsRunning(), 0);
}

TEST_F(IntakeTest, DiagnosticTargetsAreAddressesOrHostNames) {
  for (const char* ok : {"127.0.0.1", "example.com", "a-b.c"}) {
    EXPECT_TRUE(DiagnosticTargetAcceptable(ok)) << ok;
  }
  EXPECT_TRUE(DiagnosticTargetAcceptable(std::string(253, 'a')));
  for (const char* bad : {"", "-f", "1.1.1.1;reboot", "a b", "$(x)", "a\nb", "::1", "a/b"}) {
    EXPECT_FALSE(DiagnosticTargetAcceptable(bad)) << bad;
  }
  EXPECT_FALSE(DiagnosticTargetAcceptable(std::string(254, 'a')));
  Capture capture;
  SetStringKVP("nats.publishSubject.pingIP", "zt.ping");
  StartDiagnostic(DiagnosticKind::kPing, "p-2", "127.0.0.1;touch x");
  EXPECT_EQ(capture.All().size(), 1u);  // the answer only: no start event, nothing run
  EXPECT_EQ(capture.Answers()[0].second, "PING_ERR_STATE");
}

TEST_F(IntakeTest, KeywordsAreFoundAcrossChunkBorders) {
  std::string carry;
  EXPECT_FALSE(ChunkContains(carry, "some output with err", "error"));
  EXPECT_TRUE(ChunkContains(carry, "or in the next chunk", "error"));
  carry.clear();
  EXPECT_FALSE(ChunkContains(carry, "F", "FAIL"));
  EXPECT_FALSE(ChunkContains(carry, "A", "FAIL"));
  EXPECT_TRUE(ChunkContains(carry, "IL", "FAIL"));
  carry.clear();
  EXPECT_FALSE(ChunkContains(carry, "errno", "error"));
}

TEST_F(IntakeTest, ExtractValueMatchesKeysOnlyAtItemStarts) {
  std::string v;
  ASSERT_TRUE(ExtractValue("uname:a,pwd:xurl:y,url:http://acs", "url:", &v));
  EXPECT_EQ(v, "http://acs");
  ASSERT_TRUE(ExtractValue("uname:a,pwd:xurl:y,url:http://acs", "pwd:", &v));
  EXPECT_EQ(v, "xurl:y");
  EXPECT_FALSE(ExtractValue("url:x", "uname:", &v));
  ASSERT_TRUE(ExtractValue("url:", "url:", &v));
  EXPECT_EQ(v, "");
}

TEST_F(IntakeTest, TextsWithANulByteAreFoundOnTheWire) {
  auto entry = zc::pb::Make<Zun__Config__CHANGESSIDPWD>();
  entry.wlan_interface = const_cast<char*>("wlan0");
  entry.ssid = const_cast<char*>("abXcd");
  Zun__Config__CHANGESSIDPWD* list[] = {&entry};
  auto msg = zc::pb::Make<Zun__Config__CHANGESSIDPWDS>();
  msg.transid = const_cast<char*>("tXd");
  msg.n_config = 1;
  msg.config = list;
  auto env = zc::pb::Make<Zun__Config__PLATFORMCONFIG>();
  env.member_case = ZUN__CONFIG__PLATFORMCONFIG__MEMBER__SSIDPWD;
  env._ssidpwd = &msg;
  const std::string packed = zc::pb::PackToString(env);
  EXPECT_FALSE(ConfigPayloadHasNulText(packed.data(), packed.size()));
  std::string nulSsid = packed;
  nulSsid[nulSsid.find("abXcd") + 2] = '\0';
  EXPECT_TRUE(ConfigPayloadHasNulText(nulSsid.data(), nulSsid.size()));
  // A transaction id is only logged and answered: cut there, not refused.
  std::string nulTransid = packed;
  nulTransid[nulTransid.find("tXd") + 1] = '\0';
  EXPECT_FALSE(ConfigPayloadHasNulText(nulTransid.data(), nulTransid.size()));
  EXPECT_FALSE(ConfigPayloadHasNulText(packed.data(), 3));  // cut short: left to the decoder
}

}  // namespace
