// The process-wide network counters (uplinks, joins, downlinks, acknowledgements, errors) and the
// join-server response times. Packet workers and the transmit path increment counters from any
// thread without a lock (one relaxed 32-bit atomic add each); the command thread reads them for
// "stats", the time thread for the management report; twenty of them survive restarts in the
// database's network_statistics row.
#pragma once

#include <json/json.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "support/Mutex.h"

class LoraDatabase;

class NetworkStatistics {
 public:
  // Named as their "stats" members, in the order of the "stats" output.
  enum class Counter : size_t {
    rx_mic_fails,
    rx_crc_errors,
    rx_joins,
    rx_joins_ok,
    rx_joins_nok,
    rx_joins_nok_gw,
    rx_joins_nok_nonce,
    rx_joins_nok_mic,
    rx_joins_nok_unk,
    rx_joins_too_late,
    rx_join_dups,
    tx_pkts,
    rx_pkts,
    rx_dups,
    pkts_missed,
    tx_joins_1st_wnd,
    tx_joins_2nd_wnd,
    tx_joins_dropped,
    pkts_1st_wnd,
    pkts_2nd_wnd,
    pkts_dropped,
    tx_1st_wnd,
    tx_2nd_wnd,
    tx_ack_pkts,
    tx_ack_dups,
    tx_ack_missed,
  };
  static constexpr size_t kCounters = static_cast<size_t>(Counter::tx_ack_missed) + 1;
  static constexpr size_t kPersisted = 20;
  // Newest samples kept when nothing drains the list (the management report is off).
  static constexpr size_t kMaxResponseSamples = 1000;

  using Values = std::array<uint32_t, kCounters>;

  struct JoinResponseSummary {
    uint32_t average = 0;
    uint32_t p90 = 0;
    uint32_t p70 = 0;
    uint32_t p30 = 0;
    uint32_t p10 = 0;
  };

  NetworkStatistics() = default;
  NetworkStatistics(const NetworkStatistics&) = delete;
  NetworkStatistics& operator=(const NetworkStatistics&) = delete;

  void increment(Counter counter) {
    counters_[static_cast<size_t>(counter)].fetch_add(1, std::memory_order_relaxed);
  }
  void add(Counter counter, uint32_t amount) {
    counters_[static_cast<size_t>(counter)].fetch_add(amount, std::memory_order_relaxed);
  }
  uint32_t value(Counter counter) const {
    return counters_[static_cast<size_t>(counter)].load(std::memory_order_relaxed);
  }
  Values values() const;

  void addJoinResponseTime(uint32_t ms) EXCLUDES(responseMutex_);
  JoinResponseSummary joinResponseSummary() const EXCLUDES(responseMutex_);
  size_t joinResponseCount() const EXCLUDES(responseMutex_);

  // The "stats" members in their order, then join_response_avg, _90, _70, _30, _10.
  std::vector<std::pair<std::string, uint32_t>> members() const;
  // The same as a JSON object. jsoncpp writes object members sorted by name, so use toJsonText
  // where the order matters.
  Json::Value toJson() const;
  // The members in order, styled like jsoncpp's StyledWriter (three-blank indent, " : ").
  std::string toJsonText() const;

  // Zeroes every counter, the last-reported copy with them, and empties the response-time list.
  void reset() EXCLUDES(reportedMutex_, responseMutex_);

  // Start-up: counters from the database row, the others 0; the last-reported copy equals the
  // loaded values. Logs "Failed to retrieve statistics from DB" without a row.
  bool load(LoraDatabase& database) EXCLUDES(reportedMutex_);
  // Shutdown: the twenty persisted counters back into the row.
  bool save(LoraDatabase& database) const;

  // The management report: values at the previous report, and marking a report as sent (the
  // copy takes the values reported, the response-time list is emptied).
  Values lastReported() const EXCLUDES(reportedMutex_);
  void markReported(const Values& reported) EXCLUDES(reportedMutex_, responseMutex_);
  // Change since the previous report. A counter below its reported value was reset in between;
  // its whole current value is the change.
  static uint32_t Delta(uint32_t now, uint32_t before) {
    return now >= before ? now - before : now;
  }

  static const char* statsName(Counter counter);
  // Attribute name in the management report, nullptr for the counters it does not carry.
  static const char* reportName(Counter counter);
  // The persisted counters in database column order (mic_fails ... tx_ack_dups).
  static const std::array<Counter, kPersisted>& persisted();

 private:
  std::array<std::atomic<uint32_t>, kCounters> counters_{};

  mutable Mutex responseMutex_;
  std::deque<uint32_t> responseTimes_ GUARDED_BY(responseMutex_);

  mutable Mutex reportedMutex_;
  Values lastReported_ GUARDED_BY(reportedMutex_){};
};
