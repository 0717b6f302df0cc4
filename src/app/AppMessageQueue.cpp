#include "app/AppMessageQueue.h"

#include <chrono>
#include <new>

#include "lora/Bytes.h"
#include "support/Logger.h"

AppMessageQueue::AppMessageQueue(size_t budgetBytes, std::function<uint64_t()> clockMs)
    : budgetBytes_(budgetBytes),
      clockMs_(clockMs ? std::move(clockMs)
                        : std::function<uint64_t()>([] { return static_cast<uint64_t>(MonotonicMs()); })) {}

int AppMessageQueue::postAppMessage(const std::string& eui, const char* event,
                                    const uint8_t* payload, size_t size) {
  try {
    AppMessage message{eui, event, std::string(reinterpret_cast<const char*>(payload), size)};
    return postAppMessages(&message, 1);
  } catch (const std::bad_alloc&) {
    LOG_ERROR("Failed to create MQTT message, out of memory");
    return 0;
  }
}

int AppMessageQueue::postAppMessages(AppMessage* messages, size_t count) {
  try {
    if (observer_) {
      for (size_t i = 0; i < count; ++i) observer_(messages[i]);
    }
    bool wake = true;
    {
      MutexLock lock(mutex_);
      const bool wasEmpty = messages_.empty();
      for (size_t i = 0; i < count; ++i) {
        const size_t cost = messages[i].footprint();
        makeRoom(cost);
        bytes_ += cost;
        messages_.push_back(std::move(messages[i]));
      }
      // A publisher gathering a batch wakes for its first message and for a full batch only.
      if (gatherMs_ > 0) wake = wasEmpty || messages_.size() >= gatherCount_;
    }
    if (wake) ready_.notify_one();
    return 1;
  } catch (const std::bad_alloc&) {
    LOG_ERROR("Failed to create MQTT message, out of memory");
    return 0;
  }
}

int AppMessageQueue::postAppMessage(const std::string& eui, const char* event,
                                    const std::string& payload) {
  return postAppMessage(eui, event, reinterpret_cast<const uint8_t*>(payload.data()),
                        payload.size());
}

void AppMessageQueue::makeRoom(size_t needed) {
  size_t droppedNow = 0;
  while (!messages_.empty() && bytes_ + needed > budgetBytes_) {
    bytes_ -= messages_.front().footprint();
    messages_.pop_front();
    ++droppedNow;
  }
  if (droppedNow == 0) return;
  dropped_ += droppedNow;
  droppedSinceWarning_ += droppedNow;
  const uint64_t now = clockMs_();
  if (!warned_ || now - lastWarningMs_ >= kDropWarningIntervalMs) {
    LOG_WARNING("Application message queue over its %zu-byte budget: dropped %llu oldest messages",
                budgetBytes_, static_cast<unsigned long long>(droppedSinceWarning_));
    warned_ = true;
    lastWarningMs_ = now;
    droppedSinceWarning_ = 0;
  }
}

bool AppMessageQueue::pop(AppMessage& out, uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  if (messages_.empty()) {
    // The predicate re-reads the queue under the lock the wait re-acquires.
    const uint64_t interrupts = interrupts_;
    ready_.wait_for(mutex_, std::chrono::milliseconds(timeoutMs),
                    [this, interrupts]() NO_THREAD_SAFETY_ANALYSIS {
                      return !messages_.empty() || interrupts_ != interrupts;
                    });
    if (messages_.empty()) return false;
    if (gatherMs_ > 0) {
      ready_.wait_for(mutex_, std::chrono::milliseconds(gatherMs_),
                      [this]() NO_THREAD_SAFETY_ANALYSIS {
                        return messages_.size() >= gatherCount_;
                      });
    }
  }
  out = std::move(messages_.front());
  messages_.pop_front();
  bytes_ -= out.footprint();
  return true;
}

void AppMessageQueue::interrupt() {
  {
    MutexLock lock(mutex_);
    ++interrupts_;
  }
  ready_.notify_all();
}

void AppMessageQueue::pushFront(AppMessage message) {
  {
    MutexLock lock(mutex_);
    bytes_ += message.footprint();
    messages_.push_front(std::move(message));
  }
  ready_.notify_one();
}

size_t AppMessageQueue::size() const {
  MutexLock lock(mutex_);
  return messages_.size();
}

size_t AppMessageQueue::bytes() const {
  MutexLock lock(mutex_);
  return bytes_;
}

uint64_t AppMessageQueue::dropped() const {
  MutexLock lock(mutex_);
  return dropped_;
}
