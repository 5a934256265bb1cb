// The message schema: every wire type in full round-trips through its JSON form, hand-made wire
// bytes decode as the cloud's tables say, and malformed payloads are refused without harm.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "lib/pbjson.h"
#include "message_filler.h"
#include "proto/messages.h"
#include "proto/registry.h"

namespace zctest {
namespace {

using cloudsim::JsonPtr;

std::string Bytes(const ProtobufCMessage& m) {
  std::vector<uint8_t> v = zc::pb::PackAny(m);
  return std::string(v.begin(), v.end());
}

// Number of values in a JSON form (every field of every nested message, each array element).
size_t CountValues(const json_object* j) {
  if (json_object_is_type(j, json_type_array)) {
    size_t n = 0;
    for (size_t i = 0; i < json_object_array_length(j); ++i) {
      n += CountValues(json_object_array_get_idx(j, i));
    }
    return n;
  }
  if (!json_object_is_type(j, json_type_object)) return 1;
  size_t n = 0;
  json_object_object_foreach(const_cast<json_object*>(j), key, value) {
    (void)key;
    n += CountValues(value);
  }
  return n;
}

// Values the filler sets: every field, two elements per repeated field (types without oneofs).
size_t ExpectedValues(const ProtobufCMessageDescriptor& d) {
  size_t n = 0;
  for (unsigned i = 0; i < d.n_fields; ++i) {
    const ProtobufCFieldDescriptor& f = d.fields[i];
    size_t one = f.type == PROTOBUF_C_TYPE_MESSAGE
                     ? ExpectedValues(*static_cast<const ProtobufCMessageDescriptor*>(f.descriptor))
                     : 1;
    n += f.label == PROTOBUF_C_LABEL_REPEATED ? 2 * one : one;
  }
  return n;
}

TEST(Schema, EveryWireMessageInFullSurvivesItsJsonForm) {
  size_t variants = 0;
  for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) {
    for (unsigned v = 0; v < OneofVariants(*d); ++v) {
      SCOPED_TRACE(std::string(d->name) + " variant " + std::to_string(v));
      zc::pb::AnyUnpacked full = FillAll(*d, v);
      ASSERT_TRUE(protobuf_c_message_check(full.get()));
      const std::string bytes = Bytes(*full);
      std::string error;
      JsonPtr json = cloudsim::DecodeToJson(*d, bytes, &error);
      ASSERT_TRUE(json) << error;
      std::string again;
      ASSERT_TRUE(cloudsim::EncodeFromJson(*d, json.get(), &again, &error)) << error;
      EXPECT_EQ(again, bytes);
      ++variants;
    }
  }
  EXPECT_EQ(zc::pb::WireTypes().size(), 18u);
  EXPECT_GE(variants, 18u + 8 + 5);  // PLATFORMCONFIG has 9 members, APEvent 6
}

TEST(Schema, FullMessagesCarryEveryField) {
  for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) {
    if (OneofVariants(*d) > 1) continue;  // only one member of a oneof is ever set
    SCOPED_TRACE(d->name);
    zc::pb::AnyUnpacked full = FillAll(*d);
    JsonPtr json = cloudsim::MessageToJson(*full);
    EXPECT_EQ(CountValues(json.get()), ExpectedValues(*d));
  }
}

// Wire bytes written by hand from the cloud's field tables, independent of the .proto files.
TEST(Schema, HandMadeWireBytesDecodeAsTheTablesSay) {
  // CONFIGRESP: fields 1 to 6, all strings.
  const std::string resp(
      "\x0a\x01"
      "a"
      "\x12\x01"
      "b"
      "\x1a\x01"
      "c"
      "\x22\x01"
      "d"
      "\x2a\x01"
      "e"
      "\x32\x01"
      "f",
      18);
  auto r = zc::pb::Unpack<Zun__Config__CONFIGRESP>(resp.data(), resp.size());
  ASSERT_TRUE(r);
  EXPECT_STREQ(r->action, "a");
  EXPECT_STREQ(r->transid, "d");
  EXPECT_STREQ(r->err_msg, "f");

  // EDGEDNSRESP: category ids unpacked (10, 20) then packed (30), sec 7, app "x", seqno 2^40.
  const std::string edge(
      "\x08\x0a\x08\x14\x0a\x01\x1e\x10\x07\x1a\x01x\x20\x80\x80\x80\x80\x80\x20", 19);
  auto e = zc::pb::Unpack<Zun__Edge__EDGEDNSRESP>(edge.data(), edge.size());
  ASSERT_TRUE(e);
  ASSERT_EQ(e->n_category_id, 3u);
  EXPECT_EQ(e->category_id[2], 30u);
  EXPECT_EQ(e->sec_category_id, 7u);
  EXPECT_EQ(e->seqno, 1ull << 40);

  // ContentFilterStats: the list is field 7 (tag 0x3a) inside Telemetry field 8.
  auto filter = zc::pb::Make<Zun__Telemetry__ContentFilterStats>();
  auto stats = zc::pb::Make<Zun__Telemetry__ContentFilterStats__FilterStats>();
  Zun__Telemetry__ContentFilterStats__FilterStats* list[] = {&stats};
  filter.n_fstats = 1;
  filter.fstats = list;
  std::vector<uint8_t> packed = zc::pb::Pack(filter);
  ASSERT_FALSE(packed.empty());
  EXPECT_EQ(packed[0], 0x3a);

  // PLATFORMCONFIG with _cmd (3) and then _acs (5) on the wire: the last member wins.
  const std::string two(
      "\x1a\x09\x0a\x01t\x12\x01"
      "c\x1a\x01"
      "d"
      "\x2a\x06\x0a\x01u\x12\x01r",
      19);
  auto p = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(two.data(), two.size());
  ASSERT_TRUE(p);
  EXPECT_EQ(p->member_case, ZUN__CONFIG__PLATFORMCONFIG__MEMBER__ACS);
  EXPECT_STREQ(p->_acs->transid, "u");

  // An empty envelope decodes, with no member.
  auto empty = zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(nullptr, 0);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->member_case, ZUN__CONFIG__PLATFORMCONFIG__MEMBER__NOT_SET);
}

