#include <gtest/gtest.h>

#include <string>

#include "common/numbers.h"
#include "common/sha256.h"
#include "host/startup.h"

namespace kelvra {
namespace {

TEST(Sha256Hex, MatchesPublishedVectors) {
  struct Case {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 448 bits: the padding spills into a second block.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
  };
  // The last case has an embedded NUL byte, which must be hashed like any other.
  for (const Case& c : cases) EXPECT_EQ(Sha256Hex(c.input), c.digest) << c.input.substr(0, 20);
}

TEST(ParsePortArgument, ReadsLikeTheCRuntime) {
  struct Case {
    const char* text;
    int port;
  } cases[] = {
      {"0", 18260},      {"-5", 18260},     {"abc", 18260},     {"", 18260},
      {"18261xyz", 18261}, {"  18262", 18262}, {"+18263", 18263}, {"\t18264", 18264},
      {"1", 1},          {"65535", 65535},  {"70000", 70000},
      {"99999999999", 2147483647},  // saturates instead of wrapping
  };
  for (const Case& c : cases) EXPECT_EQ(ParsePortArgument(c.text), c.port) << c.text;
}

TEST(ParseLeadingInt64, ReadsSignAndDigitsAndSaturates) {
  struct Case {
    const char* text;
    int64_t value;
  } cases[] = {
      {"12abc", 12},
      {"  -7", -7},
      {"+9", 9},
      {"", 0},
      {"x1", 0},
      {"- 1", 0},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"-99999999999999999999", INT64_MIN},
      {"18446744073709551615", INT64_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLeadingInt64(c.text), c.value) << c.text;
  EXPECT_EQ(ParseLeadingInt32("4294967296"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt32("-4294967296"), INT32_MIN);
}

TEST(IsLowerHexSha256, AcceptsOnlyTheStoredForm) {
  std::string good(64, 'a');
  EXPECT_TRUE(IsLowerHexSha256(good));
  EXPECT_FALSE(IsLowerHexSha256(std::string(63, 'a')));
  EXPECT_FALSE(IsLowerHexSha256(std::string(65, 'a')));
  EXPECT_FALSE(IsLowerHexSha256(std::string(64, 'A')));
  EXPECT_FALSE(IsLowerHexSha256("../" + std::string(61, 'a')));
  EXPECT_FALSE(IsLowerHexSha256(std::string(63, 'a') + "g"));
}

TEST(ParentDirectory, DropsTheLastComponent) {
  EXPECT_EQ(ParentDirectory("/opt/kelvra/kelvra-sync-server"), "/opt/kelvra");
  EXPECT_EQ(ParentDirectory("/kelvra-sync-server"), "/");
  EXPECT_EQ(ParentDirectory("kelvra-sync-server"), "");
}

}  // namespace
}  // namespace kelvra
