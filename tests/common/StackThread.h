// Runs a piece of work on a thread with the stack a server thread of the given nominal size gets,
// and waits for it: tests and fuzz targets feed outside input where the server would, not on
// the main thread's far deeper stack.
//
// One thread per stack size, started on first use and kept: a fuzzer runs millions of inputs,
// and a thread created and joined for each one made them slow and let the sanitizer's per-thread
// bookkeeping grow until the run hit its memory limit.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "ThreadSlot.h"

namespace testsupport {

class StackRunner {
 public:
  explicit StackRunner(uint32_t nominalStack) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, ThreadSlot::EffectiveStackSize(nominalStack));
    pthread_t thread;
    const int result = pthread_create(&thread, &attributes, &StackRunner::Loop, this);
    pthread_attr_destroy(&attributes);
    if (result != 0) throw std::runtime_error("cannot start a thread for the work");
    pthread_detach(thread);  // lives as long as the process
  }

  void run(const std::function<void()>& work) {
    std::lock_guard<std::mutex> oneAtATime(callers_);
    std::unique_lock<std::mutex> lock(mutex_);
    work_ = &work;
    changed_.notify_all();
    changed_.wait(lock, [&] { return work_ == nullptr; });
  }

 private:
  static void* Loop(void* self) {
    auto& runner = *static_cast<StackRunner*>(self);
    std::unique_lock<std::mutex> lock(runner.mutex_);
    for (;;) {
      runner.changed_.wait(lock, [&] { return runner.work_ != nullptr; });
      lock.unlock();
      (*runner.work_)();
      lock.lock();
      runner.work_ = nullptr;
      runner.changed_.notify_all();
    }
    return nullptr;
  }

  std::mutex callers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  const std::function<void()>* work_ = nullptr;
};

inline void RunOnStack(uint32_t nominalStack, const std::function<void()>& work) {
  static std::mutex mutex;
  static auto* runners = new std::map<uint32_t, StackRunner*>;  // never torn down: see above
  StackRunner* runner;
  {
    std::lock_guard<std::mutex> lock(mutex);
    StackRunner*& slot = (*runners)[nominalStack];
    if (slot == nullptr) slot = new StackRunner(nominalStack);
    runner = slot;
  }
  runner->run(work);
}

}  // namespace testsupport
