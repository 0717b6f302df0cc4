// One known gateway (packet forwarder): where its downlinks go, which protocol version it speaks,
// its status sums from "stat" records, its averaged position, reception counters and its duty-cycle
// credits. Records are owned by GatewayMemoryList and handed out as shared pointers, so a record
// removed from the list stays valid for a thread that still holds it.
//
// Locks: the record mutex guards the downlink address and the status block (taken after the list
// lock, a leaf otherwise); the duty-cycle mutex guards the credits (after a device lock, before the
// transmit-queue lock). Counters, protocol version, last-seen time and the counter reading are
// atomics that packet workers update and readers read without a lock.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "support/Mutex.h"

// One decoded "stat" record of a PUSH_DATA.
struct GatewayStatus {
  std::string time;  // as sent; equal texts mark a repeated status
  uint32_t rxnb = 0;
  uint32_t rxok = 0;
  uint32_t rxfw = 0;
  uint32_t dwnb = 0;
  uint32_t txnb = 0;
  double ackr = 0;  // percent
  bool hasLati = false;
  bool hasLong = false;
  bool hasAlti = false;
  double lati = 0;
  double lon = 0;
  double alti = 0;
};

class Gateway {
 public:
  static constexpr size_t kChannels = 10;  // IF channels 0-7, 8 high bandwidth, 9 FSK
  static constexpr uint16_t kPositionTarget = 10;
  static constexpr uint32_t kStatusPeriod = 4320;  // status records per counting period
  static constexpr uint32_t kReportEvery = 15;     // status records per statistics report
  static constexpr size_t kBands = 4;

  // Reception counters kept by uplink processing and the transmit path.
  enum class Counter : size_t {
    mic_fails,
    uplinks,
    uplinks_ok,
    uplinks_nok_mic,
    uplinks_nok_unknown,
    uplinks_missed,
    downlinks,
    downlinks_ack_requested,
    downlinks_ack_missed,
    joins,
  };
  static constexpr size_t kCounters = static_cast<size_t>(Counter::joins) + 1;

  // The status and counter block; also the shape of the previous-period copy.
  struct StatusBlock {
    std::string statusTime;
    uint32_t rxnb = 0, rxok = 0, rxfw = 0, dwnb = 0, txnb = 0;
    bool sumsValid = false;
    double ackrAverage = 0;  // fraction
    bool ackrValid = false;
    uint32_t crcErrors = 0;
    std::array<uint32_t, kChannels> channels{};
    std::array<uint32_t, kCounters> counters{};
  };

  struct Position {
    bool valid = false;
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
  };

  // Duty-cycle accounting period and the EU frequency that moves band 0 to 1 %.
  struct DutyCycleSettings {
    uint32_t periodMinutes = 60;
    uint32_t frequencyEU = 0;  // Hz; 0 when not configured
  };

  // What applying one status record did, for the caller's database writes and reports.
  struct StatusResult {
    bool applied = false;           // false for a repeated status
    bool positionComplete = false;  // the tenth position sample was just taken
    bool report = false;            // every kReportEvery-th status
    bool periodReset = false;       // the counting period ended
  };

  Gateway(uint64_t eui, uint8_t protocolVersion, const sockaddr_in& address, uint64_t nowMs,
          const DutyCycleSettings& dutyCycle);
  virtual ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // 8 hex pairs joined by "-", the form of "GW:" log lines.
  static std::string EuiText(uint64_t eui);
  // The monotonic clock in milliseconds.
  static uint64_t NowMs();

  uint64_t eui() const { return eui_; }
  const std::string& euiText() const { return euiText_; }
  uint8_t protocolVersion() const { return protocolVersion_.load(std::memory_order_relaxed); }
  uint64_t lastSeenMs() const { return lastSeenMs_.load(std::memory_order_relaxed); }
  // A copy of the address of the last PULL_DATA; port 0 means "cannot transmit".
  sockaddr_in downlinkAddress() const EXCLUDES(mutex_);

  // Per-IF-channel counting (channels above 9 are ignored), CRC errors, reception counters.
  void countChannel(unsigned channel);
  void countCrcError() { crcErrors_.fetch_add(1, std::memory_order_relaxed); }
  void count(Counter counter) {
    counters_[static_cast<size_t>(counter)].fetch_add(1, std::memory_order_relaxed);
  }
  // The newest concentrator counter ("tmst") in this gateway's uplinks and the local monotonic
  // time at which it arrived, which map its counter to local time: every gateway's counter runs on
  // its own. Packet workers write it without a lock; a reader may pair a value with its
  // neighbour's time, which costs at most one uplink's worth of accuracy.
  void recordCounter(uint64_t tmst, uint64_t localUs) {
    counterTmst_.store(tmst, std::memory_order_relaxed);
    counterLocalUs_.store(localUs, std::memory_order_relaxed);
  }
  // False until an uplink with a "tmst" came from this gateway.
  bool counterReading(uint64_t& tmst, uint64_t& localUs) const {
    localUs = counterLocalUs_.load(std::memory_order_relaxed);
    tmst = counterTmst_.load(std::memory_order_relaxed);
    return localUs != 0;
  }
  // The operator's "stats reset": reception, channel and CRC counters back to zero, and their
  // last-reported values with them.
  void resetCounters() EXCLUDES(mutex_);
  uint32_t channelCount(size_t channel) const;
  uint32_t crcErrors() const { return crcErrors_.load(std::memory_order_relaxed); }
  uint32_t counter(Counter counter) const {
    return counters_[static_cast<size_t>(counter)].load(std::memory_order_relaxed);
  }

