#include "utils/https_client.h"

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "utils/curl_handles.h"
#include "utils/event_handles.h"
#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

struct Transfer {
  std::unique_ptr<HttpRequest> request;
  std::string url;
  std::string postText;
  zc::curl::SlistPtr headers;  // declared before easy: it outlives the handle that sends it
  zc::curl::EasyPtr easy;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

struct SocketContext {
  zc::ev::EventPtr ev;
  curl_socket_t fd = CURL_SOCKET_BAD;
};

struct Client {
  event_base* loop = nullptr;
  std::optional<zc::curl::Global> curlGlobal;
  zc::curl::MultiPtr multi;
  zc::ev::EventPtr timer;
  zc::ev::EventPtr wake;  // drains the queue of requests added from any thread
  std::mutex queueMutex;
  std::deque<std::pair<std::string, std::unique_ptr<HttpRequest>>> queue;
  // Transfers handed to curl, owned here until they complete (loop thread only).
  std::unordered_map<Transfer*, std::unique_ptr<Transfer>> active;
};

Client gClient;

int64_t ScaledWithFloor(std::chrono::milliseconds real, std::chrono::milliseconds floor) {
  return std::max(zc::Scaled(real), std::min(floor, real)).count();
}

size_t WriteBody(char* data, size_t size, size_t nmemb, void* user) {
  auto* request = static_cast<HttpRequest*>(user);
  size_t n = size * nmemb;
  if (request->download) {
    size_t written = request->downloadFile ? fwrite(data, 1, n, request->downloadFile.get()) : 0;
    request->downloaded += written;
    // A short write (full /tmp) aborts the transfer: a truncated image must never look complete.
    if (written != n) request->writeFailed = true;
    return written;
  }
  if (request->response.size() + n > kHttpMaxResponse) {
    request->tooLarge = true;
    return 0;
  }
  request->response.append(data, n);
  LogOut(LL_DEBUG, "HttpResponseCb: %zd", static_cast<ssize_t>(n));
  return n;
}

void Complete(std::unique_ptr<Transfer> transfer) {
  std::unique_ptr<HttpRequest> request = std::move(transfer->request);
  if (transfer->easy) curl_multi_remove_handle(gClient.multi.get(), transfer->easy.get());
  if (request->download && request->downloadFile) {
    FILE* f = request->downloadFile.release();
    if (fclose(f) != 0) request->status = 0;
    if (request->downloaded > 0) {
      curl_off_t speed = 0;
      curl_easy_getinfo(transfer->easy.get(), CURLINFO_SPEED_DOWNLOAD_T, &speed);
      LogOut(LL_INFO, "Firmware data downloaded: %lu bytes",
             static_cast<unsigned long>(request->downloaded));
      LogOut(LL_INFO, "Firmware average download speed: %lu kbyte/sec",
             static_cast<unsigned long>(speed / 1024));
    }
  }
  if (request->writeFailed || request->tooLarge) request->status = 0;
  transfer.reset();
  if (request->completion) {
    HttpCompletion completion = request->completion;
    completion(std::move(request));
  }
}

void CollectFinished() {
  int pending = 0;
  while (CURLMsg* msg = curl_multi_info_read(gClient.multi.get(), &pending)) {
    if (msg->msg != CURLMSG_DONE) {
      LogOut(LL_INFO, "CURLMSG default");
      continue;
    }
    Transfer* transfer = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&transfer));
    char* effective = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_EFFECTIVE_URL, &effective);
    long status = 0;
    if (msg->data.result == CURLE_OK) {
      curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &status);
    } else {
      transfer->request->errorText =
          transfer->errorBuffer[0] ? transfer->errorBuffer : curl_easy_strerror(msg->data.result);
      LogOut(LL_ERR, "%s: %s: %s", "CollectFinished", effective ? effective : "",
             transfer->request->errorText.c_str());
    }
    transfer->request->status = status;
    LogOut(LL_INFO, "%s DONE", effective ? effective : transfer->url.c_str());
    auto owned = gClient.active.extract(transfer);
    if (owned.empty()) continue;  // not ours: never handed to curl through StartTransfer
    Complete(std::move(owned.mapped()));
  }
}

