#include "host/startup.h"

#include <cstdio>
#include <system_error>
#include <thread>

#include "chunkstore/chunk_store.h"
#include "common/numbers.h"
#include "common/process_state.h"
#include "db/relay_db.h"
#include "db/schema.h"
#include "host/tray.h"
#include "http/limits.h"
#include "http/listener.h"
#include "log/service_log.h"
#include "platform/fs.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/tray.h"

namespace kelvra {

namespace {

constexpr int MaxPort = 65535;

void ReadCommandLine(int argc, char** argv) {
  DataDir = ParentDirectory(platform::ExecutablePath());
  if (argc >= 2) DataDir = argv[1];
  if (argc >= 3) ListenPort = ParsePortArgument(argv[2]);
  if (ListenPort < 1) ListenPort = DefaultPort;
}

void OpenDatabase() {
  if (!DbOpen(DataDir + "/relay.db")) {
    LogMessage("无法打开 relay.db");
    return;
  }
  RunStartupStatements();
}

bool StartAcceptThread(platform::Socket listener) {
  try {
    std::thread(AcceptLoop, listener).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Waits this long for the accept thread to let go of the listening socket.
constexpr int AcceptStopTimeoutMs = 2000;

[[noreturn]] void ShutDown(platform::Socket listener) {
  StopAcceptLoop(AcceptStopTimeoutMs);
  platform::CloseSocket(listener);
  DbClose();  // under DbLock: no statement is in flight when it closes
  platform::ReleaseInstanceGuard();
  // Connection threads may still be running; they end with the process.
  platform::ExitProcess(0);
}

}  // namespace

std::string ParentDirectory(std::string_view program_path) {
  size_t slash = program_path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  if (slash == 0) return "/";
  return std::string(program_path.substr(0, slash));
}

int ParsePortArgument(std::string_view text) {
  int port = ParseLeadingInt32(text);
  return port < 1 ? DefaultPort : port;
}

int RunServer(int argc, char** argv) {
  platform::PrepareSignals();  // before any thread, so all inherit the mask
  ReadCommandLine(argc, argv);
  platform::MakeDirectory(DataDir);
  platform::MakeDirectory(DataDir + "/chunks");
  if (ListenPort > MaxPort) {
    // The socket could only take the port's low 16 bits, silently serving
    // on another port than the one asked for.
    LogMessage("端口 " + std::to_string(ListenPort) + " 无效 (必须在 1 到 65535 之间)");
    return 1;
  }
  std::string guard = "KelvraSyncServer_" + std::to_string(ListenPort);
  if (platform::AcquireInstanceGuard(guard) == platform::GuardResult::HeldElsewhere) {
    platform::ExitProcess(0);
  }
  RemoveStaleTempFiles();
  OpenDatabase();
  LogMessage("Kelvra 同步服务端 v" + std::string(ServerVersion) + " 启动, 端口 " +
             std::to_string(ListenPort));
  platform::Socket listener =
      platform::OpenListener(static_cast<uint16_t>(ListenPort), ListenBacklog);
  if (listener == platform::InvalidSocket) {
    LogMessage("端口 " + std::to_string(ListenPort) + " 绑定失败");
    return 1;
  }
  if (!StartAcceptThread(listener)) {
    LogMessage("无法启动接收线程");
    return 1;
  }
  platform::RunTrayLoop({[] { std::fprintf(stderr, "%s\n", StatusPageAddress(ListenPort).c_str()); },
                         QuitSequence});
  ShutDown(listener);
}

}  // namespace kelvra
