// The one text form of every time stamp the database holds (created_at, last_seen, rx_time, ...):
// UTC as "YYYY-MM-DD HH:MM:SS.mmm", which is SQLite's own date-time form with milliseconds, so the
// database's date functions read it and text order equals time order.
#pragma once

#include <chrono>
#include <string>

namespace SqlDb {

using Timestamp = std::chrono::system_clock::time_point;

// "2026-12-05 19:01:46.123" (UTC, milliseconds truncated).
std::string FormatTimestamp(Timestamp time);
// The current real time in the same form.
std::string NowTimestamp();

// Reads "YYYY-MM-DD HH:MM:SS" with 'T' or a blank between date and time, optional fractional
// seconds, and an optional "Z", "GMT" or "UTC" after (with or without a blank). This covers our own
// texts, SQLite's CURRENT_TIMESTAMP and the packet forwarders' "time" members. False, and `out`
// untouched, for anything else.
bool ParseTimestamp(const std::string& text, Timestamp& out);

}  // namespace SqlDb
