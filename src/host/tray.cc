#include "host/tray.h"

#include "common/process_state.h"

namespace kelvra {

std::string StatusPageAddress(int port) {
  return "http://127.0.0.1:" + std::to_string(port) + "/";
}

void QuitSequence() { StopFlag.exchange(true); }

}  // namespace kelvra
