#include "sync/manifest.h"

#include <algorithm>

#include "common/numbers.h"
#include "db/relay_db.h"
#include "http/json_text.h"
#include "sync/sync_clock.h"

namespace kelvra {

namespace {

constexpr size_t MaxEntries = 5000;  // the LIMIT of the file list
constexpr size_t MaxReserveBytes = 4 << 20;

// SQLite writes an INTEGER cell in the canonical decimal form, which is
// already its JSON text; anything else (a cell edited by hand) gets the
// leading-integer reading. Up to `max_digits` digits, so that the canonical
// form never needs clamping to the integer's range.
bool IsCanonicalInteger(std::string_view cell, size_t max_digits) {
  std::string_view digits = cell.substr(!cell.empty() && cell[0] == '-' ? 1 : 0);
  if (digits.empty() || digits.size() > max_digits) return false;
  if (digits[0] == '0') return cell == "0";
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// An INTEGER cell as JSON: `Parse` reads the cells that are not in the
// canonical form, `MaxDigits` keeps the canonical ones within its range.
template <auto Parse, size_t MaxDigits>
void AppendIntegerCell(std::string& out, std::string_view cell) {
  if (IsCanonicalInteger(cell, MaxDigits)) {
    out.append(cell);
  } else {
    AppendJsonInteger(out, Parse(cell));
  }
}
constexpr auto AppendInt64Cell = AppendIntegerCell<ParseLeadingInt64, 18>;
constexpr auto AppendInt32Cell = AppendIntegerCell<ParseLeadingInt32, 9>;

void AppendChunkList(std::string& out, std::string_view file_id) {
  out.append("[");
  bool first = true;
  DbForEachRow("SELECT sha256,size FROM file_chunks WHERE file_id=? ORDER BY idx", {file_id},
               [&](const DbCells& chunk) {
                 out.append(first ? "{\"sha256\":" : ",{\"sha256\":");
                 first = false;
                 AppendJsonString(out, chunk[0]);
                 out.append(",\"size\":");
                 AppendInt64Cell(out, chunk[1]);
                 out.append("}");
               });
  out.append("]");
}

// Columns: id,path,size,mtime,sha256,deleted,origin,updated_at. Members in
// byte order of their names, as a reply document lists them.
void AppendFileEntry(std::string& out, const DbCells& row) {
  out.append("{\"chunks\":");
  AppendChunkList(out, row[0]);
  out.append(",\"deleted\":");
  AppendInt32Cell(out, row[5]);
  out.append(",\"mtime\":");
  AppendInt64Cell(out, row[3]);
  out.append(",\"origin\":");
  AppendJsonString(out, row[6]);
  out.append(",\"path\":");
  AppendJsonString(out, row[1]);
  out.append(",\"sha256\":");
  AppendJsonString(out, row[4]);
  out.append(",\"size\":");
  AppendInt64Cell(out, row[2]);
  out.append(",\"updatedAt\":");
  AppendInt64Cell(out, row[7]);
  out.append("}");
}

}  // namespace

std::string HandleManifest(int32_t user_id, std::string_view since_text) {
  std::string since = std::to_string(ParseLeadingInt64(since_text));
  std::string out = "{\"files\":[";
  int64_t server_time = 0;
  {
    DbTransaction snapshot(DbTransaction::Mode::Read);
    bool first = true;
    DbForEachRow(
        "SELECT id,path,size,mtime,sha256,deleted,origin,updated_at FROM files "
        "WHERE user_id=? AND updated_at>? ORDER BY updated_at LIMIT 5000",
        {std::to_string(user_id), since}, [&](const DbCells& row) {
          if (!first) out.push_back(',');
          AppendFileEntry(out, row);
          // Room for a full page of entries like the first, so that a large
          // reply is not copied and faulted in again at every doubling.
          if (first) out.reserve(std::min(out.size() * MaxEntries, MaxReserveBytes));
          first = false;
        });
    // Read inside the snapshot: every push not in it is stamped later.
    server_time = ManifestTime();
  }
  out.append("],\"ok\":true,\"serverTime\":");
  AppendJsonInteger(out, server_time);
  out.append("}");
  return out;
}

}  // namespace kelvra
