#include "PacketWorkers.h"

#include <cstring>

#include "Exception.h"
#include "StopFlag.h"
#include "gateway/MessageProtocol.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

PacketWorkerPool::PacketWorkerPool(Handler handler) : handler_(std::move(handler)) {
  MutexLock lock(mutex_);
  for (size_t i = 0; i < kWorkers; ++i) {
    workers_[i].index = static_cast<unsigned>(i);
    workers_[i].pool = this;
    workers_[i].slot.configure(&PacketWorkerPool::Entry, PacketWorker::kStackSize);
    free_[i] = true;
  }
}

bool PacketWorkerPool::handOver(const uint8_t* datagram, size_t length, const sockaddr_in& sender) {
  if (length >= PacketWorker::kBufferSize) length = PacketWorker::kBufferSize - 1;
  while (true) {
    // One look at each worker, round robin from the last one used, before pausing: a busy worker
    // next in line must not cost a millisecond while another one is idle.
    for (size_t tried = 0; tried < kWorkers; ++tried) {
      size_t index = (next_ + tried) % kWorkers;
      MutexLock lock(mutex_);
      if (!free_[index]) continue;
      PacketWorker& worker = workers_[index];
      std::memcpy(worker.buffer, datagram, length);
      worker.buffer[length] = 0;
      worker.length = static_cast<uint16_t>(length + 1);
      worker.sender = sender;
      free_[index] = false;
      int result = worker.slot.start(&worker);
      if (result != 0) {
        // The worker stays marked busy: a thread that cannot be created now rarely can later.
        LOG_ERROR("Unable to start packet worker %u: %d", worker.index, result);
      }
      next_ = index;
      return true;
    }
    if (StopFlag::IsSet()) return false;
    SleepMs(1);
  }
}

size_t PacketWorkerPool::busyCount() const {
  MutexLock lock(mutex_);
  size_t busy = 0;
  for (bool isFree : free_) busy += isFree ? 0 : 1;
  return busy;
}

void* PacketWorkerPool::Entry(void* argument) {
  PacketWorker& worker = *static_cast<PacketWorker*>(argument);
  worker.pool->work(worker);
  return nullptr;
}

void PacketWorkerPool::work(PacketWorker& worker) {
  try {
    const uint8_t* end = worker.buffer + (worker.length > 0 ? worker.length - 1 : 0);
    handler_(worker.buffer, end, worker.sender);
  } catch (const MessageProtocol::SyntaxError& e) {
    LOG_INFO("Message Protocol syntax error %s", e.what());
  } catch (const Exception& e) {
    // Always an error here, whatever level the thrower gave: the datagram is lost.
    LOG_ERROR("%s", ("Rx Msg exception : " + e.describe()).c_str());
  } catch (...) {
    LOG_ERROR("Catch-all packet thread exception");
  }
  worker.length = 0;
  MutexLock lock(mutex_);
  free_[worker.index] = true;
}
