#include "http/json_text.h"

#include <array>
#include <charconv>

#include "http/reply.h"

namespace kelvra {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] (at least 2
// bytes: text[i] is not ASCII), or 0 when it is malformed: no overlong
// forms, surrogates or code points above U+10FFFF.
size_t SequenceLength(std::string_view text, size_t i) {
  auto c = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t low = 0;  // the smallest code point of that length
  if ((c & 0xE0) == 0xC0) {
    length = 2;
    low = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3;
    low = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4;
    low = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  uint32_t point = c & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    point = (point << 6) | (next & 0x3F);
  }
  if (point < low || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

// The bytes that need a look: control bytes, the quote, the backslash, and
// the first byte of every multi-byte sequence. Everything else is copied as
// it stands; most text (hashes, paths) is nothing else.
constexpr std::array<bool, 256> MakeEndsPlainRun() {
  std::array<bool, 256> ends{};
  for (int c = 0; c < 256; ++c) ends[c] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  return ends;
}
constexpr std::array<bool, 256> EndsPlainRun = MakeEndsPlainRun();

}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else if (size_t length = SequenceLength(text, i)) {
      i += length;
    } else {
      return false;
    }
  }
  return true;
}

// One pass: escapes as it goes and checks each multi-byte sequence it meets.
void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  size_t start = out.size();
  out.push_back('"');
  size_t plain = 0;  // start of the run of bytes that need no escape
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!EndsPlainRun[c]) {
      ++i;
      continue;
    }
    if (c >= 0x80) {
      size_t length = SequenceLength(text, i);
      if (length == 0) {
        // Rare (a database edited by hand): the library decides the
        // replacement of invalid bytes.
        out.resize(start);
        out.append(SerializeReply(ReplyDocument(std::string(text))));
        return;
      }
      i += length;
      continue;
    }
    out.append(text, plain, i - plain);
    plain = ++i;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        out.append("\\u00");
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 0x0F]);
    }
  }
  out.append(text, plain, text.size() - plain);
  out.push_back('"');
}

void AppendJsonInteger(std::string& out, int64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof(digits), value);
  out.append(digits, result.ptr);
}

}  // namespace kelvra
