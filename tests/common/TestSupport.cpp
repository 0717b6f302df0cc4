#include "TestSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/Logger.h"

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vallorin-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

LogCapture::LogCapture(int printLevel)
    : savedLevel_(ZEV::Logger::printLevel()), savedMode_(ZEV::Logger::printMode()) {
  ZEV::Logger::setPrintLevel(printLevel, false);
  ZEV::Logger::setup(ZEV::Logger::NONE);
  ZEV::Logger::setObserver(&LogCapture::Observe, this);
}

LogCapture::~LogCapture() {
  ZEV::Logger::setObserver(nullptr, nullptr);
  ZEV::Logger::setPrintLevel(savedLevel_, false);
  ZEV::Logger::setup(static_cast<ZEV::Logger::PrintMode>(savedMode_));
}

void LogCapture::Observe(int /*level*/, const char* label, const char* text, void* self) {
  auto* capture = static_cast<LogCapture*>(self);
  MutexLock guard(capture->mutex_);
  capture->lines_.push_back({label, text});
}

std::vector<LogCapture::Line> LogCapture::lines() const {
  MutexLock guard(mutex_);
  return lines_;
}

bool LogCapture::contains(const std::string& fragment) const { return count(fragment) > 0; }

size_t LogCapture::count(const std::string& fragment) const {
  MutexLock guard(mutex_);
  size_t n = 0;
  for (const Line& line : lines_) {
    if (line.text.find(fragment) != std::string::npos) ++n;
  }
  return n;
}

std::string LogCapture::dump() const {
  MutexLock guard(mutex_);
  std::string out;
  for (const Line& line : lines_) out += "[" + line.label + "] " + line.text + "\n";
  return out;
}

void LogCapture::clear() {
  MutexLock guard(mutex_);
  lines_.clear();
}

}  // namespace testsupport
