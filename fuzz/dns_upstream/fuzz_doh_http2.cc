// The DoH HTTP/2 client session fed server bytes in fuzzer-chosen pieces, with three queries in
// flight. Properties: no crash or hang; each query ends at most once and only queries that were
// asked end; an answer body stays within the limit; what the session wants to send is produced
// without error until it reports a connection error.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "dns/upstream/http2_client.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the piece size (1..256); the rest is the server's stream.
  size_t piece = static_cast<size_t>(data[0]) + 1;
  std::span<const uint8_t> stream(data + 1, size - 1);
  zc::dns::Http2Client client("doh.test", "/dns-query");
  std::string error;
  Check(client.Start(&error));
  const std::set<uint16_t> asked = {0x1111, 0x2222, 0x3333};
  for (uint16_t id : asked) {
    uint8_t query[] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1};
    Check(client.Submit(query, id));
  }
  std::string out;
  Check(client.Produce(&out));
  std::set<uint16_t> ended;
  for (size_t pos = 0; pos < stream.size(); pos += piece) {
    if (!client.Receive(stream.subspan(pos, std::min(piece, stream.size() - pos)))) break;
    for (const zc::dns::Http2Event& event : client.TakeEvents()) {
      Check(asked.count(event.id) == 1);
      Check(ended.insert(event.id).second);
      Check(event.body.size() <= zc::dns::kMaxHttp2Body);
    }
    out.clear();
    if (!client.Produce(&out) || client.done()) break;
  }
  return 0;
}
