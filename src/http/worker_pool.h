// A bounded pool of threads that run jobs of one type.
//
// Workers are started on demand: a job submitted while every worker is busy
// starts one more, up to the bound. When a thread cannot be started the job
// waits for a running worker; when no worker runs at all, Submit refuses the
// job and the caller disposes of it (the server closes that connection).
// Jobs run in submission order. Submit is thread-safe. The destructor stops
// and joins the workers after they finish their current jobs; queued jobs
// that never ran are destroyed unrun.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace kelvra {

// Starts a thread running `body`, or gives nothing when the system refuses.
using ThreadStarter = std::function<std::optional<std::thread>(std::function<void()> body)>;

inline std::optional<std::thread> StartSystemThread(std::function<void()> body) {
  try {
    return std::thread(std::move(body));
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

template <typename Job>
class WorkerPool {
 public:
  using Runner = std::function<void(Job&)>;

  WorkerPool(size_t max_workers, Runner run, ThreadStarter start = StartSystemThread)
      : max_workers_(max_workers), run_(std::move(run)), start_(std::move(start)) {}

  ~WorkerPool() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False when no worker exists to run the job; `job` is then untouched.
  bool Submit(Job& job) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (idle_ <= queue_.size() && threads_.size() < max_workers_) {
      std::optional<std::thread> t = start_([this] { WorkLoop(); });
      if (t) threads_.push_back(std::move(*t));
    }
    if (threads_.empty()) return false;
    queue_.push_back(std::move(job));
    hold.unlock();
    wake_.notify_one();
    return true;
  }

  size_t workers() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return threads_.size();
  }

 private:
  void WorkLoop() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
      --idle_;
      if (stopping_) return;
      Job job = std::move(queue_.front());
      queue_.pop_front();
      hold.unlock();
      run_(job);
      hold.lock();
    }
  }

  const size_t max_workers_;
  const Runner run_;
  const ThreadStarter start_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;          // guarded by mutex_
  std::vector<std::thread> threads_;  // guarded by mutex_
  size_t idle_ = 0;                // guarded by mutex_
  bool stopping_ = false;          // guarded by mutex_
};

}  // namespace kelvra
