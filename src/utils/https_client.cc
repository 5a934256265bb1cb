#include "utils/https_client.h"

#include <curl/curl.h>
#include <event2/event.h>

#include <strings.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <utility>

#include "utils/log.h"
#include "utils/paths.h"
#include "utils/timescale.h"

namespace {

struct Transfer {
  std::unique_ptr<HttpRequest> request;
  std::string url;
  std::string postText;
  curl_slist* headers = nullptr;
  CURL* easy = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  ~Transfer() {
    if (headers) curl_slist_free_all(headers);
    if (easy) curl_easy_cleanup(easy);
  }
};

struct SocketContext {
  event* ev = nullptr;
  curl_socket_t fd = CURL_SOCKET_BAD;
};

struct Client {
  event_base* loop = nullptr;
  CURLM* multi = nullptr;
  event* timer = nullptr;
  event* wake = nullptr;  // drains the queue of requests added from any thread
  std::mutex queueMutex;
  std::deque<std::pair<std::string, std::unique_ptr<HttpRequest>>> queue;
  std::set<Transfer*> active;  // loop thread only
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

void Complete(Transfer* raw) {
  std::unique_ptr<Transfer> transfer(raw);
  std::unique_ptr<HttpRequest> request = std::move(transfer->request);
  gClient.active.erase(raw);
  if (transfer->easy) curl_multi_remove_handle(gClient.multi, transfer->easy);
  if (request->download && request->downloadFile) {
    FILE* f = request->downloadFile.release();
    if (fclose(f) != 0) request->status = 0;
    if (request->downloaded > 0) {
      curl_off_t speed = 0;
      curl_easy_getinfo(transfer->easy, CURLINFO_SPEED_DOWNLOAD_T, &speed);
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
  while (CURLMsg* msg = curl_multi_info_read(gClient.multi, &pending)) {
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
    Complete(transfer);
  }
}

void OnSocketEvent(evutil_socket_t fd, short what, void*) {
  int action =
      ((what & EV_READ) ? CURL_CSELECT_IN : 0) | ((what & EV_WRITE) ? CURL_CSELECT_OUT : 0);
  int running = 0;
  curl_multi_socket_action(gClient.multi, fd, action, &running);
  CollectFinished();
}

void OnTimer(evutil_socket_t, short, void*) {
  int running = 0;
  curl_multi_socket_action(gClient.multi, CURL_SOCKET_TIMEOUT, 0, &running);
  CollectFinished();
}

int SocketCallback(CURL*, curl_socket_t s, int what, void*, void* socketp) {
  auto* ctx = static_cast<SocketContext*>(socketp);
  if (what == CURL_POLL_REMOVE) {
    if (ctx) {
      if (ctx->ev) event_free(ctx->ev);
      delete ctx;
    }
    curl_multi_assign(gClient.multi, s, nullptr);
    return 0;
  }
  if (!ctx) {
    ctx = new SocketContext{nullptr, s};
    curl_multi_assign(gClient.multi, s, ctx);
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
  if (ctx->ev) event_free(ctx->ev);
  ctx->ev = event_new(gClient.loop, s, kind, OnSocketEvent, nullptr);
  event_add(ctx->ev, nullptr);
  return 0;
}

int TimerCallback(CURLM*, long timeoutMs, void*) {
  if (timeoutMs < 0) {
    evtimer_del(gClient.timer);
    return 0;
  }
  timeval tv{timeoutMs / 1000, static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
  if (timeoutMs == 0) tv.tv_usec = 1000;
  evtimer_add(gClient.timer, &tv);
  return 0;
}

// Builds the curl transfer for a request; on failure completes it with status 0.
void StartTransfer(std::string url, std::unique_ptr<HttpRequest> request) {
  auto transfer = std::make_unique<Transfer>();
  transfer->url = std::move(url);
  transfer->request = std::move(request);
  HttpRequest* req = transfer->request.get();
  transfer->easy = curl_easy_init();
  if (!transfer->easy) {
    LogOut(LL_ERR, "%s: curl_easy_init failed", "AddHttpRequest");
    Complete(transfer.release());
    return;
  }
  CURL* easy = transfer->easy;
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
    transfer->headers = curl_slist_append(transfer->headers, "Accept: application/json");
    transfer->headers = curl_slist_append(transfer->headers, "Content-Type: application/json");
    transfer->postText = zc::JsonText(req->requestBody.get());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, transfer->postText.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(transfer->postText.size()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(ScaledWithFloor(kHttpJsonPostTimeout, kHttpPostFloor)));
  }
  bool download = req->download;
  std::string target = transfer->url;
  CURLMcode rc = curl_multi_add_handle(gClient.multi, easy);
  if (rc != CURLM_OK) {
    LogOut(LL_ERR, "%s: curl_multi_add_handle: %s", "AddHttpRequest", curl_multi_strerror(rc));
    Complete(transfer.release());
    return;
  }
  gClient.active.insert(transfer.release());  // owned by the client until completion
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
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    LogOut(LL_ERR, "HttpsInit: Could not init curl");
    return -1;
  }
  gClient.loop = loop;
  gClient.multi = curl_multi_init();
  gClient.timer = evtimer_new(loop, OnTimer, nullptr);
  gClient.wake = event_new(loop, -1, 0, DrainQueue, nullptr);
  if (!gClient.multi || !gClient.timer || !gClient.wake) {
    LogOut(LL_ERR, "HttpsInit: Could not init curl");
    return -1;
  }
  curl_multi_setopt(gClient.multi, CURLMOPT_SOCKETFUNCTION, SocketCallback);
  curl_multi_setopt(gClient.multi, CURLMOPT_TIMERFUNCTION, TimerCallback);
  return 0;
}

int HttpsCleanUp() {
  if (gClient.multi) {
    // Transfers still running are dropped without their completions: the process is ending.
    for (Transfer* transfer : gClient.active) {
      curl_multi_remove_handle(gClient.multi, transfer->easy);
      delete transfer;
    }
    gClient.active.clear();
    curl_multi_cleanup(gClient.multi);
    gClient.multi = nullptr;
  }
  if (gClient.timer) event_free(gClient.timer);
  if (gClient.wake) event_free(gClient.wake);
  gClient.timer = gClient.wake = nullptr;
  {
    std::lock_guard lock(gClient.queueMutex);
    gClient.queue.clear();
  }
  curl_global_cleanup();
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
  event_active(gClient.wake, EV_READ, 0);
  return 0;
}
