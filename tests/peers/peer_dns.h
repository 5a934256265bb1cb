// DNS message helpers shared by the in-tree test peers: read a query's question, build an
// answer. Deliberately tiny and independent of the engine's codec, so a codec fault cannot hide
// in both sides of a test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace peer {

struct Question {
  uint16_t id = 0;
  uint16_t flags = 0;
  std::vector<uint8_t> name;  // wire form, as received
  uint16_t qtype = 0;
  uint16_t qclass = 0;
  size_t end = 0;  // offset just past the question
};

inline bool ParseQuestion(const std::vector<uint8_t>& m, Question* q) {
  if (m.size() < 12 || (m[4] << 8 | m[5]) != 1) return false;
  q->id = static_cast<uint16_t>(m[0] << 8 | m[1]);
  q->flags = static_cast<uint16_t>(m[2] << 8 | m[3]);
  size_t pos = 12;
  q->name.clear();
  while (pos < m.size() && m[pos] != 0) {
    size_t len = m[pos];
    if (len > 63 || pos + 1 + len >= m.size()) return false;
    q->name.insert(q->name.end(), m.begin() + pos, m.begin() + pos + 1 + len);
    pos += 1 + len;
  }
  if (pos + 5 > m.size()) return false;
  q->name.push_back(0);
  q->qtype = static_cast<uint16_t>(m[pos + 1] << 8 | m[pos + 2]);
  q->qclass = static_cast<uint16_t>(m[pos + 3] << 8 | m[pos + 4]);
  q->end = pos + 5;
  return true;
}

inline std::string NameText(const std::vector<uint8_t>& name) {
  std::string text;
  for (size_t pos = 0; pos < name.size() && name[pos] != 0; pos += 1 + name[pos]) {
    text.append(reinterpret_cast<const char*>(&name[pos + 1]), name[pos]);
    text.push_back('.');
  }
  return text.empty() ? "." : text;
}

struct AnswerShape {
  uint8_t a[4] = {192, 0, 2, 1};  // address for A queries
  int txt_count = 0;              // TXT queries: this many 250-byte strings, one record each
  bool truncated = false;         // TC=1 and no records
  bool lowercase = false;         // lower-case the question in the answer
  bool nxdomain = false;
  uint8_t rcode = 0;      // any other rcode, with no records
  bool nodata = false;    // NOERROR without records
  uint16_t id_delta = 0;  // answer with the query's ID plus this
};

inline void Put16(std::vector<uint8_t>& out, unsigned v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

inline std::vector<uint8_t> BuildAnswer(const Question& q, const AnswerShape& shape) {
  std::vector<uint8_t> out;
  Put16(out, static_cast<uint16_t>(q.id + shape.id_delta));
  unsigned flags = 0x8000 | (q.flags & 0x7900) | 0x0080;  // QR, opcode, RD copied; RA
  if (shape.truncated) flags |= 0x0200;
  if (shape.nxdomain) flags |= 3;
  flags |= shape.rcode & 0xFu;
  Put16(out, flags);
  unsigned count = 0;
  if (!shape.truncated && !shape.nxdomain && shape.rcode == 0 && !shape.nodata) {
    if (q.qtype == 1) count = 1;
    if (q.qtype == 16) count = static_cast<unsigned>(shape.txt_count);
  }
  Put16(out, 1);
  Put16(out, count);
  Put16(out, 0);
  Put16(out, 0);
  for (uint8_t c : q.name) {
    if (shape.lowercase && c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c | 0x20);
    out.push_back(c);
  }
  Put16(out, q.qtype);
  Put16(out, q.qclass);
  for (unsigned i = 0; i < count; ++i) {
    Put16(out, 0xc00c);
    Put16(out, q.qtype);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 300);
    if (q.qtype == 1) {
      Put16(out, 4);
      out.insert(out.end(), shape.a, shape.a + 4);
    } else {
      Put16(out, 251);
      out.push_back(250);
      out.insert(out.end(), 250, static_cast<uint8_t>('a' + i % 26));
    }
  }
  return out;
}

}  // namespace peer
