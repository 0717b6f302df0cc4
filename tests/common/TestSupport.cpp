#include "TestSupport.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "Loopback.h"
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

namespace {

bool Bindable(int type, uint16_t port) {
  const int s = socket(AF_INET, type, 0);
  const sockaddr_in address = Loopback(port);
  const bool ok = bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

uint16_t EphemeralLow() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 32768;
  range >> low;
  return static_cast<uint16_t>(low > 11024 ? low : 32768);
}

}  // namespace

uint16_t FreePort() {
  constexpr uint16_t kFirst = 10000;
  constexpr uint16_t kSliceSize = 64;
  static std::mutex mutex;
  static int slice = -1;
  static unsigned next = 0;
  std::lock_guard<std::mutex> hold(mutex);
  const unsigned slices = (EphemeralLow() - kFirst) / kSliceSize;
  for (unsigned s = static_cast<unsigned>(getpid()) % slices, tries = 0;
       slice < 0 && tries < slices; s = (s + 1) % slices, ++tries) {
    // The lock is a name in the abstract socket namespace: nothing is left on disk, and the kernel
    // frees it when the process ends, however it ends.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    const int length =
        snprintf(name.sun_path + 1, sizeof name.sun_path - 1, "vallorin-test-ports-%u", s);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&name), size) == 0)
      slice = static_cast<int>(s);
    else
      close(fd);
  }
  if (slice < 0) throw std::runtime_error("no free port slice");
  for (unsigned tries = 0; tries < kSliceSize; ++tries) {
    const auto port = static_cast<uint16_t>(kFirst + slice * kSliceSize + next++ % kSliceSize);
    if (Bindable(SOCK_DGRAM, port) && Bindable(SOCK_STREAM, port)) return port;
  }
  throw std::runtime_error("every port of the slice is taken");
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
