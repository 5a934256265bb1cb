// The end of the agent's main loop: when the loop runs out of events, everything the start-up
// put on it is released before the loop itself. Under AddressSanitizer a wrong order (the loop
// freed first) is a use-after-free inside the teardown.
#include <event2/thread.h>
#include <gtest/gtest.h>

#include <memory>

#include "main/main_loop.h"
#include "main/timers.h"
#include "support/http_server.h"
#include "support/temp_root.h"
#include "utils/exec.h"
#include "utils/https_client.h"

// libevent is not instrumented, so its reads of a freed loop go unseen by AddressSanitizer
// itself. Freed memory is filled with a pattern instead: a freed loop's lock pointer then points
// nowhere, and a teardown in the wrong order crashes (and is reported) at once.
extern "C" const char* __asan_default_options() {
  return "max_free_fill_size=65536:free_fill_byte=190";
}

namespace {

TEST(MainLoop, RunsOutOfEventsThenReleasesEverythingOnItBeforeTheLoop) {
  evthread_use_pthreads();
  zctest::TempRoot root;
  zc::ev::BasePtr loop(event_base_new());
  ASSERT_TRUE(loop);
  ASSERT_EQ(HttpsInit(loop.get()), 0);
  ASSERT_EQ(ExecInit(loop.get()), 0);
  ASSERT_EQ(CreateMainTimer(loop.get()), 0);  // created, not armed: as after sign-on

  // One HTTP exchange and one command leave their traces on the loop before it runs dry.
  zctest::HttpServer server([](const std::string&) {
    return zctest::HttpScript{{zctest::HttpServer::Response(200, "{}")}};
  });
  long status = -1;
  auto request = std::make_unique<HttpRequest>();
  request->requestBody.reset(json_object_new_object());
  request->completion = [&status](std::unique_ptr<HttpRequest> r) { status = r->status; };
  ASSERT_EQ(AddHttpRequest(server.Url("/device/register"), std::move(request)), 0);
  bool commandEnded = false;
  ASSERT_EQ(RunCommand(
                "echo done",
                [&](const char* chunk, const std::string&) {
                  if (!chunk) commandEnded = true;
                },
                "t"),
            0);

  EXPECT_EQ(RunMainLoop(std::move(loop)), 1) << "the loop ends because nothing is left on it";
  EXPECT_EQ(status, 200);
  EXPECT_TRUE(commandEnded);
  EXPECT_EQ(gZunCoreMainTimer, nullptr);
  EXPECT_EQ(gZunCoreMainEventBase, nullptr);
  EXPECT_EQ(AddHttpRequest("http://127.0.0.1:1/", std::make_unique<HttpRequest>()), -1)
      << "the HTTPS client is gone with the loop";
}

}  // namespace
