#include "downlink/TransmitQueue.h"

#include <algorithm>

#include "support/Logger.h"

void TransmitQueue::insert(const Item& item) {
  MutexLock lock(mutex_);
  insertHeld(item);
}

void TransmitQueue::insertHeld(const Item& item) {
  auto at = std::lower_bound(items_.begin(), items_.end(), item.dueMs,
                             [](const Item& queued, uint64_t due) { return queued.dueMs < due; });
  items_.insert(at, item);
}

bool TransmitQueue::popDue(uint64_t nowMs, Item& out) {
  MutexLock lock(mutex_);
  // Gone from the queue is not off the air: a frame handed over a moment ago is sent a lead time
  // later, and a frame sent at once would go out over it.
  handedOver_.erase(std::remove_if(handedOver_.begin(), handedOver_.end(),
                                   [nowMs](const Item& item) {
                                     return item.axisMs() + item.durationMs < nowMs;
                                   }),
                    handedOver_.end());
  if (items_.empty() || items_.front().dueMs > nowMs) return false;
  out = items_.front();
  items_.pop_front();
  if (!out.bumped()) handedOver_.push_back(out);
  return true;
}

void TransmitQueue::withdraw(uint32_t devAddr, uint64_t dueMs) {
  MutexLock lock(mutex_);
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const Item& item) {
                                return item.devAddr == devAddr && item.dueMs == dueMs;
                              }),
               items_.end());
}

void TransmitQueue::release(const Item& item) {
  MutexLock lock(mutex_);
  for (auto it = handedOver_.begin(); it != handedOver_.end(); ++it) {
    if (it->gatewayEui == item.gatewayEui && it->dueMs == item.dueMs &&
        it->devAddr == item.devAddr) {
      handedOver_.erase(it);
      return;
    }
  }
}

void TransmitQueue::bump(Item& item) {
  if (item.devAddr != 0) item.bumpedDevAddr = item.devAddr;
  item.devAddr = 0;
  item.durationMs = 0;
}

bool TransmitQueue::claim(const Item& item) {
  MutexLock lock(mutex_);
  if (!resolveHeld(item)) return false;
  insertHeld(item);
  return true;
}

void TransmitQueue::reserve(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) {
  MutexLock lock(mutex_);
  const uint64_t end = dueMs + durationMs;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped()) continue;
    if (item.axisMs() <= end && item.axisMs() + item.durationMs >= dueMs) bump(item);
  }
  Item held;
  held.devAddr = kReservedDevAddr;
  held.gatewayEui = gatewayEui;
  held.dueMs = dueMs;
  held.durationMs = durationMs;
  held.priority = 0;
  insertHeld(held);
}

bool TransmitQueue::resolveHeld(const Item& wanted) {
  const uint64_t gatewayEui = wanted.gatewayEui;
  const uint64_t dueMs = wanted.axisMs();
  const uint32_t durationMs = wanted.durationMs;
  const uint64_t end = dueMs + durationMs;
  for (const Item& item : handedOver_) {
    if (item.gatewayEui != gatewayEui) continue;
    // On its way to the radio: nothing can take its time back.
    if (item.axisMs() <= end && item.axisMs() + item.durationMs >= dueMs) return false;
  }
  std::vector<Item*> losers;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped()) continue;
    const uint64_t start = item.axisMs();
    const uint64_t itemEnd = start + item.durationMs;
    LOG_TRACE(
        "TransmitQueue find sched_at: %llu us  duration: %lu ms | in_queue: %llu us duration: %lu "
        "ms",
        static_cast<unsigned long long>(dueMs * 1000), static_cast<unsigned long>(durationMs),
        static_cast<unsigned long long>(start * 1000), static_cast<unsigned long>(item.durationMs));
    const bool coversStart = start <= dueMs && itemEnd >= dueMs;
    const bool startsInside = start > dueMs && start <= end;
    if (!coversStart && !startsInside) continue;
    if (wanted.priority >= item.priority || item.devAddr == kReservedDevAddr) return false;
    losers.push_back(&item);
  }
  // Only a transmission that wins every overlap takes the time; a lost claim leaves all in place.
  for (Item* item : losers) bump(*item);
  return true;
}

bool TransmitQueue::canIncreaseDuration(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) {
  MutexLock lock(mutex_);
  // The transmission itself was handed over a moment ago: from there it holds its place on the
  // axis, and the longer air time from now on.
  Item* self = nullptr;
  for (Item& item : handedOver_) {
    if (item.gatewayEui == gatewayEui && item.dueMs == dueMs) self = &item;
  }
  const uint64_t start = self != nullptr ? self->axisMs() : dueMs;
  const uint64_t end = start + durationMs;
  for (const Item& item : handedOver_) {
    if (&item == self || item.gatewayEui != gatewayEui) continue;
    if (item.axisMs() > start && item.axisMs() <= end) {
      LOG_INFO("TransmitQueue cannot increase duration");  // on its way: nothing takes it back
      return false;
    }
  }
  std::vector<Item*> losers;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped() || item.axisMs() > end) continue;
    if (item.priority == 0) {
      LOG_INFO("TransmitQueue cannot increase duration");
      return false;
    }
    losers.push_back(&item);
  }
  if (self != nullptr) self->durationMs = durationMs;
  if (losers.empty()) {
    LOG_TRACE("TransmitQueue canIncreaseDuration no conflict");
    return true;
  }
  for (Item* item : losers) {
    LOG_INFO("TransmitQueue bumping lower priority item to increase duration: %u", item->devAddr);
    bump(*item);
  }
  return true;
}

size_t TransmitQueue::size() const {
  MutexLock lock(mutex_);
  return items_.size();
}

std::vector<TransmitQueue::Item> TransmitQueue::items() const {
  MutexLock lock(mutex_);
  return {items_.begin(), items_.end()};
}
