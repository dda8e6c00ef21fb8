#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "sync/sync_clock.h"

namespace kelvra {
namespace {

// A client's cursor is the newest stamp or serverTime it has seen; whatever
// is pushed afterwards must be stamped strictly later, even within one
// millisecond and from many threads at once.
TEST(SyncClock, PushStampsExceedEverythingHandedOutBefore) {
  int64_t before = NowMillis();
  int64_t last = 0;
  for (int i = 0; i < 10000; ++i) {
    int64_t seen = ManifestTime();
    EXPECT_GE(seen, last);
    int64_t stamp = PushStamp();
    EXPECT_GT(stamp, seen);
    last = stamp;
  }
  EXPECT_GE(last, before);
}

TEST(SyncClock, ConcurrentStampsAreDistinct) {
  std::vector<std::vector<int64_t>> stamps(4);
  std::vector<std::thread> threads;
  for (auto& mine : stamps) {
    threads.emplace_back([&mine] {
      for (int i = 0; i < 5000; ++i) mine.push_back(PushStamp());
    });
  }
  for (auto& t : threads) t.join();
  std::vector<int64_t> all;
  for (const auto& mine : stamps) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
}  // namespace kelvra
