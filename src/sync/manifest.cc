#include "sync/manifest.h"

#include <string>

#include "common/numbers.h"
#include "db/relay_db.h"
#include "sync/sync_clock.h"

namespace kelvra {

namespace {

nlohmann::json ChunkList(const std::string& file_id) {
  nlohmann::json chunks = nlohmann::json::array();
  for (const DbRow& row :
       DbQuery("SELECT sha256,size FROM file_chunks WHERE file_id=? ORDER BY idx", {file_id})) {
    nlohmann::json chunk = nlohmann::json::object();
    chunk["sha256"] = row[0];
    chunk["size"] = ParseLeadingInt64(row[1]);
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

// Columns: id,path,size,mtime,sha256,deleted,origin,updated_at.
nlohmann::json FileEntry(const DbRow& row) {
  nlohmann::json entry = nlohmann::json::object();
  entry["chunks"] = ChunkList(row[0]);
  entry["deleted"] = ParseLeadingInt32(row[5]);
  entry["mtime"] = ParseLeadingInt64(row[3]);
  entry["origin"] = row[6];
  entry["path"] = row[1];
  entry["sha256"] = row[4];
  entry["size"] = ParseLeadingInt64(row[2]);
  entry["updatedAt"] = ParseLeadingInt64(row[7]);
  return entry;
}

}  // namespace

ReplyDocument HandleManifest(int32_t user_id, std::string_view since_text) {
  std::string since = std::to_string(ParseLeadingInt64(since_text));
  nlohmann::json files = nlohmann::json::array();
  int64_t server_time = 0;
  {
    DbTransaction snapshot(DbTransaction::Mode::Read);
    DbRows rows = DbQuery(
        "SELECT id,path,size,mtime,sha256,deleted,origin,updated_at FROM files "
        "WHERE user_id=? AND updated_at>? ORDER BY updated_at LIMIT 5000",
        {std::to_string(user_id), since});
    for (const DbRow& row : rows) files.push_back(FileEntry(row));
    // Read inside the snapshot: every push not in it is stamped later.
    server_time = ManifestTime();
  }
  ReplyDocument reply = ReplyDocument::object();
  reply["files"] = std::move(files);
  reply["ok"] = true;
  reply["serverTime"] = server_time;
  return reply;
}

}  // namespace kelvra
