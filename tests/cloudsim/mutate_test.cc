// The simulator's malformed-input forms: each one changes the wire bytes as named, so the agent's
// decoder meets exactly the fault a test asks for.
#include <gtest/gtest.h>

#include "lib/mutate.h"
#include "lib/pbjson.h"
#include "proto/messages.h"
#include "proto/pb.h"
#include "proto/registry.h"

namespace cloudsim {
namespace {

const ProtobufCMessageDescriptor* Envelope() {
  return zc::pb::FindWireType("PLATFORMCONFIG");
}

std::string Encoded(const std::string& json) {
  std::string payload, error;
  JsonPtr j = ParseJson(json);
  EXPECT_TRUE(EncodeFromJson(*Envelope(), j.get(), &payload, &error)) << error;
  return payload;
}

// The mutated payload, or "<error: ...>".
std::string Mutated(const std::string& payload, const std::string& mutate) {
  std::string out = payload, error;
  JsonPtr m = ParseJson(mutate);
  if (!MutatePayload(Envelope(), m.get(), &out, &error)) return "<error: " + error + ">";
  return out;
}

const char kCmd[] = R"({"_cmd": {"transid": "t1", "command": "ON_LED", "data": "x"}})";

TEST(CloudsimMutate, DroppedRequiredFieldMakesTheEnvelopeUndecodable) {
  std::string payload = Encoded(kCmd);
  std::string dropped = Mutated(payload, R"({"drop_field": "_cmd.transid"})");
  EXPECT_EQ(dropped.size(), payload.size() - 4);  // tag, length, "t1"
  EXPECT_FALSE(zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(dropped.data(), dropped.size()));
  EXPECT_EQ(Mutated(payload, R"({"drop_field": "_cmd.nothing"})").rfind("<error", 0), 0u);
  EXPECT_EQ(Mutated(payload, R"({"drop_field": "_acs.transid"})").rfind("<error", 0), 0u);
}

TEST(CloudsimMutate, WrongWireTypeAndUnknownFields) {
  std::string payload = Encoded(kCmd);
  std::string wrong =
      Mutated(payload, R"({"set_field": {"path": "_cmd.command", "wire_type": 0, "value": 5}})");
  EXPECT_FALSE(zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(wrong.data(), wrong.size()));
  std::string text = Mutated(payload, R"({"set_field": {"path": "_cmd.command", "wire_type": 2,
                                          "value": "OFF_LED"}})");
  auto decoded = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(text.data(), text.size());
  ASSERT_TRUE(decoded);
  EXPECT_STREQ(decoded->_cmd->command, "OFF_LED");
  EXPECT_STREQ(decoded->_cmd->transid, "t1");
  // An unknown field is skipped by a forward-compatible decoder.
  std::string unknown = Mutated(payload, R"({"unknown_field": 99})");
  EXPECT_GT(unknown.size(), payload.size());
  decoded = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(unknown.data(), unknown.size());
  ASSERT_TRUE(decoded);
  EXPECT_STREQ(decoded->_cmd->command, "ON_LED");
}

TEST(CloudsimMutate, TruncateAppendAndUnknownForms) {
  std::string payload = Encoded(kCmd);
  EXPECT_EQ(Mutated(payload, R"({"truncate": 3})"), payload.substr(0, 3));
  EXPECT_EQ(Mutated(payload, R"({"append_b64": "/w=="})"), payload + "\xff");
  EXPECT_EQ(Mutated(payload, R"({"shuffle": 1})"), "<error: unsupported mutate>");
}

}  // namespace
}  // namespace cloudsim
