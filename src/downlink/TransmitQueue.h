// The process-wide list of scheduled transmissions, one container ordered by due time behind one
// mutex. The schedulers insert items and check conflicts on one gateway; the time thread takes
// the items whose due time has come. Callers never touch the items in place.
//
// Conflicts are judged on the server's time axis for every item (class A answers, class C
// transmissions and the beacon alike): an item occupies [axis, axis + duration] ms. The axis is
// the due time of frames timed by a gateway "tmst", which go on air a lead time after they are
// handed over; a frame sent at once goes on air as it is handed over, so it lies a lead time
// before its due time (earlyMs). A handed-over item keeps its air time until it has passed.
//
// Lock order: device -> gateway duty cycle -> this queue -> database. Nothing is called out of
// the queue while its mutex is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "support/Mutex.h"

class TransmitQueue {
 public:
  // The DevAddr of an item that only holds air time for a transmission sent elsewhere (the
  // beacon): no device answers to it, and nothing bumps it.
  static constexpr uint32_t kReservedDevAddr = 0xFFFFFFFF;

  struct Item {
    uint32_t devAddr = 0;        // 0 once the item was bumped
    uint32_t bumpedDevAddr = 0;  // the device that lost the item, so its record can be requeued
    uint64_t gatewayEui = 0;
    uint64_t dueMs = 0;       // server ms at which the frame is handed to the gateway
    uint64_t tmst = 0;        // gateway us at which the radio transmits; 0: at once
    uint8_t window = 1;       // 1 or 2
    uint32_t durationMs = 0;  // air time plus padding; 0 once bumped
    uint8_t priority = 0;     // a smaller value wins a conflict
    uint32_t earlyMs = 0;     // how far before dueMs it lies on the conflict axis

    bool bumped() const { return devAddr == 0; }
    uint64_t axisMs() const { return dueMs > earlyMs ? dueMs - earlyMs : 0; }
  };

  TransmitQueue() = default;
  TransmitQueue(const TransmitQueue&) = delete;
  TransmitQueue& operator=(const TransmitQueue&) = delete;

  // Queues the item before any item with the same due time.
  void insert(const Item& item) EXCLUDES(mutex_);

  // Takes the earliest item whose due time is at or before nowMs. False when none is due. The
  // item still holds its air time against claims until its end on the axis is before nowMs.
  bool popDue(uint64_t nowMs, Item& out) EXCLUDES(mutex_);

  // A queued item its device no longer needs (the record went in a receive window instead):
  // its air time is free at once. Items already handed over keep theirs.
  void withdraw(uint32_t devAddr, uint64_t dueMs) EXCLUDES(mutex_);

  // A handed-over item that was never sent (too late, nothing left to say): its air time is free.
  void release(const Item& item) EXCLUDES(mutex_);

  // Queues the item unless it overlaps, on its gateway, an item it cannot beat. Items it
  // overlaps are bumped when it has the smaller priority value; with any overlapping item it
  // cannot beat, nothing is bumped and nothing queued. Check and insertion are one step, so two
  // answers scheduled at once on two threads never both take the same air time.
  bool claim(const Item& item) EXCLUDES(mutex_);

  // Holds [dueMs, dueMs + durationMs] on the gateway whatever is queued there: every item it
  // overlaps is bumped, and a priority 0 item cannot take it back.
  void reserve(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) EXCLUDES(mutex_);

  // A transmission already taken off the queue needs durationMs instead of what it reserved:
  // every item of the gateway starting by the new end is bumped, unless one of them has
  // priority 0 or was handed over too, which refuses. Granted, it holds the longer air time.
  bool canIncreaseDuration(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs)
      EXCLUDES(mutex_);

  size_t size() const EXCLUDES(mutex_);
  // A copy of every item in due order, for listings and tests.
  std::vector<Item> items() const EXCLUDES(mutex_);

 private:
  static void bump(Item& item);
  bool resolveHeld(const Item& wanted) REQUIRES(mutex_);
  void insertHeld(const Item& item) REQUIRES(mutex_);

  mutable Mutex mutex_;
  std::deque<Item> items_ GUARDED_BY(mutex_);  // ascending due time
  std::deque<Item> handedOver_ GUARDED_BY(mutex_);  // taken by popDue, maybe still on air
};
