// The registry of every gateway that has sent PULL_DATA, sorted by EUI: loaded from the database
// at start-up, extended and updated by the packet-forwarder protocol (PULL_DATA, "stat"), read by
// the downlink path for the address to send to, refilled once a second by the time thread.
//
// Records are shared: find() hands out a std::shared_ptr, so remove() never pulls a record from
// under a thread that is still using it. The list lock guards the vector only and is released
// before any database write or report; it is taken before a record's own mutex.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "gateway/Gateway.h"
#include "support/Mutex.h"

class LoraDatabase;

class GatewayMemoryList {
 public:
  // Reports to the gateway's management agent. Left empty they do nothing; the application
  // interfaces set them when remote statistics are enabled. Called without the list lock.
  struct ReportHooks {
    // A PULL_DATA came from a new address (also a new gateway's first one).
    std::function<void(const Gateway&)> gatewayInfo;
    // Every 15th status record of the gateway.
    std::function<void(Gateway&)> gatewayStatistics;  // may mark what it reported
  };

  // database may be null (no persistence). dutyCycleApplies: the channel plan limits air time,
  // so housekeeping refills the credits.
  GatewayMemoryList(LoraDatabase* database, const Gateway::DutyCycleSettings& dutyCycle,
                    bool dutyCycleApplies, ReportHooks hooks = {});

  // Start-up: every stored gateway with the address of its first registration. Returns the number
  // of gateways added.
  size_t load(uint64_t nowMs = Gateway::NowMs()) EXCLUDES(mutex_);
  // PULL_DATA from sender. EUI 0 or all ones, or no sender, changes nothing.
  void seen(uint64_t eui, uint8_t protocolVersion, const sockaddr_in* sender,
            uint64_t nowMs = Gateway::NowMs()) EXCLUDES(mutex_);
  std::shared_ptr<Gateway> find(uint64_t eui) const EXCLUDES(mutex_);
  // A copy of the gateway's downlink address; all zeros for an unknown EUI.
  sockaddr_in downlinkAddress(uint64_t eui) const EXCLUDES(mutex_);
  // A "stat" record; unknown EUIs (and 0, all ones) are ignored. True when it was applied.
  bool applyStatus(uint64_t eui, const GatewayStatus& status) EXCLUDES(mutex_);
  // Counting of "rxpk" elements on the registered gateway.
  void countChannel(uint64_t eui, unsigned channel) EXCLUDES(mutex_);
  void countCrcError(uint64_t eui) EXCLUDES(mutex_);
  // One more frame classified for the gateway (the frame routes' count).
  void countUplink(uint64_t eui) EXCLUDES(mutex_);
  // Once a second: duty-cycle refill of every gateway, when the plan applies a duty cycle.
  void housekeeping(uint64_t nowMs) EXCLUDES(mutex_);
  // Forgets the gateway (the caller deletes its database rows). True when it was known.
  bool remove(uint64_t eui) EXCLUDES(mutex_);

  size_t size() const EXCLUDES(mutex_);
  // Every record in EUI order, for listings.
  std::vector<std::shared_ptr<Gateway>> all() const EXCLUDES(mutex_);

 private:
  using List = std::vector<std::shared_ptr<Gateway>>;
  List::const_iterator lowerBound(uint64_t eui) const REQUIRES(mutex_);
  std::shared_ptr<Gateway> findHeld(uint64_t eui) const REQUIRES(mutex_);
  static bool ValidEui(uint64_t eui) { return eui != 0 && eui != UINT64_MAX; }

  // Constant after construction.
  LoraDatabase* const database_;
  const Gateway::DutyCycleSettings dutyCycle_;
  const bool dutyCycleApplies_;
  const ReportHooks hooks_;

  mutable Mutex mutex_;
  List gateways_ GUARDED_BY(mutex_);  // ascending EUI, unique
};
