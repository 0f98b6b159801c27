// Clang thread-safety annotations and the one annotated mutex of the program, so that
// -Wthread-safety checks that every guarded field is touched only under its lock.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TREEMON_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TREEMON_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TREEMON_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TREEMON_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TREEMON_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) TREEMON_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TREEMON_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TREEMON_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) TREEMON_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace treemon {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class ConditionVariable;
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Waits release `mutex` while blocked and hold it again on return.
class ConditionVariable {
 public:
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  // False when the deadline passed.
  template <typename TimePoint>
  bool wait_until(Mutex& mutex, const TimePoint& deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool woken = condition_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void notify_all() { condition_.notify_all(); }

 private:
  std::condition_variable condition_;
};

}  // namespace treemon
