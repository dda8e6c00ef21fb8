#include "http/listener.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/process_state.h"
#include "db/relay_db.h"
#include "http/http_request.h"
#include "http/limits.h"
#include "http/router.h"
#include "http/worker_pool.h"
#include "platform/process.h"

namespace kelvra {

namespace {

constexpr uint64_t ListenerToken = ~uint64_t{0} - 1;
// Reads of one connection per readiness event, so one fast upload cannot
// starve the others.
constexpr int ReadsPerTurn = 16;
constexpr int ExpiryScanMs = 250;
constexpr int ResourceRetryMs = 100;
// Descriptors kept free for the database, log and chunk files.
constexpr uint64_t SpareDescriptors = 64;
// How long a worker keeps writing a reply the client takes only bit by bit
// before the event loop takes over the rest.
constexpr int WorkerWriteWaitMs = 200;

struct Job {
  platform::Socket socket = platform::InvalidSocket;
  HttpRequest request;
  uint64_t reserved = 0;
};

struct Pending {
  RequestReader reader;
  int64_t accepted_ms = 0;
  int64_t last_byte_ms = 0;
  uint64_t reserved = 0;
  bool parked = false;      // waiting for a share of the body budget
  bool registered = false;  // known to the poller
};

// A reply whose client reads slower than the worker could wait for.
struct Writing {
  ResponseWriter writer;
  int64_t last_progress_ms = 0;
  int64_t deadline_ms = 0;
};

struct Handoff {
  platform::Socket socket;
  ResponseWriter writer;
  int64_t started_ms;
};

class ConnectionLoop {
 public:
  ConnectionLoop(platform::Socket listener, size_t max_connections)
      : listener_(listener),
        max_connections_(max_connections),
        buffer_(BodyReadPiece),
        pool_(MaxWorkers, [this](Job& job) { HandleConnection(job); }),
        quick_pool_(QuickWorkers, [this](Job& job) { HandleConnection(job); }) {}

  void Run();
  void Wake() { poller_.Wake(); }

 private:
  using Iterator = std::unordered_map<platform::Socket, Pending>::iterator;

  bool AcceptReady(int64_t now);
  void ReadAvailable(platform::Socket s, int64_t now);
  bool Reserve(Pending& p);
  void Park(platform::Socket s, Pending& p);
  void ResumeParked(int64_t now);
  void Close(Iterator it);
  void Dispatch(Iterator it);
  void HandleConnection(Job& job);
  bool AnswerHere(Job& job);
  void HandOff(platform::Socket s, ResponseWriter writer, int64_t started_ms);
  void TakeHandoffs(int64_t now);
  void WriteAvailable(platform::Socket s, int64_t now);
  void FinishWriting(std::unordered_map<platform::Socket, Writing>::iterator it);
  void CloseConnection(platform::Socket s);
  void Release(uint64_t reserved);
  void SetListening(bool on);
  void ExpireStale(int64_t now);
  int NextTimeout() const;

