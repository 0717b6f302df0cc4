#include "gateway/GatewayMemoryList.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>

#include "Database/Lora-Database.h"
#include "support/Logger.h"

GatewayMemoryList::GatewayMemoryList(LoraDatabase* database,
                                     const Gateway::DutyCycleSettings& dutyCycle,
                                     bool dutyCycleApplies, ReportHooks hooks)
    : database_(database),
      dutyCycle_(dutyCycle),
      dutyCycleApplies_(dutyCycleApplies),
      hooks_(std::move(hooks)) {}

GatewayMemoryList::List::const_iterator GatewayMemoryList::lowerBound(uint64_t eui) const {
  return std::lower_bound(
      gateways_.begin(), gateways_.end(), eui,
      [](const std::shared_ptr<Gateway>& gateway, uint64_t key) { return gateway->eui() < key; });
}

std::shared_ptr<Gateway> GatewayMemoryList::findHeld(uint64_t eui) const {
  auto it = lowerBound(eui);
  return it != gateways_.end() && (*it)->eui() == eui ? *it : nullptr;
}

size_t GatewayMemoryList::load(uint64_t nowMs) {
  if (database_ == nullptr) return 0;
  LoraDatabase::GatewayClient client(*database_);
  if (!database_->GetGateways(client)) return 0;
  size_t added = 0;
  MutexLock lock(mutex_);
  while (client.Next()) {
    const auto& row = client.record();
    if (!ValidEui(row.eui)) continue;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_aton(row.ipAddress.c_str(), &address.sin_addr) == 0) {
      LOG_WARNING("Could not get gw address.");
    }
    address.sin_port = htons(row.ipPort);
    auto it = lowerBound(row.eui);
    if (it != gateways_.end() && (*it)->eui() == row.eui) continue;
    gateways_.insert(
        it, std::make_shared<Gateway>(row.eui, row.protocolVersion, address, nowMs, dutyCycle_));
    ++added;
  }
  return added;
}

void GatewayMemoryList::seen(uint64_t eui, uint8_t protocolVersion, const sockaddr_in* sender,
                             uint64_t nowMs) {
  if (!ValidEui(eui) || sender == nullptr) return;
  std::shared_ptr<Gateway> gateway;
  bool created = false;
  {
    MutexLock lock(mutex_);
    auto it = lowerBound(eui);
    if (it != gateways_.end() && (*it)->eui() == eui) {
      gateway = *it;
    } else {
      // A new gateway starts without an address, so the sender's counts as a change below.
      sockaddr_in none{};
      gateway = std::make_shared<Gateway>(eui, protocolVersion, none, nowMs, dutyCycle_);
      gateways_.insert(it, gateway);
      created = true;
    }
  }
  const bool changed = gateway->markSeen(protocolVersion, *sender, nowMs);
  if (created) {
    LOG_DEBUG("GW:%s|SEEN|New gateway registered", gateway->euiText().c_str());
    if (database_ != nullptr) {
      database_->AddGateway(eui, protocolVersion, *sender, std::chrono::system_clock::now());
    }
  }
  if ((changed || created) && hooks_.gatewayInfo) hooks_.gatewayInfo(*gateway);
}

std::shared_ptr<Gateway> GatewayMemoryList::find(uint64_t eui) const {
  MutexLock lock(mutex_);
  return findHeld(eui);
}

sockaddr_in GatewayMemoryList::downlinkAddress(uint64_t eui) const {
  MutexLock lock(mutex_);
  std::shared_ptr<Gateway> gateway = findHeld(eui);
  if (!gateway) return sockaddr_in{};
  return gateway->downlinkAddress();
}

bool GatewayMemoryList::applyStatus(uint64_t eui, const GatewayStatus& status) {
  if (!ValidEui(eui)) return false;
  std::shared_ptr<Gateway> gateway = find(eui);
  if (!gateway) return false;
  const Gateway::StatusResult result = gateway->applyStatus(status);
  if (!result.applied) return false;

  if (database_ != nullptr) {
    SqlDb::Timestamp seen;
    if (!SqlDb::ParseTimestamp(status.time, seen)) seen = std::chrono::system_clock::now();
    database_->UpdateGatewaySeen(eui, gateway->protocolVersion(), seen);
    const Gateway::StatusBlock block = gateway->status();
    LoraDatabase::GatewayStatistics statistics;
    statistics.downlinkCount = block.dwnb;
    statistics.rxOk = block.rxok;
    statistics.txCount = block.txnb;
    statistics.ackRate = block.ackrAverage;
    statistics.rxForwarded = block.rxfw;
    statistics.rxCount = block.rxnb;
    database_->UpdateGatewayStatistics(eui, statistics);
    if (result.positionComplete) {
      const Gateway::Position position = gateway->position();
      database_->UpdateGatewayLocation(eui, position.latitude, position.longitude,
                                       position.altitude);
    }
  }
  if (result.report && hooks_.gatewayStatistics) hooks_.gatewayStatistics(*gateway);
  return true;
}

void GatewayMemoryList::countChannel(uint64_t eui, unsigned channel) {
  if (std::shared_ptr<Gateway> gateway = find(eui)) gateway->countChannel(channel);
}

void GatewayMemoryList::countCrcError(uint64_t eui) {
  if (std::shared_ptr<Gateway> gateway = find(eui)) gateway->countCrcError();
}

void GatewayMemoryList::countUplink(uint64_t eui) {
  if (std::shared_ptr<Gateway> gateway = find(eui)) gateway->count(Gateway::Counter::uplinks);
}

void GatewayMemoryList::housekeeping(uint64_t nowMs) {
  if (!dutyCycleApplies_) return;
  // Refilled outside the list lock: a device thread may hold a credit lock while it looks a
  // gateway up.
  for (const auto& gateway : all()) gateway->refill(nowMs);
}

bool GatewayMemoryList::remove(uint64_t eui) {
  MutexLock lock(mutex_);
  auto it = lowerBound(eui);
  if (it == gateways_.end() || (*it)->eui() != eui) return false;
  gateways_.erase(it);
  return true;
}

size_t GatewayMemoryList::size() const {
  MutexLock lock(mutex_);
  return gateways_.size();
}

std::vector<std::shared_ptr<Gateway>> GatewayMemoryList::all() const {
  MutexLock lock(mutex_);
  return gateways_;
}
