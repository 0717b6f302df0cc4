#include "web/WebFeed.h"

#include <chrono>

#include "app/AppMessageQueue.h"
#include "lora/Bytes.h"

WebFeed::WebFeed(std::function<uint64_t()> clockMs)
    : clockMs_(clockMs ? std::move(clockMs)
                       : [] { return static_cast<uint64_t>(MonotonicMs()); }),
      minutes_(kMinutes + 1, 0) {}

void WebFeed::Advance(uint64_t minute) const {
  if (minute <= currentMinute_) return;
  // Minutes without uplinks in between read 0; after an hour or more of silence all do.
  const uint64_t gap = minute - currentMinute_;
  for (uint64_t i = 1; i <= gap && i <= minutes_.size(); ++i) {
    minutes_[(currentMinute_ + i) % minutes_.size()] = 0;
  }
  currentMinute_ = minute;
}

void WebFeed::Post(const AppMessage& message) {
  // "lora/APPEUI/DEVEUI/up" and the port topic repeat the uplink of "lora/DEVEUI/up".
  if (message.eui.find('/') != std::string::npos) return;
  const uint64_t minute = clockMs_() / 60000;
  {
    MutexLock lock(mutex_);
    if (message.event == "up") {
      Advance(minute);
      ++minutes_[currentMinute_ % minutes_.size()];
    }
    Event event;
    event.id = ++lastId_;
    event.eui = message.eui;
    event.event = message.event;
    event.payload = message.payload;
    events_.push_back(std::move(event));
    if (events_.size() > kKept) events_.pop_front();
  }
  changed_.notify_all();
}

std::vector<WebFeed::Event> WebFeed::Wait(uint64_t afterId, uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  changed_.wait_for(mutex_, std::chrono::milliseconds(timeoutMs),
                    [&]() NO_THREAD_SAFETY_ANALYSIS { return stopped_ || lastId_ > afterId; });
  std::vector<Event> out;
  if (stopped_) return out;
  for (const Event& event : events_) {
    if (event.id > afterId) out.push_back(event);
  }
  return out;
}

uint64_t WebFeed::LastId() const {
  MutexLock lock(mutex_);
  return lastId_;
}

std::vector<uint32_t> WebFeed::UplinksPerMinute() const {
  const uint64_t minute = clockMs_() / 60000;
  MutexLock lock(mutex_);
  Advance(minute);
  std::vector<uint32_t> out;
  const uint64_t slots = minutes_.size();
  for (uint64_t i = slots; i-- > 0;) {
    // Before the clock's first hour there are no older minutes to show.
    out.push_back(currentMinute_ >= i ? minutes_[(currentMinute_ - i) % slots] : 0);
  }
  return out;
}

void WebFeed::Stop() {
  {
    MutexLock lock(mutex_);
    stopped_ = true;
  }
  changed_.notify_all();
}

bool WebFeed::Stopped() const {
  MutexLock lock(mutex_);
  return stopped_;
}
