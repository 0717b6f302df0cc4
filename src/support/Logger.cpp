#include "support/Logger.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

namespace ZEV {

std::atomic<int> Logger::printLevel_{Logger::PrintLevel::INFO_LEVEL};

namespace {

// Output state changes rarely (start-up, the debug command) and is read on every line, so one
// mutex serialises both; it also keeps lines of different threads from interleaving.
std::mutex outputMutex;
Logger::PrintMode currentMode = Logger::STDOUT;
FILE* logFile = nullptr;
bool syslogOpen = false;
Logger::Observer observer = nullptr;
void* observerContext = nullptr;

int SyslogPriority(int level) {
  if (level <= Logger::PrintLevel::FATAL_LEVEL) return LOG_CRIT;
  if (level <= Logger::PrintLevel::ERROR_LEVEL) return LOG_ERR;
  if (level <= Logger::PrintLevel::WARNING_LEVEL) return LOG_WARNING;
  if (level <= Logger::PrintLevel::INFO_LEVEL) return LOG_INFO;
  return LOG_DEBUG;
}

bool WritesStdout(Logger::PrintMode mode) {
  return mode == Logger::STDOUT || mode == Logger::FILE_STDOUT || mode == Logger::SYSLOG_STDOUT;
}
bool WritesFile(Logger::PrintMode mode) {
  return mode == Logger::FILE || mode == Logger::FILE_STDOUT;
}
bool WritesSyslog(Logger::PrintMode mode) {
  return mode == Logger::SYSLOG || mode == Logger::SYSLOG_STDOUT;
}

// "2026-12-05 19:01:46.123" in UTC.
void FormatTimestamp(char* out, size_t size) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  size_t n = strftime(out, size, "%Y-%m-%d %H:%M:%S", &utc);
  snprintf(out + n, size - n, ".%03ld", now.tv_nsec / 1000000);
}

}  // namespace

void Logger::printfGeneric(int level, const char* label, const char* format, ...) {
  // Most lines fit the stack buffer; the effective-configuration dump does not.
  char stackBuffer[1024];
  std::vector<char> heapBuffer;
  char* text = stackBuffer;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
  va_end(args);
  if (needed < 0) {
    va_end(copy);
    return;
  }
  if (static_cast<size_t>(needed) >= sizeof stackBuffer) {
    heapBuffer.resize(static_cast<size_t>(needed) + 1);
    vsnprintf(heapBuffer.data(), heapBuffer.size(), format, copy);
    text = heapBuffer.data();
  }
  va_end(copy);

  char stamp[40];
  FormatTimestamp(stamp, sizeof stamp);

  std::lock_guard<std::mutex> guard(outputMutex);
  if (WritesStdout(currentMode)) {
    fprintf(stdout, "%s [%s] %s\n", stamp, label, text);
    fflush(stdout);
  }
  if (WritesFile(currentMode) && logFile != nullptr) {
    fprintf(logFile, "%s [%s] %s\n", stamp, label, text);
    fflush(logFile);
  }
  if (WritesSyslog(currentMode)) {
    syslog(SyslogPriority(level), "[%s] %s", label, text);
  }
  if (observer != nullptr) observer(level, label, text, observerContext);
}

void Logger::setObserver(Observer newObserver, void* context) {
  std::lock_guard<std::mutex> guard(outputMutex);
  observer = newObserver;
  observerContext = context;
}

void Logger::setup(const PrintMode& mode) {
  std::lock_guard<std::mutex> guard(outputMutex);
  currentMode = mode;
  if (WritesSyslog(mode) && !syslogOpen) {
    openlog("vallorin", LOG_PID, LOG_DAEMON);
    syslogOpen = true;
  }
}

void Logger::setup(const PrintMode& mode, const std::string& file) {
  {
    std::lock_guard<std::mutex> guard(outputMutex);
    if (logFile != nullptr) {
      fclose(logFile);
      logFile = nullptr;
    }
    if (!file.empty()) {
      logFile = fopen(file.c_str(), "a");
      if (logFile == nullptr) {
        fprintf(stderr, "Unable to open log file %s\n", file.c_str());
      }
    }
  }
  setup(mode);
}

void Logger::setPrintLevel(int level, bool) { printLevel_.store(level, std::memory_order_relaxed); }

Logger::PrintMode Logger::printMode() {
  std::lock_guard<std::mutex> guard(outputMutex);
  return currentMode;
}

const char* Logger::labelFor(int level) {
  if (level <= PrintLevel::FATAL_LEVEL) return PrintLevel::FATAL_LABEL;
  if (level <= PrintLevel::ERROR_LEVEL) return PrintLevel::ERROR_LABEL;
  if (level <= PrintLevel::WARNING_LEVEL) return PrintLevel::WARNING_LABEL;
  if (level <= PrintLevel::INFO_LEVEL) return PrintLevel::INFO_LABEL;
  if (level <= PrintLevel::DEBUG_LEVEL) return PrintLevel::DEBUG_LABEL;
  return PrintLevel::TRACE_LABEL;
}

}  // namespace ZEV
