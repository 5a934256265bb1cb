// The DoH HTTP/1.1 response parser fed in fuzzer-chosen pieces. Properties: no crash or hang;
// the responses and the final state do not depend on where the stream was cut; bodies stay
// within the limit; a parser waiting for more holds less than one header section.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "dns/upstream/http1_response.h"

namespace {

using zc::dns::Http1ResponseParser;
using zc::dns::HttpParseResult;
using zc::dns::HttpResponse;

struct Outcome {
  std::vector<HttpResponse> responses;
  HttpParseResult last = HttpParseResult::kNeedMore;
};

void Check(bool condition) {
  if (!condition) abort();
}

// Feeds `data` in pieces whose sizes come from `cuts` (cycled); 0 cuts: in one piece.
Outcome Run(std::span<const uint8_t> data, std::span<const uint8_t> cuts) {
  Http1ResponseParser parser;
  Outcome out;
  size_t pos = 0, turn = 0;
  while (pos < data.size()) {
    size_t piece = cuts.empty() ? data.size() : 1 + cuts[turn++ % cuts.size()] % 64;
    piece = std::min(piece, data.size() - pos);
    parser.Feed(data.subspan(pos, piece));
    pos += piece;
    HttpResponse response;
    while ((out.last = parser.Next(&response)) == HttpParseResult::kResponse) {
      Check(response.body.size() <= zc::dns::kMaxHttpBody);
      out.responses.push_back(std::move(response));
    }
    if (out.last != HttpParseResult::kNeedMore) return out;
    Check(parser.Buffered() <= zc::dns::kMaxHttpHeaderBytes + 2);
  }
  HttpResponse response;
  out.last = parser.Finish(&response);
  if (out.last == HttpParseResult::kResponse) out.responses.push_back(std::move(response));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: how many of the following bytes choose the cut sizes.
  if (size < 1) return 0;
  size_t ncuts = std::min<size_t>(data[0] % 16, size - 1);
  std::span<const uint8_t> cuts(data + 1, ncuts);
  std::span<const uint8_t> stream(data + 1 + ncuts, size - 1 - ncuts);
  Outcome whole = Run(stream, {});
  Outcome pieces = Run(stream, cuts.empty() ? std::span<const uint8_t>(data, 1) : cuts);
  Check(whole.last == pieces.last);
  Check(whole.responses.size() == pieces.responses.size());
  for (size_t i = 0; i < whole.responses.size(); ++i) {
    Check(whole.responses[i].status == pieces.responses[i].status);
    Check(whole.responses[i].body == pieces.responses[i].body);
    Check(whole.responses[i].close == pieces.responses[i].close);
  }
  return 0;
}
