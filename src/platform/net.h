// Sockets and readiness polling, the only network calls the server makes.
//
// Every function reports failure as a value; none throws. A Socket is owned
// by whoever received it and must be closed exactly once with CloseSocket.
// The functions are safe to call from any thread on distinct sockets; a
// Poller is used by one thread, except Wake(), which any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::platform {

using Socket = int;
inline constexpr Socket InvalidSocket = -1;

// Creates an IPv4 stream socket with SO_REUSEADDR, binds it to every local
// address on `port` and listens with `backlog`. Returns InvalidSocket when
// bind or listen fails (socket creation failures show up the same way).
Socket OpenListener(uint16_t port, int backlog);

// Accepts one pending connection without blocking; the accepted socket is
// non-blocking too. On anything but Accepted the socket is InvalidSocket.
enum class AcceptStatus {
  Accepted,
  NoneWaiting,     // nothing to accept now
  OutOfResources,  // descriptors or memory exhausted: retry later
  Failed,          // the listener is unusable (closed at shut-down)
};
struct AcceptResult {
  AcceptStatus status;
  Socket socket;
};
AcceptResult AcceptConnection(Socket listener);

// Outcome of one non-blocking receive.
enum class RecvStatus { Data, WouldBlock, Closed, Failed };
struct RecvResult {
  RecvStatus status;
  size_t bytes;  // valid for Data only, always > 0 then
};
RecvResult Receive(Socket s, char* buffer, size_t capacity);

// Switches an accepted socket to blocking mode with a send time-out, for the
// worker that writes the reply. Returns false when the socket is unusable.
bool PrepareForReply(Socket s, int send_timeout_ms);

// Sends all `size` bytes, continuing after partial sends, never raising
// SIGPIPE. Gives up (returns false) when the peer is gone, a send stalls
// longer than the socket's send time-out, or `deadline_ms` (a steady-clock
// time from MonotonicMillis) has passed.
bool SendAll(Socket s, const char* data, size_t size, int64_t deadline_ms);

// Sends `size` bytes of the open file `file` from offset 0 through the
// kernel's zero-copy path, with the same give-up rules as SendAll.
// Returns the number of bytes sent.
uint64_t SendFileContent(Socket s, int file, uint64_t size, int64_t deadline_ms);

// Half-closes and closes. Safe on InvalidSocket.
void ShutdownSocket(Socket s);
void CloseSocket(Socket s);

// Connection readiness events for one thread's event loop.
class Poller {
 public:
  struct Event {
    uint64_t token;
    bool readable;
    bool hangup;
  };

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool ok() const { return poll_fd_ >= 0 && wake_fd_ >= 0; }
  // Registers `s` for readability under `token`. Returns false on failure.
  bool Add(Socket s, uint64_t token);
  // Stops or resumes interest in readability of a registered socket.
  bool SetInterest(Socket s, uint64_t token, bool readable);
  void Remove(Socket s);
  // Waits up to `timeout_ms` (-1: forever) and returns the ready events.
  // A call to Wake() from any thread ends the wait early; the wake-up itself
  // is not reported as an event.
  std::vector<Event> Wait(int timeout_ms);
  void Wake();

 private:
  int poll_fd_ = -1;
  int wake_fd_ = -1;
};

}  // namespace kelvra::platform
