#include "Exception.h"

Exception::Exception(int level, const char* file, int line, std::string message, int errorNumber)
    : level_(level), file_(file), line_(line), message_(std::move(message)), errorNumber_(errorNumber) {}

std::string Exception::describe() const {
  std::string text = file_ + ":" + std::to_string(line_) + ": " + message_;
  if (errorNumber_ != -1) text += " " + std::to_string(errorNumber_);
  return text;
}

void Exception::log(const char* prefix) const {
  if (ZEV::Logger::isPrintable(level_)) {
    std::string text = std::string(prefix) + describe();
    ZEV::Logger::printfGeneric(level_, ZEV::Logger::labelFor(level_), "%s", text.c_str());
  }
}

void LogCaughtException(const char* prefix) {
  try {
    throw;
  } catch (const Exception& e) {
    e.log(prefix);
  } catch (const std::exception& e) {
    LOG_ERROR("%s%s", prefix, e.what());
  } catch (...) {
    LOG_ERROR("%sunknown exception", prefix);
  }
}
