// The server's user interface seam: the notification-area icon on desktop
// builds, the quit signals on this one.
//
// RunTrayLoop runs on the main thread after start-up and returns when the
// user has asked the server to quit; by then `on_quit` has run. A build
// with an icon offers "open status page" (calling `on_open_status_page`) and
// "quit"; this build has no icon, so SIGINT and SIGTERM are its quit command.
#pragma once

#include <functional>

namespace kelvra::platform {

struct TrayHandlers {
  std::function<void()> on_open_status_page;
  std::function<void()> on_quit;
};

void RunTrayLoop(const TrayHandlers& handlers);

}  // namespace kelvra::platform
