// SHA-256 (FIPS 180-4) as 64 lower-case hexadecimal digits, two per digest
// byte in digest order, high four bits first. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace kelvra {

std::string Sha256Hex(std::string_view bytes);

// Lower-case hexadecimal of arbitrary bytes, in the same digit order.
std::string HexLower(const unsigned char* bytes, size_t size);

}  // namespace kelvra
