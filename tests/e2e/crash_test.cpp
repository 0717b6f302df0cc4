// Power cuts as the flash database sees them: the real binary killed without its shutdown, then
// started again on the same files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "Database/Lora-Database.h"
#include "Harness.h"
#include "TestSupport.h"

using e2e::BaseConfig;
using e2e::ServerProcess;
using e2e::WriteConfig;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

std::string QueryOne(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string out;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  auto row = [](void* context, int, char** values, char**) {
    *static_cast<std::string*>(context) = values[0] != nullptr ? values[0] : "NULL";
    return 0;
  };
  sqlite3_exec(db, sql.c_str(), row, &out, nullptr);
  sqlite3_close(db);
  return out;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Crash, AnUncleanStopMovesEveryDownCounterAheadOnceACleanOneNothing) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  config["lora"]["netID"] = "000013";
  config["addressRange"]["start"] = "00000001";
  config["addressRange"]["end"] = "01FFFFFE";
  const std::string flash = config["db"].asString();
  {
    LoraDatabase database(LoraDatabase::OptionsFrom(flash, dir.file("seed-run"), "", config));
    ASSERT_TRUE(database.InitSchema());
    LoraDatabase::NewSession session;
    session.devAddr = 0x26011234;
    session.deviceEui = "00-80-00-00-00-00-e1-9c";
    session.joinEui = session.appEui = "70-b3-d5-7e-d0-00-00-01";
    session.netId = 0x13;
    session.nwkSKey = "2b7e151628aed2a6abf7158809cf4f3c";
    session.appSKey = "000102030405060708090a0b0c0d0e0f";
    session.downCounter = 5;
    ASSERT_TRUE(database.AddDeviceWithSession(session));
    database.GetConnection().MarkDirty();
    ASSERT_TRUE(database.Backup(true));
  }
  const std::string moved = "down counters of 1 sessions moved ahead by 1000";
  std::string everything;  // the logs of all runs so far
  int runs = 0;
  std::string log;
  // Each run logs to a file of its own, so that waiting for its start never sees an earlier one.
  auto run = [&](int signal) {
    log = dir.file("run-" + std::to_string(++runs) + ".log");
    config["log"]["path"] = log;
    const std::string path = WriteConfig(dir.path(), config);
    ServerProcess server(dir.path());
    server.start({"-c", path});
    EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, log)) << server.out();
    server.stop(signal, 5000);
    everything += ReadFile(log);
  };

  run(SIGTERM);  // a first, clean run changes nothing
  EXPECT_EQ(Count(everything, moved), 0u);
  EXPECT_EQ(QueryOne(flash, "SELECT nwk_down_counter FROM sessions"), "5");

  run(SIGKILL);  // the power goes
  run(SIGTERM);
  EXPECT_EQ(Count(everything, moved), 1u) << everything;
  EXPECT_EQ(QueryOne(flash, "SELECT nwk_down_counter FROM sessions"), "1005");

  run(SIGTERM);  // clean again: nothing moves
  EXPECT_EQ(Count(everything, moved), 1u);
  EXPECT_EQ(QueryOne(flash, "SELECT nwk_down_counter FROM sessions"), "1005");
}

}  // namespace

namespace {

// A flash file that is not a database is kept aside, never overwritten; the server starts on an
// empty one and its stop writes a sound file in its place.
TEST(Crash, ACorruptFlashFileIsMovedAsideAndAFreshOneWritten) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  const std::string flash = config["db"].asString();
  const std::string garbage(8192, 'x');
  testsupport::WriteFile(flash, garbage);
  ServerProcess server(dir.path());
  server.start({"-c", WriteConfig(dir.path(), config)});
  const std::string log = config["log"]["path"].asString();
  ASSERT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, log)) << server.out();
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  const std::string text = ReadFile(log);
  const size_t at = text.find("moved aside to ");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_NE(text.find("[ERROR] Flash database " + flash + " is not a usable database"),
            std::string::npos);
  const std::string aside = text.substr(at + 15, text.find(',', at) - at - 15);
  EXPECT_EQ(ReadFile(aside), garbage);
  EXPECT_EQ(QueryOne(flash, "PRAGMA integrity_check;"), "ok");
}

}  // namespace
