// Logging for the whole server. Every log statement asks isPrintable() first and only then formats,
// so costly arguments (hex dumps, JSON texts) are built inside the guard; the LOG_* macros below
// write that two-step form once. printfGeneric may be called from any thread at once.
//
// Until the first setup() lines go to standard output and are kept (see EarlyLines); that setup()
// writes them into the outputs it selects, so a log file or the system log starts with what
// start-up said before it knew where to log. A file mode whose file cannot be opened writes to
// standard error instead (or only to standard output, when the mode has it), after one line
// saying why.
#pragma once

#include <atomic>
#include <string>

namespace ZEV {

class Logger {
 public:
  // Ordered from most to least severe; a threshold admits its own level and every smaller value.
  struct PrintLevel {
    static constexpr int FATAL_LEVEL = 0;
    static constexpr int ERROR_LEVEL = 10;
    static constexpr int WARNING_LEVEL = 20;
    static constexpr int INFO_LEVEL = 30;
    static constexpr int DEBUG_LEVEL = 50;
    static constexpr int TRACE_LEVEL = 60;
    static constexpr const char* FATAL_LABEL = "FATAL";
    static constexpr const char* ERROR_LABEL = "ERROR";
    static constexpr const char* WARNING_LABEL = "WARNING";
    static constexpr const char* INFO_LABEL = "INFO";
    static constexpr const char* DEBUG_LABEL = "DEBUG";
    static constexpr const char* TRACE_LABEL = "TRACE";
  };

  // Where lines go.
  enum PrintMode : int {
    NONE = 0,            // nothing
    STDOUT = 1,          // standard output
    FILE = 2,            // the log file
    SYSLOG = 3,          // the system log
    FILE_STDOUT = 4,     // the log file and standard output
    SYSLOG_STDOUT = 5,   // the system log and standard output
  };

  static bool isPrintable(int level) { return level <= printLevel_.load(std::memory_order_relaxed); }
  static void printfGeneric(int level, const char* label, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void setup(const PrintMode& mode);
  static void setup(const PrintMode& mode, const std::string& file);
  static void setPrintLevel(int level, bool);

  // For a one-shot run that speaks only to the operator who started it (the configuration check):
  // from now on every line at or above `level` goes to standard error and nowhere else, and later
  // setup() and setPrintLevel() calls change nothing, so no log file is opened and the system log
  // is not written.
  static void pinToStandardError(int level);

  static int printLevel() { return printLevel_.load(std::memory_order_relaxed); }
  static PrintMode printMode();
  // The label that belongs to a level (the nearest more severe one for values in between).
  static const char* labelFor(int level);

  // A write per line is most of what a busy server's routine lines cost. While held, lines less
  // severe than a warning stay in the log file's buffer until flush() (which a periodic caller
  // makes) or a warning or worse; releasing flushes. Standard output and the system log are
  // always written at once.
  static void holdRoutineLines(bool hold);
  static void flush();

  // Test and diagnostics hook: every emitted line (after the threshold) is also handed here,
  // whatever the mode. Pass nullptr to remove it.
  using Observer = void (*)(int level, const char* label, const char* text, void* context);
  static void setObserver(Observer observer, void* context);

 private:
  static std::atomic<int> printLevel_;
  static std::atomic<bool> pinned_;
};

}  // namespace ZEV

#define ZEV_LOG(LEVEL, LABEL, ...)                                             \
  do {                                                                         \
    if (::ZEV::Logger::isPrintable(::ZEV::Logger::PrintLevel::LEVEL))          \
      ::ZEV::Logger::printfGeneric(::ZEV::Logger::PrintLevel::LEVEL,           \
                                   ::ZEV::Logger::PrintLevel::LABEL, __VA_ARGS__); \
  } while (0)

#define LOG_FATAL(...) ZEV_LOG(FATAL_LEVEL, FATAL_LABEL, __VA_ARGS__)
#define LOG_ERROR(...) ZEV_LOG(ERROR_LEVEL, ERROR_LABEL, __VA_ARGS__)
#define LOG_WARNING(...) ZEV_LOG(WARNING_LEVEL, WARNING_LABEL, __VA_ARGS__)
#define LOG_INFO(...) ZEV_LOG(INFO_LEVEL, INFO_LABEL, __VA_ARGS__)
#define LOG_DEBUG(...) ZEV_LOG(DEBUG_LEVEL, DEBUG_LABEL, __VA_ARGS__)
#define LOG_TRACE(...) ZEV_LOG(TRACE_LEVEL, TRACE_LABEL, __VA_ARGS__)
