#include "common/process_state.h"

namespace kelvra {

std::string DataDir;
int ListenPort = DefaultPort;
std::atomic<bool> StopFlag{false};
std::atomic<uint64_t> RequestCount{0};
const std::chrono::steady_clock::time_point StartInstant = std::chrono::steady_clock::now();

}  // namespace kelvra
