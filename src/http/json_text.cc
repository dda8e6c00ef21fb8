#include "http/json_text.h"

#include <charconv>

#include "http/reply.h"

namespace kelvra {

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t low = 0;  // the smallest code point of that length (no overlongs)
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
      return false;
    }
    if (i + length > text.size()) return false;
    uint32_t point = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    if (point < low || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

void AppendJsonString(std::string& out, std::string_view text) {
  if (!IsValidUtf8(text)) {
    // Rare (a database edited by hand): the library decides the replacement.
    out.append(SerializeReply(ReplyDocument(std::string(text))));
    return;
  }
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  size_t plain = 0;  // start of the run of bytes that need no escape
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain, i - plain);
    plain = i + 1;
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
