// One owner per libcurl handle: easy and multi handles, header lists and the library's global
// state are released by their owner's destructor, never by a hand-written cleanup path.
//
// Lifetime rule: an easy handle leaves its multi handle (curl_multi_remove_handle) before either
// is destroyed, and a header list outlives the easy handle that sends it.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace zc::curl {

struct EasyDeleter {
  void operator()(CURL* p) const { curl_easy_cleanup(p); }
};
struct MultiDeleter {
  void operator()(CURLM* p) const { curl_multi_cleanup(p); }
};
struct SlistDeleter {
  void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};

using EasyPtr = std::unique_ptr<CURL, EasyDeleter>;
using MultiPtr = std::unique_ptr<CURLM, MultiDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// Appends a header line; false (the list unchanged) when curl could not allocate.
inline bool Append(SlistPtr& list, const char* line) {
  curl_slist* head = curl_slist_append(list.get(), line);
  if (!head) return false;
  (void)list.release();  // head now owns every node, the old ones included
  list.reset(head);
  return true;
}

// The library's global state, held for as long as the owner lives.
class Global {
 public:
  explicit Global(long flags = CURL_GLOBAL_ALL) : ok_(curl_global_init(flags) == CURLE_OK) {}
  ~Global() {
    if (ok_) curl_global_cleanup();
  }
  Global(const Global&) = delete;
  Global& operator=(const Global&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

}  // namespace zc::curl
