// Upstream server records: what the option file says about each `server`, `server-tcp`,
// `server-tls` and `server-https` line, as the upstream client consumes it.
//
// The option parser fills one UpstreamServerConfig per server line (at most kMaxUpstreamServers)
// and the client-wide trust settings (`ca-file`, `ca-path`). Groups are not declared on their
// own: a server names the groups it joins with `-group`, and every server joins "default" unless
// it carries `-exclude-default-group`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zc::dns {

enum class UpstreamType : uint8_t { kUdp = 0, kTcp = 1, kTls = 2, kHttps = 3 };

inline constexpr size_t kMaxUpstreamServers = 64;
inline constexpr size_t kMaxGroupNameLength = 32;
inline constexpr size_t kMaxServersPerGroup = 64;
inline constexpr std::string_view kDefaultGroup = "default";
// SHA-256 of the DER subject public key; a pin is exactly this long.
inline constexpr size_t kSpkiPinLength = 32;
// Base64 text of a 32-byte pin is 44 characters; anything longer cannot be a valid pin.
inline constexpr size_t kMaxSpkiPinTextLength = 63;

// Server option flags, read by the answer checks of the pipeline.
inline constexpr uint32_t kServerFlagBlacklistIp = 0x1;  // -blacklist-ip
inline constexpr uint32_t kServerFlagWhitelistIp = 0x2;  // -whitelist-ip

// "udp", "tcp", "tls" or "https".
const char* UpstreamTypeName(UpstreamType type);
// 53, 53, 853 or 443.
uint16_t UpstreamDefaultPort(UpstreamType type);

struct UpstreamServerConfig {
  // Address literal (IPv4, IPv6 without brackets) or host name, exactly as configured; it is
  // also the server's display name in log lines. A host name is resolved through the engine
  // itself once the client runs.
  std::string host;
  uint16_t port = 0;  // 0: the type's default port
  UpstreamType type = UpstreamType::kUdp;
  uint32_t flags = 0;  // kServerFlag*

  // TLS and HTTPS.
  std::string host_name;        // -host-name: SNI; also the certificate name when no verify name
  std::string tls_host_verify;  // -tls-host-verify: the certificate must carry this name
  bool no_check_certificate = false;  // -no-check-certificate
  std::vector<uint8_t> spki_pin;      // -spki-pin, decoded: empty or exactly kSpkiPinLength bytes

  // HTTPS only.
  std::string http_host;        // -http-host: Host header; else host-name, else the URI host
  std::string http_path = "/";  // path of the URI
  // -http2: HTTP/2 from the first connection. Without it a server starts with HTTP/1.1 and moves
  // to HTTP/2 when it turns out to speak only that.
  bool http2 = false;

  std::vector<std::string> groups;     // -group (repeatable), each at most kMaxGroupNameLength
  bool exclude_default_group = false;  // -exclude-default-group
};

struct UpstreamClientConfig {
  std::vector<UpstreamServerConfig> servers;
  std::string ca_file;  // `ca-file`; empty: the system bundle
  std::string ca_path;  // `ca-path`; empty: the system directory
};

// Decodes the base64 text of `-spki-pin`. Accepts only a value that decodes to exactly
// kSpkiPinLength bytes; otherwise returns false and sets *error to "spki data length is
// invalid." (or a base64 error). Never writes beyond 32 bytes whatever the input.
bool DecodeSpkiPin(std::string_view text, std::vector<uint8_t>* pin, std::string* error);

// Fills host, port and http_path of a `server-https` record from its URI
// ("https://host[:port][/path]", IPv6 hosts in brackets). False with *error on a malformed URI.
bool ParseHttpsUri(std::string_view uri, UpstreamServerConfig* server, std::string* error);

// Splits "addr", "addr:port", "[v6]" or "[v6]:port" of `server`/`server-tcp`/`server-tls` into
// host and port (port 0 when absent). A bare IPv6 address without brackets is taken whole.
bool ParseServerAddress(std::string_view text, UpstreamServerConfig* server, std::string* error);

}  // namespace zc::dns
