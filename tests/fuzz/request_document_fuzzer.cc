// Fuzz target: the parse step and field reading, with the input as the body
// of a request (see document_checks.h for what is checked).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "document_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  kelvra::fuzz::CheckRequestDocument("POST", body);
  kelvra::fuzz::CheckRequestDocument("PUT", body);
  return 0;
}
