// Process-wide state shared by every subsystem.
//
// DataDir and ListenPort are set once by start-up on the main thread before
// any other thread exists and are read-only afterwards. StopFlag and
// RequestCount are atomics that any thread may touch. StartInstant is fixed
// before main runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace kelvra {

inline constexpr char ServerVersion[] = "1.0.0";
inline constexpr int DefaultPort = 18260;

extern std::string DataDir;
extern int ListenPort;
extern std::atomic<bool> StopFlag;
extern std::atomic<uint64_t> RequestCount;
extern const std::chrono::steady_clock::time_point StartInstant;

}  // namespace kelvra
