// This build has no notification area: the quit signals are the only menu
// item, and the status page address is printed in the README instead.
#include "platform/process.h"
#include "platform/tray.h"

namespace kelvra::platform {

void RunTrayLoop(const TrayHandlers& handlers) {
  WaitForQuitSignal();
  if (handlers.on_quit) handlers.on_quit();
}

}  // namespace kelvra::platform
