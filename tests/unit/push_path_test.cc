// The path rules of a push: how a client's path is normalised and which
// normalised paths may be stored.
#include <gtest/gtest.h>

#include <string>

#include "sync/push.h"

namespace kelvra {
namespace {

TEST(NormalizePushPath, TurnsBackslashesIntoSlashesThenDropsLeadingSlashes) {
  struct Case {
    std::string sent;
    std::string normalized;
  } cases[] = {
      {"\\docs\\a.txt", "docs/a.txt"},
      {"///a", "a"},
      {"\\/\\a\\b", "a/b"},
      {"///", ""},
      {"", ""},
      {"a//b/", "a//b/"},  // only leading slashes go
      {"C:\\x", "C:/x"},
      {" /a", " /a"},  // a space is not a slash
  };
  for (const Case& c : cases) EXPECT_EQ(NormalizePushPath(c.sent), c.normalized) << c.sent;
}

TEST(PushPathAllowed, RefusesEmptyOverlongAndDoubleDotPaths) {
  struct Case {
    std::string path;
    bool allowed;
  } cases[] = {
      {"", false},
      {std::string(1000, 'a'), true},
      {std::string(1001, 'a'), false},
      {std::string(999, 'a') + "\xc3\xa9", false},  // bytes, not characters
      {"a..b", false},
      {"x/../y", false},
      {"..", false},
      {"a.", true},
      {"a/.b", true},
      {"./a", true},
      {"a/./b/.c.", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PushPathAllowed(c.path), c.allowed) << c.path.substr(0, 40);
  }
}

TEST(PushPathAllowed, LimitAppliesAfterNormalisation) {
  EXPECT_TRUE(PushPathAllowed(NormalizePushPath("///" + std::string(1000, 'a'))));
  EXPECT_FALSE(PushPathAllowed(NormalizePushPath("/" + std::string(1001, 'a'))));
  EXPECT_FALSE(PushPathAllowed(NormalizePushPath("x\\..\\y")));
}

}  // namespace
}  // namespace kelvra
