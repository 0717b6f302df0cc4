#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "Exception.h"
#include "ServerTimers.h"
#include "../lora/PlanTestSupport.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;

// Intervals are in seconds, as numbers or decimal text; anything unreadable keeps the default.
TEST(BackupSchedule, ConfigurationRules) {
  struct Case {
    const char* config;
    uint64_t backupMs;
    bool warns;  // below the 10-minute minimum: one hour, written back into the document
    uint32_t trimRows;
    uint64_t trimMs;
  };
  const Case cases[] = {
      {"{}", 3600000, false, 100, 600000},
      {R"({"backupInterval":599})", 3600000, true, 100, 600000},
      {R"({"backupInterval":600,"trimRows":5000,"trimInterval":60})", 600000, false, 5000, 60000},
      {R"({"backupInterval":"120"})", 3600000, true, 100, 600000},
      {R"({"backupInterval":"12a0","trimRows":"many"})", 3600000, false, 100, 600000},
      {R"({"backupInterval":-900,"trimInterval":0})", 3600000, false, 100, 600000},  // 0 would spin
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    LogCapture log;
    Json::Value config = plantest::ParseJson(c.config);
    BackupSchedule schedule = BackupSchedule::FromConfig(config);
    EXPECT_EQ(schedule.backupIntervalMs, c.backupMs);
    EXPECT_EQ(schedule.trimRows, c.trimRows);
    EXPECT_EQ(schedule.trimIntervalMs, c.trimMs);
    EXPECT_EQ(log.contains("Backup interval below minimum of 10 minutes, setting to default 1 hour"),
              c.warns);
    Json::Value expected = plantest::ParseJson(c.config);
    if (c.warns) expected["backupInterval"] = Json::UInt64(3600);
    EXPECT_EQ(config, expected) << "only a too short backup interval is written back";
  }
}

// Three hours of a minute-trim, hour-backup schedule on a test clock. Trims and backups that throw
// are logged and the schedule goes on.
TEST(BackupTrimLoop, TrimsEveryIntervalAndBacksUpEveryBackupInterval) {
  LogCapture log;
  BackupSchedule schedule;
  schedule.trimRows = 42;
  schedule.trimIntervalMs = 60000;
  schedule.backupIntervalMs = 3600000;

  uint64_t now = 0;
  std::vector<uint64_t> trims, backups;
  BackupTrimLoop::Actions actions;
  actions.sleep = [&](uint64_t ms) { now += ms; };
  actions.trim = [&](uint32_t rows) {
    EXPECT_EQ(rows, 42u);
    trims.push_back(now);
    if (trims.size() == 1) throw Exception(ZEV::Logger::PrintLevel::ERROR_LEVEL, "db.cpp", 7, "busy");
    if (trims.size() == 2) throw 42;
  };
  actions.backup = [&] {
    backups.push_back(now);
    if (backups.size() == 2) throw std::runtime_error("disk gone");
    return true;
  };
  actions.stopped = [&] { return now >= 3 * 3600000ull; };
  BackupTrimLoop(schedule, actions).run();

  EXPECT_TRUE(log.contains("Database backup interval every 3600000 ms"));
  ASSERT_EQ(trims.size(), 180u);
  EXPECT_EQ(trims.front(), 60000u);
  // The stop at the third hour comes before its backup.
  EXPECT_EQ(backups, (std::vector<uint64_t>{3600000, 7200000}));
  EXPECT_EQ(log.count("Database backup ok."), 1u);
  EXPECT_EQ(log.count("Database backup failed."), 1u);
  EXPECT_TRUE(log.contains("Db Backup exception : db.cpp:7: busy"));
  EXPECT_TRUE(log.contains("Db Backup exception : unknown exception"));
  EXPECT_TRUE(log.contains("Db Backup exception : disk gone"));
}

// Receive timeouts every 100 ms for eleven minutes of silence.
TEST(ForwarderWatchdog, ComplainsEveryThirtySecondsAndRestartsOnce) {
  LogCapture log;
  ForwarderWatchdog watchdog(1000000);
  std::vector<uint64_t> restarts;
  for (uint64_t t = 1000100; t <= 1000000 + 660000; t += 100) {
    if (watchdog.timeout(t)) restarts.push_back(t - 1000000);
  }
  EXPECT_EQ(restarts, std::vector<uint64_t>{600100});
  EXPECT_EQ(log.count("Packet forwarder not seen in 10 minutes, restarting all lora services"), 1u);
  EXPECT_TRUE(log.contains("Packet forwarder not seen in 30 s"));
  // 22 half-minute lines (30 s to 660 s) and the restart line.
  EXPECT_EQ(log.count("Packet forwarder not seen in "), 23u) << log.dump();

  // A datagram starts the clock again; a new socket allows another restart.
  watchdog.datagram(2000000);
  EXPECT_FALSE(watchdog.timeout(2000000 + 29900));
  EXPECT_FALSE(watchdog.timeout(2000000 + 700000));
  watchdog.reset(3000000);
  EXPECT_TRUE(watchdog.timeout(3000000 + 600001));
}

}  // namespace
