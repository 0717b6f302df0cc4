#include "devices/NetworkStatistics.h"

#include <algorithm>
#include <cmath>

#include "Database/Lora-Database.h"
#include "support/Logger.h"

namespace {

using Counter = NetworkStatistics::Counter;

struct Names {
  const char* stats;
  const char* report;  // nullptr: not in the management report
};

// Indexed by Counter.
constexpr Names kNames[NetworkStatistics::kCounters] = {
    {"rx_mic_fails", "mic_fails"},
    {"rx_crc_errors", "crc_errors"},
    {"rx_joins", "join_requests"},
    {"rx_joins_ok", "join_requests_ok"},
    {"rx_joins_nok", nullptr},
    {"rx_joins_nok_gw", nullptr},
    {"rx_joins_nok_nonce", nullptr},
    {"rx_joins_nok_mic", "join_requests_nok_mic"},
    {"rx_joins_nok_unk", "join_requests_nok_unknown"},
    {"rx_joins_too_late", "join_requests_too_late"},
    {"rx_join_dups", "join_dups"},
    {"tx_pkts", "pkt_down"},
    {"rx_pkts", "pkt_up"},
    {"rx_dups", "pkt_dup"},
    {"pkts_missed", "pkt_missed"},
    {"tx_joins_1st_wnd", "join_1st_wnd"},
    {"tx_joins_2nd_wnd", "join_2nd_wnd"},
    {"tx_joins_dropped", "join_dropped"},
    {"pkts_1st_wnd", "pkt_1st_wnd"},
    {"pkts_2nd_wnd", "pkt_2nd_wnd"},
    {"pkts_dropped", "pkt_dropped"},
    {"tx_1st_wnd", "tx_1st_wnd"},
    {"tx_2nd_wnd", "tx_2nd_wnd"},
    {"tx_ack_pkts", "tx_ack_pkts"},
    {"tx_ack_dups", "tx_ack_dups"},
    {"tx_ack_missed", "tx_ack_missed"},
};

static_assert(NetworkStatistics::kPersisted == LoraDatabase::kNetworkStatisticsColumns,
              "one persisted counter per network_statistics column");

// Column order of network_statistics.
constexpr std::array<Counter, NetworkStatistics::kPersisted> kPersistedCounters = {
    Counter::rx_mic_fails,     Counter::rx_crc_errors,    Counter::rx_joins,
    Counter::rx_joins_ok,      Counter::rx_joins_nok_mic, Counter::rx_joins_nok_unk,
    Counter::rx_join_dups,     Counter::tx_joins_1st_wnd, Counter::tx_joins_2nd_wnd,
    Counter::tx_joins_dropped, Counter::tx_pkts,          Counter::rx_pkts,
    Counter::rx_dups,          Counter::pkts_1st_wnd,     Counter::pkts_2nd_wnd,
    Counter::pkts_dropped,     Counter::tx_1st_wnd,       Counter::tx_2nd_wnd,
    Counter::tx_ack_pkts,      Counter::tx_ack_dups,
};

// Index of percentile p among n sorted samples: round(n * p) - 1 when that rounding exceeds 1.
size_t PercentileIndex(size_t n, double p) {
  if (n < 2) return 0;
  const auto rounded = static_cast<size_t>(std::lround(static_cast<double>(n) * p));
  return rounded > 1 ? rounded - 1 : 0;
}

}  // namespace

const char* NetworkStatistics::statsName(Counter counter) {
  return kNames[static_cast<size_t>(counter)].stats;
}

const char* NetworkStatistics::reportName(Counter counter) {
  return kNames[static_cast<size_t>(counter)].report;
}

const std::array<Counter, NetworkStatistics::kPersisted>& NetworkStatistics::persisted() {
  return kPersistedCounters;
}

NetworkStatistics::Values NetworkStatistics::values() const {
  Values out{};
  for (size_t i = 0; i < kCounters; ++i) out[i] = counters_[i].load(std::memory_order_relaxed);
  return out;
}

void NetworkStatistics::addJoinResponseTime(uint32_t ms) {
  MutexLock lock(responseMutex_);
  responseTimes_.push_back(ms);
  if (responseTimes_.size() > kMaxResponseSamples) responseTimes_.pop_front();
}

