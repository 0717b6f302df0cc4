// What the web console shows live, taken from the one stream of application events that MQTT and
// the UDP up port read: AppMessageQueue hands every posted message here as well (on the posting
// thread), so the browser sees an uplink the moment it is published, whether or not a broker is
// connected. Keeps the last events for the browsers' event streams and counts uplinks per
// minute for the dashboard's chart.
//
// The lock is a leaf, held only to copy one event in or out; Post never blocks on a browser.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "support/Mutex.h"

struct AppMessage;

class WebFeed {
 public:
  struct Event {
    uint64_t id = 0;  // counts from 1, never reused
    std::string eui;
    std::string event;
    std::string payload;
  };

  static constexpr size_t kKept = 64;
  static constexpr size_t kMinutes = 60;

  // clockMs gives monotonic milliseconds (the per-minute counts); tests pass their own.
  explicit WebFeed(std::function<uint64_t()> clockMs = {});

  // One application message. Only device events are kept: "up" is posted on three topics and
  // the browser needs it once (the lora/DEVEUI/up one).
  void Post(const AppMessage& message) EXCLUDES(mutex_);
  // Events newer than `afterId`, waiting up to timeoutMs for the first; empty on time-out or
  // once Stop() was called.
  std::vector<Event> Wait(uint64_t afterId, uint64_t timeoutMs) EXCLUDES(mutex_);
  uint64_t LastId() const EXCLUDES(mutex_);
  // Uplinks in each of the last kMinutes whole minutes and the running one, oldest first.
  std::vector<uint32_t> UplinksPerMinute() const EXCLUDES(mutex_);
  // Wakes every waiting stream for good (shutdown).
  void Stop() EXCLUDES(mutex_);
  bool Stopped() const EXCLUDES(mutex_);

 private:
  void Advance(uint64_t minute) const REQUIRES(mutex_);

  const std::function<uint64_t()> clockMs_;

  mutable Mutex mutex_;
  CondVar changed_;
  std::deque<Event> events_ GUARDED_BY(mutex_);  // oldest first, at most kKept
  uint64_t lastId_ GUARDED_BY(mutex_) = 0;
  bool stopped_ GUARDED_BY(mutex_) = false;
  // Ring of per-minute uplink counts; slot minute % kMinutes, valid back to currentMinute_.
  mutable std::vector<uint32_t> minutes_ GUARDED_BY(mutex_);
  mutable uint64_t currentMinute_ GUARDED_BY(mutex_) = 0;
};
