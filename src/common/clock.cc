#include "common/clock.h"

#include <chrono>

namespace kelvra {

int64_t NowMillis() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() / 1000;
}

int64_t NowSeconds() {
  using namespace std::chrono;
  return floor<seconds>(system_clock::now()).time_since_epoch().count();
}

}  // namespace kelvra
