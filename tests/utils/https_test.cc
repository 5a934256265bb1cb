#include <event2/event.h>
#include <event2/thread.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/http_server.h"
#include "support/temp_root.h"
#include "utils/event_handles.h"
#include "utils/https_client.h"
#include "utils/timescale.h"

namespace {

using namespace std::chrono_literals;
using zctest::HttpServer;

class HttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    evthread_use_pthreads();
    zc::SetTimeScaleForTest(0.02);
    loop.reset(event_base_new());
    ASSERT_EQ(HttpsInit(loop.get()), 0);
  }
  void TearDown() override {
    HttpsCleanUp();
    loop.reset();
    zc::SetTimeScaleForTest(1);
  }
  // Runs the loop until `done` requests completed or the deadline passed.
  void RunUntil(const std::atomic<int>& completed, int done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (completed.load() < done && std::chrono::steady_clock::now() < deadline) {
      event_base_loop(loop.get(), EVLOOP_ONCE | EVLOOP_NONBLOCK);
      std::this_thread::sleep_for(1ms);
    }
  }
  std::unique_ptr<HttpRequest> Post(std::atomic<int>& completed,
                                    std::unique_ptr<HttpRequest>* result) {
    auto req = std::make_unique<HttpRequest>();
    req->requestBody.reset(json_object_new_object());
    zc::JsonAddString(req->requestBody.get(), "mac", "02:5A:00:00:00:01");
    req->completion = [&completed, result](std::unique_ptr<HttpRequest> r) {
      if (result) *result = std::move(r);
      ++completed;
    };
    return req;
  }

  zctest::TempRoot root;
  zc::ev::BasePtr loop;
};

TEST_F(HttpsTest, PostCollectsABodySplitOverReads) {
  HttpServer server([](const std::string& request) {
    EXPECT_NE(request.find("Content-Type: application/json"), std::string::npos);
    EXPECT_NE(request.find(R"({"mac":"02:5A:00:00:00:01"})"), std::string::npos);
    std::string body = R"({"provisioningCode":"MNGD.AGNT.PROV"})";
    std::string head =
        "HTTP/1.1 201 Created\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return zctest::HttpScript{{head + body.substr(0, 10)}, {body.substr(10), 30ms}};
  });
  std::atomic<int> completed{0};
  std::unique_ptr<HttpRequest> result;
  ASSERT_EQ(AddHttpRequest(server.Url("/device/register"), Post(completed, &result)), 0);
  RunUntil(completed, 1, 5s);
  ASSERT_EQ(completed.load(), 1);
  EXPECT_EQ(result->status, 201);
  EXPECT_EQ(IsHttpCodeSuccess(result->status), 0);
  EXPECT_EQ(result->response, R"({"provisioningCode":"MNGD.AGNT.PROV"})");
  EXPECT_EQ(IsHttpCodeSuccess(204), -1);
  EXPECT_STREQ(HttpStatusCodeToString(404), "FW_NotFound");
  EXPECT_STREQ(HttpStatusCodeToString(500), "FW_Download_Fail");
}

TEST_F(HttpsTest, OversizedBodyAndStalledPeerCompleteWithStatusZero) {
  HttpServer big([](const std::string&) {
    return zctest::HttpScript{{HttpServer::Response(200, std::string(5 << 20, 'x'))}};
  });
  HttpServer stalled(
      [](const std::string&) {
        return zctest::HttpScript{{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nabc"}};
      },
      /*holdOpen=*/true);
  std::atomic<int> completed{0};
  std::unique_ptr<HttpRequest> tooBig, stall;
  ASSERT_EQ(AddHttpRequest(big.Url("/"), Post(completed, &tooBig)), 0);
  auto download = std::make_unique<HttpRequest>();
  download->download = true;
  download->completion = [&](std::unique_ptr<HttpRequest> r) {
    stall = std::move(r);
    ++completed;
  };
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(AddHttpRequest(stalled.Url("/image"), std::move(download)), 0);
  RunUntil(completed, 2, 10s);
  ASSERT_EQ(completed.load(), 2);
  EXPECT_EQ(tooBig->status, 0);
  EXPECT_LT(tooBig->response.size(), kHttpMaxResponse + 1);
  EXPECT_EQ(stall->status, 0);  // low-speed abort, scaled
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
}

TEST_F(HttpsTest, DownloadFailuresNeverLookComplete) {
  HttpServer image([](const std::string&) {
    return zctest::HttpScript{{HttpServer::Response(200, std::string(200000, 'i'))}};
  });
  // No room on the device: the transfer aborts instead of ending 200 with a truncated file.
  std::filesystem::create_symlink("/dev/full", root("/tmp/new_fw.download"));
  std::atomic<int> completed{0};
  std::unique_ptr<HttpRequest> result;
  auto req = std::make_unique<HttpRequest>();
  req->download = true;
  req->completion = [&](std::unique_ptr<HttpRequest> r) {
    result = std::move(r);
    ++completed;
  };
  ASSERT_EQ(AddHttpRequest(image.Url("/image"), std::move(req)), 0);
  RunUntil(completed, 1, 5s);
  ASSERT_EQ(completed.load(), 1);
  EXPECT_EQ(result->status, 0);

  auto unopenable = std::make_unique<HttpRequest>();
  unopenable->download = true;
  unopenable->downloadPath = "/nonexistent-dir/new_fw.download";
  unopenable->completion = [&](std::unique_ptr<HttpRequest>) { ++completed; };
  EXPECT_EQ(AddHttpRequest(image.Url("/image"), std::move(unopenable)), -1);
  RunUntil(completed, 2, 200ms);
  EXPECT_EQ(completed.load(), 1);  // nothing was queued
}

TEST_F(HttpsTest, RequestsFromManyThreadsCompleteExactlyOnce) {
  HttpServer server([](const std::string&) {
    return zctest::HttpScript{{HttpServer::Response(200, "{}"), 5ms}};
  });
  std::atomic<int> completed{0};
  std::vector<std::thread> adders;
  for (int t = 0; t < 4; ++t) {
    adders.emplace_back([&] {
      for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(AddHttpRequest(server.Url("/"), Post(completed, nullptr)), 0);
      }
    });
  }
  ASSERT_EQ(AddHttpRequest(server.Url("/"), Post(completed, nullptr)), 0);
  ASSERT_EQ(AddHttpRequest(server.Url("/"), Post(completed, nullptr)), 0);
  RunUntil(completed, 50, 20s);
  for (auto& a : adders) a.join();
  RunUntil(completed, 50, 5s);
  EXPECT_EQ(completed.load(), 50);
  RunUntil(completed, 51, 100ms);
  EXPECT_EQ(completed.load(), 50);
}

}  // namespace
