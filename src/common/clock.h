// Wall-clock time stamps as the server stores and sends them.
//
// NowMillis: whole milliseconds since 1970-01-01T00:00:00Z (the clock's
// microseconds divided by 1000, truncated toward zero); used for every time
// column except sessions.expires and for "serverTime". NowSeconds: whole
// seconds since the epoch, the unit of sessions.expires. Thread-safe.
#pragma once

#include <cstdint>

namespace kelvra {

int64_t NowMillis();
int64_t NowSeconds();

}  // namespace kelvra
