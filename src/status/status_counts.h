// The server's counts, as the status document and the status page show
// them: accounts, live (not deleted) files, distinct stored chunks and their
// total size in bytes. They are read from relay_counts (kept exact by
// triggers, see db/schema.h) in one statement; when that table cannot be
// read, from the tables themselves, each count its own statement. A failed
// statement gives 0. Thread-safe.
#pragma once

#include <cstdint>

namespace kelvra {

struct StatusCounts {
  int32_t users = 0;
  int32_t files = 0;
  int32_t chunks = 0;
  int64_t chunk_bytes = 0;

  friend bool operator==(const StatusCounts&, const StatusCounts&) = default;
};

StatusCounts ReadStatusCounts();
// The same figures counted from the tables (slow on large databases).
StatusCounts ScanStatusCounts();

}  // namespace kelvra
