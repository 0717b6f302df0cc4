// The five packet workers: each takes one datagram from the gateway receive loop and runs the
// protocol, classification and uplink handling for it on a thread of its own, so a slow uplink
// (database, MQTT) never holds up the reception of the next one. The five threads live as long as
// the pool and wait for their next datagram: creating a thread per datagram cost more than
// handling a typical uplink, and a receive loop that found all five busy slept a millisecond at a
// time instead of taking the first one that finished.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>

#include "ThreadSlot.h"
#include "support/Mutex.h"

class PacketWorkerPool;

struct PacketWorker {
  static constexpr size_t kBufferSize = 16384;
  static constexpr uint32_t kStackSize = 32768;

  unsigned index = 0;
  char name[16] = {};  // "pkt-worker-<index>"
  uint8_t buffer[kBufferSize] = {};
  sockaddr_in sender{};
  int64_t arrivalUs = 0;  // MonotonicUs() when the datagram reached the socket
  uint16_t length = 0;  // datagram bytes plus the terminating zero
  PacketWorkerPool* pool = nullptr;
  ThreadSlot slot;
  CondVar wake;  // its datagram is in the buffer, or the pool closes
};

class PacketWorkerPool {
 public:
  static constexpr size_t kWorkers = 5;
  // Runs on the worker's thread for the datagram [begin, end); *end is a zero byte.
  using Handler = std::function<void(const uint8_t* begin, const uint8_t* end,
                                     const sockaddr_in& sender, int64_t arrivalUs)>;

  explicit PacketWorkerPool(Handler handler);
  // Lets every worker finish its datagram and waits for the five threads to end.
  ~PacketWorkerPool();
  PacketWorkerPool(const PacketWorkerPool&) = delete;
  PacketWorkerPool& operator=(const PacketWorkerPool&) = delete;

  // Gives the datagram (at most kBufferSize - 1 bytes) to the next free worker, round robin from
  // the last one used. Blocks while all five are busy; false when the stop flag ended the wait.
  bool handOver(const uint8_t* datagram, size_t length, const sockaddr_in& sender,
                int64_t arrivalUs = 0) EXCLUDES(mutex_);

  size_t busyCount() const EXCLUDES(mutex_);

 private:
  static void* Entry(void* worker);
  void serve(PacketWorker& worker) EXCLUDES(mutex_);
  void work(PacketWorker& worker) EXCLUDES(mutex_);

  const Handler handler_;
  mutable Mutex mutex_;  // the worker table: free and ready flags, the hand-over, closing
  CondVar freed_;  // a worker finished its datagram
  std::array<PacketWorker, kWorkers> workers_;
  std::array<bool, kWorkers> free_ GUARDED_BY(mutex_);
  std::array<bool, kWorkers> ready_ GUARDED_BY(mutex_);  // a datagram waits for the worker
  bool closing_ GUARDED_BY(mutex_) = false;
  size_t next_ = 0;  // only the receive loop hands over
};
