#include "downlink/OptionControllers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "../lora/PlanTestSupport.h"
#include "TestSupport.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "lora/Bytes.h"
#include "lora/Eui.h"
#include "lora/Frame.h"

namespace {

// One device's controllers on a real plan, with the events they publish kept.
struct ControllerRig {
  explicit ControllerRig(const std::string& region = "EU868",
               const std::string& lora = R"({"maxDatarate": 5, "frequencyEU": 867100000})")
      : test(plantest::MakePlan(region, lora)),
        links(Links()),
        mac(links),
        events(queue),
        appEui("00-80-00-00-00-00-00-01"),
        devEui("00-80-00-00-0a-00-00-02") {
    test->plan->configureChannelMask("");
    context.appEui = &appEui;
    context.devEui = &devEui;
    context.gatewayEui = 0x0080000000A1B2C3;
    context.events = &events;
  }

  MacLinks Links() {
    MacLinks made = MacLinks::From(*test->plan, test->config["lora"], test->settings);
    made.unixNowMs = [this] { return unixNowMs; };
    made.beacon.nowMs = [this] { return beaconNowMs; };
    made.beacon.lastBeaconMs = [this] { return lastBeaconMs; };
    return made;
  }

  void Parse(const std::vector<uint8_t>& commands, uint16_t fcnt = 1, int16_t snr = 50,
             uint32_t sf = 7, uint32_t bw = 125) {
    const uint8_t header[] = {0x40, 0x04, 0x03,          0x02,
                              0x01, 0x00, uint8_t(fcnt), uint8_t(fcnt >> 8)};
    Lora::ReceivedFrame frame(header, sizeof header);
    frame.snr = snr;
    frame.rssi = -97;
    frame.spreadingFactor = sf;
    frame.bandwidthKHz = bw;
    mac.parseMacCommands(frame, commands.data(), commands.size(), context);
  }

  std::string Append(size_t room, int64_t downlinkEndMs = 1000) {
    uint8_t out[64] = {};
    const size_t written = mac.AppendPending(out, room, {"00-80-00-00-0a-00-00-02", downlinkEndMs});
    return BytesToHex(out, written, true, ' ');
  }

  std::vector<std::string> Events() {
    std::vector<std::string> out;
    AppMessage message;
    while (queue.pop(message, 0)) out.push_back(message.event + " " + message.payload);
    return out;
  }

  // Eleven uplinks at DR0, SNR +10 dB, ADR bit set: the ADR example.
  void ElevenGoodUplinks() {
    for (uint32_t fcnt = 1; fcnt <= 11; ++fcnt) {
      mac.adr.countUplink();
      mac.adr.update(fcnt, true, 0, 100);
    }
  }

  std::unique_ptr<plantest::TestPlan> test;
  int64_t unixNowMs = 0;
  int64_t beaconNowMs = 0;
  int64_t lastBeaconMs = 0;
  MacLinks links;
  MacControllers mac;
  AppMessageQueue queue;
  AppEvents events;
  Lora::EUI appEui;
  Lora::EUI devEui;
  MacUplinkContext context;
};

}  // namespace

TEST(Adr, ElevenGoodUplinksAtDr0AskForDr5At14dBm) {
  ControllerRig rig;
  rig.ElevenGoodUplinks();
  // (100 + 200) / 30 = 10, clamped to "maxDatarate" 5; the device is below its target, so its
  // power was taken for the plan's 20 dBm.
  // DR5 | TXPower 1 (14 dBm); the eight channels of the join accept; NbTrans 1.
  EXPECT_EQ(rig.Append(15), "03 51 ff 00 01");
  EXPECT_EQ(rig.mac.adr.deviceTxPower, 14);
  EXPECT_EQ(rig.mac.adr.uplinksSinceCommand, 0);

  // A frame that was built but never sent leaves ADR where it was.
  rig.mac.GiveBack();
  EXPECT_EQ(rig.mac.adr.deviceTxPower, 20);
  EXPECT_EQ(rig.mac.adr.uplinksSinceCommand, 65535);

  // The ADR bit clear, or fewer than seven entries at the median: nothing to ask.
  rig.mac.adr.update(12, false, 5, 100);
  EXPECT_FALSE(rig.mac.adr.shouldSend(true));
  ControllerRig few;
  for (uint32_t fcnt = 1; fcnt <= 6; ++fcnt) few.mac.adr.update(fcnt, true, 0, 100);
  EXPECT_FALSE(few.mac.adr.shouldSend(true));
}

