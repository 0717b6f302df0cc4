// The beacon's bytes, its slot in the interval and what the forwarder receives, on a clock the
// test sets.
#include "downlink/Beacon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "../lora/PlanTestSupport.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "lora/Crc.h"
#include "support/JsonText.h"

namespace {

BeaconLinks Links(const Json::Value& config, const Lora::ChannelPlan* plan) {
  BeaconLinks links;
  links.config = &config;
  links.plan = plan;
  return links;
}

// A beacon of NetID 0x13 every 128 s in EU868, sent to a forwarder on loopback; clocks and the
// reservation are the test's.
struct LoopbackForwarder {
  UdpSocket downstream;
  UdpSocket forwarder;
  Json::Value config;
  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  BeaconLinks links;

  bool open() {
    if (!downstream.open(0, false) || !forwarder.open(0, false)) return false;
    config["lora"]["beaconInterval"] = 128;
    config["lora"]["netID"] = "000013";
    links = Links(config, eu868->plan.get());
    links.downstream = &downstream;
    links.forwarderAddress = [this] { return UdpSocket::LoopbackAddress(forwarder.localPort()); };
    return true;
  }
};

TEST(Beacon, CrcIsXmodemAndLayoutsCarryNetIdTimeAndBothCrcs) {
  BeaconFrame narrow(0x000013, false);
  narrow.setTime(0x01020304);
  ASSERT_EQ(narrow.size(), 17u);
  const uint8_t* b = narrow.data();
  EXPECT_EQ(std::vector<uint8_t>(b, b + 7), (std::vector<uint8_t>{0x13, 0, 0, 4, 3, 2, 1}));
  EXPECT_EQ(b[7], Crc16Xmodem(b, 7) & 0xFF);
  EXPECT_EQ(b[8], 0);
  EXPECT_EQ(std::vector<uint8_t>(b + 9, b + 15), std::vector<uint8_t>(6, 0xFF));
  const uint16_t crc2 = Crc16Xmodem(b + 8, 7);
  EXPECT_EQ(b[15] | (b[16] << 8), crc2);

  BeaconFrame wide(0x000013, true);
  wide.setTime(0x01020304);
  ASSERT_EQ(wide.size(), 19u);
  const uint8_t* w = wide.data();
  EXPECT_EQ(w[7] | (w[8] << 8), Crc16Xmodem(w, 7));
  EXPECT_EQ(w[9], 0);
  EXPECT_EQ(w[16], 0);
  EXPECT_EQ(w[17] | (w[18] << 8), Crc16Xmodem(w + 9, 7));
  wide.setTime(0x01020305);  // a new time changes CRC1 only
  EXPECT_EQ(wide.data()[17] | (wide.data()[18] << 8), Crc16Xmodem(w + 9, 7));
}

TEST(Beacon, SlotFollowsTheNetIdAndRadioFollowsThePlan) {
  Json::Value config;
  config["lora"]["beaconInterval"] = 128;
  config["lora"]["netID"] = "000013";
  config["lora"]["beaconDelay"] = 10;
  auto eu868 = plantest::MakePlan("EU868");
  BeaconLinks links = Links(config, eu868->plan.get());
  Beacon beacon(links);
  // Beacons go out at TAI seconds = 19 (mod 128), shifted by the delay.
  EXPECT_EQ(beacon.WaitMs(128 * 1000 + 19, 0), 10);
  EXPECT_EQ(beacon.WaitMs(128 * 1000 + 18, 500000000), 1000 - 500 + 10);
  EXPECT_EQ(beacon.WaitMs(128 * 1000 + 20, 0), 127 * 1000 + 10);
  // Just past the slot within its second (the beacon just sent): the next one, not a past one.
  EXPECT_EQ(beacon.WaitMs(128 * 1000 + 19, 500000000), 128 * 1000 + 10 - 500);
  EXPECT_EQ(beacon.txpk()["datr"].asString(), "SF9BW125");
  EXPECT_DOUBLE_EQ(beacon.txpk()["freq"].asDouble(), 869.525);
  EXPECT_TRUE(beacon.txpk()["imme"].asBool());

  config["lora"]["frequencyBand"] = "US915";
  config["lora"]["frequencySubBand"] = 2;
  auto us915 = plantest::MakePlan("US915");
  Beacon wide(Links(config, us915->plan.get()));
  EXPECT_EQ(wide.txpk()["datr"].asString(), "SF10BW500");
  EXPECT_NEAR(wide.txpk()["freq"].asDouble(), 924.5, 1e-4);

  config["lora"]["beaconDatarate"] = "SF12BW500";  // alone it changes nothing
  Beacon partial(Links(config, us915->plan.get()));
  EXPECT_EQ(partial.txpk()["datr"].asString(), "SF10BW500");
  config["lora"]["beaconFrequency"] = 923.9;
  Beacon both(Links(config, us915->plan.get()));
  EXPECT_EQ(both.txpk()["datr"].asString(), "SF12BW500");
  EXPECT_DOUBLE_EQ(both.txpk()["freq"].asDouble(), 923.9);
}

TEST(Beacon, TheForwarderGetsAnImmediatePullRespAndTheNextSlotIsHeld) {
  LoopbackForwarder rig;
  ASSERT_TRUE(rig.open());
  BeaconLinks& links = rig.links;
  int64_t seconds = 128 * 100 + 19;
  int64_t nanoseconds = 0;
  links.taiClock = [&](int64_t& s, int64_t& ns) {
    s = seconds;
    ns = nanoseconds;
  };
  links.monotonicMs = [] { return uint64_t{5000}; };
  uint64_t reservedDue = 0;
  uint32_t reservedMs = 0;
  links.reserve = [&](uint64_t, uint64_t due, uint32_t ms) {
    reservedDue = due;
    reservedMs = ms;
  };
  Beacon beacon(links);
  beacon.SendBeacon();
  uint8_t buffer[512];
  sockaddr_in from{};
  const ssize_t n = rig.forwarder.receive(from, buffer, sizeof buffer);
  ASSERT_GT(n, 4);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{2, 0xFF, 0xFF, 3}));
  Json::Value body;
  std::string errors;
  ASSERT_TRUE(JsonText::Parse(reinterpret_cast<const char*>(buffer) + 4, static_cast<size_t>(n) - 4,
                              body, errors));
  EXPECT_EQ(body["txpk"]["size"].asUInt(), 17u);
  // The default 27 dBm, cut to what the plan allows the radio at 869.525 MHz.
  EXPECT_EQ(body["txpk"]["powe"].asInt(), 11);
  EXPECT_EQ(beacon.lastBeaconMs(), (seconds % 10000) * 1000);
  // Class B ping slots hash the whole Time field the devices received, not the ms clock.
  EXPECT_EQ(beacon.lastBeaconSeconds(), seconds);

  seconds += 120;  // eight seconds before the next slot
  EXPECT_EQ(beacon.ReserveNext(), 8000);
  EXPECT_EQ(reservedDue, 5000u + 8000u);
  EXPECT_EQ(reservedMs, Beacon::kReservationMs);

  // Sent a moment before its slot's second, or the configured delay after it: the Time field is
  // that second, so the next period's is always this one's plus the interval.
  const int64_t slot = seconds + 8;
  for (const auto& [s, ns] : {std::pair<int64_t, int64_t>{slot - 1, 996000000}, {slot, 50000000}}) {
    seconds = s;
    nanoseconds = ns;
    const std::string datagram = beacon.SendBeacon();
    const Json::Value txpk = testsupport::ParseJson(datagram.substr(4))["txpk"];
    uint8_t frame[19];
    ASSERT_EQ(17u, Base64Decode(txpk["data"].asCString(), frame, sizeof frame));
    EXPECT_EQ(static_cast<uint32_t>(slot),
              frame[3] | frame[4] << 8 | frame[5] << 16 | static_cast<uint32_t>(frame[6]) << 24);
    EXPECT_EQ(slot, beacon.lastBeaconSeconds());
  }
}

TEST(Beacon, TheFirstBeaconAfterStartUpHoldsItsAirTimeToo) {
  LoopbackForwarder rig;
  ASSERT_TRUE(rig.open());
  BeaconLinks& links = rig.links;
  // Started 300 ms before the network's slot.
  links.taiClock = [](int64_t& s, int64_t& ns) {
    s = 128 * 100 + 18;
    ns = 700000000;
  };
  links.monotonicMs = [] { return uint64_t{5000}; };
  std::atomic<uint64_t> reservedDue{0};
  links.reserve = [&](uint64_t, uint64_t due, uint32_t) { reservedDue = due; };
  Beacon beacon(links);
  ASSERT_EQ(0, beacon.Start());
  uint8_t buffer[512];
  sockaddr_in from{};
  ssize_t n = -1;
  for (int tries = 0; tries < 20 && n <= 4; ++tries)
    n = rig.forwarder.receive(from, buffer, sizeof buffer);
  beacon.Stop();
  ASSERT_GT(n, 4) << "the beacon";
  EXPECT_EQ(5000u + 300u, reservedDue.load()) << "held before it was sent";
}

}  // namespace
