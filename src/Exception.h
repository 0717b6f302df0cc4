// The server's exception type. Thrown for exceptional conditions inside a thread's work; every
// thread loop catches it, logs it with its own prefix through log(), and carries on.
#pragma once

#include <exception>
#include <string>

#include "support/Logger.h"

class Exception : public std::exception {
 public:
  Exception(int level, const char* file, int line, std::string message, int errorNumber = -1);

  int level() const { return level_; }
  const std::string& file() const { return file_; }
  int line() const { return line_; }
  const std::string& message() const { return message_; }
  int errorNumber() const { return errorNumber_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // file + ":" + line + ": " + message, then " " + error number when it is not -1.
  std::string describe() const;
  // Logs prefix + describe() at the exception's own level, with format "%s".
  void log(const char* prefix) const;

 private:
  int level_;
  std::string file_;
  int line_;
  std::string message_;
  int errorNumber_;
};

// For a catch (...) at the top of a thread loop, and only there: logs the exception being handled
// with the loop's prefix. An Exception as log() does; anything else, which no thread may die of
// either, as an error with its own text.
void LogCaughtException(const char* prefix);

#define THROW_EXCEPTION(message, ...) \
  throw Exception(::ZEV::Logger::PrintLevel::ERROR_LEVEL, __FILE__, __LINE__, message, ##__VA_ARGS__)
