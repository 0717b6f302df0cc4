// The timing rules of the long-lived threads, apart from the threads themselves so they can be
// driven by a test clock: the database backup and trim schedule, and the packet-forwarder watchdog.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>

// When to trim the packet tables and back the run-time database up to flash.
struct BackupSchedule {
  static constexpr uint64_t kMinimumBackupMs = 600000;  // 10 minutes
  static constexpr uint64_t kDefaultBackupMs = 3600000;
  static constexpr uint64_t kDefaultTrimMs = 600000;
  static constexpr uint32_t kDefaultTrimRows = 100;

  uint32_t trimRows = kDefaultTrimRows;
  uint64_t trimIntervalMs = kDefaultTrimMs;
  uint64_t backupIntervalMs = kDefaultBackupMs;

  // Reads "trimRows", "trimInterval" and "backupInterval"; a backup interval below the minimum is
  // replaced by one hour, in the document too, with a warning.
  static BackupSchedule FromConfig(Json::Value& config);
};

// The backup thread's loop: trim every trim interval, back up every backup interval, until the
// stop test says so. Sleeping, trimming and backing up are handed in, so tests run hours in
// microseconds. A trim or backup that throws is logged ("Db Backup exception : ") and the schedule
// goes on, a throwing backup counting as a failed one.
class BackupTrimLoop {
 public:
  struct Actions {
    std::function<void(uint64_t ms)> sleep;
    std::function<void(uint32_t rows)> trim;
    std::function<bool()> backup;   // true on success
    std::function<bool()> stopped;  // the stop flag
  };

  BackupTrimLoop(const BackupSchedule& schedule, Actions actions)
      : schedule_(schedule), actions_(std::move(actions)) {}

  void run();

 private:
  void waitOneBackupInterval();
  void trim();
  bool backup();

  BackupSchedule schedule_;
  Actions actions_;
};

// Watches the downstream port: a healthy packet forwarder sends PULL_DATA every few seconds, so a
// long silence means it is down. Logs about every 30 s and asks for one restart after 10 minutes.
class ForwarderWatchdog {
 public:
  static constexpr uint64_t kRestartAfterMs = 600000;

  explicit ForwarderWatchdog(uint64_t nowMs) { reset(nowMs); }

  // A new socket: the clock starts again and one more restart is allowed.
  void reset(uint64_t nowMs) {
    lastSeenMs_ = nowMs;
    restarted_ = false;
  }
  void datagram(uint64_t nowMs) { lastSeenMs_ = nowMs; }
  // A receive timeout. True when the restart command must run now.
  bool timeout(uint64_t nowMs);

 private:
  uint64_t lastSeenMs_ = 0;
  bool restarted_ = false;
};
