// Power cuts as the flash database sees them: the real binary killed without its shutdown, then
// started again on the same files.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../Database/QueryFile.h"
#include "NetworkRig.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "sim/SimFrames.h"

using dbtest::QueryFile;
using e2e::BaseConfig;
using e2e::StartAndStop;
using testsupport::Occurrences;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

TEST(Crash, AnUncleanStopMovesEveryDownCounterAheadOnceACleanOneNothing) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path(), R"({"lora": {"netID": "000013"},
      "addressRange": {"start": "00000001", "end": "01FFFFFE"}})");
  const std::string flash = config["db"].asString();
  e2e::SeededSession session;
  session.downCounter = 5;
  e2e::SeedSessions(config, dir.path(), {session});
  const std::string moved = "down counters of 1 sessions moved ahead by 1000";
  std::string everything;  // the logs of all runs so far
  int runs = 0;
  // Each run logs to a file of its own, so that waiting for its start never sees an earlier one.
  auto run = [&](int signal) {
    const std::string log = dir.file("run-" + std::to_string(++runs) + ".log");
    config["log"]["path"] = log;
    StartAndStop(dir.path(), config, {}, signal);
    everything += ReadFile(log);
  };

  run(SIGTERM);  // a first, clean run changes nothing
  EXPECT_EQ(Occurrences(everything, moved), 0u);
  EXPECT_EQ(QueryFile(flash, "SELECT nwk_down_counter FROM sessions"), "5");

  run(SIGKILL);  // the power goes
  run(SIGTERM);
  EXPECT_EQ(Occurrences(everything, moved), 1u) << everything;
  EXPECT_EQ(QueryFile(flash, "SELECT nwk_down_counter FROM sessions"), "1005");

  run(SIGTERM);  // clean again: nothing moves
  EXPECT_EQ(Occurrences(everything, moved), 1u);
  EXPECT_EQ(QueryFile(flash, "SELECT nwk_down_counter FROM sessions"), "1005");
}

// SIGTERM in the middle of a steady stream: the server stops within the two seconds a supervisor
// allows, and what it leaves on flash is exactly what the applications saw, no uplink stored that
// was never published and no counter behind the last published uplink.
TEST(Crash, SigtermUnderLoadLeavesFlashAsTheApplicationsSawIt) {
  e2e::NetworkRig rig;
  constexpr unsigned kDevices = 40;
  std::vector<e2e::SeededSession> sessions(kDevices);
  char eui[32];
  for (unsigned i = 0; i < kDevices; ++i) {
    sessions[i].devAddr = 0x26011200 + i;
    std::snprintf(eui, sizeof eui, "00-80-00-00-00-00-e1-%02x", i);
    sessions[i].devEui = eui;
  }
  rig.Seed(sessions);
  ASSERT_TRUE(rig.Start()) << rig.Log();

  uint8_t key[16];
  HexToBytes(sessions[0].nwkSKey.c_str(), key, 16, false);
  const Lora::CypherKey nwk(key);
  HexToBytes(sessions[0].appSKey.c_str(), key, 16, false);
  const Lora::CypherKey app(key);
  std::atomic<bool> stopPushing{false};
  std::atomic<unsigned> pushed{0};
  std::thread forwarder([&] {
    constexpr auto kGap = std::chrono::microseconds(1000000 / 600);
    auto next = std::chrono::steady_clock::now();
    for (unsigned n = 0; !stopPushing.load(); ++n) {
      Sim::Uplink up;
      up.devAddr = sessions[n % kDevices].devAddr;
      up.fcnt = n / kDevices + 1;
      up.payload = {0x01, 0x02, 0x03};
      rig.Push(Sim::BuildUplink(up, nwk, app));
      pushed.store(n + 1);
      next += kGap;
      std::this_thread::sleep_until(next);
    }
  });
  while (pushed.load() < 900) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto signalled = std::chrono::steady_clock::now();
  const int status = rig.Stop();
  const auto exitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - signalled).count();
  stopPushing.store(true);
  forwarder.join();
  EXPECT_EQ(status, 0);
  EXPECT_LT(exitMs, 2000);

  const std::string stored = " FROM uplink_packets WHERE message_type != 0";
  const size_t rows = std::stoul(rig.Query("SELECT COUNT(*)" + stored).at(0));
  ASSERT_GT(rows, 300u) << "too few uplinks handled to say anything";
  // The broker delivers what it acknowledged a moment later; QoS 1 may repeat one.
  rig.WaitFor("/up", rows, 5000);
  std::map<std::string, unsigned> published;
  std::set<std::string> seen;
  for (const auto& message : rig.On("/up")) {
    const Json::Value up = e2e::ParseJson(message.payload);
    const std::string m = up["mhdr"].asString();  // MHDR, then DevAddr, least significant first
    const std::string addr = std::to_string(
        std::stoul(m.substr(8, 2) + m.substr(6, 2) + m.substr(4, 2) + m.substr(2, 2), nullptr, 16));
    published[addr] = std::max(published[addr], up["fcnt"].asUInt());
    seen.insert(addr + "/" + up["fcnt"].asString());
  }
  EXPECT_EQ(seen.size(), rows) << "uplinks stored and uplinks published differ";
  // By device (the addresses have as many digits each, so text order is number order): the
  // newest counter stored, and the session's up counter, are the newest published.
  std::vector<std::string> newest;
  for (const auto& [addr, fcnt] : published) newest.push_back(addr + "|" + std::to_string(fcnt));
  EXPECT_EQ(rig.Query("SELECT dev_addr, MAX(counter)" + stored + " GROUP BY 1 ORDER BY 1"), newest);
  EXPECT_EQ(rig.Query("SELECT dev_addr, up_counter FROM sessions WHERE up_counter > 0 ORDER BY 1"),
            newest);
}

}  // namespace
