// The authentication gate in front of every route that needs a session.
//
// A token is looked up only when it is exactly SessionTokenLength bytes.
// A session whose expires (seconds) is not before the current second is
// accepted and renewed to now + SessionLifetime, whichever route follows
// (no write when it already holds that value);
// a negative stored user id is refused (after the renewal). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvra {

// Every accepted request moves its session's end this far past now.
inline constexpr int64_t SessionLifetime = 2592000;  // seconds (30 days)
// Tokens are 64 lower-case hex digits; no other length is looked up.
inline constexpr size_t SessionTokenLength = 64;

// The user id of the live session, or nothing when the request is refused.
std::optional<int32_t> AuthenticateToken(std::string_view token);

}  // namespace kelvra
