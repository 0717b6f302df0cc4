#include "gateway/Gateway.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// Band divisors for 0.1 %, 1 %, 10 % and 1 % of the air time.
constexpr std::array<uint32_t, Gateway::kBands> kDivisors = {1000, 100, 10, 100};

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

Gateway::Gateway(uint64_t eui, uint8_t protocolVersion, const sockaddr_in& address, uint64_t nowMs,
                 const DutyCycleSettings& dutyCycle)
    : eui_(eui),
      euiText_(EuiText(eui)),
      protocolVersion_(protocolVersion),
      lastSeenMs_(nowMs),
      address_(address),
      lastRefillMs_(nowMs) {
  divisors_ = kDivisors;
  // Band 0 is the 1 % band around 866-867 MHz.
  if (dutyCycle.frequencyEU > 865499999 && dutyCycle.frequencyEU < 867500001) divisors_[0] = 100;
  for (size_t band = 0; band < kBands; ++band) {
    maximums_[band] = static_cast<uint64_t>(dutyCycle.periodMinutes) * 60000 / divisors_[band];
  }
  // Budgets start full: empty ones would hold back every join accept for minutes after a
  // restart, and a gateway that was silent has spent nothing.
  available_ = maximums_;
}

Gateway::~Gateway() = default;

std::string Gateway::EuiText(uint64_t eui) {
  char text[24];
  snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x-%02x-%02x",
           static_cast<unsigned>(eui >> 56) & 0xFF, static_cast<unsigned>(eui >> 48) & 0xFF,
           static_cast<unsigned>(eui >> 40) & 0xFF, static_cast<unsigned>(eui >> 32) & 0xFF,
           static_cast<unsigned>(eui >> 24) & 0xFF, static_cast<unsigned>(eui >> 16) & 0xFF,
           static_cast<unsigned>(eui >> 8) & 0xFF, static_cast<unsigned>(eui) & 0xFF);
  return text;
}

uint64_t Gateway::NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

sockaddr_in Gateway::downlinkAddress() const {
  MutexLock lock(mutex_);
  return address_;
}

void Gateway::countChannel(unsigned channel) {
  if (channel < kChannels) channels_[channel].fetch_add(1, std::memory_order_relaxed);
}

uint32_t Gateway::channelCount(size_t channel) const {
  return channel < kChannels ? channels_[channel].load(std::memory_order_relaxed) : 0;
}

Gateway::StatusBlock Gateway::snapshotHeld() const {
  StatusBlock block;
  block.statusTime = statusTime_;
  block.rxnb = rxnb_;
  block.rxok = rxok_;
  block.rxfw = rxfw_;
  block.dwnb = dwnb_;
  block.txnb = txnb_;
  block.sumsValid = sumsValid_;
  block.ackrAverage = ackrAverage_;
  block.ackrValid = ackrValid_;
  block.crcErrors = crcErrors();
  for (size_t i = 0; i < kChannels; ++i) block.channels[i] = channelCount(i);
  for (size_t i = 0; i < kCounters; ++i) {
    block.counters[i] = counters_[i].load(std::memory_order_relaxed);
  }
  return block;
}

Gateway::StatusBlock Gateway::status() const {
  MutexLock lock(mutex_);
  return snapshotHeld();
}

Gateway::StatusBlock Gateway::previousPeriod() const {
  MutexLock lock(mutex_);
  return previousPeriod_;
}

uint32_t Gateway::statusCount() const {
  MutexLock lock(mutex_);
  return statusCount_;
}

Gateway::Position Gateway::position() const {
  MutexLock lock(mutex_);
  return position_;
}

uint16_t Gateway::positionSamples() const {
  MutexLock lock(mutex_);
  return positionSamples_;
}

Gateway::StatusBlock Gateway::lastReported() const {
  MutexLock lock(mutex_);
  return lastReported_;
}

void Gateway::setLastReported(const StatusBlock& block) {
  MutexLock lock(mutex_);
  lastReported_ = block;
}

bool Gateway::markSeen(uint8_t protocolVersion, const sockaddr_in& sender, uint64_t nowMs) {
  protocolVersion_.store(protocolVersion, std::memory_order_relaxed);
  lastSeenMs_.store(nowMs, std::memory_order_relaxed);
  MutexLock lock(mutex_);
  if (SameAddress(address_, sender)) return false;
  address_ = sender;
  return true;
}

Gateway::StatusResult Gateway::applyStatus(const GatewayStatus& status) {
  StatusResult result;
  MutexLock lock(mutex_);
  if (sumsValid_ && status.time == statusTime_) return result;  // a repeated status
  result.applied = true;

  statusTime_ = status.time;
  rxnb_ += status.rxnb;
  rxok_ += status.rxok;
  rxfw_ += status.rxfw;
  dwnb_ += status.dwnb;
  txnb_ += status.txnb;
  sumsValid_ = true;
  ackrAverage_ = (status.ackr / 100.0 + ackrAverage_) * 0.5;
  ackrValid_ = true;
  ++statusCount_;
  result.report = statusCount_ % kReportEvery == 0;
  if (statusCount_ % kStatusPeriod == 0) {
    resetPeriod();
    result.periodReset = true;
  }

  if (positionSamples_ < kPositionTarget) {
    // A position counts only with all three members; otherwise the sample is zeros.
    const bool complete = status.hasLati && status.hasLong && status.hasAlti;
    positionSums_[0] += complete ? status.lati : 0;
    positionSums_[1] += complete ? status.lon : 0;
    positionSums_[2] += complete ? status.alti : 0;
    positionSumsValid_ = true;
    if (++positionSamples_ == kPositionTarget) {
      position_.latitude = positionSums_[0] / kPositionTarget;
      position_.longitude = positionSums_[1] / kPositionTarget;
      position_.altitude = positionSums_[2] / kPositionTarget;
      position_.valid = true;
      result.positionComplete = true;
    }
  }
  return result;
}

// The period's values become the previous-period copy before everything restarts at 0.
void Gateway::resetPeriod() {
  previousPeriod_ = snapshotHeld();
  rxnb_ = rxok_ = rxfw_ = dwnb_ = txnb_ = 0;
  ackrAverage_ = 0;
  crcErrors_.store(0, std::memory_order_relaxed);
  for (auto& channel : channels_) channel.store(0, std::memory_order_relaxed);
  for (auto& counter : counters_) counter.store(0, std::memory_order_relaxed);
  statusCount_ = 0;
  // Report differences count from the reset, not from values of the period that ended.
  lastReported_ = snapshotHeld();
}

uint64_t Gateway::available(size_t band) const { return available_[band]; }

void Gateway::use(size_t band, uint64_t ms) {
  available_[band] = available_[band] > ms ? available_[band] - ms : 0;
}

void Gateway::refill(uint64_t nowMs) {
  MutexLock lock(dutyCycleMutex_);
  const uint64_t elapsed = nowMs > lastRefillMs_ ? nowMs - lastRefillMs_ : 0;
  for (size_t band = 0; band < kBands; ++band) {
    available_[band] = std::min(maximums_[band], available_[band] + elapsed / divisors_[band]);
  }
  lastRefillMs_ = nowMs;
}

void Gateway::resetCounters() {
  for (auto& counter : counters_) counter.store(0, std::memory_order_relaxed);
  for (auto& channel : channels_) channel.store(0, std::memory_order_relaxed);
  crcErrors_.store(0, std::memory_order_relaxed);
  // Report differences of these counters count from the reset.
  MutexLock lock(mutex_);
  lastReported_.counters.fill(0);
  lastReported_.channels.fill(0);
  lastReported_.crcErrors = 0;
}
