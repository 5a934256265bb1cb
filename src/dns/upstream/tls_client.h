// TLS for DNS over TLS and DNS over HTTPS upstreams: the shared client context, per-connection
// settings (SNI, the name the certificate must carry, ALPN) and the checks after the handshake.
#pragma once

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dns/common/dns_handles.h"
#include "dns/upstream/upstream_config.h"

namespace zc::dns {

using SpkiDigest = std::array<uint8_t, 32>;

// What one server's TLS connections send and check; derived once from its record.
struct TlsPeerSettings {
  std::string sni;          // empty: no SNI (a server given by address without -host-name)
  std::string verify_name;  // host name or address the certificate must carry
  bool verify_is_ip = false;
  bool check_certificate = true;  // false with -no-check-certificate
  std::vector<uint8_t> pin;       // empty or exactly 32 bytes
  bool http = false;              // offer ALPN (HTTPS servers): "http/1.1", or "h2" for HTTP/2
};

bool IsIpLiteral(std::string_view host);

// The certificate name: -tls-host-verify, else -host-name, else the server's host (URI host for
// HTTPS). SNI: -host-name, else the host when it is a name.
TlsPeerSettings MakeTlsPeerSettings(const UpstreamServerConfig& server);

// Host header of DoH requests: -http-host, else -host-name, else the URI host (IPv6 literal in
// brackets); ":port" is added for a port other than 443.
std::string DohHostHeader(const UpstreamServerConfig& server, uint16_t port);

// The client context: TLS 1.2 or later, client session cache, trust from ca_file/ca_path or
// the system store under the root. A trust store that cannot be loaded is reported in *warning
// (TLS servers will then fail verification) but still yields a context.
SslCtxPtr CreateClientContext(const std::string& ca_file, const std::string& ca_path,
                              std::string* warning);

// Applies SNI, verification mode and name, and ALPN to a new connection (`http2`: offer only
// "h2"). False with *error.
bool ConfigureSsl(SSL* ssl, const TlsPeerSettings& settings, bool http2, std::string* error);

enum class PeerCheck { kOk, kVerifyFailed, kPinMismatch, kProtocolMismatch };

// Runs after a completed handshake: verification result, SPKI pin, negotiated ALPN (HTTP/1.1
// accepts "http/1.1" or none; HTTP/2 needs "h2"). *detail receives the text for the log line.
PeerCheck CheckPeer(SSL* ssl, const TlsPeerSettings& settings, bool http2, std::string* detail);

// SHA-256 of the DER-encoded subject public key.
bool SpkiSha256(X509* cert, SpkiDigest* digest);
// A pin matches only when it is exactly 32 bytes and equal to the digest.
bool PinMatches(const std::vector<uint8_t>& pin, const SpkiDigest& digest);

}  // namespace zc::dns
