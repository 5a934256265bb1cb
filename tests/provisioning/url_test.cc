// The only URLs the agent fetches (bootstrap renewal, firmware images) are web URLs.
#include <gtest/gtest.h>

#include "utils/https_client.h"

namespace {

TEST(HttpUrl, OnlyAbsoluteWebUrlsWithoutBlanksOrControlCharacters) {
  for (const char* ok : {"https://127.0.0.1:8443/renew", "http://fw.example/a.img?x=1&y=$(id)",
                         "HTTPS://Example.com", "http://h"}) {
    EXPECT_TRUE(IsHttpUrl(ok)) << ok;
  }
  for (const char* bad : {"", "NA", "file:///etc/passwd", "ftp://h/a", "gopher://h", "https://",
                          "https:///path", "//h/a", "/tmp/x", "https://h/a b", "https://h/a\nb",
                          "https://h/\x7f", "http:/h", " https://h", "httpsx://h"}) {
    EXPECT_FALSE(IsHttpUrl(bad)) << bad;
  }
  EXPECT_TRUE(IsHttpUrl("https://h/" + std::string(kHttpMaxUrl - 10, 'a')));
  EXPECT_FALSE(IsHttpUrl("https://h/" + std::string(kHttpMaxUrl, 'a')));
}

}  // namespace
