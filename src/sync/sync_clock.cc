#include "sync/sync_clock.h"

#include <algorithm>
#include <atomic>

#include "common/clock.h"

namespace kelvra {

namespace {

std::atomic<int64_t> LastHandedOut{0};

}  // namespace

int64_t PushStamp() {
  int64_t last = LastHandedOut.load();
  int64_t stamp;
  do {
    stamp = std::max(NowMillis(), last + 1);
  } while (!LastHandedOut.compare_exchange_weak(last, stamp));
  return stamp;
}

int64_t ManifestTime() {
  int64_t last = LastHandedOut.load();
  int64_t now;
  do {
    now = std::max(NowMillis(), last);
  } while (!LastHandedOut.compare_exchange_weak(last, now));
  return now;
}

}  // namespace kelvra
