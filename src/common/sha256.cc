#include "common/sha256.h"

#include <openssl/evp.h>

namespace kelvra {

namespace {

// Fetching the algorithm once saves a provider look-up on every digest.
const EVP_MD* Sha256Algorithm() {
  static const EVP_MD* md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

}  // namespace

std::string HexLower(const unsigned char* bytes, size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0x0f];
  }
  return out;
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, Sha256Algorithm(), nullptr) != 1) {
    return std::string();  // never equals a 64-digit hash, so callers refuse
  }
  return HexLower(digest, length);
}

}  // namespace kelvra
