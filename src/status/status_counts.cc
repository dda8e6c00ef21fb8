#include "status/status_counts.h"

#include "common/numbers.h"
#include "db/relay_db.h"

namespace kelvra {

namespace {

int32_t CountOf(const char* sql) {
  DbRows rows = DbQuery(sql);
  return rows.empty() ? 0 : ParseLeadingInt32(rows[0][0]);
}

}  // namespace

StatusCounts ReadStatusCounts() {
  DbRows kept = DbQuery(
      "SELECT (SELECT value FROM relay_counts WHERE name='users'),"
      "(SELECT value FROM relay_counts WHERE name='live_files'),"
      "(SELECT value FROM relay_counts WHERE name='chunks'),"
      "(SELECT value FROM relay_counts WHERE name='chunk_bytes')");
  if (!kept.empty()) {
    return {ParseLeadingInt32(kept[0][0]), ParseLeadingInt32(kept[0][1]),
            ParseLeadingInt32(kept[0][2]), ParseLeadingInt64(kept[0][3])};
  }
  return ScanStatusCounts();
}

StatusCounts ScanStatusCounts() {
  StatusCounts counts;
  counts.users = CountOf("SELECT COUNT(*) FROM users");
  counts.files = CountOf("SELECT COUNT(*) FROM files WHERE deleted=0");
  DbRows chunks = DbQuery("SELECT COUNT(*),COALESCE(SUM(size),0) FROM chunks");
  if (!chunks.empty()) {
    counts.chunks = ParseLeadingInt32(chunks[0][0]);
    counts.chunk_bytes = ParseLeadingInt64(chunks[0][1]);
  }
  return counts;
}

}  // namespace kelvra
