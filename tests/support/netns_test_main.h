// The body of a test main whose process moves into a private network namespace first: the
// namespace is made by `enter` before GoogleTest (or anything else) starts a thread, so every
// port, address and peer of the run stays private to it. When it cannot be made the run goes on,
// and the tests that need it end through ZC_MISSING (a failure under ZUNCORE_TEST_STRICT).
#pragma once

#include <string>

namespace zctest {

// `enter` returns an empty string or the reason it failed; `suite` names the tests in that
// message.
int RunTestsInPrivateNetwork(int argc, char** argv, const char* suite, std::string (*enter)());

}  // namespace zctest