TEST(Schema, StringsCarryRawBytesAndUnknownFieldsAreIgnored) {
  // SignOnRequest.mac with bytes that are not UTF-8, then an unknown field 99 (varint).
  const std::string raw(
      "\x0a\x03\xff\xfe"
      "A"
      "\x98\x06\x01",
      8);
  auto m = zc::pb::Unpack<Zun__Signon__SignOnRequest>(raw.data(), raw.size());
  ASSERT_TRUE(m);
  EXPECT_EQ(std::string(m->mac),
            "\xff\xfe"
            "A");
  JsonPtr json = cloudsim::MessageToJson(m->base);
  EXPECT_EQ(cloudsim::StringMember(cloudsim::Member(json.get(), "mac"), "b64").value_or(""),
            "//5B");
}

TEST(Schema, MalformedPayloadsAreRefused) {
  // Wrong wire type for a required string (varint instead of length-delimited).
  const std::string wrongType("\x08\x05", 2);
  EXPECT_FALSE(zc::pb::Unpack<Zun__Signon__SignOnRequest>(wrongType.data(), wrongType.size()));
  // A required field missing (COMMANDS without data).
  const std::string missing(
      "\x1a\x06\x0a\x01t\x12\x01"
      "c",
      8);
  EXPECT_FALSE(zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(missing.data(), missing.size()));
  // A length running past the end.
  const std::string overrun("\x1a\x64\x0a\x02", 4);
  EXPECT_FALSE(zc::pb::Unpack<Zun__Config__PLATFORMCONFIG>(overrun.data(), overrun.size()));

  std::mt19937 rng(12345);
  for (const ProtobufCMessageDescriptor* d : zc::pb::WireTypes()) {
    SCOPED_TRACE(d->name);
    const std::string bytes = Bytes(*FillAll(*d));
    // Every cut is survived; a cut inside the last field never decodes.
    for (size_t n = 0; n < bytes.size(); ++n) zc::pb::UnpackAny(*d, bytes.data(), n);
    EXPECT_FALSE(zc::pb::UnpackAny(*d, bytes.data(), bytes.size() - 1));
    // Random bytes and single-byte corruptions of a valid message.
    for (int i = 0; i < 300; ++i) {
      std::string junk(rng() % 64, '\0');
      for (char& c : junk) c = static_cast<char>(rng());
      zc::pb::UnpackAny(*d, junk.data(), junk.size());
      std::string flipped = bytes;
      flipped[rng() % flipped.size()] ^= static_cast<char>(1 + rng() % 255);
      zc::pb::UnpackAny(*d, flipped.data(), flipped.size());
    }
  }
}

TEST(Schema, JsonFormRefusesWhatTheSchemaDoesNotHave) {
  std::string bytes, error;
  JsonPtr unknown =
      cloudsim::ParseJson(R"({"_cmd":{"transid":"t","command":"c","data":"d","x":1}})");
  EXPECT_FALSE(cloudsim::EncodeFromJson(zun__config__platformconfig__descriptor, unknown.get(),
                                        &bytes, &error));
  EXPECT_NE(error.find("_cmd.x"), std::string::npos) << error;
  JsonPtr incomplete = cloudsim::ParseJson(R"({"_cmd":{"transid":"t"}})");
  EXPECT_FALSE(cloudsim::EncodeFromJson(zun__config__platformconfig__descriptor, incomplete.get(),
                                        &bytes, &error));
  JsonPtr twoMembers = cloudsim::ParseJson(
      R"({"_acs":{"transid":"t","radio":"r"},"_conf":{"transid":"t","script":"s"}})");
  EXPECT_FALSE(cloudsim::EncodeFromJson(zun__config__platformconfig__descriptor, twoMembers.get(),
                                        &bytes, &error));
  JsonPtr badEnum = cloudsim::ParseJson(R"({"status":"MAYBE"})");
  EXPECT_FALSE(cloudsim::EncodeFromJson(zun__firmware__firmware_update_result_response__descriptor,
                                        badEnum.get(), &bytes, &error));
  // Enum values by name or by number (numbers unknown to the schema are kept).
  JsonPtr byNumber = cloudsim::ParseJson(R"({"status":9})");
  ASSERT_TRUE(cloudsim::EncodeFromJson(zun__firmware__firmware_update_result_response__descriptor,
                                       byNumber.get(), &bytes, &error));
  auto decoded =
      zc::pb::Unpack<Zun__Firmware__FirmwareUpdateResultResponse>(bytes.data(), bytes.size());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(static_cast<int>(decoded->status), 9);
}

}  // namespace
}  // namespace zctest
