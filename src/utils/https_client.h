// Asynchronous HTTP(S) client on the main loop: curl's multi interface driven by libevent.
//
// A request is a JSON POST (answer collected in memory) or a download streamed into a file. The
// completion callback runs once per request on the main loop thread and owns the request. Requests
// may be added from any thread: they are handed to the loop, which alone touches curl.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "utils/json.h"

struct event_base;

inline constexpr const char* kHttpCaFile = "/tmp/cacert.pem";
inline constexpr const char* kFirmwareDownloadFile = "/tmp/new_fw.download";
inline constexpr std::chrono::seconds kHttpConnectTimeout{30};
// A transfer slower than kHttpLowSpeedBytes per second for kHttpLowSpeedTime is aborted.
inline constexpr long kHttpLowSpeedBytes = 1024;
inline constexpr std::chrono::seconds kHttpLowSpeedTime{60};
inline constexpr std::chrono::seconds kHttpJsonPostTimeout{60};
inline constexpr size_t kHttpMaxResponse = 1 << 20;
// On a short time scale a connection (TLS handshake included) and a whole POST still get this
// much real time: the scale must not turn a busy machine into a dead server.
inline constexpr std::chrono::milliseconds kHttpConnectFloor{1000};
inline constexpr std::chrono::milliseconds kHttpPostFloor{2000};

struct HttpRequest;
using HttpCompletion = std::function<void(std::unique_ptr<HttpRequest> request)>;

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};

struct HttpRequest {
  // true: stream the body into downloadPath; false: collect it in response.
  bool download = false;
  std::string downloadPath = kFirmwareDownloadFile;  // router path
  std::unique_ptr<FILE, FileCloser> downloadFile;
  std::string response;
  // HTTP status at completion; 0 when no (complete) answer was received.
  long status = 0;
  std::string errorText;
  // Bytes written to the download file.
  uint64_t downloaded = 0;
  HttpCompletion completion;
  // When present, the request is a POST of this object.
  zc::JsonPtr requestBody;

  // Internal transfer state.
  bool writeFailed = false;
  bool tooLarge = false;
};

int HttpsInit(event_base* loop);
int HttpsCleanUp();
// Queues the request; -1 when the download file cannot be opened (nothing queued then).
int AddHttpRequest(const std::string& url, std::unique_ptr<HttpRequest> request);

// True for an absolute http:// or https:// URL (any letter case) of printable characters without
// blanks, at most kHttpMaxUrl bytes: the only URLs the agent fetches.
inline constexpr size_t kHttpMaxUrl = 2048;
bool IsHttpUrl(const std::string& url);

// 0 for 200, 201 and 202; -1 for every other status.
int IsHttpCodeSuccess(long status);
// Error code text of the firmware download report for an HTTP status.
const char* HttpStatusCodeToString(long status);
