// POST /api/push.php: records a device's file changes as the current
// version of each path of the account.
//
// Every change runs as one write transaction (time-stamp test, file row,
// chunk list), so two pushes of one path never interleave their chunk rows
// and the later-begun push wins. A change that breaks the path rules, is
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
