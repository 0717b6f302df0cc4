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
  if (items_.empty() || items_.front().dueMs > nowMs) return false;
  out = items_.front();
  items_.pop_front();
  return true;
}

void TransmitQueue::bump(Item& item) {
  if (item.devAddr != 0) item.bumpedDevAddr = item.devAddr;
  item.devAddr = 0;
  item.durationMs = 0;
}

bool TransmitQueue::claim(const Item& item) {
  MutexLock lock(mutex_);
  if (!resolveHeld(item.gatewayEui, item.dueMs, item.durationMs, item.priority)) return false;
  insertHeld(item);
  return true;
}

void TransmitQueue::reserve(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) {
  MutexLock lock(mutex_);
  const uint64_t end = dueMs + durationMs;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped()) continue;
    if (item.dueMs <= end && item.dueMs + item.durationMs >= dueMs) bump(item);
  }
  Item held;
  held.devAddr = kReservedDevAddr;
  held.gatewayEui = gatewayEui;
  held.dueMs = dueMs;
  held.durationMs = durationMs;
  held.priority = 0;
  insertHeld(held);
}

bool TransmitQueue::resolveHeld(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs,
                                uint8_t priority) {
  const uint64_t end = dueMs + durationMs;
  std::vector<Item*> losers;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped()) continue;
    const uint64_t start = item.dueMs;
    const uint64_t itemEnd = start + item.durationMs;
    LOG_TRACE(
        "TransmitQueue find sched_at: %llu us  duration: %lu ms | in_queue: %llu us duration: %lu "
        "ms",
        static_cast<unsigned long long>(dueMs * 1000), static_cast<unsigned long>(durationMs),
        static_cast<unsigned long long>(start * 1000), static_cast<unsigned long>(item.durationMs));
    const bool coversStart = start <= dueMs && itemEnd >= dueMs;
    const bool startsInside = start > dueMs && start <= end;
    if (!coversStart && !startsInside) continue;
    if (priority >= item.priority || item.devAddr == kReservedDevAddr) return false;
    losers.push_back(&item);
  }
  // Only a transmission that wins every overlap takes the time; a lost claim leaves all in place.
  for (Item* item : losers) bump(*item);
  return true;
}

bool TransmitQueue::canIncreaseDuration(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) {
  MutexLock lock(mutex_);
  const uint64_t end = dueMs + durationMs;
  std::vector<Item*> losers;
  for (Item& item : items_) {
    if (item.gatewayEui != gatewayEui || item.bumped() || item.dueMs > end) continue;
    if (item.priority == 0) {
      LOG_INFO("TransmitQueue cannot increase duration");
      return false;
    }
    losers.push_back(&item);
  }
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
