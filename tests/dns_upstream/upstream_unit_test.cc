// Pure parts of the upstream client: the HTTP/1.1 response parser, SPKI pins, pairing answers
// with queries, server records, TLS names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dns/upstream/http1_response.h"
#include "dns/upstream/tls_client.h"
#include "dns/upstream/upstream_config.h"
#include "dns/upstream/upstream_message.h"
#include "dns_upstream/upstream_test_util.h"

namespace zc::dns {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

struct Parsed {
  std::vector<HttpResponse> responses;
  HttpParseResult last = HttpParseResult::kNeedMore;
  bool operator==(const Parsed& o) const {
    if (last != o.last || responses.size() != o.responses.size()) return false;
    for (size_t i = 0; i < responses.size(); ++i) {
      if (responses[i].status != o.responses[i].status ||
          responses[i].body != o.responses[i].body || responses[i].close != o.responses[i].close) {
        return false;
      }
    }
    return true;
  }
};

// Feeds `input` in pieces cut at `cuts`, draining responses after every piece; then Finish().
Parsed Parse(const std::string& input, const std::vector<size_t>& cuts) {
  Http1ResponseParser parser;
  Parsed out;
  size_t from = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(input.size());
  for (size_t end : ends) {
    std::vector<uint8_t> piece = Bytes(input.substr(from, end - from));
    from = end;
    parser.Feed(piece);
    HttpResponse r;
    while ((out.last = parser.Next(&r)) == HttpParseResult::kResponse) out.responses.push_back(r);
    if (out.last != HttpParseResult::kNeedMore) return out;
  }
  HttpResponse r;
  out.last = parser.Finish(&r);
  if (out.last == HttpParseResult::kResponse) out.responses.push_back(r);
  return out;
}

// The same outcome whole, byte by byte, and cut in two at every position.
void ExpectSplitIndependent(const std::string& input) {
  Parsed whole = Parse(input, {});
  std::vector<size_t> every;
  for (size_t i = 1; i < input.size(); ++i) every.push_back(i);
  EXPECT_EQ(whole, Parse(input, every)) << input;
  for (size_t i = 1; i < input.size(); ++i) EXPECT_EQ(whole, Parse(input, {i})) << "cut " << i;
}

const std::string kDohOk =
    "HTTP/1.1 200 OK\r\ncontent-type: application/dns-message\r\ncontent-length: 5\r\n\r\nhello";

TEST(UpstreamHttpParser, DecodesWhateverTheReadBoundaries) {
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nTRANSFER-ENCODING: Chunked\r\n\r\n"
      "2;ext=1\r\nhe\r\n3\r\nllo\r\n0\r\nX-Trailer: t\r\n\r\n";
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n" + kDohOk;
  const std::string bare_lf = "HTTP/1.1 200 OK\ncontent-length: 5\n\nhello";
  const std::string until_close = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello";
  const std::string two = kDohOk + "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnah";
  for (const std::string& input : {kDohOk, chunked, interim, bare_lf, until_close, two}) {
    ExpectSplitIndependent(input);
  }
  Parsed p = Parse(chunked, {});
  ASSERT_EQ(p.responses.size(), 1u);
  EXPECT_EQ(p.responses[0].body, Bytes("hello"));
  p = Parse(two, {});  // two responses in one segment
  ASSERT_EQ(p.responses.size(), 2u);
  EXPECT_EQ(p.responses[0].status, 200);
  EXPECT_EQ(p.responses[1].status, 404);
  EXPECT_EQ(p.responses[1].reason, "Not Found");
  p = Parse(interim, {});
  ASSERT_EQ(p.responses.size(), 1u);
  EXPECT_EQ(p.responses[0].status, 200);
  p = Parse(until_close, {});
  ASSERT_EQ(p.responses.size(), 1u);
  EXPECT_TRUE(p.responses[0].close);
  EXPECT_EQ(p.responses[0].body, Bytes("hello"));
}

TEST(UpstreamHttpParser, RefusesWhatIsOverTheLimits) {
  auto last = [](const std::string& input) { return Parse(input, {}).last; };
  const std::string head = "HTTP/1.1 200 OK\r\n";
  EXPECT_EQ(last(head + "Content-Length: 1000000000\r\n\r\nx"), HttpParseResult::kError);
  EXPECT_EQ(last(head + "Content-Length: 65536\r\n\r\n"), HttpParseResult::kError);
  EXPECT_EQ(last(head + "Content-Length: 99999999999999999999999\r\n\r\n"),
            HttpParseResult::kError);
  EXPECT_EQ(last(head + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello"),
            HttpParseResult::kError);
  EXPECT_EQ(last(head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"),
            HttpParseResult::kError);
  EXPECT_EQ(last(head + "Transfer-Encoding: gzip\r\n\r\n"), HttpParseResult::kError);
  EXPECT_EQ(last(head + "X-Pad: " + std::string(9000, 'p') + "\r\n\r\n"), HttpParseResult::kError);
  // Many small header lines add up as well, also when they arrive one by one.
  std::string many = head;
  for (int i = 0; i < 900; ++i) many += "X-A: 1\r\n";
  std::vector<size_t> cuts;
  for (size_t i = 10; i < many.size(); i += 10) cuts.push_back(i);
  EXPECT_EQ(Parse(many, cuts).last, HttpParseResult::kError);
  // Chunked: the decoded body is bounded, whatever the chunk sizes.
  std::string big_chunks = head + "Transfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) big_chunks += "8000\r\n" + std::string(0x8000, 'x') + "\r\n";
  EXPECT_EQ(last(big_chunks), HttpParseResult::kError);
  EXPECT_EQ(last(head + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffffff\r\n"),
            HttpParseResult::kError);
  EXPECT_EQ(last(head + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n"),
            HttpParseResult::kError);
  EXPECT_EQ(last(head + "Transfer-Encoding: chunked\r\n\r\n" + std::string(2000, '1')),
            HttpParseResult::kError);
  // The largest allowed body passes.
  Parsed max = Parse(head + "Content-Length: 65535\r\n\r\n" + std::string(65535, 'b'), {});
  ASSERT_EQ(max.responses.size(), 1u);
  EXPECT_EQ(max.responses[0].body.size(), 65535u);
  // A stream that ends inside a response is an error, not a short answer.
  EXPECT_EQ(last(head + "Content-Length: 5\r\n\r\nhel"), HttpParseResult::kError);
}

TEST(UpstreamHttpParser, TellsAPeerThatDoesNotSpeakHttp11) {
  auto last = [](const std::string& input) { return Parse(input, {}).last; };
  const char settings[] = {0, 0, 0, 4, 0, 0, 0, 0, 0};
  EXPECT_EQ(last(std::string(settings, sizeof settings)), HttpParseResult::kProtocolMismatch);
  EXPECT_EQ(last("HTTP/2 200\r\n\r\n"), HttpParseResult::kProtocolMismatch);
  EXPECT_EQ(last("\x15\x03\x03\x00\x02\x02\x28"), HttpParseResult::kProtocolMismatch);
  EXPECT_EQ(last("HTTP/1.1 2OO OK\r\n\r\n"), HttpParseResult::kProtocolMismatch);
  // Decided on the first bytes, before a whole line is there.
  Http1ResponseParser parser;
  parser.Feed(Bytes("HTTQ"));
  HttpResponse r;
  EXPECT_EQ(parser.Next(&r), HttpParseResult::kProtocolMismatch);
  EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(UpstreamHttpParser, BuildsTheDohRequest) {
  std::vector<uint8_t> message = {1, 2, 3};
  std::string request = BuildDohRequest("/dns-query", "dns.example", message);
  EXPECT_EQ(request.rfind("POST /dns-query HTTP/1.1\r\nHost: dns.example\r\n", 0), 0u);
  EXPECT_NE(request.find("content-type: application/dns-message\r\n"), std::string::npos);
  EXPECT_NE(request.find("Content-Length: 3\r\n\r\n\x01\x02\x03"), std::string::npos);
}

TEST(UpstreamSpkiPin, OnlyExactly32BytesAreAPin) {
  std::vector<uint8_t> pin;
  std::string error;
  const std::string good = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";  // SHA-256 of ""
  ASSERT_TRUE(DecodeSpkiPin(good, &pin, &error)) << error;
  ASSERT_EQ(pin.size(), 32u);
  EXPECT_EQ(pin[0], 0xe3);
  EXPECT_EQ(pin[31], 0x55);
  EXPECT_TRUE(DecodeSpkiPin(good.substr(0, 43), &pin, &error));  // padding may be left out
  for (const std::string& bad :
       {std::string("3q2+7w=="), std::string(63, 'A'), std::string(48, 'A'),
        std::string("47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuF*="), std::string(64, 'A'),
        std::string()}) {
    EXPECT_FALSE(DecodeSpkiPin(bad, &pin, &error)) << bad;
    EXPECT_TRUE(pin.empty());
  }
  EXPECT_FALSE(DecodeSpkiPin("3q2+7w==", &pin, &error));
  EXPECT_EQ(error, "spki data length is invalid.");

  SpkiDigest digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> exact(digest.begin(), digest.end());
  EXPECT_TRUE(PinMatches(exact, digest));
  std::vector<uint8_t> prefix(digest.begin(), digest.begin() + 4);  // a 4-byte "pin"
  EXPECT_FALSE(PinMatches(prefix, digest));
  exact[31] ^= 1;
  EXPECT_FALSE(PinMatches(exact, digest));
}

TEST(UpstreamMatching, PairsOnIdQuestionAndTypeIgnoringCase) {
  std::vector<uint8_t> query = zctest::BuildQuery("A.Test", 1, 0x1234);
  DnsQuestionKey sent;
  ASSERT_TRUE(ReadQuestionKey(query, &sent));
  EXPECT_FALSE(sent.response);
  EXPECT_EQ(WireNameText(sent.name), "a.test.");

  auto answer_to = [](std::vector<uint8_t> m) {
    m[2] |= 0x80;
    return m;
  };
  DnsQuestionKey got;
  ASSERT_TRUE(ReadQuestionKey(answer_to(zctest::BuildQuery("a.TEST", 1, 0x1234)), &got));
  EXPECT_TRUE(AnswerMatches(sent, got));
  ASSERT_TRUE(ReadQuestionKey(zctest::BuildQuery("a.test", 1, 0x1234), &got));
  EXPECT_FALSE(AnswerMatches(sent, got)) << "a query is not an answer";
  for (auto other :
       {zctest::BuildQuery("a.test", 1, 0x1235), zctest::BuildQuery("b.test", 1, 0x1234),
        zctest::BuildQuery("a.test", 28, 0x1234), zctest::BuildQuery("a.test.x", 1, 0x1234)}) {
    ASSERT_TRUE(ReadQuestionKey(answer_to(other), &got));
    EXPECT_FALSE(AnswerMatches(sent, got));
  }
  std::vector<uint8_t> chaos = answer_to(zctest::BuildQuery("a.test", 1, 0x1234, false));
  chaos[chaos.size() - 1] = 3;
  ASSERT_TRUE(ReadQuestionKey(chaos, &got));
  EXPECT_FALSE(AnswerMatches(sent, got)) << "class differs";

  // A pointer in the question, no question, or any cut of the message: refused, never read
  // beyond the end.
  std::vector<uint8_t> pointer = answer_to(query);
  pointer[12] = 0xc0;
  EXPECT_FALSE(ReadQuestionKey(pointer, &got));
  std::vector<uint8_t> none = answer_to(query);
  none[5] = 0;
  EXPECT_FALSE(ReadQuestionKey(none, &got));
  for (size_t n = 0; n < 24; ++n) {  // 24: header, "a.test", type and class
    std::vector<uint8_t> cut(query.begin(), query.begin() + static_cast<long>(n));
    EXPECT_FALSE(ReadQuestionKey(cut, &got)) << n;
  }
  std::vector<uint8_t> escaped = {1, '.', 1, 0, 0};
  EXPECT_EQ(WireNameText(escaped), "\\..\\000.");
}

TEST(UpstreamMatching, StreamReaderFramesMessages) {
  DnsStreamReader reader;
  std::vector<uint8_t> stream = {0, 3, 'a', 'b', 'c', 0, 2, 'd', 'e', 0, 4, 'f'};
  std::vector<uint8_t> message;
  reader.Append(std::span<const uint8_t>(stream).first(4));
  EXPECT_FALSE(reader.Next(&message));
  reader.Append(std::span<const uint8_t>(stream).subspan(4));
  ASSERT_TRUE(reader.Next(&message));
  EXPECT_EQ(message, (std::vector<uint8_t>{'a', 'b', 'c'}));
  ASSERT_TRUE(reader.Next(&message));
  EXPECT_EQ(message, (std::vector<uint8_t>{'d', 'e'}));
  EXPECT_FALSE(reader.Next(&message));
  EXPECT_EQ(reader.Buffered(), 3u);
}

TEST(UpstreamRecords, AddressesAndUris) {
  UpstreamServerConfig s;
  std::string error;
  ASSERT_TRUE(ParseServerAddress("192.0.2.1:5353", &s, &error));
  EXPECT_EQ(s.host, "192.0.2.1");
  EXPECT_EQ(s.port, 5353);
  ASSERT_TRUE(ParseServerAddress("[2001:db8::1]:853", &s, &error));
  EXPECT_EQ(s.host, "2001:db8::1");
  EXPECT_EQ(s.port, 853);
  ASSERT_TRUE(ParseServerAddress("2001:db8::1", &s, &error));
  EXPECT_EQ(s.host, "2001:db8::1");
  EXPECT_EQ(s.port, 0);
  for (const char* bad : {"1.2.3.4:0", "1.2.3.4:70000", "1.2.3.4:x", "[::1", ":53", "a b"}) {
    EXPECT_FALSE(ParseServerAddress(bad, &s, &error)) << bad;
  }

  UpstreamServerConfig h;
  ASSERT_TRUE(ParseHttpsUri("https://dns.example:8443/dns-query?x=1", &h, &error));
  EXPECT_EQ(h.host, "dns.example");
  EXPECT_EQ(h.port, 8443);
  EXPECT_EQ(h.http_path, "/dns-query?x=1");
  EXPECT_EQ(h.type, UpstreamType::kHttps);
  ASSERT_TRUE(ParseHttpsUri("HTTPS://[2001:db8::2]", &h, &error));
  EXPECT_EQ(h.host, "2001:db8::2");
  EXPECT_EQ(h.http_path, "/");
  // Text that would end up in the request line or the Host header must be plain.
  for (const char* bad : {"http://dns.example/", "https://dns.example/a b",
                          "https://dns.example\r\nX: y/", "https:///path"}) {
    EXPECT_FALSE(ParseHttpsUri(bad, &h, &error)) << bad;
  }
}

TEST(UpstreamRecords, CertificateNameSniAndHostHeader) {
  UpstreamServerConfig s;
  s.host = "127.0.0.1";
  s.type = UpstreamType::kTls;
  TlsPeerSettings t = MakeTlsPeerSettings(s);
  EXPECT_TRUE(t.sni.empty()) << "no SNI for an address";
  EXPECT_EQ(t.verify_name, "127.0.0.1");
  EXPECT_TRUE(t.verify_is_ip);
  EXPECT_TRUE(t.check_certificate);
  s.host_name = "upstream.test";
  t = MakeTlsPeerSettings(s);
  EXPECT_EQ(t.sni, "upstream.test");
  EXPECT_EQ(t.verify_name, "upstream.test") << "without tls-host-verify, host-name is checked";
  EXPECT_FALSE(t.verify_is_ip);
  s.tls_host_verify = "verify.test";
  s.no_check_certificate = true;
  t = MakeTlsPeerSettings(s);
  EXPECT_EQ(t.verify_name, "verify.test");
  EXPECT_FALSE(t.check_certificate);
  EXPECT_FALSE(t.http);

  UpstreamServerConfig d;
  d.host = "dns.example";
  d.type = UpstreamType::kHttps;
  t = MakeTlsPeerSettings(d);
  EXPECT_EQ(t.sni, "dns.example");
  EXPECT_EQ(t.verify_name, "dns.example");
  EXPECT_TRUE(t.http);
  EXPECT_EQ(DohHostHeader(d, 443), "dns.example");
  EXPECT_EQ(DohHostHeader(d, 8443), "dns.example:8443");
  d.host = "2001:db8::2";
  EXPECT_EQ(DohHostHeader(d, 443), "[2001:db8::2]");
  d.http_host = "front.example";
  EXPECT_EQ(DohHostHeader(d, 8443), "front.example");
}

}  // namespace
}  // namespace zc::dns
