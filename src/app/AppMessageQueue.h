// The one stream of application events: every producer (packet workers, the time thread, the
// MQTT library's thread, the command and application-data threads) appends here, and the MQTT
// publishing thread alone drains it to the broker and the UDP up port, in order.
//
// The queue is bounded by bytes, not by count: a broker that stays away for days must not exhaust
// a gateway's memory. When a new message would pass the budget the oldest messages are dropped,
// counted, and reported with one warning a minute at most. Messages are never cut: a topic or a
// payload is as long as it needs to be, so an application never receives half a JSON document.
//
// The lock is a leaf, held only for a push or a pop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "support/Mutex.h"

// One queued application message; it leaves on the topic "lora/" + eui + "/" + event.
struct AppMessage {
  std::string eui;    // the topic's middle part, normally the device EUI text
  std::string event;  // the last topic level: "up", "joined", "class", ...
  std::string payload;
  // Already sent to the UDP up port: a message that comes back to the queue because the broker
  // never acknowledged it is not sent there twice.
  bool forwarded = false;

  // What the message costs the budget: its texts plus the bookkeeping around them.
  size_t footprint() const { return eui.size() + event.size() + payload.size() + kOverhead; }
  static constexpr size_t kOverhead = 128;
};

class AppMessageQueue {
 public:
  static constexpr size_t kDefaultBudgetBytes = 4u << 20;  // 4 MiB
  static constexpr uint64_t kDropWarningIntervalMs = 60000;

  // clockMs gives monotonic milliseconds (the drop warning's pacing); tests pass their own.
  explicit AppMessageQueue(size_t budgetBytes = kDefaultBudgetBytes,
                           std::function<uint64_t()> clockMs = {});
  AppMessageQueue(const AppMessageQueue&) = delete;
  AppMessageQueue& operator=(const AppMessageQueue&) = delete;

  // Appends a message; 1 on success, 0 (with "Failed to create MQTT message, out of memory")
  // when it cannot be stored.
  int postAppMessage(const std::string& eui, const char* event, const uint8_t* payload,
                     size_t size) EXCLUDES(mutex_);
  int postAppMessage(const std::string& eui, const char* event, const std::string& payload)
      EXCLUDES(mutex_);

  // Appends the messages in order under one lock, waking the publisher once: the events of one
  // uplink leave together. 1 on success, 0 as postAppMessage.
  int postAppMessages(AppMessage* messages, size_t count) EXCLUDES(mutex_);

  // Publishing thread: the oldest message, waiting up to timeoutMs for one. False on time-out.
  // With a gather time set, a pop that had to wait for the first message lingers up to that
  // long more (or until gatherCount are queued), so a burst leaves for the broker as one batch
  // and the threads behind the publisher wake once for it instead of once per uplink.
  bool pop(AppMessage& out, uint64_t timeoutMs) EXCLUDES(mutex_);
  // Ends the pops waiting now (they return false at once), so a publisher may wait long on an
  // idle queue and still stop promptly.
  void interrupt() EXCLUDES(mutex_);
  // Set once before the threads start; 0 ms (the default) takes each message as it comes.
  void setGather(uint64_t gatherMs, size_t gatherCount) {
    gatherMs_ = gatherMs;
    gatherCount_ = gatherCount;
  }
  // Publishing thread: a message the broker refused goes back to the head, so order is kept
  // across a reconnection. It is never dropped for the budget on its way back.
  void pushFront(AppMessage message) EXCLUDES(mutex_);

  // A second reader of the stream (the web console's live feed) sees each message as it is
  // posted, on the posting thread, outside the queue's lock. Set once before the threads start.
  using Observer = std::function<void(const AppMessage&)>;
  void setObserver(Observer observer) { observer_ = std::move(observer); }

  size_t size() const EXCLUDES(mutex_);
  size_t bytes() const EXCLUDES(mutex_);
  // Messages dropped for the budget since start-up.
  uint64_t dropped() const EXCLUDES(mutex_);

 private:
  void makeRoom(size_t needed) REQUIRES(mutex_);

  // Constant after construction.
  const size_t budgetBytes_;
  const std::function<uint64_t()> clockMs_;
  Observer observer_;  // constant once the threads run
  uint64_t gatherMs_ = 0;     // constant once the threads run
  size_t gatherCount_ = 0;    // constant once the threads run

  mutable Mutex mutex_;
  CondVar ready_;
  std::deque<AppMessage> messages_ GUARDED_BY(mutex_);  // oldest first
  size_t bytes_ GUARDED_BY(mutex_) = 0;
  uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  uint64_t interrupts_ GUARDED_BY(mutex_) = 0;
  uint64_t droppedSinceWarning_ GUARDED_BY(mutex_) = 0;
  uint64_t lastWarningMs_ GUARDED_BY(mutex_) = 0;
  bool warned_ GUARDED_BY(mutex_) = false;
};
