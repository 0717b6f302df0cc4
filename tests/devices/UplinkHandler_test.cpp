#include "devices/UplinkHandler.h"

#include <gtest/gtest.h>

#include "DeviceRig.h"
#include "devices/DeviceList.h"
#include "lora/Bytes.h"

namespace {

using devicetest::Rig;
using devicetest::Uplink;
using testsupport::LogCapture;

constexpr uint32_t kAddr = 0x26011bd4;
constexpr uint64_t kSecondGateway = 0x0080000000005678ull;

class UplinkHandlerTest : public ::testing::Test {
 protected:
  UplinkHandlerTest() : list_(rig_.links, [this] { return now_; }) {
    links_.devices = &list_;
    links_.gateways = &rig_.gateways;
    links_.database = rig_.database.get();
    links_.messages = &rig_.messages;
    links_.statistics = &rig_.statistics;
    links_.settings = &rig_.settings;
    links_.scheduleResponse = [this](Device&, const Lora::ReceivedFrame&) { ++answers_; };
    links_.parseMacCommands = [this](Device&, const Lora::ReceivedFrame&, const uint8_t* b,
                                     size_t n) { macCommands_.assign(b, b + n); };
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    rig_.gateways.seen(kSecondGateway, 2, &sender, 0);
  }

  // A device as a join leaves it, with a session row.
  void Join(uint32_t deviceClass = Device::kClassA) {
    auto device = rig_.MakeDevice(kAddr, now_);
    device->deviceClass = deviceClass;
    ASSERT_TRUE(list_.AddDevice(std::move(device), false));
  }
  Device& Held() { return *list_.FindDevice(kAddr).get(); }  // single-threaded tests only

  void Dispatch(Uplink up, uint64_t gateway = devicetest::kGatewayEui) {
    up.receptionMs = now_;
    Lora::ReceivedFrame frame = up.Build();
    frame.gatewayEui = gateway;
    frame.rxpk = R"({"tmst":1,"freq":868.1,"datr":"SF7BW125"})";
    UplinkHandler(links_).DispatchUplink(frame);
  }

  std::vector<AppMessage> Messages(const char* event) {
    std::vector<AppMessage> out;
    AppMessage m;
    while (rig_.messages.pop(m, 0)) {
      if (m.event == event) out.push_back(m);
    }
    return out;
  }
  uint32_t Stat(NetworkStatistics::Counter c) { return rig_.statistics.value(c); }
  uint32_t GatewayCount(Gateway::Counter c, uint64_t eui = devicetest::kGatewayEui) {
    return rig_.gateways.find(eui)->counter(c);
  }
  std::string StoredUplinks() {
    return rig_.Query("SELECT counter, port, data FROM uplink_packets;");
  }

