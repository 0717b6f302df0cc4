#include "support/EarlyLines.h"

#include <cstring>
#include <utility>

namespace ZEV {

void EarlyLines::keep(int level, const char* label, const char* stamp, const char* text) {
  const size_t size = std::strlen(label) + std::strlen(stamp) + std::strlen(text);
  if (lines_.size() >= kMaxLines || size > kMaxBytes - bytes_) {
    ++leftOut_;
    return;
  }
  lines_.push_back({level, label, stamp, text});
  bytes_ += size;
}

std::vector<EarlyLines::Line> EarlyLines::take() {
  std::vector<Line> kept = std::move(lines_);
  lines_.clear();
  bytes_ = 0;
  leftOut_ = 0;
  return kept;
}

}  // namespace ZEV
