// A short, locked list of the newest texts (recent uplinks, recent joins). Producers append from the
// packet workers, the time thread trims it once a second, and commands drain it. The lock is a leaf.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "support/Mutex.h"

class RecentList {
 public:
  void append(std::string text) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    texts_.push_back(std::move(text));
  }
  // Keeps the newest `keep` entries.
  void trim(size_t keep) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (texts_.size() > keep) texts_.pop_front();
  }
  // Everything, oldest first, and empties the list.
  std::vector<std::string> drain() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::vector<std::string> out(std::make_move_iterator(texts_.begin()),
                                 std::make_move_iterator(texts_.end()));
    texts_.clear();
    return out;
  }
  size_t size() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return texts_.size();
  }

 private:
  mutable Mutex mutex_;
  std::deque<std::string> texts_ GUARDED_BY(mutex_);
};
