// The clock that stamps file versions and manifests.
//
// A client pulls changes with `since` = the newest updatedAt (or the
// serverTime) it has seen, and sees only rows stamped later. So every push
// stamp must be later than every stamp and serverTime already handed out:
// PushStamp gives the wall clock in milliseconds, or one more than the last
// value given out when the clock has not moved past it (or went back).
// ManifestTime gives the wall clock, never less than the last push stamp,
// and records it, so a push that follows is stamped later still.
//
// Call both while holding DbLock (inside the push's write transaction and
// the manifest's read transaction): then stamps follow commit order.
// Thread-safe. The order holds within one process; servers on other ports
// sharing the data directory keep their own clocks.
#pragma once

#include <cstdint>

namespace kelvra {

int64_t PushStamp();
int64_t ManifestTime();

}  // namespace kelvra
