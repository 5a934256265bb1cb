#include "dns/upstream/upstream_message.h"

#include <cstdio>

namespace zc::dns {

namespace {

constexpr size_t kMaxNameWire = 255;
constexpr uint8_t kMaxLabel = 63;

}  // namespace

bool ReadQuestionKey(std::span<const uint8_t> message, DnsQuestionKey* key) {
  if (message.size() < kDnsHeaderSize) return false;
  key->id = MessageId(message);
  key->response = (message[2] & 0x80) != 0;
  key->truncated = (message[2] & 0x02) != 0;
  uint16_t qdcount = static_cast<uint16_t>(message[4] << 8 | message[5]);
  if (qdcount == 0) return false;
  // Folded into a local buffer and copied once: this runs for every query and every answer.
  uint8_t name[kMaxNameWire];
  size_t name_length = 0;
  size_t pos = kDnsHeaderSize;
  while (true) {
    if (pos >= message.size()) return false;
    uint8_t length = message[pos];
    if (length > kMaxLabel) return false;  // pointers and reserved label types
    if (pos + 1 + length > message.size()) return false;
    if (name_length + 1 + length > kMaxNameWire) return false;
    name[name_length++] = length;
    for (size_t i = 0; i < length; ++i) {
      uint8_t c = message[pos + 1 + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c | 0x20);
      name[name_length++] = c;
    }
    pos += 1 + length;
    if (length == 0) break;
  }
  key->name.assign(name, name + name_length);
  if (pos + 4 > message.size()) return false;
  key->qtype = static_cast<uint16_t>(message[pos] << 8 | message[pos + 1]);
  key->qclass = static_cast<uint16_t>(message[pos + 2] << 8 | message[pos + 3]);
  return true;
}

bool AnswerMatches(const DnsQuestionKey& query, const DnsQuestionKey& answer) {
  return answer.response && answer.id == query.id && answer.qtype == query.qtype &&
         answer.qclass == query.qclass && answer.name == query.name;
}

bool DnsStreamReader::Next(std::vector<uint8_t>* message) {
  size_t available = buffer_.size() - offset_;
  if (available < 2) return false;
  size_t length = static_cast<size_t>(buffer_[offset_] << 8 | buffer_[offset_ + 1]);
  if (available < 2 + length) return false;
  auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(offset_ + 2);
  message->assign(begin, begin + static_cast<std::ptrdiff_t>(length));
  offset_ += 2 + length;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > kMaxStreamMessage) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
  return true;
}

std::string WireNameText(const std::vector<uint8_t>& name) {
  std::string text;
  size_t pos = 0;
  while (pos < name.size() && name[pos] != 0) {
    size_t length = name[pos++];
    for (size_t i = 0; i < length && pos < name.size(); ++i, ++pos) {
      uint8_t c = name[pos];
      if (c == '.' || c == '\\') {
        text.push_back('\\');
        text.push_back(static_cast<char>(c));
      } else if (c <= ' ' || c >= 0x7f) {
        char escaped[5];
        snprintf(escaped, sizeof escaped, "\\%03u", c);
        text += escaped;
      } else {
        text.push_back(static_cast<char>(c));
      }
    }
    text.push_back('.');
  }
  return text.empty() ? "." : text;
}

std::string HexColonUpper(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(':');
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xf]);
  }
  return out;
}

}  // namespace zc::dns