TEST(Adr, WideBandRequestGoesAsTwoWholeBlocks) {
  // The wide-band plans switch the 125 kHz channels off with the 500 kHz block, then enable the
  // sub-band's: sub-band 1 is channels 0-7 and 64. 10 dB: (100 + 150) / 30 = 8, the plan's DR4;
  // 30 dBm one step down is 28 dBm, TXPower 1.
  ControllerRig us("US915", R"({"frequencyBand": "US915"})");
  us.ElevenGoodUplinks();
  EXPECT_EQ(us.Append(9), "");  // the two blocks go whole or not at all
  EXPECT_EQ(us.Append(15), "03 41 01 00 71 03 41 ff 00 01");
}

TEST(Adr, DatarateForSnrFollowsBandAndStep) {
  struct Case {
    const char* region;
    const char* lora;
    int32_t snr;
    int8_t datarate;
  } cases[] = {
      {"US915", R"({"frequencyBand": "US915"})", -60, 3},  // (-60 + 150) / 30
      {"EU868", R"({"ADRStep": 50})", -60, 2},
      {"EU868", R"({"ADRStep": 0})", -60, 4},  // out of range: 30
      {"EU868", R"({"minDatarate": 1})", -250, 1},
      {"EU868", R"({"maxDatarate": 3})", 100, 3},
      // The plan allows DR4 (500 kHz); the operator's bounds come first.
      {"US915", R"({"frequencyBand": "US915", "maxDatarate": 3})", 100, 3},
      {"US915", R"({"frequencyBand": "US915", "minDatarate": 2})", -250, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + c.lora);
    ControllerRig rig(c.region, c.lora);
    EXPECT_EQ(rig.mac.adr.datarateForSnr(c.snr), c.datarate);
  }
}

TEST(Adr, AsksAgainAfterFourUplinksUntilTheDeviceMoves) {
  ControllerRig rig;
  // -10 dB: (-100 + 200) / 30 = DR3, no margin for less power; DR0 is below target: 20 dBm.
  for (uint32_t fcnt = 1; fcnt <= 11; ++fcnt) rig.mac.adr.update(fcnt, true, 0, -100);
  EXPECT_EQ(rig.Append(15), "03 30 ff 00 01");
  for (int uplink = 1; uplink <= 4; ++uplink) {
    EXPECT_FALSE(rig.mac.adr.shouldSend(false)) << uplink;
    rig.mac.adr.countUplink();
  }
  EXPECT_TRUE(rig.mac.adr.shouldSend(false));
  rig.mac.adr.update(12, true, 3, -100);  // the device took DR3
  EXPECT_FALSE(rig.mac.adr.shouldSend(true));

  // A reception 4.6 dB above the average sends the device back to full power.
  for (int32_t jump : {90, 92}) {
    SCOPED_TRACE(jump);
    ControllerRig link;
    link.mac.adr.update(1, true, 5, 0);
    link.mac.adr.update(2, true, 5, 0);
    link.mac.adr.deviceTxPower = 8;
    link.mac.adr.update(3, true, 5, jump);  // average 0 - 0 + jump / 2
    EXPECT_EQ(link.mac.adr.deviceTxPower, jump == 92 ? 20 : 8);
  }
}

TEST(Adr, RefusedRequestStopsAdrUntilTheNextSession) {
  ControllerRig rig;
  testsupport::LogCapture log;
  rig.ElevenGoodUplinks();
  rig.Parse({0x03, 0x07});  // all accepted
  EXPECT_TRUE(rig.mac.adr.shouldSend(false));
  rig.Parse({0x03, 0x06, 0x03, 0x03});  // channel mask refused, then power refused
  EXPECT_FALSE(rig.mac.adr.shouldSend(false));
  EXPECT_EQ(log.count("LinkADRReq refused"), 1u);
  rig.mac.SessionStarted();
  EXPECT_TRUE(rig.mac.adr.shouldSend(false));
}

