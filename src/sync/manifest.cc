#include "sync/manifest.h"

#include "common/numbers.h"
#include "db/relay_db.h"
#include "http/json_text.h"
#include "sync/sync_clock.h"

namespace kelvra {

namespace {

void AppendChunkList(std::string& out, std::string_view file_id) {
  out.append("[");
  bool first = true;
  DbForEachRow("SELECT sha256,size FROM file_chunks WHERE file_id=? ORDER BY idx", {file_id},
               [&](const DbCells& chunk) {
                 out.append(first ? "{\"sha256\":" : ",{\"sha256\":");
                 first = false;
                 AppendJsonString(out, chunk[0]);
                 out.append(",\"size\":");
                 AppendJsonInteger(out, ParseLeadingInt64(chunk[1]));
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
  AppendJsonInteger(out, ParseLeadingInt32(row[5]));
  out.append(",\"mtime\":");
  AppendJsonInteger(out, ParseLeadingInt64(row[3]));
  out.append(",\"origin\":");
  AppendJsonString(out, row[6]);
  out.append(",\"path\":");
  AppendJsonString(out, row[1]);
  out.append(",\"sha256\":");
  AppendJsonString(out, row[4]);
  out.append(",\"size\":");
  AppendJsonInteger(out, ParseLeadingInt64(row[2]));
  out.append(",\"updatedAt\":");
  AppendJsonInteger(out, ParseLeadingInt64(row[7]));
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
          first = false;
          AppendFileEntry(out, row);
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
