// POSIX sockets and epoll behind platform/net.h.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/net.h"
#include "platform/process.h"

namespace kelvra::platform {

Socket OpenListener(uint16_t port, int backlog) {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return InvalidSocket;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, backlog) != 0) {
    close(s);
    return InvalidSocket;
  }
  // The accept loop polls the listener, so accepting must never block.
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  return s;
}

AcceptResult AcceptConnection(Socket listener) {
  for (;;) {
    int s = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) return {AcceptStatus::Accepted, s};
    switch (errno) {
      case EINTR:
      case ECONNABORTED:  // reset before it was accepted: not our failure
      case EPROTO:
        continue;
      case EAGAIN:
        return {AcceptStatus::NoneWaiting, InvalidSocket};
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        return {AcceptStatus::OutOfResources, InvalidSocket};
      default:
        return {AcceptStatus::Failed, InvalidSocket};
    }
  }
}

RecvResult Receive(Socket s, char* buffer, size_t capacity) {
  for (;;) {
    ssize_t n = recv(s, buffer, capacity, 0);
    if (n > 0) return {RecvStatus::Data, static_cast<size_t>(n)};
    if (n == 0) return {RecvStatus::Closed, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {RecvStatus::WouldBlock, 0};
    return {RecvStatus::Failed, 0};
  }
}

bool PrepareForReply(Socket s, int send_timeout_ms) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  timeval tv{};
  tv.tv_sec = send_timeout_ms / 1000;
  tv.tv_usec = (send_timeout_ms % 1000) * 1000;
  return setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
}

bool SendAll(Socket s, const char* data, size_t size, int64_t deadline_ms) {
  while (size > 0) {
    if (MonotonicMillis() > deadline_ms) return false;
    ssize_t n = send(s, data, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // includes EAGAIN: the send time-out expired
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint64_t SendFileContent(Socket s, int file, uint64_t size, int64_t deadline_ms) {
  off_t offset = 0;
  uint64_t sent = 0;
  while (sent < size) {
    if (MonotonicMillis() > deadline_ms) break;
    ssize_t n = sendfile(s, file, &offset, size - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // error, time-out, or the file shrank
    sent += static_cast<uint64_t>(n);
  }
  return sent;
}

void ShutdownSocket(Socket s) {
  if (s != InvalidSocket) shutdown(s, SHUT_RDWR);
}

void CloseSocket(Socket s) {
  if (s != InvalidSocket) close(s);
}

Poller::Poller() {
  poll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (poll_fd_ >= 0 && wake_fd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = ~uint64_t{0};
    epoll_ctl(poll_fd_, EPOLL_CTL_ADD, wake_fd_, &ev);
  }
}

Poller::~Poller() {
  if (poll_fd_ >= 0) close(poll_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool Poller::Add(Socket s, uint64_t token) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = token;
  return epoll_ctl(poll_fd_, EPOLL_CTL_ADD, s, &ev) == 0;
}

bool Poller::SetInterest(Socket s, uint64_t token, bool readable) {
  epoll_event ev{};
  ev.events = readable ? (EPOLLIN | EPOLLRDHUP) : 0;
  ev.data.u64 = token;
  return epoll_ctl(poll_fd_, EPOLL_CTL_MOD, s, &ev) == 0;
}

void Poller::Remove(Socket s) { epoll_ctl(poll_fd_, EPOLL_CTL_DEL, s, nullptr); }

std::vector<Poller::Event> Poller::Wait(int timeout_ms) {
  epoll_event events[256];
  int n = epoll_wait(poll_fd_, events, 256, timeout_ms);
  std::vector<Event> out;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == ~uint64_t{0}) {
      uint64_t drained;
      while (read(wake_fd_, &drained, sizeof(drained)) > 0) {
      }
      continue;
    }
    out.push_back({events[i].data.u64, (events[i].events & (EPOLLIN | EPOLLRDHUP)) != 0,
                   (events[i].events & (EPOLLHUP | EPOLLERR)) != 0});
  }
  return out;
}

void Poller::Wake() {
  uint64_t one = 1;
  ssize_t ignored = write(wake_fd_, &one, sizeof(one));
  (void)ignored;
}

}  // namespace kelvra::platform
