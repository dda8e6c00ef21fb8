// FUZZ_CHECK: an invariant of a fuzz target. A failure prints the condition
// and aborts, which libFuzzer records as a crash with its input, and which
// fails the corpus replay in `make test`. Active in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace kelvra::fuzz {

[[noreturn]] inline void CheckFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  std::abort();
}

}  // namespace kelvra::fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::kelvra::fuzz::CheckFailed(#condition, __FILE__, __LINE__))
