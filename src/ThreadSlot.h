// One long-lived thread of the server: its stack size, its handle and its entry. The server's own
// threads are created detached (the process exit ends them); a pool that must outlive none of
// its threads starts them joinable and joins them when it closes.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

class ThreadSlot {
 public:
  using Entry = void* (*)(void*);
  // Nominal stack of the server's long-lived threads (time, backup, downstream receive and the
  // application threads); packet workers have their own.
  static constexpr uint32_t kServerStack = 16384;

  ThreadSlot() = default;

  // `name` (at most 15 characters, kept by the caller) is what `top -H` and `ps -L` show for the
  // thread, so an operator can tell which part of the server is busy.
  void configure(Entry entry, uint32_t stackSize, const char* name) {
    entry_ = entry;
    stackSize_ = stackSize;
    name_ = name;
  }
  // Creates the detached thread; the result of pthread_create (0 on success).
  int start(void* argument = nullptr);
  // The same, joinable: join() waits for it to return.
  int startJoinable(void* argument);
  void join();

  uint32_t stackSize() const { return stackSize_; }
  pthread_t handle() const { return handle_; }

  // The stack actually requested for a nominal size. The nominal sizes fit the 32-bit gateway;
  // 64-bit frames are about twice as deep, and sanitizer builds need far more room for their
  // shadow frames and redzones.
  static size_t EffectiveStackSize(uint32_t nominal);

  // Names a started thread; a name the system refuses (too long) leaves the inherited one.
  static void Name(pthread_t thread, const char* name);

 private:
  int create(void* argument, int detachState);

  Entry entry_ = nullptr;
  uint32_t stackSize_ = 0;
  const char* name_ = nullptr;
  pthread_t handle_{};
  bool joinable_ = false;
};