TEST(AdrHistory, LostFramesBackwardsCountersAndRepeats) {
  AdrConfig config;  // step 30, offset 200, DR0-5
  AdrHistory history;
  for (uint32_t fcnt = 10; fcnt <= 14; ++fcnt) history.add(fcnt, 100, config);

  // Three frames nobody heard count as -25 dB, DR0.
  history.add(18, 100, config);
  ASSERT_EQ(history.size(), 9u);
  EXPECT_EQ(history.counts[0], 3u);
  EXPECT_EQ(history.counts[5], 6u);
  for (size_t i = 0; i < history.size(); ++i) {
    EXPECT_EQ(history.frameCounter(i), 10 + i);
  }
  EXPECT_EQ(history.lastSnr, 100);

  // The same frame heard by a second gateway: one entry, the weaker datarate.
  history.add(18, -100, config);  // (-100 + 200) / 30 = 3
  EXPECT_EQ(history.size(), 9u);
  EXPECT_EQ(history.datarate(history.size() - 1), 3);
  EXPECT_EQ(history.counts[5], 5u);
  EXPECT_EQ(history.counts[3], 1u);
  history.add(18, 100, config);
  EXPECT_EQ(history.datarate(history.size() - 1), 3);

  // A missing SNR is a lost frame's; the window keeps the newest eleven.
  history.add(19, AdrHistory::kMissingSnr, config);
  history.add(20, 100, config);
  history.add(21, 100, config);
  EXPECT_EQ(history.size(), 11u);
  EXPECT_EQ(history.frameCounter(0), 11u);
  EXPECT_EQ(history.counts[0] + history.counts[3] + history.counts[5], 11u);
  EXPECT_EQ(history.lastSnr, 100);

  // Backwards, or a whole window ahead: start over, average included.
  history.add(5, 100, config);
  EXPECT_EQ(history.size(), 1u);
  EXPECT_EQ(history.counts[5], 1u);
  EXPECT_EQ(history.averageSnr, 100);
  history.add(16, 100, config);
  EXPECT_EQ(history.size(), 1u);
  history.add(26, 100, config);  // ten ahead: nine lost frames fill in
  EXPECT_EQ(history.size(), 11u);
  EXPECT_EQ(history.counts[0], 9u);
  // The 16-bit counter wrapping to 0 starts over too.
  history.add(65534, 100, config);
  history.add(65535, 100, config);
  EXPECT_EQ(history.size(), 2u);
  history.add(0, 100, config);
  EXPECT_EQ(history.size(), 1u);
}

TEST(LinkCheck, MarginAndGatewayCount) {
  struct Case {
    uint32_t sf, bw;
    int32_t snr, margin;
  } cases[] = {{7, 125, 50, 125}, {12, 125, -100, 100}, {8, 500, 0, 40},
               {7, 250, -20, 25}, {13, 0, 0, 0},        {6, 125, 0, 200}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sf * 1000 + c.bw);
    EXPECT_EQ(LinkMarginTenths(c.snr, c.sf, c.bw), c.margin);
  }

  ControllerRig rig;
  rig.Parse({0x02}, 7, 50);
  rig.Parse({0x02}, 7, 20);  // the same frame at a second gateway
  EXPECT_EQ(rig.Append(15), "02 0c 02");
  EXPECT_FALSE(rig.mac.linkCheck.pending);
  rig.Parse({0x02}, 8, -300);  // a new frame below the floor
  EXPECT_EQ(rig.Append(15), "02 00 01");
}

TEST(ParseMacCommands, TableLengthsEventsAndDeviceEffects) {
  // What a DevStatusAns does to the device is the transmit controller's test.
  ControllerRig rig;
  int deviceClass = -1;
  rig.context.deviceClass = [&](uint32_t c) { deviceClass = static_cast<int>(c); };

  rig.Parse({0x06, 0xFE, 0x05, 0x81, 0x02, 0x02});
  EXPECT_EQ(deviceClass, 2);
  const std::vector<std::string> events = rig.Events();
  const std::string tail =
      R"("appeui":"00-80-00-00-00-00-00-01","deveui":"00-80-00-00-0a-00-00-02",)"
      R"("gweui":"00-80-00-00-00-a1-b2-c3"})";
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], R"(mac_recv {"id":6,"data":"fe05",)" + tail);
  EXPECT_EQ(events[1], R"(mac_recv {"id":129,"data":"02",)" + tail);
  EXPECT_EQ(events[2], R"(mac_recv {"id":2,)" + tail);

  // One-byte commands followed by others are not swallowed as two-byte ones.
  rig.Parse({0x09, 0x0D, 0x12, 0x10, 0x01});
  EXPECT_TRUE(rig.mac.deviceTime.pending);
  EXPECT_TRUE(rig.mac.beaconTiming.pending);
  EXPECT_TRUE(rig.mac.pingSlotInfo.pending);
  EXPECT_EQ(rig.Events().size(), 4u);

  // Garbage never reads past its end.
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> bytes(seed % 16);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    rig.Parse(bytes, static_cast<uint16_t>(round), static_cast<int16_t>(seed));
    EXPECT_LE(rig.Events().size(), bytes.size());
  }

  // An unknown CID ends the walk; a command cut short does nothing and reports nothing.
  ControllerRig cut;
  cut.context.deviceStatus = [&](uint8_t, int32_t) { FAIL() << "short DevStatusAns applied"; };
  cut.Parse({0x02, 0x55, 0x12});
  cut.Parse({0x80, 0x06, 0xFE});
  EXPECT_TRUE(cut.mac.linkCheck.pending);
  EXPECT_FALSE(cut.mac.beaconTiming.pending);
  EXPECT_EQ(cut.Events().size(), 2u);
  // The link test echoes RSSI -97 and SNR 5.0 dB.
  EXPECT_EQ(cut.Append(15), "02 0c 01 80 9f ff 32 00");
}

