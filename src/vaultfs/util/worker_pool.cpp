#include "vaultfs/util/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vaultfs {
namespace {

// One call's items. Whoever takes an index runs it; the last one done wakes
// the caller.
struct Batch {
  std::size_t count = 0;
  const std::function<void(std::size_t)>* body = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::mutex doneLock;
  std::condition_variable done;

  // Runs items until none is left to take; true when it ran the last one.
  bool Work() {
    bool last = false;
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) {
      (*body)(i);
      if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == count) last = true;
    }
    return last;
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(doneLock);
    done.notify_all();
  }
};

class Workers {
 public:
  explicit Workers(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { Serve(); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  std::size_t Size() const { return threads_.size(); }

  void Run(std::size_t count, const std::function<void(std::size_t)>& body) {
    auto batch = std::make_shared<Batch>();
    batch->count = count;
    batch->body = &body;
    {
      std::lock_guard<std::mutex> lock(lock_);
      queue_.push_back(batch);
    }
    wake_.notify_all();
    // The caller works too, and then waits for the items others took.
    if (batch->Work()) batch->Finish();
    {
      std::lock_guard<std::mutex> lock(lock_);
      queue_.erase(std::remove(queue_.begin(), queue_.end(), batch), queue_.end());
    }
    std::unique_lock<std::mutex> lock(batch->doneLock);
    batch->done.wait(
        lock, [&] { return batch->finished.load(std::memory_order_acquire) == batch->count; });
  }

 private:
  void Serve() {
    for (;;) {
      std::shared_ptr<Batch> batch;
      {
        std::unique_lock<std::mutex> lock(lock_);
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        batch = queue_.front();
        // A batch with nothing left to take leaves the queue; its caller
        // still waits for the items in flight.
        if (batch->next.load(std::memory_order_relaxed) >= batch->count) {
          queue_.pop_front();
          continue;
        }
      }
      if (batch->Work()) batch->Finish();
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Batch>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

std::size_t Cores() {
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

Workers& Shared() {
  // Made on first use, so that a program that never needs them starts no
  // threads; the caller is one of the cores.
  static Workers workers(Cores() - 1);
  return workers;
}

}  // namespace

std::size_t ParallelWidth() {
  return Cores();
}

void ForEachInParallel(std::size_t count, const std::function<void(std::size_t)>& body) {
  if (count == 0) return;
  if (count == 1 || Cores() == 1) {
    for (std::size_t i = 0; i < count; ++i) body(i);
    return;
  }
  Shared().Run(count, body);
}

}  // namespace vaultfs
