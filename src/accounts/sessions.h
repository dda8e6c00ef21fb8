// Session tokens: 64 lower-case hexadecimal digits encoding 32 random bytes,
// each standing for one row of the sessions table.
//
// CreateSession draws the bytes from the system's random source (a
// time-seeded generator only if that source fails), stores the session with
// expires = now in seconds + SessionLifetime, and draws again when the
// insert did not take effect (a token already in use), so a token it hands
// out always has its own row. SessionLifetime is in http/gate.h. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvra {

// Returns the new token, or empty text when no session row could be stored
// (the database is failing).
std::string CreateSession(int32_t user_id, std::string_view device);

// A fresh token text, not yet stored.
std::string NewTokenText();

}  // namespace kelvra
