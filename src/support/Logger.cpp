#include "support/Logger.h"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "support/EarlyLines.h"
#include "support/Mutex.h"

namespace ZEV {

std::atomic<int> Logger::printLevel_{Logger::PrintLevel::INFO_LEVEL};
std::atomic<bool> Logger::pinned_{false};

namespace {

// Output state changes rarely (start-up, the debug command) and is read on every line, so one
// mutex serialises both; it also keeps lines of different threads from interleaving.
// The time thread flushes every round, and it is detached: it may still do so during the exit.
Mutex outputMutex{Mutex::ProcessLifetime{}};
Logger::PrintMode currentMode GUARDED_BY(outputMutex) = Logger::STDOUT;
FILE* logFile GUARDED_BY(outputMutex) = nullptr;
bool holdRoutine GUARDED_BY(outputMutex) = false;
bool syslogOpen GUARDED_BY(outputMutex) = false;
// Until the first setup() every line is also kept, to be replayed into the configured outputs.
bool configured GUARDED_BY(outputMutex) = false;
EarlyLines earlyLines GUARDED_BY(outputMutex);
Logger::Observer observer GUARDED_BY(outputMutex) = nullptr;
void* observerContext GUARDED_BY(outputMutex) = nullptr;

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

// A file mode whose file could not be opened would drop every line. Standard error takes them
// instead, unless the mode shows them on standard output already.
bool FallsBackToStderr() REQUIRES(outputMutex) {
  return WritesFile(currentMode) && logFile == nullptr && !WritesStdout(currentMode);
}

// "2026-12-05 19:01:46.123" in UTC.
void FormatTimestamp(char* out, size_t size) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // A busy second's lines share its date and time; only the milliseconds need formatting anew.
  thread_local time_t second = -1;
  thread_local char dateTime[24];
  if (now.tv_sec != second) {
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    if (strftime(dateTime, sizeof dateTime, "%Y-%m-%d %H:%M:%S", &utc) == 0) dateTime[0] = '\0';
    second = now.tv_sec;
  }
  snprintf(out, size, "%s.%03ld", dateTime, now.tv_nsec / 1000000);
}

void WriteLine(FILE* out, const char* stamp, const char* label, const char* text,
               bool flush = true) {
  fprintf(out, "%s [%s] %s\n", stamp, label, text);
  if (flush) fflush(out);
}

// Every output of the current mode but standard output: the log file (or its stand-in) and the
// system log. Early lines are replayed through here, having been on standard output already.
void WriteToLog(int level, const char* stamp, const char* label, const char* text)
    REQUIRES(outputMutex) {
  if (WritesFile(currentMode) && logFile != nullptr) {
    WriteLine(logFile, stamp, label, text,
              !holdRoutine || level <= Logger::PrintLevel::WARNING_LEVEL);
  }
  if (FallsBackToStderr()) WriteLine(stderr, stamp, label, text);
  if (WritesSyslog(currentMode)) syslog(SyslogPriority(level), "[%s] %s", label, text);
}

void ReplayEarlyLines() REQUIRES(outputMutex) {
  const size_t leftOut = earlyLines.leftOut();
  for (const EarlyLines::Line& line : earlyLines.take()) {
    WriteToLog(line.level, line.stamp.c_str(), line.label.c_str(), line.text.c_str());
  }
  if (leftOut > 0) {
    char stamp[40];
    FormatTimestamp(stamp, sizeof stamp);
    const std::string note = std::to_string(leftOut) +
                             " earlier start-up lines are missing here; standard output has them";
    WriteToLog(Logger::PrintLevel::WARNING_LEVEL, stamp, Logger::PrintLevel::WARNING_LABEL,
               note.c_str());
  }
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

  MutexLock guard(outputMutex);
  if (pinned_.load()) WriteLine(stderr, stamp, label, text);
  if (WritesStdout(currentMode)) WriteLine(stdout, stamp, label, text);
  WriteToLog(level, stamp, label, text);
  if (!configured) earlyLines.keep(level, label, stamp, text);
  if (observer != nullptr) observer(level, label, text, observerContext);
}

void Logger::holdRoutineLines(bool hold) {
  MutexLock guard(outputMutex);
  holdRoutine = hold;
  if (!hold && logFile != nullptr) fflush(logFile);
}

void Logger::flush() {
  MutexLock guard(outputMutex);
  if (logFile != nullptr) fflush(logFile);
}

void Logger::setObserver(Observer newObserver, void* context) {
  MutexLock guard(outputMutex);
  observer = newObserver;
  observerContext = context;
}

void Logger::setup(const PrintMode& mode) {
  MutexLock guard(outputMutex);
  if (pinned_.load()) return;
  currentMode = mode;
  if (WritesSyslog(mode) && !syslogOpen) {
    openlog("vallorin", LOG_PID, LOG_DAEMON);
    syslogOpen = true;
  }
  if (!configured) {
    configured = true;
    ReplayEarlyLines();
  }
}

void Logger::setup(const PrintMode& mode, const std::string& file) {
  if (pinned_.load()) return;
  std::string failure;
  {
    MutexLock guard(outputMutex);
    if (logFile != nullptr) {
      fclose(logFile);
      logFile = nullptr;
    }
    if (!file.empty()) {
      logFile = fopen(file.c_str(), "a");
      if (logFile == nullptr) failure = strerror(errno);
    }
  }
  setup(mode);
  // Said once, whatever the print level: without it the operator would look for a file that
  // never comes.
  if (!failure.empty() && WritesFile(mode)) {
    printfGeneric(PrintLevel::ERROR_LEVEL, PrintLevel::ERROR_LABEL,
                  "Unable to open log file %s (%s), logging to %s instead", file.c_str(),
                  failure.c_str(), WritesStdout(mode) ? "standard output" : "standard error");
  }
}

void Logger::setPrintLevel(int level, bool) {
  if (pinned_.load()) return;
  printLevel_.store(level, std::memory_order_relaxed);
}

void Logger::pinToStandardError(int level) {
  MutexLock guard(outputMutex);
  currentMode = NONE;
  configured = true;
  earlyLines.take();
  printLevel_.store(level, std::memory_order_relaxed);
  pinned_.store(true);
}

Logger::PrintMode Logger::printMode() {
  MutexLock guard(outputMutex);
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
