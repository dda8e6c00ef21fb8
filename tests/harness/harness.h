// Test harness: temporary directories, the real server binary run as a child
// process on a free port, raw HTTP exchanges over real sockets, and direct
// access to a server's relay.db. Nothing here is a stand-in for server code.
//
// Not thread-safe unless noted: one fixture per test. HttpExchange and the
// request helpers may be called from many threads at once.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace kelvra::test {

using Json = nlohmann::json;

// A fresh directory under the system temp directory, removed with its
// contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);

// A port in 20000..32767 (outside the kernel's ephemeral range) that could
// be bound just now.
int PickFreePort();

// Whole seconds since the epoch from the precise wall clock, as the server
// reads them. (std::time may read a coarse clock that lags a tick behind,
// so near a second's end it can still give the previous second.)
int64_t WallSeconds();

// True in a build under AddressSanitizer or ThreadSanitizer, where resident
// memory sizes are the sanitizer's rather than the server's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SanitizedBuild = true;
#else
inline constexpr bool SanitizedBuild = false;
#endif

// A field of /proc/<pid>/status given in kB ("VmRSS", "VmHWM"), in bytes;
// 0 when it cannot be read.
uint64_t ProcStatusBytes(pid_t pid, const std::string& field);

// Every file named *.tmp anywhere below `dir`: what an upload may leave.
std::vector<std::string> TempFilesUnder(const std::string& dir);

// Path of the server binary under test.
std::string ServerBinary();

// One server process. The destructor kills it if it still runs.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the binary with `args`, stderr to `stderr_path` (or /dev/null).
  // Does not wait for readiness.
  void Spawn(const std::vector<std::string>& args, const std::string& stderr_path = "",
             const std::string& binary = ServerBinary());
  // Starts a server on DATADIR and a free port and waits until it accepts
  // connections; retries on another port if the chosen one was taken
  // meanwhile. Returns false when it never became ready.
  bool Start(const std::string& data_dir);

  // Waits until the port accepts a connection or the process exits.
  bool WaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Exit code once the process has ended within `timeout`; -1 when killed
  // by a signal; nothing when it is still running.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // SIGTERM and wait: the exit code (see WaitExit).
  std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void Signal(int signal);
  void Kill();  // SIGKILL and reap

  bool running();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string& data_dir() const { return data_dir_; }
  std::string LogText() const;  // the log file's content

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string data_dir_;
  std::optional<int> exit_code_;
};

struct HttpResponse {
  bool received = false;  // false: the server closed without any byte
  std::string raw;
  int status = 0;
  std::string status_line;
  std::map<std::string, std::string> headers;  // names lower-cased
  std::vector<std::string> header_lines;       // as sent, in order
  std::string body;
  Json json() const;  // the body as JSON (discarded value when it is not)
};

// Connects to 127.0.0.1:port, sends `request` (all of it), optionally
// half-closes, and reads until the server closes. Times out after `timeout`.
HttpResponse HttpExchange(int port, const std::string& request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20),
                          bool half_close = false);
HttpResponse ParseResponse(const std::string& raw);

// A well-formed request with Content-Length (and x-auth-token when given).
std::string BuildRequest(const std::string& method, const std::string& target,
                         const std::string& body = "", const std::string& token = "");
HttpResponse Call(int port, const std::string& method, const std::string& target,
                  const std::string& body = "", const std::string& token = "");
// POSTs a JSON document and returns the JSON reply.
Json PostJson(int port, const std::string& path, const Json& doc, const std::string& token = "");
// Registers an account and returns its token (fails the test otherwise).
std::string Register(int port, const std::string& account, const std::string& device,
                     const std::string& password = "secret-password");

// A client socket connected to 127.0.0.1:port, closed on destruction.
class Connection {
 public:
  explicit Connection(int port);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool ok() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads until the server closes or `timeout`; `closed` tells which.
  std::string ReadAll(std::chrono::milliseconds timeout, bool* closed = nullptr);
  // True when the server closed the connection (EOF or reset) within timeout.
  bool WaitClosed(std::chrono::milliseconds timeout);
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Direct access to a relay.db, beside the running server.
class Database {
 public:
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  using Rows = std::vector<std::vector<std::string>>;
  Rows Query(const std::string& sql, const std::vector<std::string>& params = {});
  std::string Scalar(const std::string& sql, const std::vector<std::string>& params = {});
  void Exec(const std::string& sql, const std::vector<std::string>& params = {});

 private:
  ::sqlite3* db_ = nullptr;
};

}  // namespace kelvra::test
