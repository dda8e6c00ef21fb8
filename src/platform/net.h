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

// Outcome of one non-blocking send: bytes taken by the kernel (possibly 0),
// and whether the send would have blocked or the connection failed. Never
// raises SIGPIPE.
struct SendResult {
  size_t bytes;
  bool would_block;
  bool failed;
};
// `more`: further data follows at once (lets the kernel fill packets).
SendResult SendSome(Socket s, const char* data, size_t size, bool more);
// Sends up to `count` bytes of the open file `file` from *offset through the
// kernel's zero-copy path, advancing *offset.
SendResult SendFileSome(Socket s, int file, uint64_t* offset, uint64_t count);
// Waits up to `timeout_ms` until `s` can take more bytes. False on time-out
// or when the connection failed.
bool WaitWritable(Socket s, int timeout_ms);

// Closes. Safe on InvalidSocket.
void CloseSocket(Socket s);

// Connection readiness events for one thread's event loop.
class Poller {
 public:
  struct Event {
    uint64_t token;
    bool readable;
    bool writable;
    bool hangup;
  };

  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  bool ok() const { return poll_fd_ >= 0 && wake_fd_ >= 0; }
  // Registers `s` under `token`, for readability and/or writability.
  // Returns false on failure.
  bool Add(Socket s, uint64_t token, bool readable = true, bool writable = false);
  // Changes what a registered socket is watched for.
  bool SetInterest(Socket s, uint64_t token, bool readable, bool writable = false);
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
