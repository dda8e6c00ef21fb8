#include "chunkstore/chunk_store.h"

#include <atomic>

#include "common/clock.h"
#include "common/numbers.h"
#include "common/process_state.h"
#include "common/sha256.h"
#include "db/relay_db.h"
#include "platform/fs.h"
#include "platform/process.h"

namespace kelvra {

namespace {

constexpr std::string_view TempSuffix = ".tmp";

std::atomic<uint64_t> TempSequence{0};

std::string UniqueTempPath(const std::string& final_path) {
  return final_path + "." + std::to_string(platform::ProcessId()) + "-" +
         std::to_string(TempSequence.fetch_add(1)) + std::string(TempSuffix);
}

// Writes `bytes` to a fresh temp file, flushes it and renames it over
// `final_path`. On failure nothing is left behind but an untouched store.
bool StoreChunkFile(const std::string& final_path, std::string_view bytes) {
  std::string temp = UniqueTempPath(final_path);
  platform::WritableFile file = platform::WritableFile::CreateExclusive(temp);
  if (!file.ok()) return false;
  // The file stays open (and locked) until it has its final name.
  if (!file.Append(bytes.data(), bytes.size()) || !file.Sync() ||
      !platform::ReplaceFile(temp, final_path)) {
    file.Close();
    platform::RemoveFile(temp);
    return false;
  }
  if (!file.Close()) return false;
  return platform::SyncDirectory(ChunkDirectory());
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

std::string ChunkDirectory() { return DataDir + "/chunks"; }

std::string ChunkPath(std::string_view sha256) {
  std::string path = ChunkDirectory();
  path.append("/").append(sha256).append(".bin");
  return path;
}

ReplyDocument HandleChunkUpload(const HttpRequest& request) {
  std::string sha256 = QueryParam(request, "sha256");
  int64_t size = ParseLeadingInt64(QueryParam(request, "size"));
  if (sha256.size() != 64 || size < 1 || size > MaxChunkBytes) return FailureReply("invalid");
  if (request.body.size() != static_cast<uint64_t>(size)) return FailureReply("size_mismatch");
  // The digest is lower-case, so past this test the hash is 64 lower-case
  // hex digits and safe to use as a file name.
  if (Sha256Hex(request.body) != sha256) return FailureReply("hash_mismatch");

  platform::MakeDirectory(ChunkDirectory());
  std::string path = ChunkPath(sha256);
  platform::PathInfo present = platform::StatPath(path);
  bool in_place = present.regular && present.size == static_cast<uint64_t>(size);
  if (!in_place && !StoreChunkFile(path, request.body)) return FailureReply("io");

  if (DbRun("INSERT OR IGNORE INTO chunks(sha256,size,created_at) VALUES(?,?,?)",
            {sha256, std::to_string(size), std::to_string(NowMillis())}) < 0) {
    return FailureReply("io");
  }
  ReplyDocument reply = ReplyDocument::object();
  reply["ok"] = true;
  return reply;
}

Response ChunkDownload(const HttpRequest& request) {
  std::string sha256 = QueryParam(request, "sha256");
  platform::ReadableFile file;
  if (IsLowerHexSha256(sha256)) file = platform::ReadableFile::OpenRegular(ChunkPath(sha256));
  if (!file.ok()) return JsonReply(FailureReply("not_found"), 404);
  // The size comes from the open file, so the head matches what is sent.
  std::string head = OctetStreamHead(file.size());
  return Response{std::move(head), std::move(file)};
}

int RemoveStaleTempFiles() {
  int removed = 0;
  std::string directory = ChunkDirectory();
  for (const std::string& name : platform::ListDirectory(directory)) {
    if (EndsWith(name, TempSuffix) && platform::RemoveIfUnlocked(directory + "/" + name)) {
      ++removed;
    }
  }
  return removed;
}

}  // namespace kelvra