  Rig rig_;
  uint64_t now_ = 50000;
  DeviceList list_;
  UplinkLinks links_;
  int answers_ = 0;
  std::vector<uint8_t> macCommands_;
};

TEST_F(UplinkHandlerTest, AnUnknownAddressOrGatewayChangesNothing) {
  // The rejection's wording and value are the end-to-end tests' (through the gateway's log).
  EXPECT_THROW(Dispatch(Uplink{}), Lora::ReceivedFrame::MessageRejectException);
  EXPECT_EQ(1u, GatewayCount(Gateway::Counter::uplinks_nok_unknown));
  EXPECT_TRUE(Messages("packet_recv").empty());

  Join();
  LogCapture log;
  Dispatch(Uplink{}, 0x1111);
  EXPECT_TRUE(log.contains("|GW-ERROR|Failed to find gateway 00-00-00-00-00-00-11-11"));
  EXPECT_EQ(0u, Held().upCounter);
  EXPECT_FALSE(Held().answerPending);
  EXPECT_EQ(0, answers_);
}

TEST_F(UplinkHandlerTest, RepeatsAreAnsweredOnlyWhenConfirmedAndRetriedAndNeverStoredTwice) {
  Join();
  Uplink up;
  up.confirmed = true;
  up.port = 2;
  up.payload = {1};
  Dispatch(up);
  Dispatch(up, kSecondGateway);  // the same frame through another gateway, at once
  now_ -= 5;  // a copy decoded just before the first, whose worker got the device lock later
  Dispatch(up, kSecondGateway);
  now_ += 5;
  EXPECT_EQ(1, answers_);
  EXPECT_EQ(2u, Stat(NetworkStatistics::Counter::tx_ack_missed));
  EXPECT_EQ(3u, Held().receivedCount);
  EXPECT_EQ(0u, Stat(NetworkStatistics::Counter::rx_dups));

  now_ += 2000;  // the device did not get the acknowledgement and sends again
  Dispatch(up);
  EXPECT_EQ(2, answers_);
  EXPECT_EQ(1u, Stat(NetworkStatistics::Counter::rx_dups));
  EXPECT_EQ("1|2", rig_.Query("SELECT counter, port FROM uplink_packets;"));
  EXPECT_EQ(3u, Messages("up").size());

  // An unconfirmed repeat is never answered, stored, published or counted as a duplicate.
  up.counter = 2;
  up.confirmed = false;
  Dispatch(up);
  now_ += 5000;
  Dispatch(up);
  EXPECT_EQ(3, answers_);
  EXPECT_EQ(1u, Stat(NetworkStatistics::Counter::rx_dups));
  EXPECT_EQ(3u, Stat(NetworkStatistics::Counter::tx_ack_missed));  // every confirmed repeat
  EXPECT_EQ(3u, Messages("up").size());
  EXPECT_EQ("1|2;2|2", rig_.Query("SELECT counter, port FROM uplink_packets;"));
}

TEST_F(UplinkHandlerTest, AForgedFrameIsDroppedAndOnlyANewOneCountsAgainstTheGateway) {
  Join();
  Dispatch(Uplink{});
  LogCapture log;
  Uplink forged;
  forged.nwkSKey = devicetest::Key(0x77);
  Dispatch(forged);
  EXPECT_TRUE(log.contains("|DROP-PKT|Addr: 26:01:1b:d4 Duplicate: yes"));
  EXPECT_EQ(0u, GatewayCount(Gateway::Counter::uplinks_nok_mic));
  forged.counter = 2;
  Dispatch(forged);
  EXPECT_TRUE(log.contains("|DROP-PKT|Addr: 26:01:1b:d4 Duplicate: no"));
  EXPECT_EQ(1u, GatewayCount(Gateway::Counter::uplinks_nok_mic));
  EXPECT_EQ(1u, Held().upCounter);
  EXPECT_EQ(1u, Held().receivedCount);
  EXPECT_EQ(1, answers_);
}

TEST_F(UplinkHandlerTest, MissedFramesArePublishedAndCountedOnceTheSessionIsUnderWay) {
  Join();
  Uplink up;
  for (uint32_t c : {9u, 10u}) {
    up.counter = c;
    Dispatch(up);
  }
  Messages("packet_missed");  // the first frame after the join reads as 8 missed
  EXPECT_EQ(0u, Held().missedCount);
  LogCapture log;
  up.counter = 14;
  Dispatch(up);
  std::vector<AppMessage> missed = Messages("packet_missed");
  ASSERT_EQ(1u, missed.size());
  EXPECT_EQ("{\"count\":3}", missed[0].payload);
  EXPECT_EQ(8u + 3u, Stat(NetworkStatistics::Counter::pkts_missed));
  EXPECT_EQ(3u, Held().missedCount);
  EXPECT_TRUE(log.contains("|MISSED-PKT|Count: 3"));
  EXPECT_TRUE(log.contains("|PER|60.000000%"));  // before this frame is counted: 3 of 3 + 2
}

TEST_F(UplinkHandlerTest, PortsDecideTheKeyTheParserAndThePublishedPort) {
  Join();
  // FPort 0: MAC commands under the network key, handed to the parser, stored like any uplink.
  Uplink mac;
  mac.counter = 1;
  mac.port = 0;
  const uint8_t commands[] = {0x02, 0x03, 0x07};
  mac.payload.resize(3);
  EncryptPayload(commands, 3, devicetest::Key(0x10), kAddr, true, 1, mac.payload.data());
  Dispatch(mac);
  EXPECT_EQ(std::vector<uint8_t>(commands, commands + 3), macCommands_);
  // No FPort at all: nothing decrypted, still answered, published on port 1.
  Uplink bare;
  bare.counter = 2;
  Dispatch(bare);
  std::vector<AppMessage> up = Messages("up");
  ASSERT_EQ(6u, up.size());
  EXPECT_EQ(std::string(devicetest::kAppEui) + "/" + devicetest::kDevEui + "/0", up[2].eui);
  EXPECT_EQ(std::string(devicetest::kAppEui) + "/" + devicetest::kDevEui + "/1", up[5].eui);
  EXPECT_EQ("1|0|AgMH;2|NULL|", StoredUplinks());
  EXPECT_EQ(2, answers_);
}

TEST_F(UplinkHandlerTest, TheClassBBitMovesClassesAAndBButNeverC) {
  struct Case {
    const char* name;
    uint32_t start;
    bool classBBit;
    const char* event;  // nullptr: no class change
  } cases[] = {
      {"B without the bit becomes A", Device::kClassB, false, "{\"class\":\"A\"}"},
      {"A with the bit becomes B", Device::kClassA, true, "{\"class\":\"B\"}"},
      {"C stays C", Device::kClassC, true, nullptr},
      {"A stays A", Device::kClassA, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list_.RemoveDevice(kAddr);
    Join(c.start);
    Uplink up;
    up.fctrl = c.classBBit ? Lora::kFCtrlClassB : 0;
    Dispatch(up);
    std::vector<std::string> changes;
    for (const AppMessage& m : Messages("class")) changes.push_back(m.payload);
    EXPECT_EQ(c.event != nullptr ? std::vector<std::string>{c.event} : std::vector<std::string>{},
              changes);
  }
}

TEST_F(UplinkHandlerTest, ReducedUpdatesStoreEveryHundredthUplinkOrAfterFiveMinutesOfSilence) {
  rig_.settings.reducedPacketUpdates = true;
  Join();
  Uplink up;
  for (uint32_t c = 1; c <= 200; ++c) {
    up.counter = c;
    now_ += 1000;
    Dispatch(up);
  }
  EXPECT_EQ("100|NULL|;200|NULL|", StoredUplinks());
  now_ += 300001;
  up.counter = 201;
  Dispatch(up);
  EXPECT_EQ("100|NULL|;200|NULL|;201|NULL|", StoredUplinks());
}

}  // namespace
