#include "devices/Device.h"

#include <gtest/gtest.h>

#include "DeviceRig.h"

namespace {

using devicetest::Key;
using devicetest::Rig;
using devicetest::Uplink;
using testsupport::LogCapture;

struct CounterCase {
  const char* name;
  bool strict;
  uint32_t stored;     // the device's up counter
  uint32_t sent;       // the counter the device used (its low half is on air)
  uint64_t silenceMs;  // since the last accepted uplink
  bool passes;
  uint32_t reconstructed;
  const char* logged;  // a fragment the check must log, or nullptr
};

TEST(DeviceCounterTest, ReconstructsTheFullCounterOrRefusesTheFrame) {
  const CounterCase cases[] = {
      {"first frame after a join skips the gap rule", true, 0, 40000, 0, true, 40000, nullptr},
      {"same low half without a duplicate is a roll-over", true, 100, 100, 0, false, 65636,
       "MAX_FCNT_GAP exceeded diff: 65536"},
      {"low half wraps into the next high half", true, 0x0001FFF0, 0x00020005, 0, true, 0x00020005,
       nullptr},
      {"lazy: restarted device found after the reset time", false, 5000, 3, 20000, true, 3,
       "Performing lazy check of counter"},
      {"lazy: restarted device refused before the reset time", false, 5000, 3, 5000, false, 65539,
       "MIC Check Failed 0x00010003"},
      {"lazy: counter far ahead found after the lost time", false, 0x00C80000, 0x00CA0005, 700000,
       true, 0x00CA0005, nullptr},
      {"lazy: counter far ahead refused between reset and lost time", false, 0x00C80000, 0x00CA0005,
       100000, false, 0x00C80005, nullptr},
  };
  for (const CounterCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    LogCapture log;
    rig.settings.strictCounterValidation = c.strict;
    auto device = rig.MakeDevice();
    device->upCounter = c.stored;
    device->lastUplinkMs = 1000;
    Uplink up;
    up.counter = c.sent;
    up.receptionMs = 1000 + c.silenceMs;
    uint32_t counter = 0;
    EXPECT_EQ(c.passes, device->CheckFrame(up.Build(), false, counter));
    EXPECT_EQ(c.reconstructed, counter);
    EXPECT_EQ(c.passes ? c.reconstructed : c.stored, device->upCounter);
    EXPECT_EQ(c.passes, device->uplinkSeen);
    EXPECT_EQ(c.passes ? up.receptionMs : 1000u, device->lastUplinkMs);
    if (c.logged != nullptr) {
      EXPECT_TRUE(log.contains(c.logged)) << log.dump();
    }
    EXPECT_TRUE(log.contains(c.passes ? "passed" : "failed")) << log.dump();
  }
}

TEST(DeviceCounterTest, ADuplicateAuthenticatesWithTheStoredCounterAndChangesNothing) {
  Rig rig;
  auto device = rig.MakeDevice();
  device->upCounter = 0x00010005;
  device->uplinkSeen = true;
  device->lastUplinkMs = 500;
  Uplink up;
  up.counter = 0x00010005;
  up.receptionMs = 900;
  uint32_t counter = 0;
  EXPECT_TRUE(device->CheckFrame(up.Build(), true, counter));
  EXPECT_EQ(0x00010005u, counter);
  EXPECT_EQ(0x00010005u, device->upCounter);
  EXPECT_EQ(500u, device->lastUplinkMs);

  // A forged copy of the last frame fails without touching the counter either.
  up.nwkSKey = Key(0x55);
  EXPECT_FALSE(device->CheckFrame(up.Build(), true, counter));
  EXPECT_EQ(0x00010005u, device->upCounter);
}

TEST(DeviceCounterTest, AWrongMicIsCountedOnTheGatewayAndTheNetwork) {
  Rig rig;
  LogCapture log;
  auto device = rig.MakeDevice();
  device->upCounter = 10;
  Uplink up;
  up.counter = 11;
  Lora::ReceivedFrame frame = up.Build();
  frame.data[frame.size() - 1] ^= 0x01;
  uint32_t counter = 0;
  EXPECT_FALSE(device->CheckFrame(frame, false, counter));
  EXPECT_TRUE(log.contains("ED:00-80-00-00-00-00-e1-9c|CHECK-PKT|MIC Check Failed 0x0000000b"));
  EXPECT_TRUE(log.contains("ED:00-80-00-00-00-00-e1-9c|CHECK-MIC|ADDR: 26-01-1b-d4 failed"));
  EXPECT_EQ(1u, rig.GatewayMicFails());
  EXPECT_EQ(1u, rig.statistics.value(NetworkStatistics::Counter::rx_mic_fails));
  EXPECT_EQ(10u, device->upCounter);

  // A frame too short for a header and a MIC fails the same way.
  Lora::ReceivedFrame stub(frame.data, 10);
  stub.gatewayEui = frame.gatewayEui;
  EXPECT_FALSE(device->CheckFrame(stub, false, counter));
  EXPECT_EQ(2u, rig.GatewayMicFails());
  EXPECT_EQ(2u, rig.statistics.value(NetworkStatistics::Counter::rx_mic_fails));
}

TEST(DeviceCounterTest, AnExpiredSessionRefusesEveryFrameBeforeAnyMicWork) {
  for (bool downExpired : {true, false}) {
    SCOPED_TRACE(downExpired ? "down counter expired" : "up counter expired");
    Rig rig;
    LogCapture log;
    auto device = rig.MakeDevice();
    (downExpired ? device->nextDownCounter : device->upCounter) = Device::kExpiredCounter;
    Uplink up;
    uint32_t counter = 0;
    EXPECT_FALSE(device->CheckFrame(up.Build(), false, counter));
    EXPECT_TRUE(log.contains("|EXPIRED|Session has expired for DevAddr 26:01:1b:d4"));
    EXPECT_FALSE(log.contains("PMIC"));
    EXPECT_EQ(0u, rig.GatewayMicFails());
  }
}

TEST(DeviceStateTest, CounterAndClassChangesAreWrittenThrough) {
  Rig rig;
  LoraDatabase::NewSession session;
  session.devAddr = 0x26011bd4;
  session.deviceEui = devicetest::kDevEui;
  ASSERT_TRUE(rig.database->AddDeviceWithSession(session));
  auto device = rig.MakeDevice();
  const std::string counters =
      "SELECT up_counter, nwk_down_counter FROM sessions WHERE dev_addr = 637606868;";

  device->SetDownCounter(41);
  EXPECT_EQ(42u, device->TakeDownCounter());
  EXPECT_EQ(43u, device->nextDownCounter);
  device->SetUpCounter(7);
  EXPECT_EQ("7|42", rig.Query(counters));

  device->ExpireSession();
  EXPECT_TRUE(device->IsExpired());
  EXPECT_EQ(Device::kExpiredCounter, device->TakeDownCounter());
  EXPECT_EQ(Device::kExpiredCounter, device->nextDownCounter);
  EXPECT_EQ("4294967295|4294967295", rig.Query(counters));

  device->SetClass(7);  // no such class: A
  device->SetClass(2);
  EXPECT_EQ("C", rig.Query("SELECT class FROM end_devices;"));
  EXPECT_EQ((std::vector<std::string>{"class {\"class\":\"A\"}", "class {\"class\":\"C\"}"}),
            rig.Events());
}

TEST(SignalStatisticsTest, RunningMeanTruncatesEachTermAndTurnsIntoAMovingMean) {
  SignalStatistics s;
  s.Add(-100);
  s.Add(-50);  // -100 + (-25) - (-50)
  EXPECT_EQ((std::vector<int>{2, -100, -50, -75}),
            (std::vector<int>{s.count, s.minimum, s.maximum, s.average}));

  SignalStatistics halves;
  halves.Add(-7);
  halves.Add(-8);  // -7 + (-4) - (-3): truncation toward zero, not floor
  EXPECT_EQ(-8, halves.average);

  SignalStatistics moving;
  for (int i = 0; i < 1200; ++i) moving.Add(10);
  EXPECT_EQ(1000, moving.count);
  moving.Add(1010);  // 10 + 1010/1000 - 10/1000
  EXPECT_EQ(1000, moving.count);
  EXPECT_EQ(11, moving.average);
  EXPECT_EQ(1010, moving.maximum);
}

}  // namespace
