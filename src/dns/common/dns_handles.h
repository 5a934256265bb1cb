// RAII owners for the descriptors and OpenSSL objects of the DNS layers (upstream client,
// prober, cache file, engine).
#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace zc::dns {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct SslCtxFree {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
  void operator()(SSL* p) const { SSL_free(p); }
};
struct SslSessionFree {
  void operator()(SSL_SESSION* p) const { SSL_SESSION_free(p); }
};
struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};

using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, SslSessionFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

}  // namespace zc::dns