  const platform::Socket listener_;
  const size_t max_connections_;
  platform::Poller poller_;
  std::vector<char> buffer_;
  // Owned by the loop thread.
  std::unordered_map<platform::Socket, Pending> pending_;
  std::unordered_map<platform::Socket, Writing> writing_;
  std::deque<platform::Socket> parked_;
  bool listening_ = true;
  int64_t resume_accept_ms_ = 0;
  int64_t last_scan_ms_ = 0;
  // Shared with the workers.
  std::atomic<size_t> open_{0};
  std::atomic<uint64_t> budget_used_{0};
  std::atomic<bool> waiting_for_capacity_{false};
  std::mutex handoff_lock_;
  std::vector<Handoff> handoffs_;  // guarded by handoff_lock_
  WorkerPool<Job> pool_;        // requests that may wait on disk or network
  WorkerPool<Job> quick_pool_;  // requests of a few statements
};

std::atomic<ConnectionLoop*> ActiveLoop{nullptr};

// Set once the accept thread no longer touches the listening socket.
std::mutex StoppedLock;
std::condition_variable StoppedSignal;
bool LoopStopped = false;  // guarded by StoppedLock

void MarkStopped() {
  std::lock_guard<std::mutex> hold(StoppedLock);
  LoopStopped = true;
  StoppedSignal.notify_all();
}

void ConnectionLoop::Run() {
  if (!poller_.ok() || !poller_.Add(listener_, ListenerToken)) return;
  // Whatever ends the loop, the listener leaves the poller before anyone is
  // told that it may be closed.
  struct Unregister {
    ConnectionLoop* loop;
    ~Unregister() { loop->poller_.Remove(loop->listener_); }
  } unregister{this};
  while (!StopFlag.load()) {
    std::vector<platform::Poller::Event> events = poller_.Wait(NextTimeout());
    if (StopFlag.load()) return;
    int64_t now = platform::MonotonicMillis();
    TakeHandoffs(now);
    for (const platform::Poller::Event& e : events) {
      auto s = static_cast<platform::Socket>(e.token);
      if (e.token == ListenerToken) {
        if (!AcceptReady(now)) return;
      } else if (writing_.count(s) != 0) {
        WriteAvailable(s, now);
      } else {
        ReadAvailable(s, now);
      }
    }
    ResumeParked(now);
    if (!listening_ && open_.load() < max_connections_ && now >= resume_accept_ms_) {
      SetListening(true);
    }
    ExpireStale(now);
  }
}

bool ConnectionLoop::AcceptReady(int64_t now) {
  while (open_.load() < max_connections_) {
    platform::AcceptResult accepted = platform::AcceptConnection(listener_);
    if (accepted.status == platform::AcceptStatus::NoneWaiting) return true;
    if (accepted.status == platform::AcceptStatus::Failed) return false;
    if (accepted.status == platform::AcceptStatus::OutOfResources) {
      resume_accept_ms_ = now + ResourceRetryMs;
      SetListening(false);
      return true;
    }
    RequestCount.fetch_add(1);
    open_.fetch_add(1);
    platform::Socket s = accepted.socket;
    pending_[s] = Pending{RequestReader(), now, now, 0, false, false};
    // The request often arrives with the connection: read it right away,
    // and watch the socket only when it has to wait for more.
    ReadAvailable(s, now);
  }
  SetListening(false);
  return true;
}

void ConnectionLoop::ReadAvailable(platform::Socket s, int64_t now) {
  Iterator it = pending_.find(s);
  if (it == pending_.end() || it->second.parked) return;
  Pending& p = it->second;
  for (int turn = 0; turn < ReadsPerTurn; ++turn) {
    platform::RecvResult r = platform::Receive(s, buffer_.data(), p.reader.NextReadSize());
    if (r.status == platform::RecvStatus::WouldBlock) break;
    if (r.status != platform::RecvStatus::Data) return Close(it);
    p.last_byte_ms = now;
    RequestReader::Step step = p.reader.Append(buffer_.data(), r.bytes);
    if (step == RequestReader::Step::Abandon) return Close(it);
    if (step == RequestReader::Step::Complete) return Dispatch(it);
    if (p.reader.in_body() && p.reserved == 0 &&
        static_cast<uint64_t>(p.reader.content_length()) > LargeBodyBytes &&
        (!parked_.empty() || !Reserve(p))) {
      return Park(s, p);
    }
  }
  // More is to come: from now on the poller says when.
  if (!p.registered) {
    p.registered = poller_.Add(s, static_cast<uint64_t>(s));
    if (!p.registered) Close(it);
  }
}

// Takes the connection's share of the body budget. Callers let later
// arrivals queue behind connections already parked, so waiting is first
// come, first served.
bool ConnectionLoop::Reserve(Pending& p) {
  uint64_t want = static_cast<uint64_t>(p.reader.content_length());
  uint64_t used = budget_used_.load();
  do {
    if (used + want > BodyBudgetBytes) return false;
  } while (!budget_used_.compare_exchange_weak(used, used + want));
  p.reserved = want;
  return true;
}

void ConnectionLoop::Park(platform::Socket s, Pending& p) {
  p.parked = true;
  if (p.registered) {
    poller_.SetInterest(s, static_cast<uint64_t>(s), false);
  } else {
    p.registered = poller_.Add(s, static_cast<uint64_t>(s), false);
  }
  parked_.push_back(s);
  waiting_for_capacity_.store(true);
}

void ConnectionLoop::ResumeParked(int64_t now) {
  while (!parked_.empty()) {
    platform::Socket s = parked_.front();
    Iterator it = pending_.find(s);
    if (it != pending_.end() && it->second.parked) {
      if (!Reserve(it->second)) return;
      it->second.parked = false;
      it->second.last_byte_ms = now;  // its silence was ours, not the client's
      poller_.SetInterest(s, static_cast<uint64_t>(s), true);
    }
    parked_.pop_front();
    if (it != pending_.end()) ReadAvailable(s, now);
  }
  waiting_for_capacity_.store(!listening_);
}

void ConnectionLoop::Close(Iterator it) {
  if (it->second.registered) poller_.Remove(it->first);
  Release(it->second.reserved);
  CloseConnection(it->first);
  pending_.erase(it);
}

void ConnectionLoop::Dispatch(Iterator it) {
  if (it->second.registered) poller_.Remove(it->first);
  Job job{it->first, it->second.reader.TakeRequest(), it->second.reserved};
  pending_.erase(it);
  RequestWeight weight = WeighRequest(job.request);
  if (weight == RequestWeight::Instant && AnswerHere(job)) return;
  WorkerPool<Job>& pool = weight == RequestWeight::Heavy ? pool_ : quick_pool_;
  if (!pool.Submit(job)) {
    // No worker thread could be started at all: this connection is lost,
    // the server goes on accepting.
    Release(job.reserved);
    CloseConnection(job.socket);
  }
}

// A read-only answer on the loop thread itself, sparing the hand-over to a
// worker, when the database lock is free at once (a reader in write-ahead-log
// mode never waits for writers). False when the lock was taken: a worker
// answers then.
bool ConnectionLoop::AnswerHere(Job& job) {
  std::unique_lock<std::recursive_mutex> hold(DbLock(), std::try_to_lock);
  if (!hold.owns_lock()) return false;
  ResponseWriter writer(RouteRequest(job.request));
  hold.unlock();
  if (writer.WriteSome(job.socket) == ResponseWriter::Status::Blocked) {
    HandOff(job.socket, std::move(writer), platform::MonotonicMillis());
    return true;
  }
  CloseConnection(job.socket);
  return true;
}

// Runs on a worker thread: route, then write the reply as far as the client
// takes it promptly. A client that reads slowly gets the rest from the event
// loop, so it holds no worker.
void ConnectionLoop::HandleConnection(Job& job) {
  int64_t started = platform::MonotonicMillis();
  ResponseWriter writer(RouteRequest(job.request));
  // A large document, once parsed, leaves many small blocks freed in this
  // thread's allocator arena; hand that memory back. (A body alone is one
  // block, which the allocator returns by itself.)
  bool parsed_large = job.request.method == "POST" && job.request.body.size() > LargeParseBytes;
  job.request = HttpRequest();  // free the body before giving its share back
  Release(job.reserved);
  if (parsed_large) platform::ReleaseFreeMemory();
  int64_t hand_off_at = platform::MonotonicMillis() + WorkerWriteWaitMs;
  while (writer.WriteSome(job.socket) == ResponseWriter::Status::Blocked) {
    int64_t left = hand_off_at - platform::MonotonicMillis();
    if (left <= 0 || !platform::WaitWritable(job.socket, static_cast<int>(left))) {
      return HandOff(job.socket, std::move(writer), started);
    }
  }
  CloseConnection(job.socket);
}

void ConnectionLoop::HandOff(platform::Socket s, ResponseWriter writer, int64_t started_ms) {
  {
    std::lock_guard<std::mutex> hold(handoff_lock_);
    handoffs_.push_back({s, std::move(writer), started_ms});
  }
  poller_.Wake();
}

void ConnectionLoop::TakeHandoffs(int64_t now) {
  std::vector<Handoff> taken;
  {
    std::lock_guard<std::mutex> hold(handoff_lock_);
    taken.swap(handoffs_);
  }
  for (Handoff& h : taken) {
    Writing w{std::move(h.writer), now, h.started_ms + ReplyDeadlineMs};
    auto it = writing_.emplace(h.socket, std::move(w)).first;
    if (!poller_.Add(h.socket, static_cast<uint64_t>(h.socket), false, true)) FinishWriting(it);
  }
}

void ConnectionLoop::WriteAvailable(platform::Socket s, int64_t now) {
  auto it = writing_.find(s);
  if (it == writing_.end()) return;
  ResponseWriter::Status status = it->second.writer.WriteSome(s);
  it->second.last_progress_ms = now;
  if (status != ResponseWriter::Status::Blocked) FinishWriting(it);
}

void ConnectionLoop::FinishWriting(std::unordered_map<platform::Socket, Writing>::iterator it) {
  poller_.Remove(it->first);
  CloseConnection(it->first);
  writing_.erase(it);
}

// Any thread. A slot for a new connection is free again; wake the loop if
// it stopped accepting for want of one.
void ConnectionLoop::CloseConnection(platform::Socket s) {
  platform::CloseSocket(s);
  open_.fetch_sub(1);
  if (waiting_for_capacity_.load()) poller_.Wake();
}

void ConnectionLoop::Release(uint64_t reserved) {
  if (reserved != 0) budget_used_.fetch_sub(reserved);
}

void ConnectionLoop::SetListening(bool on) {
  if (listening_ == on) return;
  listening_ = on;
  poller_.SetInterest(listener_, ListenerToken, on);
  if (!on) waiting_for_capacity_.store(true);
}

void ConnectionLoop::ExpireStale(int64_t now) {
  if (now - last_scan_ms_ < ExpiryScanMs) return;
  last_scan_ms_ = now;
  size_t unsent = 0;
  for (auto it = writing_.begin(); it != writing_.end();) {
    auto next = std::next(it);
    const Writing& w = it->second;
    if (now - w.last_progress_ms > SendStallTimeoutMs || now > w.deadline_ms) {
      FinishWriting(it);
    } else {
      unsent += w.writer.unsent_bytes();
    }
    it = next;
  }
  // Replies waiting for slow readers may not hold more than their budget:
  // the reader that has stalled longest loses its reply first.
  while (unsent > ReplyBudgetBytes && !writing_.empty()) {
    auto slowest = writing_.begin();
    for (auto it = writing_.begin(); it != writing_.end(); ++it) {
      if (it->second.last_progress_ms < slowest->second.last_progress_ms) slowest = it;
    }
    unsent -= slowest->second.writer.unsent_bytes();
    FinishWriting(slowest);
  }
  for (Iterator it = pending_.begin(); it != pending_.end();) {
    const Pending& p = it->second;
    bool idle = !p.parked && now - p.last_byte_ms > IdleTimeoutMs;
    bool head_late = !p.reader.in_body() && now - p.accepted_ms > HeadDeadlineMs;
    bool request_late = now - p.accepted_ms > RequestDeadlineMs;
    Iterator next = std::next(it);
    if (idle || head_late || request_late) Close(it);
    it = next;
  }
}

int ConnectionLoop::NextTimeout() const {
  if (!pending_.empty() || !writing_.empty()) return ExpiryScanMs;
  if (!listening_) return ResourceRetryMs;
  return -1;
}

}  // namespace

void AcceptLoop(platform::Socket listener) {
  uint64_t descriptors = platform::RaiseDescriptorLimit();
  size_t bound = static_cast<size_t>(
      std::min<uint64_t>(MaxConnections, descriptors > 2 * SpareDescriptors
                                             ? descriptors - SpareDescriptors
                                             : SpareDescriptors));
  // Never destroyed: workers may still be finishing replies when the
  // process exits.
  auto* loop = new ConnectionLoop(listener, bound);
  ActiveLoop.store(loop);
  loop->Run();
  MarkStopped();
}

void WakeAcceptLoop() {
  if (ConnectionLoop* loop = ActiveLoop.load()) loop->Wake();
}

bool StopAcceptLoop(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> hold(StoppedLock);
  while (!LoopStopped) {
    // A loop that has not published itself yet misses a wake-up; repeat it.
    WakeAcceptLoop();
    if (std::chrono::steady_clock::now() >= deadline) return false;
    StoppedSignal.wait_for(hold, std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace kelvra
