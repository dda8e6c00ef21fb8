// Writing JSON text directly, for replies too large to build as a document
// first (the manifest). The output is byte for byte what serialising the
// equivalent ReplyDocument gives: compact, raw UTF-8, the library's escapes
// (\" \\ \b \f \n \r \t, \u00xx for other control bytes), invalid UTF-8
// replaced by U+FFFD. The caller writes object members in byte order of
// their names, as a ReplyDocument would. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra {

void AppendJsonString(std::string& out, std::string_view text);
void AppendJsonInteger(std::string& out, int64_t value);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text);

}  // namespace kelvra