void OnSocketEvent(evutil_socket_t fd, short what, void*) {
  int action =
      ((what & EV_READ) ? CURL_CSELECT_IN : 0) | ((what & EV_WRITE) ? CURL_CSELECT_OUT : 0);
  int running = 0;
  curl_multi_socket_action(gClient.multi.get(), fd, action, &running);
  CollectFinished();
}

void OnTimer(evutil_socket_t, short, void*) {
  int running = 0;
  curl_multi_socket_action(gClient.multi.get(), CURL_SOCKET_TIMEOUT, 0, &running);
  CollectFinished();
}

int SocketCallback(CURL*, curl_socket_t s, int what, void*, void* socketp) {
  // curl holds the context of a watched socket as its socket pointer: the context is owned by
  // that assignment from here until CURL_POLL_REMOVE.
  auto* ctx = static_cast<SocketContext*>(socketp);
  if (what == CURL_POLL_REMOVE) {
    std::unique_ptr<SocketContext> owned(ctx);
    curl_multi_assign(gClient.multi.get(), s, nullptr);
    return 0;
  }
  if (!ctx) {
    auto created = std::make_unique<SocketContext>();
    created->fd = s;
    ctx = created.get();
    if (curl_multi_assign(gClient.multi.get(), s, ctx) != CURLM_OK) return -1;
    (void)created.release();  // now owned through the assignment
  }
  short kind = EV_PERSIST;
  if (what == CURL_POLL_IN)
    kind |= EV_READ;
  else if (what == CURL_POLL_OUT)
    kind |= EV_WRITE;
  else if (what == CURL_POLL_INOUT)
    kind |= EV_READ | EV_WRITE;
  else
    abort();  // curl gave a value it documents no other way
  ctx->ev.reset(event_new(gClient.loop, s, kind, OnSocketEvent, nullptr));
  if (!ctx->ev || event_add(ctx->ev.get(), nullptr) != 0) {
    LogOut(LL_ERR, "%s: unable to watch socket %d", "SocketCallback", static_cast<int>(s));
    return -1;
  }
  return 0;
}

int TimerCallback(CURLM*, long timeoutMs, void*) {
  if (timeoutMs < 0) {
    evtimer_del(gClient.timer.get());
    return 0;
  }
  timeval tv{timeoutMs / 1000, static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  if (timeoutMs == 0) tv.tv_usec = 1000;
  evtimer_add(gClient.timer.get(), &tv);
  return 0;
}

// Builds the curl transfer for a request; on failure completes it with status 0.
void StartTransfer(std::string url, std::unique_ptr<HttpRequest> request) {
  auto transfer = std::make_unique<Transfer>();
  transfer->url = std::move(url);
  transfer->request = std::move(request);
  HttpRequest* req = transfer->request.get();
  transfer->easy.reset(curl_easy_init());
  if (!transfer->easy) {
    LogOut(LL_ERR, "%s: curl_easy_init failed", "AddHttpRequest");
    Complete(std::move(transfer));
    return;
  }
  CURL* easy = transfer->easy.get();
  std::string ca = zc::RootPath(kHttpCaFile);
  curl_easy_setopt(easy, CURLOPT_VERBOSE, g_loglevel.load() <= LL_DEBUG ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, req);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
  curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  // Only the web: no local files or other protocols, not even through a redirect.
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(ScaledWithFloor(kHttpConnectTimeout, kHttpConnectFloor)));
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, kHttpLowSpeedBytes);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>(zc::Scaled(kHttpLowSpeedTime).count() / 1000)));
  if (req->requestBody) {
    LogOut(LL_INFO, "add_http_request POST:\n%s\n",
           zc::JsonText(req->requestBody.get(), JSON_C_TO_STRING_PRETTY).c_str());
    if (!zc::curl::Append(transfer->headers, "Accept: application/json") ||
        !zc::curl::Append(transfer->headers, "Content-Type: application/json")) {
      LogOut(LL_ERR, "%s: curl_slist_append failed", "AddHttpRequest");
      Complete(std::move(transfer));
      return;
    }
    transfer->postText = zc::JsonText(req->requestBody.get());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers.get());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->postText.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(transfer->postText.size()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(ScaledWithFloor(kHttpJsonPostTimeout, kHttpPostFloor)));
  }
  bool download = req->download;
  std::string target = transfer->url;
  CURLMcode rc = curl_multi_add_handle(gClient.multi.get(), easy);
  if (rc != CURLM_OK) {
    LogOut(LL_ERR, "%s: curl_multi_add_handle: %s", "AddHttpRequest", curl_multi_strerror(rc));
    Complete(std::move(transfer));
    return;
  }
  Transfer* key = transfer.get();
  gClient.active.emplace(key, std::move(transfer));
  LogOut(LL_INFO, download ? "Added download %s" : "Added request %s", target.c_str());
}

