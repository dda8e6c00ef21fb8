// POSIX process services behind platform/process.h.
#include <errno.h>
#include <malloc.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <cstddef>

#include "platform/process.h"

namespace kelvra::platform {

namespace {
int guard_socket = -1;
}  // namespace

std::string ExecutablePath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(buffer)) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

// The guard is a socket bound to a name in the abstract namespace: the name
// is system-wide (per network namespace), binding it twice fails with
// EADDRINUSE, nothing is written to disk, and the kernel releases it when
// the process dies, however it dies.
GuardResult AcquireInstanceGuard(const std::string& name) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return GuardResult::Failed;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t length = std::min(name.size(), sizeof(addr.sun_path) - 1);
  std::memcpy(addr.sun_path + 1, name.data(), length);
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), size) != 0) {
    int error = errno;
    close(s);
    return error == EADDRINUSE ? GuardResult::HeldElsewhere : GuardResult::Failed;
  }
  guard_socket = s;
  return GuardResult::Acquired;
}

void ReleaseInstanceGuard() {
  if (guard_socket >= 0) close(guard_socket);
  guard_socket = -1;
}

void PrepareSignals() {
  // A peer that goes away, or a file-size limit reached while writing a
  // chunk, must fail that one operation, not end the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForQuitSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  int received = 0;
  while (sigwait(&set, &received) != 0) {
  }
}

bool SystemRandomBytes(void* buffer, size_t size) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = getrandom(out, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

TimeOfDay LocalTimeOfDay() {
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  return {local.tm_hour, local.tm_min, local.tm_sec};
}

int64_t ProcessId() { return static_cast<int64_t>(getpid()); }

int64_t MonotonicMillis() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? uint64_t{1} << 20 : limit.rlim_cur;
}

void ReleaseFreeMemory() { malloc_trim(0); }

void ExitProcess(int code) { _exit(code); }

}  // namespace kelvra::platform
