// Helpers shared by the test suites: temporary folders and log capture.
#pragma once

#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "support/Mutex.h"

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
// How often `part` occurs in `text`, and whether it does at all.
size_t Occurrences(const std::string& text, const std::string& part);
inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}
void WriteFile(const std::string& path, const std::string& content);

// A loopback port, free for TCP and UDP, for a server the test starts and that binds it later.
// Ports come from a slice below the kernel's ephemeral range that this process holds a lock on,
// so between the pick and the server's bind neither a bind(0) or connect() anywhere nor another
// test process running side by side can be handed the same port.
uint16_t FreePort();

// The text as jsoncpp alone reads it, so the server's own reader is never the judge of what the
// server wrote; null when it is not JSON.
inline Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return {};
  return value;
}

// Collects every log line emitted while it exists. The constructor raises the print level to trace
// (unless told otherwise) and silences the normal outputs; the destructor restores both.
class LogCapture {
 public:
  struct Line {
    std::string label;
    std::string text;
  };

  explicit LogCapture(int printLevel = 60);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const;
  // True when some line's text contains the fragment.
  bool contains(const std::string& fragment) const;
  // Number of lines whose text contains the fragment.
  size_t count(const std::string& fragment) const;
  // All texts joined by newlines, for failure messages.
  std::string dump() const;
  void clear();

 private:
  static void Observe(int level, const char* label, const char* text, void* self);
  mutable Mutex mutex_;
  std::vector<Line> lines_ GUARDED_BY(mutex_);
  int savedLevel_;
  int savedMode_;
};

}  // namespace testsupport
