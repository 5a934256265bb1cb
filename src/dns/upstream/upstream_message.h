// The few facts the upstream client reads from a DNS message: header bits and the first
// question, enough to pair an answer with the query it claims to answer. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zc::dns {

inline constexpr size_t kDnsHeaderSize = 12;
// The largest message sent upstream; HTTPS refuses 4095 bytes and more as well.
inline constexpr size_t kMaxUpstreamQuerySize = 4094;
// A stream (TCP/TLS) message may be up to 65535 bytes plus its 2-byte length.
inline constexpr size_t kMaxStreamMessage = 65535;

struct DnsQuestionKey {
  uint16_t id = 0;
  bool response = false;   // QR
  bool truncated = false;  // TC
  // The first question's name in wire form with ASCII letters folded to lower case, so a server
  // that changes the case of the question still matches.
  std::vector<uint8_t> name;
  uint16_t qtype = 0;
  uint16_t qclass = 0;
};

// Reads the header and the first question. False when the message is shorter than a header,
// has no question, or the name is malformed (compression pointers are not valid here: nothing
// precedes the first name but the header).
bool ReadQuestionKey(std::span<const uint8_t> message, DnsQuestionKey* key);

// True when `answer` is a response to `query`: same ID, same question (name ignoring case).
bool AnswerMatches(const DnsQuestionKey& query, const DnsQuestionKey& answer);

inline uint16_t MessageId(std::span<const uint8_t> message) {
  return static_cast<uint16_t>(message[0] << 8 | message[1]);
}
inline void SetMessageId(std::span<uint8_t> message, uint16_t id) {
  message[0] = static_cast<uint8_t>(id >> 8);
  message[1] = static_cast<uint8_t>(id);
}

// Collects length-prefixed DNS messages from a TCP or TLS byte stream.
class DnsStreamReader {
 public:
  void Append(std::span<const uint8_t> data) {
    buffer_.insert(buffer_.end(), data.begin(), data.end());
  }
  // Moves the next complete message into *message; false when more bytes are needed.
  bool Next(std::vector<uint8_t>* message);
  size_t Buffered() const { return buffer_.size() - offset_; }
  void Clear() {
    buffer_.clear();
    offset_ = 0;
  }

 private:
  std::vector<uint8_t> buffer_;
  size_t offset_ = 0;
};

// Presentation text of a wire name for log lines ("." for the root, "\." and "\DDD" escapes).
std::string WireNameText(const std::vector<uint8_t>& name);

// Hex "AB:CD:..." of a digest, for the pin log line.
std::string HexColonUpper(std::span<const uint8_t> bytes);

}  // namespace zc::dns
