// A joinable thread with an explicit stack size, for the application threads that the server
// owns and stops (the publisher and the UDP down port). The nominal size is the gateway's; the
// stack actually asked for is ThreadSlot::EffectiveStackSize of it.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>

class AppThread {
 public:
  AppThread() = default;
  ~AppThread() { Join(); }
  AppThread(const AppThread&) = delete;
  AppThread& operator=(const AppThread&) = delete;

  // The result of pthread_create (0 on success); a thread already running is left alone (EBUSY).
  // `name` is the thread's name as ThreadSlot::configure describes it.
  int Start(std::function<void()> body, uint32_t nominalStackSize, const char* name);
  // Waits for the body to return; does nothing when no thread runs.
  void Join();
  bool running() const { return started_; }

 private:
  static void* Entry(void* self);

  std::function<void()> body_;
  pthread_t handle_{};
  bool started_ = false;  // touched only by the owner's thread
};
