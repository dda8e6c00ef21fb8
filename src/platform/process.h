// Process-level services: the program's own path, the single-instance guard,
// the quit signal, random bytes, local time, threads and process exit.
//
// All functions are thread-safe unless noted. Failures are values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvra::platform {

// Full path of the running program file; empty when it cannot be read.
std::string ExecutablePath();

enum class GuardResult { Acquired, HeldElsewhere, Failed };
// Takes the system-wide lock `name`. It is released when the process ends in
// any way, so a crash never leaves a stale lock behind. Call once.
GuardResult AcquireInstanceGuard(const std::string& name);
void ReleaseInstanceGuard();

// Makes the quit signals (SIGINT, SIGTERM) wait for WaitForQuitSignal and
// ignores SIGPIPE and SIGXFSZ (those failures then show as error returns).
// Must run on the main thread before any other thread starts, so every
// thread inherits the mask.
void PrepareSignals();
// Blocks until a quit signal arrives. Main thread only.
void WaitForQuitSignal();

// Fills `buffer` from the system's cryptographic random source. False when
// the source fails; the buffer is then unspecified.
bool SystemRandomBytes(void* buffer, size_t size);

struct TimeOfDay {
  int hour;
  int minute;
  int second;
};
TimeOfDay LocalTimeOfDay();

// This process's id, for names that must differ between processes.
int64_t ProcessId();

// Milliseconds of the monotonic clock, for deadlines.
int64_t MonotonicMillis();

// Raises the soft limit of open descriptors to the hard limit and returns
// the limit now in force.
uint64_t RaiseDescriptorLimit();

// Gives memory freed by the program back to the system where the allocator
// keeps it cached (after a request that needed a lot of it).
void ReleaseFreeMemory();

// Ends the process at once with `code`, without running static destructors
// (other threads may still be using shared state).
[[noreturn]] void ExitProcess(int code);

}  // namespace kelvra::platform
