#include "dns/codec/dns_name.h"

#include <cstring>

#include "utils/log.h"

namespace {

constexpr int kMaxPointersInRow = 4;
constexpr uint8_t kPointerMark = 0xC0;
constexpr uint16_t kMaxPointerOffset = 0x3FFF;

inline uint8_t AsciiLower(uint8_t c) {
  return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Hash of a wire suffix, folded over its bytes.
uint32_t SuffixHash(const uint8_t* wire, int len) {
  uint32_t h = 0;
  for (int i = 0; i < len; i++) h = h * 31 + wire[i];
  return h;
}

}  // namespace

int dns_name_expand(const uint8_t* msg, int len, int* offset, uint8_t* wire, int* wire_len) {
  int pos = *offset;
  int out = 0;
  int pointers_in_row = 0;
  int resume = -1;  // where the caller continues: after the first pointer, or after the name
  // A pointer must point before the lowest position visited so far; loops are impossible.
  int lowest = pos;
  for (;;) {
    if (pos < 0 || pos >= len) {
      LogOut(LL_DEBUG, "length is not enough %u:%ld, %p, %p", static_cast<unsigned>(pos),
             static_cast<long>(len), static_cast<const void*>(msg),
             static_cast<const void*>(msg + len));
      return -1;
    }
    uint8_t c = msg[pos];
    if (c >= kPointerMark) {
      if (pos + 1 >= len) {
        LogOut(LL_DEBUG, "length is not enough %u:%ld, %p, %p", static_cast<unsigned>(pos),
               static_cast<long>(len), static_cast<const void*>(msg),
               static_cast<const void*>(msg + len));
        return -1;
      }
      if (++pointers_in_row > kMaxPointersInRow) {
        LogOut(LL_DEBUG, "%s: too many compression pointers", __func__);
        return -1;
      }
      int target = ((c & 0x3F) << 8) | msg[pos + 1];
      if (resume < 0) resume = pos + 2;
      if (target >= lowest) {
        LogOut(LL_DEBUG, "%s: compression pointer does not point backwards", __func__);
        return -1;
      }
      lowest = target;
      pos = target;
      continue;
    }
    if (c > kDnsMaxLabelLen) {  // 64..191: reserved label types
      LogOut(LL_DEBUG, "%s: invalid label length %u", __func__, c);
      return -1;
    }
    pointers_in_row = 0;
    if (out + 1 + c > kDnsMaxNameOctets) {
      LogOut(LL_DEBUG, "%s: name longer than %d octets", __func__, kDnsMaxNameOctets);
      return -1;
    }
    if (c == 0) {
      wire[out++] = 0;
      break;
    }
    if (pos + 1 + c > len) {
      LogOut(LL_DEBUG, "length is not enough %u:%ld, %p, %p", static_cast<unsigned>(pos),
             static_cast<long>(len), static_cast<const void*>(msg),
             static_cast<const void*>(msg + len));
      return -1;
    }
    std::memcpy(wire + out, msg + pos, 1 + c);
    out += 1 + c;
    pos += 1 + c;
  }
  *wire_len = out;
  *offset = resume >= 0 ? resume : pos + 1;
  return 0;
}

int dns_name_skip(const uint8_t* msg, int len, int* offset) {
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  return dns_name_expand(msg, len, offset, wire, &wire_len);
}

int dns_name_to_text(const uint8_t* wire, int wire_len, char* text, int maxsize) {
  if (maxsize < 1) return -1;
  int out = 0;
  int pos = 0;
  auto put = [&](char ch) {
    if (out + 1 >= maxsize) return false;
    text[out++] = ch;
    return true;
  };
  while (pos < wire_len) {
    int l = wire[pos];
    if (l == 0) break;
    if (l > kDnsMaxLabelLen || pos + 1 + l > wire_len) return -1;
    if (out > 0 && !put('.')) return -1;
    for (int i = 0; i < l; i++) {
      uint8_t c = wire[pos + 1 + i];
      if (c == '.' || c == '\\') {
        if (!put('\\') || !put(static_cast<char>(c))) return -1;
      } else if (c <= 0x20 || c >= 0x7F) {
        if (!put('\\') || !put(static_cast<char>('0' + c / 100)) ||
            !put(static_cast<char>('0' + (c / 10) % 10)) || !put(static_cast<char>('0' + c % 10)))
          return -1;
      } else if (!put(static_cast<char>(c))) {
        return -1;
      }
    }
    pos += 1 + l;
  }
  text[out] = '\0';
  return 0;
}

int dns_name_from_text(std::string_view text, uint8_t* wire, int* wire_len) {
  if (text.empty() || text == ".") {
    wire[0] = 0;
    *wire_len = 1;
    return 0;
  }
  int out = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    int label_start = out;
    if (out + 1 > kDnsMaxNameOctets - 1) return -1;
    out++;  // length byte, filled below
    int label_len = 0;
    while (i < n && text[i] != '.') {
      uint8_t c = static_cast<uint8_t>(text[i]);
      if (c == '\\') {
        if (i + 1 >= n) return -1;
        if (text[i + 1] >= '0' && text[i + 1] <= '9') {
          if (i + 3 >= n) return -1;
          int v = 0;
          for (int k = 1; k <= 3; k++) {
            char d = text[i + k];
            if (d < '0' || d > '9') return -1;
            v = v * 10 + (d - '0');
          }
          if (v > 255) return -1;
          c = static_cast<uint8_t>(v);
          i += 4;
        } else {
          c = static_cast<uint8_t>(text[i + 1]);
          i += 2;
        }
      } else {
        i++;
      }
      if (label_len >= kDnsMaxLabelLen || out + 1 > kDnsMaxNameOctets - 1) return -1;
      wire[out++] = c;
      label_len++;
    }
    if (label_len == 0) return -1;  // empty label
    wire[label_start] = static_cast<uint8_t>(label_len);
    if (i < n) {
      i++;                // the dot
      if (i == n) break;  // final dot
    }
  }
  wire[out++] = 0;
  *wire_len = out;
  return 0;
}

