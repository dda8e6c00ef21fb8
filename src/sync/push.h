// POST /api/push.php: records a device's file changes as the current
// version of each path of the account.
//
// The whole push runs as one write transaction, stamped once it holds the
// lock (sync/sync_clock.h), with a savepoint per change: two pushes never
// interleave their chunk rows, the later push wins, and a manifest sees a
// push either whole or not at all. A change that breaks the path rules, is
// older than the stored version, lacks a 64-byte hash, or cannot be written
// counts as skipped; a chunk list that stops at an invalid entry keeps what
// came before it and also counts as skipped. The reply lists, in order and
// with duplicates, the chunk hashes that the store lacks. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/reply.h"
#include "http/request_document.h"

namespace kelvra {

inline constexpr size_t MaxPathBytes = 1000;

// "\" becomes "/", then leading "/" go.
std::string NormalizePushPath(std::string_view path);
// Not empty, at most MaxPathBytes, and no ".." anywhere.
bool PushPathAllowed(std::string_view normalized);

ReplyDocument HandlePush(int32_t user_id, const RequestDocument& doc);

}  // namespace kelvra
