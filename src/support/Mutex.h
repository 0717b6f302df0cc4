// A mutex that clang's thread-safety analysis understands, so that shared state can be labelled
// with the lock that guards it:
//
//   Mutex mutex_;
//   std::deque<Item> items_ GUARDED_BY(mutex_);
//   void popDue(uint64_t nowMs) REQUIRES(mutex_);
//
// Process-wide lock order (outermost first): device list -> device -> gateway duty cycle ->
// transmit queue -> database. Everything else (worker table, gateway list, application queue,
// recent lists, sockets, ...) is a leaf held for short stretches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VALLORIN_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VALLORIN_THREAD_SANITIZER 1
#endif
#ifdef VALLORIN_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

class CAPABILITY("mutex") Mutex {
 public:
  // For a mutex of static storage that the server's detached threads may still take while the
  // process exits and runs its static destructors.
  struct ProcessLifetime {};

  Mutex() = default;
  constexpr explicit Mutex(ProcessLifetime)
#ifdef VALLORIN_THREAD_SANITIZER
      : processLifetime_(true)
#endif
  {
  }
#ifdef VALLORIN_THREAD_SANITIZER
  // std::mutex ends without a word to ThreadSanitizer (its destructor is trivial), so a mutex
  // made later at the same address, on a reused stack say, would inherit this one's lock-order
  // history and be reported in cycles it never took part in. A process-lifetime one is never
  // reused, and telling of its end would make a detached thread's last round a race with exit.
  ~Mutex() {
    if (!processLifetime_) __tsan_mutex_destroy(&mutex_, 0);
  }
#endif
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
#ifdef VALLORIN_THREAD_SANITIZER
  bool processLifetime_ = false;
#endif
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

// A condition variable for Mutex. std::condition_variable_any would do, but it locks a mutex of its
// own around every wait and notify, so each hand-off between two threads cost a second futex
// round trip; this one waits on the Mutex's own std::mutex.
class CondVar {
 public:
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  template <class Predicate>
  void wait(Mutex& mutex, Predicate ready) REQUIRES(mutex) {
    while (!ready()) wait(mutex);
  }

  // False when the time ran out before `ready` held.
  template <class Rep, class Period, class Predicate>
  bool wait_for(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout, Predicate ready)
      REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const bool result = cv_.wait_for(lock, timeout, ready);
    lock.release();
    return result;
  }

  template <class Rep, class Period>
  void wait_for(Mutex& mutex, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait_for(lock, timeout);
    lock.release();
  }

  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};