TEST(DeviceTime, GpsTimeWithLeapSeconds) {
  // GPS runs 18 s ahead of UTC since 2017-01-01, 17 s just before it.
  ControllerRig rig;
  rig.unixNowMs = 1483228800500;  // 2017-01-01T00:00:00.5Z
  rig.Parse({0x0D});
  // 1167264018 = 0x45930912, half a second = 128/256.
  EXPECT_EQ(rig.Append(15, 2000), "0d 12 09 93 45 80");
  rig.unixNowMs = 1483228799000;
  rig.Parse({0x0D});
  EXPECT_EQ(rig.Append(15), "0d 10 09 93 45 00");
  EXPECT_EQ(GpsLeapSeconds(315964800), 0);
  EXPECT_EQ(GpsLeapSeconds(1230768000), 15);

  // Without an injected clock the answer follows the system clock, back to when the gateway
  // handed the frame over (here three seconds ago).
  MacLinks links = rig.links;
  links.unixNowMs = nullptr;
  MacControllers real(links);
  const uint8_t header[8] = {0x40};
  Lora::ReceivedFrame frame(header, sizeof header);
  frame.receptionTimeMs = static_cast<uint64_t>(MonotonicMs() - 3000);
  const uint8_t request = 0x0D;
  real.parseMacCommands(frame, &request, 1, MacUplinkContext{});
  uint8_t out[6];
  ASSERT_EQ(real.AppendPending(out, sizeof out, {}), 6u);
  const int64_t unixNow = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
  EXPECT_NEAR(static_cast<double>(Lora::ReadLE(out + 1, 4)), unixNow - 3 - 315964800 + 18, 1.5);
}

TEST(BeaconTiming, CountsFromTheEndOfTheDownlink) {
  ControllerRig rig;
  rig.beaconNowMs = 1000000;
  rig.lastBeaconMs = 999000;
  rig.Parse({0x12});
  // Next beacon 127 s after now, less the 1.5 s the downlink takes: 125500 / 30 = 4183.
  EXPECT_EQ(rig.Append(15, 1500), "12 57 10 00");
  // A beacon that goes out while the downlink is on air is missed: count to the one after.
  rig.lastBeaconMs = rig.beaconNowMs - 127000;
  rig.Parse({0x12});
  EXPECT_EQ(rig.Append(15, 2000), "12 89 10 00");  // (129000 - 2000) / 30 = 4233
}

TEST(MacControllers, AppendsInDownlinkOrderWhatFits) {
  ControllerRig rig;
  rig.Parse({0x02, 0x80, 0x12, 0x0D});
  rig.mac.channel.pending = true;
  rig.mac.deviceStatus.pending = true;
  rig.ElevenGoodUplinks();
  // 3 + 5 + 6 fill 14 of 15; ADR (5) waits, the status request (1) takes the last byte.
  EXPECT_EQ(rig.Append(15), "02 0c 01 80 9f ff 32 00 07 08 80 91 84 77 06");
  EXPECT_TRUE(rig.mac.beaconTiming.pending);
  EXPECT_TRUE(rig.mac.deviceTime.pending);
  EXPECT_EQ(rig.Append(15).substr(0, 15), "03 51 ff 00 01 ");
  EXPECT_FALSE(rig.mac.beaconTiming.pending);
  EXPECT_FALSE(rig.mac.deviceTime.pending);

  // A device status request alone is no reason for a downlink; an answer is.
  rig.mac.deviceStatus.pending = true;
  rig.mac.adr.update(12, false, 5, 100);
  EXPECT_FALSE(rig.mac.AnyPendingForAnswer());
  rig.mac.GiveBack();  // the last frame's beacon and time answers come back
  EXPECT_TRUE(rig.mac.deviceTime.pending);
  EXPECT_TRUE(rig.mac.AnyPendingForAnswer());
}
