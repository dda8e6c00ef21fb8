// The chunk store: one file per distinct chunk in DataDir/chunks, named by
// the chunk's SHA-256 (64 lower-case hex digits) + ".bin", holding exactly
// the chunk's bytes. A `chunks` row exists only for a chunk whose file is
// complete and flushed to disk.
//
// Upload verifies size and hash and writes a temp file of its own (unique
// per request, locked while written) and flushes it; for a large chunk the
// write runs on a second thread while the hash is computed. Only a chunk
// whose hash matched is renamed into place, then the directory is flushed,
// then the row written. A mismatch or any failure leaves neither a row nor
// a temp file; a failure replies "io". Download streams the file
// with the kernel's zero-copy path and accepts only well-formed hashes, so
// a query can never name a file outside the store.
//
// Thread-safe; the file steps take no lock (renames are atomic), the row
// insert takes DbLock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/http_request.h"
#include "http/reply.h"

namespace kelvra {

inline constexpr int64_t MaxChunkBytes = 8388608;  // 8 MiB

std::string ChunkDirectory();
std::string ChunkPath(std::string_view sha256);

// PUT /api/chunk.php?sha256=..&size=.. with the chunk as the body.
ReplyDocument HandleChunkUpload(const HttpRequest& request);

// GET /api/chunk.php?sha256=..: the octet-stream head with the open chunk
// file to stream after it, or 404 "not_found".
Response ChunkDownload(const HttpRequest& request);

// Removes temp files left by uploads of processes that died mid-write.
// Files still locked by a live upload (of this or another process sharing
// the data directory) are left alone. Returns how many were removed.
int RemoveStaleTempFiles();

}  // namespace kelvra
