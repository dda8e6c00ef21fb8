// The server's counts, as the status document and the status page show
// them: accounts, live (not deleted) files, distinct stored chunks and their
// total size in bytes. Each count is its own statement under DbLock; a
// failed statement gives 0. Thread-safe.
#pragma once

#include <cstdint>

namespace kelvra {

struct StatusCounts {
  int32_t users = 0;
  int32_t files = 0;
  int32_t chunks = 0;
  int64_t chunk_bytes = 0;
};

StatusCounts ReadStatusCounts();

}  // namespace kelvra
