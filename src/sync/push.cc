#include "sync/push.h"

#include <vector>

#include "common/numbers.h"
#include "db/relay_db.h"
#include "sync/sync_clock.h"

namespace kelvra {

namespace {

enum class Outcome { Accepted, Skipped };

struct PushContext {
  std::string user_id;
  std::string device;
  int64_t stamp;
  std::vector<std::string>* need_chunks;
};

// Writes the chunk rows of a live file. Returns Skipped when the walk stops
// at an invalid entry (what came before stays), or sets *failed when a row
// could not be written.
Outcome WriteChunkList(const PushContext& ctx, const std::string& file_id,
                       const nlohmann::json& chunks, bool* failed) {
  Outcome outcome = Outcome::Accepted;
  int64_t idx = 0;
  WalkList(chunks, [&](const nlohmann::json& entry) {
    std::string sha256 = FieldText(entry, "sha256", "");
    int64_t size = FieldInteger(entry, "size", 0);
    if (size <= 0 || sha256.size() != 64) {
      outcome = Outcome::Skipped;
      return false;
    }
    if (DbRun("INSERT INTO file_chunks(file_id,idx,sha256,size) VALUES(?,?,?,?)",
              {file_id, std::to_string(idx), sha256, std::to_string(size)}) != 1) {
      *failed = true;
      return false;
    }
    if (DbQuery("SELECT 1 FROM chunks WHERE sha256=?", {sha256}).empty()) {
      ctx.need_chunks->push_back(sha256);
    }
    ++idx;
    return true;
  });
  return outcome;
}

// The body of one change's transaction; false when it must be rolled back.
bool WriteChange(const PushContext& ctx, const std::string& path, const nlohmann::json& change,
                 Outcome* outcome) {
  DbRows stored = DbQuery("SELECT id,updated_at FROM files WHERE user_id=? AND path=?",
                          {ctx.user_id, path});
  if (!stored.empty() && ParseLeadingInt64(stored[0][1]) > ctx.stamp) return false;
  bool deleted = FieldFlag(change, "deleted", 0) != 0;
  std::string sha256 = deleted ? std::string() : FieldText(change, "sha256", "");
  if (!deleted && sha256.size() != 64) return false;
  std::string size = deleted ? "0" : std::to_string(FieldInteger(change, "size", 0));
  std::string mtime = std::to_string(FieldInteger(change, "mtime", 0));
  if (DbRun("INSERT INTO files(user_id,path,size,mtime,sha256,deleted,origin,updated_at) "
            "VALUES(?,?,?,?,?,?,?,?) ON CONFLICT(user_id,path) DO UPDATE SET "
            "size=excluded.size,mtime=excluded.mtime,sha256=excluded.sha256,"
            "deleted=excluded.deleted,origin=excluded.origin,updated_at=excluded.updated_at",
            {ctx.user_id, path, size, mtime, sha256, deleted ? "1" : "0", ctx.device,
             std::to_string(ctx.stamp)}) != 1) {
    return false;
  }
  DbRows ids = DbQuery("SELECT id FROM files WHERE user_id=? AND path=?", {ctx.user_id, path});
  if (ids.empty()) return false;
  const std::string& file_id = ids[0][0];
  if (DbRun("DELETE FROM file_chunks WHERE file_id=?", {file_id}) < 0) return false;
  *outcome = Outcome::Accepted;
  if (deleted) return true;
  bool failed = false;
  *outcome = WriteChunkList(ctx, file_id, FieldList(change, "chunks"), &failed);
  return !failed;
}

// One change inside the push's transaction. A change that is skipped or
// fails leaves nothing behind: its savepoint is rolled back.
Outcome ApplyChange(const PushContext& ctx, const nlohmann::json& change) {
  std::string path = NormalizePushPath(FieldText(change, "path", ""));
  if (!PushPathAllowed(path)) return Outcome::Skipped;
  size_t needed_before = ctx.need_chunks->size();
  Outcome outcome = Outcome::Skipped;
  DbSavepoint part;
  if (part.ok() && WriteChange(ctx, path, change, &outcome) && part.Release()) return outcome;
  ctx.need_chunks->resize(needed_before);
  return Outcome::Skipped;
}

}  // namespace

std::string NormalizePushPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  size_t slashes = out.find_first_not_of('/');
  out.erase(0, slashes == std::string::npos ? out.size() : slashes);
  return out;
}

bool PushPathAllowed(std::string_view normalized) {
  return !normalized.empty() && normalized.size() <= MaxPathBytes &&
         normalized.find("..") == std::string_view::npos;
}

ReplyDocument HandlePush(int32_t user_id, const RequestDocument& doc) {
  std::vector<std::string> need_chunks;
  PushContext ctx{std::to_string(user_id), FieldText(doc, "device", ""), 0, &need_chunks};
  int64_t accepted = 0;
  int64_t skipped = 0;
  {
    // The whole push is one transaction stamped once it holds the write
    // lock, so it becomes visible at once and no push stamped later can
    // commit before it: a manifest cursor can never pass rows still coming.
    DbTransaction txn(DbTransaction::Mode::Write);
    ctx.stamp = PushStamp();
    WalkList(FieldList(doc, "changes"), [&](const nlohmann::json& change) {
      bool written = txn.ok() && ApplyChange(ctx, change) == Outcome::Accepted;
      ++(written ? accepted : skipped);
      return true;
    });
    if (!txn.Commit()) {
      // Nothing was stored after all.
      skipped += accepted;
      accepted = 0;
      need_chunks.clear();
    }
  }
  ReplyDocument reply = ReplyDocument::object();
  reply["accepted"] = accepted;
  reply["needChunks"] = std::move(need_chunks);
  reply["ok"] = true;
  reply["skipped"] = skipped;
  return reply;
}

}  // namespace kelvra