  // Snapshots.
  StatusBlock status() const EXCLUDES(mutex_);
  StatusBlock previousPeriod() const EXCLUDES(mutex_);
  uint32_t statusCount() const EXCLUDES(mutex_);
  Position position() const EXCLUDES(mutex_);
  uint16_t positionSamples() const EXCLUDES(mutex_);
  // The management report's last-reported copy of this gateway's counters.
  StatusBlock lastReported() const EXCLUDES(mutex_);
  void setLastReported(const StatusBlock& block) EXCLUDES(mutex_);

  // Duty cycle. Bands 0-3; the caller holds dutyCycleMutex() around available/use.
  Mutex& dutyCycleMutex() RETURN_CAPABILITY(dutyCycleMutex_) { return dutyCycleMutex_; }
  uint64_t available(size_t band) const REQUIRES(dutyCycleMutex_);
  uint64_t maximum(size_t band) const { return maximums_[band]; }
  uint32_t divisor(size_t band) const { return divisors_[band]; }
  // Subtracts air time, down to 0.
  void use(size_t band, uint64_t ms) REQUIRES(dutyCycleMutex_);
  // credit += (now - last refill) / divisor, capped at the maximum; last refill = now.
  void refill(uint64_t nowMs) EXCLUDES(dutyCycleMutex_);

 private:
  friend class GatewayMemoryList;

  // PULL_DATA: version and last seen; the sender's address when it differs. True when the
  // address changed: that alone is what the gateway-information report follows.
  bool markSeen(uint8_t protocolVersion, const sockaddr_in& sender, uint64_t nowMs)
      EXCLUDES(mutex_);
  StatusResult applyStatus(const GatewayStatus& status) EXCLUDES(mutex_);
  void resetPeriod() REQUIRES(mutex_);
  StatusBlock snapshotHeld() const REQUIRES(mutex_);

  // Constant after construction.
  const uint64_t eui_;
  const std::string euiText_;
  std::array<uint32_t, kBands> divisors_{};
  std::array<uint64_t, kBands> maximums_{};  // ms of air time

  std::atomic<uint8_t> protocolVersion_;
  std::atomic<uint64_t> lastSeenMs_;
  std::array<std::atomic<uint32_t>, kChannels> channels_{};
  std::atomic<uint32_t> crcErrors_{0};
  std::atomic<uint64_t> counterTmst_{0};
  std::atomic<uint64_t> counterLocalUs_{0};
  std::array<std::atomic<uint32_t>, kCounters> counters_{};

  mutable Mutex mutex_;
  sockaddr_in address_ GUARDED_BY(mutex_);
  std::string statusTime_ GUARDED_BY(mutex_);
  uint32_t rxnb_ GUARDED_BY(mutex_) = 0;
  uint32_t rxok_ GUARDED_BY(mutex_) = 0;
  uint32_t rxfw_ GUARDED_BY(mutex_) = 0;
  uint32_t dwnb_ GUARDED_BY(mutex_) = 0;
  uint32_t txnb_ GUARDED_BY(mutex_) = 0;
  bool sumsValid_ GUARDED_BY(mutex_) = false;
  double ackrAverage_ GUARDED_BY(mutex_) = 0;
  bool ackrValid_ GUARDED_BY(mutex_) = false;
  uint32_t statusCount_ GUARDED_BY(mutex_) = 0;
  std::array<double, 3> positionSums_ GUARDED_BY(mutex_){};
  bool positionSumsValid_ GUARDED_BY(mutex_) = false;
  Position position_ GUARDED_BY(mutex_);
  uint16_t positionSamples_ GUARDED_BY(mutex_) = 0;
  StatusBlock previousPeriod_ GUARDED_BY(mutex_);
  StatusBlock lastReported_ GUARDED_BY(mutex_);

  Mutex dutyCycleMutex_;
  std::array<uint64_t, kBands> available_ GUARDED_BY(dutyCycleMutex_){};  // ms; starts full
  uint64_t lastRefillMs_ GUARDED_BY(dutyCycleMutex_);
};
