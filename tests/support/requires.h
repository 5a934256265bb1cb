// A test that cannot run on this machine (no network namespace, a peer program missing, a
// program not built) ends through ZC_MISSING():
//   if (!InPrivateNetwork()) ZC_MISSING() << "no private network namespace";
// With ZUNCORE_TEST_STRICT set (scripts/test sets it, so CI always runs with it) that is a
// failure naming what is missing; without it (a developer's own machine) the test is skipped.
// A green run under scripts/test therefore means every test ran.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace zctest {

inline constexpr const char* kStrictVariable = "ZUNCORE_TEST_STRICT";

// True when ZUNCORE_TEST_STRICT is set to anything but "" or "0".
inline bool StrictTests() {
  const char* value = std::getenv(kStrictVariable);
  return value && *value && std::strcmp(value, "0") != 0;
}

inline ::testing::TestPartResult::Type MissingResult() {
  return StrictTests() ? ::testing::TestPartResult::kFatalFailure
                       : ::testing::TestPartResult::kSkip;
}

inline const char* MissingNote() {
  return StrictTests() ? "cannot run here, and ZUNCORE_TEST_STRICT is set (unset it to skip); "
                         "missing:"
                       : "skipped (ZUNCORE_TEST_STRICT is not set); missing:";
}

}  // namespace zctest

// Returns from the test body or SetUp like GTEST_SKIP(); stream what is missing into it.
#define ZC_MISSING() \
  return GTEST_MESSAGE_AT_(__FILE__, __LINE__, ::zctest::MissingNote(), ::zctest::MissingResult())
