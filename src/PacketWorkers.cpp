#include "PacketWorkers.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "Exception.h"
#include "StopFlag.h"
#include "gateway/MessageProtocol.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

PacketWorkerPool::PacketWorkerPool(Handler handler) : handler_(std::move(handler)) {
  MutexLock lock(mutex_);
  for (size_t i = 0; i < kWorkers; ++i) {
    PacketWorker& worker = workers_[i];
    worker.index = static_cast<unsigned>(i);
    worker.pool = this;
    snprintf(worker.name, sizeof worker.name, "pkt-worker-%u", worker.index);
    worker.slot.configure(&PacketWorkerPool::Entry, PacketWorker::kStackSize, worker.name);
    ready_[i] = false;
    const int result = worker.slot.startJoinable(&worker);
    // A worker without a thread stays marked busy: a thread that cannot be created now rarely
    // can later, and the others carry on.
    free_[i] = result == 0;
    if (result != 0) LOG_ERROR("Unable to start packet worker %u: %d", worker.index, result);
  }
}

PacketWorkerPool::~PacketWorkerPool() {
  {
    MutexLock lock(mutex_);
    closing_ = true;
    for (PacketWorker& worker : workers_) worker.wake.notify_one();
  }
  for (PacketWorker& worker : workers_) worker.slot.join();
}

bool PacketWorkerPool::handOver(const uint8_t* datagram, size_t length, const sockaddr_in& sender,
                                int64_t arrivalUs) {
  if (length >= PacketWorker::kBufferSize) length = PacketWorker::kBufferSize - 1;
  PacketWorker* chosen = nullptr;
  {
    MutexLock lock(mutex_);
    for (;;) {
      for (size_t tried = 0; tried < kWorkers && chosen == nullptr; ++tried) {
        const size_t index = (next_ + tried) % kWorkers;
        if (!free_[index]) continue;
        chosen = &workers_[index];
        std::memcpy(chosen->buffer, datagram, length);
        chosen->buffer[length] = 0;
        chosen->length = static_cast<uint16_t>(length + 1);
        chosen->sender = sender;
        chosen->arrivalUs = arrivalUs;
        free_[index] = false;
        ready_[index] = true;
        next_ = index;
      }
      if (chosen != nullptr) break;
      if (StopFlag::IsSet()) return false;
      // Woken by the first worker to finish; the timeout only looks at the stop flag again.
      freed_.wait_for(mutex_, std::chrono::milliseconds(10));
    }
  }
  // Woken after the unlock, the worker does not wake only to wait for the lock still held here.
  chosen->wake.notify_one();
  return true;
}

size_t PacketWorkerPool::busyCount() const {
  MutexLock lock(mutex_);
  size_t busy = 0;
  for (bool isFree : free_) busy += isFree ? 0 : 1;
  return busy;
}

void* PacketWorkerPool::Entry(void* argument) {
  PacketWorker& worker = *static_cast<PacketWorker*>(argument);
  worker.pool->serve(worker);
  return nullptr;
}

void PacketWorkerPool::serve(PacketWorker& worker) {
  while (true) {
    {
      MutexLock lock(mutex_);
      worker.wake.wait(mutex_, [&]() NO_THREAD_SAFETY_ANALYSIS {
        return ready_[worker.index] || closing_;
      });
      // A datagram handed over before the pool closed is still handled.
      if (!ready_[worker.index]) return;
      ready_[worker.index] = false;
    }
    work(worker);
  }
}

void PacketWorkerPool::work(PacketWorker& worker) {
  try {
    const uint8_t* end = worker.buffer + (worker.length > 0 ? worker.length - 1 : 0);
    handler_(worker.buffer, end, worker.sender, worker.arrivalUs);
  } catch (const MessageProtocol::SyntaxError& e) {
    LOG_INFO("Message Protocol syntax error %s", e.what());
  } catch (const Exception& e) {
    // Always an error here, whatever level the thrower gave: the datagram is lost.
    LOG_ERROR("%s", ("Rx Msg exception : " + e.describe()).c_str());
  } catch (...) {
    LOG_ERROR("Catch-all packet thread exception");
  }
  worker.length = 0;
  {
    MutexLock lock(mutex_);
    free_[worker.index] = true;
  }
  freed_.notify_one();
}
