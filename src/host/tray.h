// What the tray menu's two commands do, independent of how a platform shows
// them (platform/tray.h): open the status page, and quit.
#pragma once

#include <string>

namespace kelvra {

// "http://127.0.0.1:" + port + "/".
std::string StatusPageAddress(int port);

// Sets StopFlag; the caller's main loop then ends and shut-down runs, which
// wakes the accept loop and waits for it to stop.
void QuitSequence();

}  // namespace kelvra
