#include "chunkstore/chunk_store.h"

#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

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

// A chunk written and flushed under a temp name, waiting for its verdict.
// The file stays open (and locked) until it has its final name; it is open
// exactly when the chunk was written whole.
struct TempChunk {
  std::string path;
  platform::WritableFile file;
};

void DiscardTempChunk(TempChunk& temp) {
  if (!temp.file.ok()) return;
  temp.file.Close();
  platform::RemoveFile(temp.path);
}

// Writes `bytes` to a fresh temp file next to `final_path` and flushes it.
// On failure the temp file is already gone.
TempChunk WriteTempChunk(const std::string& final_path, std::string_view bytes) {
  TempChunk temp{UniqueTempPath(final_path), {}};
  temp.file = platform::WritableFile::CreateExclusive(temp.path);
  if (temp.file.ok() && !(temp.file.Append(bytes.data(), bytes.size()) && temp.file.Sync())) {
    DiscardTempChunk(temp);
  }
  return temp;
}

// Gives a written temp file its final name and flushes the directory, so
// the name survives a crash too. On failure nothing is left behind.
bool CommitTempChunk(TempChunk& temp, const std::string& final_path) {
  if (!temp.file.ok()) return false;
  if (!platform::ReplaceFile(temp.path, final_path)) {
    DiscardTempChunk(temp);
    return false;
  }
  if (!temp.file.Close()) return false;
  return platform::SyncDirectory(ChunkDirectory());
}

enum class Stored { Yes, HashMismatch, Failed };

// Below this size a second thread costs more than it saves.
constexpr size_t OverlapBytes = 1 << 20;

// Verifies `bytes` against `sha256` and stores them at `final_path`. The
// hash and the write with its flush take about as long each, so for large
// chunks another thread writes while this one hashes, and the upload takes
// the longer of the two rather than their sum. The file gets its final
// name only once the hash matched; a mismatch leaves nothing behind.
Stored VerifyAndStore(const std::string& final_path, std::string_view bytes,
                      const std::string& sha256) {
  TempChunk temp;
  bool matches = false;
  {
    std::optional<std::jthread> writer;
    if (bytes.size() >= OverlapBytes) {
      try {
        writer.emplace([&] { temp = WriteTempChunk(final_path, bytes); });
      } catch (const std::system_error&) {
        // No thread to be had: do both here, one after the other.
      }
    }
    matches = Sha256Hex(bytes) == sha256;
    if (!writer && matches) temp = WriteTempChunk(final_path, bytes);
  }  // the writer has finished here
  if (!matches) {
    DiscardTempChunk(temp);
    return Stored::HashMismatch;
  }
  return CommitTempChunk(temp, final_path) ? Stored::Yes : Stored::Failed;
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
  // A digest is 64 lower-case hex digits, so anything else cannot match it.
  // Past this test the hash is safe to use as a file name.
  if (!IsLowerHexSha256(sha256)) return FailureReply("hash_mismatch");

  platform::MakeDirectory(ChunkDirectory());
  std::string path = ChunkPath(sha256);
  platform::PathInfo present = platform::StatPath(path);
  if (present.regular && present.size == static_cast<uint64_t>(size)) {
    // Stored before: only the hash to check.
    if (Sha256Hex(request.body) != sha256) return FailureReply("hash_mismatch");
  } else {
    Stored stored = VerifyAndStore(path, request.body, sha256);
    if (stored == Stored::HashMismatch) return FailureReply("hash_mismatch");
    if (stored == Stored::Failed) return FailureReply("io");
  }

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
