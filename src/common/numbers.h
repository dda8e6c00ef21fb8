// Reading integers from text the way the C run-time's atoi/atoll do:
// leading white space, an optional sign, then decimal digits up to the first
// other byte; text without digits reads 0. Unlike the C functions, values
// beyond the type's range saturate instead of being undefined. Pure.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvra {

int64_t ParseLeadingInt64(std::string_view text);
int32_t ParseLeadingInt32(std::string_view text);

// True when `text` is exactly 64 lower-case hexadecimal digits: the only
// form of a chunk hash that can name a stored chunk.
bool IsLowerHexSha256(std::string_view text);

}  // namespace kelvra
