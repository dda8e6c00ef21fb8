#include <gtest/gtest.h>

#include <random>
#include <string>

#include "http/json_text.h"
#include "http/reply.h"

namespace kelvra {
namespace {

std::string Written(std::string_view text) {
  std::string out;
  AppendJsonString(out, text);
  return out;
}

std::string Library(std::string_view text) {
  return SerializeReply(ReplyDocument(std::string(text)));
}

TEST(JsonText, StringsMatchTheLibraryTable) {
  const std::string cases[] = {
      "",
      "plain",
      "quote \" backslash \\ solidus /",
      "\b\f\n\r\t",
      std::string("\x00\x01\x1f\x7f", 4),
      "中文 🛰 ü",
      "\xc3\x28",                  // invalid continuation
      "\xed\xa0\x80",              // a surrogate
      "\xf4\x90\x80\x80",          // above U+10FFFF
      "\xc0\xaf",                  // overlong
      "\xe4\xb8",                  // cut short
      "a\xffz",
  };
  for (const std::string& c : cases) EXPECT_EQ(Written(c), Library(c)) << c;
}

// Random byte strings, mostly of the bytes that matter: control bytes,
// quotes, ASCII, and pieces of multi-byte sequences.
TEST(JsonText, RandomStringsMatchTheLibrary) {
  std::mt19937 random(11);
  const unsigned char alphabet[] = {0x00, 0x01, 0x08, 0x09, 0x0a, 0x1f, 0x20, '"', '\\', 'a',
                                    0x7f, 0x80, 0xbf, 0xc2, 0xc3, 0xe2, 0xed, 0xef, 0xf0, 0xf4,
                                    0xf5, 0xff, 0x9f, 0xa0};
  size_t valid = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (size_t n = random() % 12; n > 0; --n) {
      text.push_back(static_cast<char>(alphabet[random() % sizeof(alphabet)]));
    }
    valid += IsValidUtf8(text);
    ASSERT_EQ(Written(text), Library(text)) << "case " << i;
  }
  EXPECT_GT(valid, 1000u);  // both paths were taken
}

TEST(JsonText, IntegersAsTheLibraryWritesThem) {
  for (int64_t v : {int64_t{0}, int64_t{-1}, int64_t{1796994232162}, INT64_MIN, INT64_MAX}) {
    std::string out;
    AppendJsonInteger(out, v);
    EXPECT_EQ(out, SerializeReply(ReplyDocument(v)));
  }
}

}  // namespace
}  // namespace kelvra
