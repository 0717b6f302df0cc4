#include <gtest/gtest.h>

#include <vector>

#include "ServerTimers.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;

TEST(BackupSchedule, BackupIntervalRules) {
  struct Case {
    Json::Value value;  // null: key absent
    uint64_t expectedMs;
    bool warns;
  };
  const Case cases[] = {
      {Json::Value(300), 3600000, true},      {Json::Value(599), 3600000, true},
      {Json::Value(600), 600000, false},      {Json::Value(900), 900000, false},
      {Json::Value("1200"), 1200000, false},  {Json::Value("120"), 3600000, true},
      {Json::Value("12a0"), 3600000, false},  {Json::Value(-900), 3600000, false},
      {Json::Value(true), 3600000, false},    {Json::Value(), 3600000, false},
  };
  for (const Case& c : cases) {
    LogCapture log;
    Json::Value config(Json::objectValue);
    if (!c.value.isNull()) config["backupInterval"] = c.value;
    BackupSchedule schedule = BackupSchedule::FromConfig(config);
    SCOPED_TRACE(c.value.toStyledString());
    EXPECT_EQ(schedule.backupIntervalMs, c.expectedMs);
    EXPECT_EQ(log.contains("Backup interval below minimum of 10 minutes, setting to default 1 hour"), c.warns);
    if (c.warns) {
      EXPECT_EQ(config["backupInterval"].asUInt(), 3600u);
    }
  }
}

TEST(BackupSchedule, TrimSettings) {
  Json::Value config(Json::objectValue);
  BackupSchedule defaults = BackupSchedule::FromConfig(config);
  EXPECT_EQ(defaults.trimRows, 100u);
  EXPECT_EQ(defaults.trimIntervalMs, 600000u);

  config["trimRows"] = 5000;
  config["trimInterval"] = 60;
  BackupSchedule set = BackupSchedule::FromConfig(config);
  EXPECT_EQ(set.trimRows, 5000u);
  EXPECT_EQ(set.trimIntervalMs, 60000u);

  config["trimRows"] = "many";
  config["trimInterval"] = 0;  // would spin
  BackupSchedule odd = BackupSchedule::FromConfig(config);
  EXPECT_EQ(odd.trimRows, 100u);
  EXPECT_EQ(odd.trimIntervalMs, 600000u);
}

// Three hours of a minute-trim, hour-backup schedule on a test clock.
TEST(BackupTrimLoop, TrimsEveryIntervalAndBacksUpEveryBackupInterval) {
  LogCapture log;
  BackupSchedule schedule;
  schedule.trimRows = 42;
  schedule.trimIntervalMs = 60000;
  schedule.backupIntervalMs = 3600000;

  uint64_t now = 0;
  std::vector<uint64_t> trims, backups;
  bool failNext = false;
  BackupTrimLoop::Actions actions;
  actions.sleep = [&](uint64_t ms) { now += ms; };
  actions.trim = [&](uint32_t rows) {
    EXPECT_EQ(rows, 42u);
    trims.push_back(now);
  };
  actions.backup = [&] {
    backups.push_back(now);
    bool ok = !failNext;
    failNext = true;
    return ok;
  };
  actions.stopped = [&] { return now >= 3 * 3600000ull; };
  BackupTrimLoop(schedule, actions).run();

  EXPECT_TRUE(log.contains("Database backup interval every 3600000 ms"));
  ASSERT_EQ(trims.size(), 180u);
  EXPECT_EQ(trims.front(), 60000u);
  EXPECT_EQ(trims[1] - trims[0], 60000u);
  // The stop at the third hour comes before its backup.
  EXPECT_EQ(backups, (std::vector<uint64_t>{3600000, 7200000}));
  EXPECT_EQ(log.count("Database backup ok."), 1u);
  EXPECT_EQ(log.count("Database backup failed."), 1u);
}

// Receive timeouts every 100 ms for eleven minutes of silence.
TEST(ForwarderWatchdog, ComplainsEveryThirtySecondsAndRestartsOnce) {
  LogCapture log;
  ForwarderWatchdog watchdog(1000000);
  int restarts = 0;
  uint64_t restartAt = 0;
  for (uint64_t t = 1000100; t <= 1000000 + 660000; t += 100) {
    if (watchdog.timeout(t)) {
      ++restarts;
      restartAt = t - 1000000;
    }
  }
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(restartAt, 600100u);
  EXPECT_EQ(log.count("Packet forwarder not seen in 10 minutes, restarting all lora services"), 1u);
  EXPECT_TRUE(log.contains("Packet forwarder not seen in 30 s"));
  EXPECT_TRUE(log.contains("Packet forwarder not seen in 660 s"));
  // 22 half-minute lines (30 s to 660 s) and the restart line.
  EXPECT_EQ(log.count("Packet forwarder not seen in "), 23u) << log.dump();

  // A datagram starts the clock again; a new socket allows another restart.
  log.clear();
  watchdog.datagram(2000000);
  EXPECT_FALSE(watchdog.timeout(2000000 + 29900));
  EXPECT_FALSE(watchdog.timeout(2000000 + 700000));
  watchdog.reset(3000000);
  EXPECT_TRUE(watchdog.timeout(3000000 + 600001));
}

}  // namespace