void DrainQueue(evutil_socket_t, short, void*) {
  std::deque<std::pair<std::string, std::unique_ptr<HttpRequest>>> pending;
  {
    std::lock_guard lock(gClient.queueMutex);
    pending.swap(gClient.queue);
  }
  for (auto& [url, request] : pending) StartTransfer(std::move(url), std::move(request));
}

}  // namespace

bool IsHttpUrl(const std::string& url) {
  if (url.empty() || url.size() > kHttpMaxUrl) return false;
  for (char c : url) {
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
  }
  auto starts = [&](const char* prefix) {
    return strncasecmp(url.c_str(), prefix, strlen(prefix)) == 0;
  };
  size_t host = starts("http://") ? 7 : starts("https://") ? 8 : 0;
  return host > 0 && url.size() > host && url[host] != '/';
}

int IsHttpCodeSuccess(long status) {
  return (status >= 200 && status <= 202) ? 0 : -1;
}

const char* HttpStatusCodeToString(long status) {
  switch (status) {
    case 400:
      return "FW_Bad_Request";
    case 401:
      return "FW_Unauthorized";
    case 403:
      return "FW_Forbidden";
    case 404:
      return "FW_NotFound";
    case 406:
      return "FW_NotAcceptable";
    case 408:
      return "FW_Request_Timeout";
    case 411:
      return "FW_Length_Required";
    case 414:
      return "FW_Request_URI_Too_Long";
    default:
      return "FW_Download_Fail";
  }
}

int HttpsInit(event_base* loop) {
  gClient.curlGlobal.emplace();
  if (!gClient.curlGlobal->ok()) {
    gClient.curlGlobal.reset();
    LogOut(LL_ERR, "HttpsInit: Could not init curl");
    return -1;
  }
  gClient.loop = loop;
  gClient.multi.reset(curl_multi_init());
  gClient.timer.reset(evtimer_new(loop, OnTimer, nullptr));
  gClient.wake.reset(event_new(loop, -1, 0, DrainQueue, nullptr));
  if (!gClient.multi || !gClient.timer || !gClient.wake) {
    LogOut(LL_ERR, "HttpsInit: Could not init curl");
    return -1;
  }
  curl_multi_setopt(gClient.multi.get(), CURLMOPT_SOCKETFUNCTION, SocketCallback);
  curl_multi_setopt(gClient.multi.get(), CURLMOPT_TIMERFUNCTION, TimerCallback);
  return 0;
}

int HttpsCleanUp() {
  // Transfers still running are dropped without their completions: the process is ending.
  for (auto& [key, transfer] : gClient.active) {
    curl_multi_remove_handle(gClient.multi.get(), transfer->easy.get());
  }
  gClient.active.clear();
  gClient.multi.reset();
  gClient.timer.reset();
  gClient.wake.reset();
  gClient.loop = nullptr;
  {
    std::lock_guard lock(gClient.queueMutex);
    gClient.queue.clear();
  }
  gClient.curlGlobal.reset();
  return 0;
}

int AddHttpRequest(const std::string& url, std::unique_ptr<HttpRequest> request) {
  if (!request) return -1;
  if (request->download) {
    std::string path = zc::RootPath(request->downloadPath);
    request->downloadFile.reset(fopen(path.c_str(), "wbe"));
    if (!request->downloadFile) {
      LogOut(LL_ERR, "Error opening %s", request->downloadPath.c_str());
      return -1;
    }
  }
  if (!gClient.wake) {
    LogOut(LL_ERR, "%s: https client not initialised", "AddHttpRequest");
    return -1;
  }
  {
    std::lock_guard lock(gClient.queueMutex);
    gClient.queue.emplace_back(url, std::move(request));
  }
  event_active(gClient.wake.get(), EV_READ, 0);
  return 0;
}
