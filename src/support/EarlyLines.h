// Lines logged before the logger's outputs are configured. Start-up has things to say (network
// mode, join delay, NetID and range warnings, a missing log path) before it knows where the log
// goes: those lines are shown on standard output at once, and kept here so that the configured log
// (file, system log) starts with them too. Bounded, because nothing guarantees that the outputs are
// ever configured; the buffer is emptied once they are.
//
// Not thread-safe on its own: the logger holds its output lock around every call.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ZEV {

class EarlyLines {
 public:
  static constexpr size_t kMaxLines = 200;
  // The effective configuration dump of a large document is one line of many kilobytes.
  static constexpr size_t kMaxBytes = 256 * 1024;

  struct Line {
    int level;
    std::string label;
    std::string stamp;  // when it was logged, not when it was replayed
    std::string text;
  };

  // Keeps the line when it fits within both bounds; otherwise counts it as left out.
  void keep(int level, const char* label, const char* stamp, const char* text);
  // The kept lines, oldest first. Empties the buffer and resets the count of lines left out.
  std::vector<Line> take();
  size_t leftOut() const { return leftOut_; }

 private:
  std::vector<Line> lines_;
  size_t bytes_ = 0;
  size_t leftOut_ = 0;
};

}  // namespace ZEV
