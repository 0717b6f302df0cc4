#include "Database/DbTime.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace SqlDb {

std::string FormatTimestamp(Timestamp time) {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  int64_t seconds = ms / 1000;
  int64_t millis = ms % 1000;
  if (millis < 0) {  // before 1970: floor, not truncate
    millis += 1000;
    seconds -= 1;
  }
  const time_t t = static_cast<time_t>(seconds);
  tm utc{};
  gmtime_r(&t, &utc);
  char text[48];
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(millis));
  return text;
}

std::string NowTimestamp() { return FormatTimestamp(std::chrono::system_clock::now()); }

namespace {

// Reads exactly `count` digits at text[pos]; advances pos.
bool Digits(const std::string& text, size_t& pos, int count, int& value) {
  value = 0;
  for (int i = 0; i < count; ++i, ++pos) {
    if (pos >= text.size() || !isdigit(static_cast<unsigned char>(text[pos]))) return false;
    value = value * 10 + (text[pos] - '0');
  }
  return true;
}

bool Expect(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

bool ParseTimestamp(const std::string& text, Timestamp& out) {
  size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!Digits(text, pos, 4, year) || !Expect(text, pos, '-') || !Digits(text, pos, 2, month) ||
      !Expect(text, pos, '-') || !Digits(text, pos, 2, day)) {
    return false;
  }
  if (pos >= text.size() || (text[pos] != ' ' && text[pos] != 'T')) return false;
  ++pos;
  if (!Digits(text, pos, 2, hour) || !Expect(text, pos, ':') || !Digits(text, pos, 2, minute) ||
      !Expect(text, pos, ':') || !Digits(text, pos, 2, second)) {
    return false;
  }
  int64_t micros = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    int64_t scale = 100000;
    size_t first = pos;
    while (pos < text.size() && isdigit(static_cast<unsigned char>(text[pos]))) {
      micros += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == first) return false;
  }
  if (pos < text.size() && text[pos] == ' ') ++pos;
  const std::string zone = text.substr(pos);
  if (!zone.empty() && zone != "Z" && zone != "GMT" && zone != "UTC") return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
    return false;
  }
  tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  const time_t seconds = timegm(&utc);
  out = Timestamp(std::chrono::seconds(seconds)) + std::chrono::microseconds(micros);
  return true;
}

}  // namespace SqlDb
