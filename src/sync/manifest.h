// GET /api/manifest.php?since=..: the account's file versions written after
// `since` (milliseconds), oldest first, at most 5000, each with its
// chunk list in file order.
//
// The file list, every chunk list and serverTime are read in one read
// transaction, so each entry shows exactly one version even while pushes
// run, and every push the reply does not show is stamped after serverTime.
// The reply (up to 5000 entries) is written as JSON text directly, exactly
// as the equivalent ReplyDocument would serialise. Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

#include <string>

namespace kelvra {

// The serialised reply document.
std::string HandleManifest(int32_t user_id, std::string_view since_text);

}  // namespace kelvra
