// The engine's lock and its guard, annotated for the thread-safety analysis
// (see thread_annotations.h). Every lock of the engine is recursive; code
// takes one through MutexLock, never with bare lock() and unlock() pairs,
// except where a lock is handed from one function to another (an object
// locked by a lookup and given back by its caller), and there the functions
// say so with ACQUIRE and RELEASE.
#pragma once

#include <mutex>

#include "vaultfs/util/thread_annotations.h"

namespace vaultfs {

class CAPABILITY("mutex") RecursiveMutex {
 public:
  RecursiveMutex() = default;
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  // Tells the analysis that the caller holds this lock where it cannot see
  // it taken (a contract kept by the caller's caller, stated in a comment).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

  // The lock itself, for the host-file callback backend: it runs the seek
  // and the transfer of one operation under the volume's I/O lock.
  std::recursive_mutex& Native() { return mutex_; }

 private:
  std::recursive_mutex mutex_;
};

// Holds a lock for a scope. Unlock() gives it back early; the destructor
// then does nothing.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(RecursiveMutex& mutex) ACQUIRE(mutex) : mutex_(&mutex) { mutex.lock(); }
  ~MutexLock() RELEASE() {
    if (mutex_) mutex_->unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_->unlock();
    mutex_ = nullptr;
  }

 private:
  RecursiveMutex* mutex_;
};

}  // namespace vaultfs
