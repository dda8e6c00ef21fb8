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
#include <unistd.h>

#include "platform/net.h"

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

SendResult SendSome(Socket s, const char* data, size_t size, bool more) {
  int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0);
  for (;;) {
    ssize_t n = send(s, data, size, flags);
    if (n >= 0) return {static_cast<size_t>(n), false, false};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {0, true, false};
    return {0, false, true};
  }
}

SendResult SendFileSome(Socket s, int file, uint64_t* offset, uint64_t count) {
  for (;;) {
    off_t at = static_cast<off_t>(*offset);
    ssize_t n = sendfile(s, file, &at, count);
    if (n > 0) {
      *offset = static_cast<uint64_t>(at);
      return {static_cast<size_t>(n), false, false};
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {0, true, false};
    return {0, false, true};  // an error, or the file shrank under us
  }
}

bool WaitWritable(Socket s, int timeout_ms) {
  pollfd p{s, POLLOUT, 0};
  for (;;) {
    int n = poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    return n == 1 && (p.revents & POLLOUT) != 0 && (p.revents & (POLLERR | POLLHUP)) == 0;
  }
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

namespace {

uint32_t EventMask(bool readable, bool writable) {
  uint32_t mask = 0;
  if (readable) mask |= EPOLLIN | EPOLLRDHUP;
  if (writable) mask |= EPOLLOUT;
  return mask;
}

}  // namespace

bool Poller::Add(Socket s, uint64_t token, bool readable, bool writable) {
  epoll_event ev{};
  ev.events = EventMask(readable, writable);
  ev.data.u64 = token;
  return epoll_ctl(poll_fd_, EPOLL_CTL_ADD, s, &ev) == 0;
}

bool Poller::SetInterest(Socket s, uint64_t token, bool readable, bool writable) {
  epoll_event ev{};
  ev.events = EventMask(readable, writable);
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
    uint32_t e = events[i].events;
    out.push_back({events[i].data.u64, (e & (EPOLLIN | EPOLLRDHUP)) != 0, (e & EPOLLOUT) != 0,
                   (e & (EPOLLHUP | EPOLLERR)) != 0});
  }
  return out;
}

void Poller::Wake() {
  uint64_t one = 1;
  ssize_t ignored = write(wake_fd_, &one, sizeof(one));
  (void)ignored;
}

}  // namespace kelvra::platform
