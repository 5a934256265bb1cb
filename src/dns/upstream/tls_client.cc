#include "dns/upstream/tls_client.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include "dns/upstream/upstream_message.h"
#include "utils/paths.h"

namespace zc::dns {

namespace {

constexpr char kSystemCaFile[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr char kSystemCaPath[] = "/etc/ssl/certs";
constexpr unsigned char kAlpnHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
constexpr unsigned char kAlpnH2[] = {2, 'h', '2'};
constexpr std::string_view kHttp11 = "http/1.1";
constexpr std::string_view kH2 = "h2";

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

std::string CommonName(X509* cert) {
  X509_NAME* subject = X509_get_subject_name(cert);
  if (subject == nullptr) return "";
  char cn[256] = "";
  if (X509_NAME_get_text_by_NID(subject, NID_commonName, cn, sizeof cn) < 0) return "";
  return cn;
}

}  // namespace

bool IsIpLiteral(std::string_view host) {
  std::string text(host);
  unsigned char buf[16];
  return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

TlsPeerSettings MakeTlsPeerSettings(const UpstreamServerConfig& server) {
  TlsPeerSettings settings;
  if (!server.host_name.empty()) {
    settings.sni = server.host_name;
  } else if (!IsIpLiteral(server.host)) {
    settings.sni = server.host;
  }
  if (!server.tls_host_verify.empty()) {
    settings.verify_name = server.tls_host_verify;
  } else if (!server.host_name.empty()) {
    settings.verify_name = server.host_name;
  } else {
    settings.verify_name = server.host;
  }
  settings.verify_is_ip = IsIpLiteral(settings.verify_name);
  settings.check_certificate = !server.no_check_certificate;
  settings.pin = server.spki_pin;
  settings.http = server.type == UpstreamType::kHttps;
  return settings;
}

std::string DohHostHeader(const UpstreamServerConfig& server, uint16_t port) {
  std::string host;
  if (!server.http_host.empty()) return server.http_host;
  if (!server.host_name.empty()) {
    host = server.host_name;
  } else if (server.host.find(':') != std::string::npos) {
    host = "[" + server.host + "]";
  } else {
    host = server.host;
  }
  if (port != 443) host += ":" + std::to_string(port);
  return host;
}

SslCtxPtr CreateClientContext(const std::string& ca_file, const std::string& ca_path,
                              std::string* warning) {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    *warning = "create ssl ctx failed, " + OpenSslError();
    return ctx;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // A server that drops the connection without close_notify is an ordinary close here.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(ctx.get(),
                                 SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  // Trust files are router paths like every other path of the agent.
  std::string file = ca_file.empty() ? "" : zc::RootPath(ca_file);
  std::string path = ca_path.empty() ? "" : zc::RootPath(ca_path);
  if (file.empty() && path.empty()) {
    file = zc::RootPath(kSystemCaFile);
    path = zc::RootPath(kSystemCaPath);
    if (!Exists(file)) file.clear();
    if (!Exists(path)) path.clear();
  }
  if (file.empty() && path.empty()) {
    *warning = "no trust store found";
  } else if (SSL_CTX_load_verify_locations(ctx.get(), file.empty() ? nullptr : file.c_str(),
                                           path.empty() ? nullptr : path.c_str()) != 1) {
    *warning = "load trust store " + file + " " + path + " failed, " + OpenSslError();
  }
  return ctx;
}

bool ConfigureSsl(SSL* ssl, const TlsPeerSettings& settings, bool http2, std::string* error) {
  if (!settings.sni.empty() && SSL_set_tlsext_host_name(ssl, settings.sni.c_str()) != 1) {
    *error = "set SNI failed, " + OpenSslError();
    return false;
  }
  if (settings.check_certificate) {
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    int ok = settings.verify_is_ip
                 ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), settings.verify_name.c_str())
                 : SSL_set1_host(ssl, settings.verify_name.c_str());
    if (ok != 1) {
      *error = "set verify name " + settings.verify_name + " failed";
      return false;
    }
  } else {
    SSL_set_verify(ssl, SSL_VERIFY_NONE, nullptr);
  }
  bool alpn_failed =
      settings.http && (http2 ? SSL_set_alpn_protos(ssl, kAlpnH2, sizeof kAlpnH2)
                              : SSL_set_alpn_protos(ssl, kAlpnHttp11, sizeof kAlpnHttp11)) != 0;
  if (alpn_failed) {
    *error = "set ALPN failed";
    return false;
  }
  return true;
}

bool SpkiSha256(X509* cert, SpkiDigest* digest) {
  X509_PUBKEY* key = X509_get_X509_PUBKEY(cert);
  if (key == nullptr) return false;
  unsigned char* der = nullptr;
  int length = i2d_X509_PUBKEY(key, &der);
  if (length <= 0) return false;
  unsigned int size = 0;
  bool ok = EVP_Digest(der, static_cast<size_t>(length), digest->data(), &size, EVP_sha256(),
                       nullptr) == 1 &&
            size == digest->size();
  OPENSSL_free(der);
  return ok;
}

bool PinMatches(const std::vector<uint8_t>& pin, const SpkiDigest& digest) {
  return pin.size() == digest.size() && CRYPTO_memcmp(pin.data(), digest.data(), pin.size()) == 0;
}

PeerCheck CheckPeer(SSL* ssl, const TlsPeerSettings& settings, bool http2, std::string* detail) {
  X509Ptr cert(SSL_get1_peer_certificate(ssl));
  if (settings.check_certificate) {
    long result = SSL_get_verify_result(ssl);
    if (result != X509_V_OK || !cert) {
      *detail = "certificate verify failed, ret = " + std::to_string(result) + " (" +
                X509_verify_cert_error_string(result) +
                "), peer CN: " + (cert ? CommonName(cert.get()) : std::string("none")) +
                ", expect: " + settings.verify_name;
      return PeerCheck::kVerifyFailed;
    }
  }
  if (cert) {
    SpkiDigest digest{};
    if (!SpkiSha256(cert.get(), &digest)) {
      *detail = "cannot compute the SPKI digest";
      if (!settings.pin.empty()) return PeerCheck::kPinMismatch;
    } else {
      *detail = "cert SPKI pin(sha256): " + HexColonUpper(digest);
      if (!settings.pin.empty() && !PinMatches(settings.pin, digest)) {
        *detail = "cert spki is invalid, " + *detail;
        return PeerCheck::kPinMismatch;
      }
    }
  } else if (!settings.pin.empty()) {
    *detail = "no peer certificate to check the pin against";
    return PeerCheck::kPinMismatch;
  }
  if (settings.http) {
    const unsigned char* alpn = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &length);
    std::string_view selected(reinterpret_cast<const char*>(alpn), length);
    // HTTP/2 over TLS is only ever negotiated through ALPN; HTTP/1.1 servers may skip it.
    if (http2 ? selected != kH2 : (length > 0 && selected != kHttp11)) {
      *detail = "server selected ALPN " + (length > 0 ? std::string(selected) : "none") +
                (http2 ? ", not h2" : ", not http/1.1");
      return PeerCheck::kProtocolMismatch;
    }
  }
  return PeerCheck::kOk;
}

}  // namespace zc::dns
