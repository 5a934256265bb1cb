// Record-area access shared by the packet object, the decoder and the encoder.
#pragma once

#include <cstdint>
#include <cstring>

#include "dns/codec/dns_name.h"
#include "dns/codec/dns_packet.h"

namespace dns_internal {

inline uint8_t* Area(dns_packet* p) {
  return reinterpret_cast<uint8_t*>(p) + sizeof(dns_packet);
}
inline const uint8_t* Area(const dns_packet* p) {
  return reinterpret_cast<const uint8_t*>(p) + sizeof(dns_packet);
}
inline int AreaCapacity(const dns_packet* p) {
  return p->size - static_cast<int>(sizeof(dns_packet));
}
inline const dns_packet* OwnerOf(const dns_rrs* r) {
  return reinterpret_cast<const dns_packet*>(reinterpret_cast<const uint8_t*>(r) - r->packet_off);
}
inline const uint8_t* DataOf(const dns_rrs* r) {
  return reinterpret_cast<const uint8_t*>(r) + sizeof(dns_rrs);
}
// Offset of the entry's data inside the record area.
inline int DataOffset(const dns_rrs* r) {
  return static_cast<int>(DataOf(r) - Area(OwnerOf(r)));
}

inline uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Appends one entry to the tail of a list. Data is written straight into the record area; the
// packet changes only at Commit(), so a failed append leaves it as it was.
class EntryWriter {
 public:
  EntryWriter(dns_packet* packet, int section, uint16_t type)
      : packet_(packet),
        section_(section),
        type_(type),
        start_((packet->len + 3) & ~3),
        pos_(start_ + static_cast<int>(sizeof(dns_rrs))),
        saved_names_(packet->names.count) {
    ok_ = pos_ <= AreaCapacity(packet);
  }
  ~EntryWriter() {
    if (!committed_) packet_->names.count = saved_names_;
  }
  EntryWriter(const EntryWriter&) = delete;
  EntryWriter& operator=(const EntryWriter&) = delete;

  bool ok() const { return ok_; }
  int pos() const { return pos_; }
  uint8_t* at(int offset) { return Area(packet_) + offset; }

  void Name(const uint8_t* wire, int wire_len) {
    if (!ok_) return;
    ok_ = dns_name_write(Area(packet_), AreaCapacity(packet_), &pos_, wire, wire_len,
                         &packet_->names) == 0;
  }
  void U16(uint16_t v) {
    if (Reserve(2)) {
      Put16(Area(packet_) + pos_, v);
      pos_ += 2;
    }
  }
  void U32(uint32_t v) {
    if (Reserve(4)) {
      Put32(Area(packet_) + pos_, v);
      pos_ += 4;
    }
  }
  void Bytes(const void* data, int len) {
    if (len > 0 && Reserve(len)) {
      std::memcpy(Area(packet_) + pos_, data, len);
      pos_ += len;
    }
  }
  int Commit();

 private:
  bool Reserve(int n) {
    if (ok_ && pos_ + n > AreaCapacity(packet_)) ok_ = false;
    return ok_;
  }
  dns_packet* packet_;
  int section_;
  uint16_t type_;
  int start_;
  int pos_;
  int16_t saved_names_;
  bool ok_ = true;
  bool committed_ = false;
};

// Parsed view of a resource-record entry.
struct RecordView {
  uint8_t owner[kDnsWireNameMax];
  int owner_len = 0;
  uint16_t type = 0;
  uint16_t rclass = 0;
  uint32_t ttl = 0;
  int rdata_off = 0;  // record-area offset of the stored data
  uint16_t rdlen = 0;
};
// Fills view from an answer/authority/additional entry; 0 or -1.
int ReadRecord(const dns_rrs* rrs, RecordView* view);

}  // namespace dns_internal
