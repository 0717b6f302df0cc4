#include "ServerTimers.h"

#include <cstdlib>
#include <string>

#include "Exception.h"
#include "support/Logger.h"

namespace {

// Seconds as an unsigned JSON number or a text of decimal digits.
bool ReadSeconds(const Json::Value& value, uint64_t& seconds) {
  if (value.isUInt64()) {
    seconds = value.asUInt64();
    return true;
  }
  if (!value.isString()) return false;
  const std::string text = value.asString();
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  seconds = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

}  // namespace

BackupSchedule BackupSchedule::FromConfig(Json::Value& config) {
  BackupSchedule schedule;
  const Json::Value& document = config;
  if (document["trimRows"].isUInt()) schedule.trimRows = document["trimRows"].asUInt();
  // A zero interval would turn the wait into a busy loop; it keeps the default.
  if (document["trimInterval"].isUInt() && document["trimInterval"].asUInt() > 0) {
    schedule.trimIntervalMs = document["trimInterval"].asUInt64() * 1000;
  }
  uint64_t seconds = 0;
  if (document.isMember("backupInterval") && ReadSeconds(document["backupInterval"], seconds)) {
    if (seconds * 1000 < kMinimumBackupMs) {
      LOG_WARNING("Backup interval below minimum of 10 minutes, setting to default 1 hour");
      config["backupInterval"] = Json::UInt64(kDefaultBackupMs / 1000);
    } else {
      schedule.backupIntervalMs = seconds * 1000;
    }
  }
  return schedule;
}

void BackupTrimLoop::waitOneBackupInterval() {
  uint64_t elapsed = 0;
  while (elapsed < schedule_.backupIntervalMs && !actions_.stopped()) {
    actions_.sleep(schedule_.trimIntervalMs);
    elapsed += schedule_.trimIntervalMs;
    trim();
  }
}

void BackupTrimLoop::trim() {
  try {
    actions_.trim(schedule_.trimRows);
  } catch (...) {
    LogCaughtException("Db Backup exception : ");
  }
}

bool BackupTrimLoop::backup() {
  try {
    return actions_.backup();
  } catch (...) {
    LogCaughtException("Db Backup exception : ");
    return false;
  }
}

void BackupTrimLoop::run() {
  LOG_INFO("Database backup interval every %lu ms", static_cast<unsigned long>(schedule_.backupIntervalMs));
  waitOneBackupInterval();
  while (!actions_.stopped()) {
    if (backup()) {
      LOG_INFO("Database backup ok.");
    } else {
      LOG_ERROR("Database backup failed.");
    }
    waitOneBackupInterval();
  }
}

bool ForwarderWatchdog::timeout(uint64_t nowMs) {
  uint64_t elapsed = nowMs - lastSeenMs_;
  if (elapsed >= 1000 && elapsed % 30000 < 100) {
    LOG_ERROR("Packet forwarder not seen in %llu s", static_cast<unsigned long long>(elapsed / 1000));
  }
  if (!restarted_ && elapsed > kRestartAfterMs) {
    LOG_ERROR("Packet forwarder not seen in 10 minutes, restarting all lora services");
    restarted_ = true;
    return true;
  }
  return false;
}