size_t NetworkStatistics::joinResponseCount() const {
  MutexLock lock(responseMutex_);
  return responseTimes_.size();
}

NetworkStatistics::JoinResponseSummary NetworkStatistics::joinResponseSummary() const {
  std::vector<uint32_t> sorted;
  {
    MutexLock lock(responseMutex_);
    sorted.assign(responseTimes_.begin(), responseTimes_.end());
  }
  JoinResponseSummary summary;
  const size_t n = sorted.size();
  if (n == 0) return summary;
  std::sort(sorted.begin(), sorted.end());
  uint64_t sum = 0;
  for (uint32_t sample : sorted) sum += sample;
  summary.average = static_cast<uint32_t>(sum / n);
  summary.p90 = sorted[PercentileIndex(n, 0.9)];
  summary.p70 = sorted[PercentileIndex(n, 0.7)];
  summary.p30 = sorted[PercentileIndex(n, 0.3)];
  summary.p10 = sorted[PercentileIndex(n, 0.1)];
  return summary;
}

std::vector<std::pair<std::string, uint32_t>> NetworkStatistics::members() const {
  std::vector<std::pair<std::string, uint32_t>> out;
  out.reserve(kCounters + 5);
  for (size_t i = 0; i < kCounters; ++i) {
    out.emplace_back(kNames[i].stats, counters_[i].load(std::memory_order_relaxed));
  }
  const JoinResponseSummary summary = joinResponseSummary();
  out.emplace_back("join_response_avg", summary.average);
  out.emplace_back("join_response_90", summary.p90);
  out.emplace_back("join_response_70", summary.p70);
  out.emplace_back("join_response_30", summary.p30);
  out.emplace_back("join_response_10", summary.p10);
  return out;
}

Json::Value NetworkStatistics::toJson() const {
  Json::Value out(Json::objectValue);
  for (const auto& [name, value] : members()) out[name] = value;
  return out;
}

std::string NetworkStatistics::toJsonText() const {
  const auto list = members();
  std::string out = "{\n";
  for (size_t i = 0; i < list.size(); ++i) {
    out.append("   \"").append(list[i].first).append("\" : ");
    out.append(std::to_string(list[i].second));
    out.append(i + 1 < list.size() ? ",\n" : "\n");
  }
  out.append("}\n");
  return out;
}

void NetworkStatistics::reset() {
  for (auto& counter : counters_) counter.store(0, std::memory_order_relaxed);
  {
    // The next report's differences count from the reset: taken against the values reported
    // before it, a counter that climbs back past them would hide what came since.
    MutexLock lock(reportedMutex_);
    lastReported_ = Values{};
  }
  MutexLock lock(responseMutex_);
  responseTimes_.clear();
}

bool NetworkStatistics::load(LoraDatabase& database) {
  LoraDatabase::StatsClient client(database);
  if (!database.GetNetworkStatistics(client) || !client.Next()) {
    LOG_ERROR("Failed to retrieve statistics from DB");
    return false;
  }
  for (auto& counter : counters_) counter.store(0, std::memory_order_relaxed);
  const auto& stored = client.record().values;
  for (size_t i = 0; i < kPersisted; ++i) {
    counters_[static_cast<size_t>(kPersistedCounters[i])].store(stored[i],
                                                                std::memory_order_relaxed);
  }
  MutexLock lock(reportedMutex_);
  lastReported_ = values();
  return true;
}

bool NetworkStatistics::save(LoraDatabase& database) const {
  std::array<uint32_t, kPersisted> row{};
  for (size_t i = 0; i < kPersisted; ++i) row[i] = value(kPersistedCounters[i]);
  return database.UpdateNetworkStatistics(row);
}

NetworkStatistics::Values NetworkStatistics::lastReported() const {
  MutexLock lock(reportedMutex_);
  return lastReported_;
}

void NetworkStatistics::markReported(const Values& reported) {
  {
    MutexLock lock(reportedMutex_);
    lastReported_ = reported;
  }
  MutexLock lock(responseMutex_);
  responseTimes_.clear();
}