int dns_name_read_text(const uint8_t* msg, int len, int* offset, char* text, int maxsize) {
  uint8_t wire[kDnsWireNameMax];
  int wire_len = 0;
  if (dns_name_expand(msg, len, offset, wire, &wire_len) != 0) return -1;
  return dns_name_to_text(wire, wire_len, text, maxsize);
}

int dns_name_write(uint8_t* out, int size, int* offset, const uint8_t* wire, int wire_len,
                   dns_compress_table* table) {
  int pos = *offset;
  int i = 0;
  while (i < wire_len && wire[i] != 0) {
    const uint8_t* suffix = wire + i;
    int suffix_len = wire_len - i;
    uint32_t h = SuffixHash(suffix, suffix_len);
    if (table) {
      for (int k = 0; k < table->count; k++) {
        if (table->slot[k].hash != h) continue;
        int at = table->slot[k].offset;
        uint8_t stored[kDnsWireNameMax];
        int stored_len = 0;
        if (dns_name_expand(out, pos, &at, stored, &stored_len) != 0) continue;
        if (stored_len != suffix_len || std::memcmp(stored, suffix, suffix_len) != 0) continue;
        if (pos + 2 > size) return -1;
        out[pos] = static_cast<uint8_t>(kPointerMark | (table->slot[k].offset >> 8));
        out[pos + 1] = static_cast<uint8_t>(table->slot[k].offset & 0xFF);
        *offset = pos + 2;
        return 0;
      }
      if (table->count < kDnsCompressSlots && h != 0 && pos <= kMaxPointerOffset && pos < size) {
        table->slot[table->count].offset = static_cast<uint16_t>(pos);
        table->slot[table->count].hash = h;
        table->count++;
      }
    }
    int l = wire[i];
    if (pos + 1 + l > size) return -1;
    std::memcpy(out + pos, wire + i, 1 + l);
    pos += 1 + l;
    i += 1 + l;
  }
  if (pos + 1 > size) return -1;
  out[pos++] = 0;
  *offset = pos;
  return 0;
}

bool dns_wire_name_equal_nocase(const uint8_t* a, int alen, const uint8_t* b, int blen) {
  if (alen != blen) return false;
  for (int i = 0; i < alen; i++) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool dns_name_equal_nocase(std::string_view a, std::string_view b) {
  uint8_t wa[kDnsWireNameMax];
  uint8_t wb[kDnsWireNameMax];
  int la = 0;
  int lb = 0;
  if (dns_name_from_text(a, wa, &la) != 0 || dns_name_from_text(b, wb, &lb) != 0) return false;
  return dns_wire_name_equal_nocase(wa, la, wb, lb);
}

std::string dns_name_lower(std::string_view name) {
  std::string out(name);
  if (name.find('\\') != std::string_view::npos) {
    uint8_t wire[kDnsWireNameMax];
    int wire_len = 0;
    char text[kDnsNameTextMax];
    if (dns_name_from_text(name, wire, &wire_len) == 0 &&
        dns_name_to_text(wire, wire_len, text, sizeof text) == 0) {
      out = text;
    }
  } else if (!out.empty() && out.back() == '.') {
    out.pop_back();
  }
  for (char& c : out) c = static_cast<char>(AsciiLower(static_cast<uint8_t>(c)));
  return out;
}
