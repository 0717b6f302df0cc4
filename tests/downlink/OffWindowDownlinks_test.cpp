// Downlinks outside the class A windows: class C at once on RX2, class B in the ping slot after
// the last beacon, and the retries of class C confirmed downlinks, over real collaborators (the
// device list, transmit queue, storage and a loopback gateway), on clocks the test moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DownlinkRig.h"
#include "downlink/DeviceTransmitController.h"
#include "downlink/DownlinkScheduler.h"
#include "lora/Aes.h"

namespace {

using downlinktest::kDevAddr;
using downlinktest::Rig;
using testsupport::LogCapture;

constexpr uint64_t kLeadMs = 250;

// A device of the class, heard once through the rig's gateway at server time `heardMs`, with no
// answer owed; the clock moves on a second.
Device& HeardDevice(Rig& rig, uint32_t deviceClass, uint64_t heardMs) {
  Device& device = rig.AddDevice();
  device.deviceClass = deviceClass;
  device.transmitController.ReceivedFrame(rig.Uplink(1, false, 7000000, heardMs), false);
  rig.nowMs = heardMs + 1000;
  return device;
}

TransmitQueue::Item Blocker(uint64_t dueMs, uint32_t durationMs) {
  TransmitQueue::Item item;
  item.devAddr = 0x01020304;
  item.gatewayEui = devicetest::kGatewayEui;
  item.dueMs = dueMs;
  item.durationMs = durationMs;
  item.priority = 0;
  return item;
}

std::vector<TransmitQueue::Item> ItemsOf(const Rig& rig, uint32_t devAddr) {
  std::vector<TransmitQueue::Item> out;
  for (const TransmitQueue::Item& item : rig.queue.items()) {
    if (item.devAddr == devAddr) out.push_back(item);
  }
  return out;
}

constexpr uint64_t kBlockedFromMs = 20000 + kLeadMs;

// A class C device whose record is queued while a timed frame handed over at kBlockedFromMs is on
// air a lead time later, until kBlockedFromMs + 1450.
Device& BookedBehindABlocker(Rig& rig) {
  Device& device = HeardDevice(rig, Device::kClassC, 19000);
  rig.queue.insert(Blocker(kBlockedFromMs, 1200));
  EXPECT_TRUE(device.Enqueue(Rig::Record(5)));
  return device;
}

TEST(ClassCDownlinkTest, AQueuedRecordGoesAtOnceOnRx2AndAClassAAnswerKeepsItsWindowTime) {
  Rig rig;
  Device& device = HeardDevice(rig, Device::kClassC, 19000);
  ASSERT_TRUE(device.Enqueue(Rig::Record(5)));
  const std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
  ASSERT_EQ(1u, items.size()) << "queuing alone must trigger the send";
  EXPECT_EQ(20000 + kLeadMs, items[0].dueMs);
  EXPECT_EQ(2, items[0].window);
  EXPECT_EQ(0, items[0].priority);

  EXPECT_TRUE(rig.Serve(20000 + kLeadMs)["imme"].asBool());
  EXPECT_EQ(0u, device.transmitController.QueueLength());

  // A record queued while an uplink is being answered goes in that answer, at the window's time.
  device.answerPending = true;
  ASSERT_TRUE(device.Enqueue(Rig::Record(4)));
  device.transmitController.CheckRetry(30000);
  EXPECT_TRUE(rig.queue.items().empty()) << "the class A answer will carry it";
  rig.Answer(rig.Uplink(2, false, 9000000, 30000));
  const Json::Value answer = rig.Serve(30000 + 1000 - kLeadMs);
  ASSERT_TRUE(answer.isObject());
  EXPECT_FALSE(answer.isMember("imme"));
  EXPECT_EQ(10000000u, answer["tmst"].asUInt64());
  EXPECT_EQ(0u, device.transmitController.QueueLength());
}

TEST(ClassCDownlinkTest, ABusyGatewayIsRetriedIn250MsStepsUpTo5SecondsThenTheSweepSendsIt) {
  Rig rig;
  Device& device = BookedBehindABlocker(rig);
  const uint64_t start = kBlockedFromMs;
  std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(start + 1500, items[0].dueMs) << "the first step clear of the blocker's air time";
  rig.Serve(start + 1500);
  ASSERT_EQ(0u, device.transmitController.QueueLength());

  Rig busy;
  Device& waiting = HeardDevice(busy, Device::kClassC, 19000);
  // The last step goes on air where the blocker's air time ends.
  busy.queue.insert(Blocker(start, 5000 - kLeadMs));
  LogCapture log;
  ASSERT_TRUE(waiting.Enqueue(Rig::Record(5)));
  EXPECT_TRUE(ItemsOf(busy, kDevAddr).empty());
  EXPECT_TRUE(log.contains("|SCHED-FAIL|Device has not checked in or Tx slot was not found"));
  EXPECT_EQ(1u, waiting.transmitController.QueueLength()) << "it waits, it is not dropped";

  busy.nowMs = start + 5000;
  busy.devices->SweepDevices(1, busy.nowMs);
  items = ItemsOf(busy, kDevAddr);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(busy.nowMs + kLeadMs, items[0].dueMs);
}

TEST(ClassCDownlinkTest, AnUplinkWhoseAnswerFindsNoWindowLeavesTheBookedRecordToGoOnceAtOnce) {
  Rig rig;
  Device& device = BookedBehindABlocker(rig);
  ASSERT_EQ(1u, ItemsOf(rig, kDevAddr).size());
  const uint64_t booked = ItemsOf(rig, kDevAddr)[0].dueMs;

  // Heard while it waits: RX1 falls in the blocker's air time, RX2 in the booked record's.
  rig.nowMs = 20100;
  rig.Answer(rig.Uplink(2, false, 9000000, rig.nowMs));
  device.transmitController.CheckRetry(rig.nowMs + 1000);
  const std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
  ASSERT_EQ(1u, items.size()) << "a second booking would leave the first to carry the record at "
                                 "the uplink's RX2 time, which has passed when it is handed over";
  EXPECT_EQ(booked, items[0].dueMs);
  const Json::Value sent = rig.Serve(booked);
  EXPECT_TRUE(sent["imme"].asBool()) << sent;
  EXPECT_EQ(0u, device.transmitController.QueueLength());
}

TEST(ClassCDownlinkTest, ARecordRx2CannotCarryOrADeviceNeverHeardIsNotScheduled) {
  Rig rig;
  Device& device = HeardDevice(rig, Device::kClassC, 19000);
  {
    LogCapture log;
    // RX2 at DR0 carries frames of 64 bytes: 13 around 51 of payload.
    ASSERT_TRUE(device.Enqueue(Rig::Record(52)));
    EXPECT_TRUE(ItemsOf(rig, kDevAddr).empty());
    EXPECT_TRUE(log.contains("|SCHED-FAIL|Plan restricts downlink on DR0 of size 65, max is 64"));
  }
  device.transmitController.ClearQueue();
  ASSERT_TRUE(device.Enqueue(Rig::Record(51)));
  EXPECT_EQ(1u, ItemsOf(rig, kDevAddr).size());

  Rig silent;
  Device& unheard = silent.AddDevice();
  unheard.deviceClass = Device::kClassC;
  LogCapture log;
  ASSERT_TRUE(unheard.Enqueue(Rig::Record(5)));
  EXPECT_TRUE(silent.queue.items().empty());
  EXPECT_TRUE(log.contains("|SCHED-FAIL|Device has not checked in or Tx slot was not found"));
}

// One confirmed downlink of a class C device through its attempts, on the latest and the earliest
// jitter.
TEST(ClassCDownlinkTest, AConfirmedDownlinkIsSentAgainAfterTheAckTimeoutUntilItsAttemptsAreUsed) {
  for (int32_t jitterMs : {499, -500}) {
    SCOPED_TRACE(jitterMs);
    Rig rig;
    rig.jitterMs = jitterMs;
    Device& device = HeardDevice(rig, Device::kClassC, 19000);
    rig.EnqueueConfirmed(device, 2);
    uint64_t sentAt = 20000 + kLeadMs;
    ASSERT_TRUE(rig.Serve(sentAt).isObject());

    const uint64_t timeout = static_cast<uint64_t>(5000 + jitterMs);
    device.transmitController.CheckRetry(sentAt + timeout);
    EXPECT_TRUE(ItemsOf(rig, kDevAddr).empty()) << "not before the time-out has passed";
    rig.nowMs = sentAt + timeout + 1;
    device.transmitController.CheckRetry(rig.nowMs);
    std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
    ASSERT_EQ(1u, items.size());
    sentAt = items[0].dueMs;
    ASSERT_TRUE(rig.Serve(sentAt).isObject());
    EXPECT_EQ("2", rig.Query("SELECT retry_count FROM downlink_queue;"));

    // Class A drops through the same code: its log line and row are checked there.
    device.transmitController.CheckRetry(sentAt + timeout + 1);
    EXPECT_TRUE(ItemsOf(rig, kDevAddr).empty()) << "two attempts, no third";
    EXPECT_EQ(0u, device.transmitController.QueueLength());
  }
}

// --- class B

// The ping offset as a device computes it from the beacon it received.
uint32_t DevicePingOffset(uint32_t beaconTime, uint32_t devAddr) {
  uint8_t block[16] = {};
  for (int i = 0; i < 4; ++i) {
    block[i] = static_cast<uint8_t>(beaconTime >> (8 * i));
    block[4 + i] = static_cast<uint8_t>(devAddr >> (8 * i));
  }
  const uint8_t key[16] = {};
  AesContext aes;
  AesSetKey(key, sizeof key, aes);
  uint8_t out[16];
  AesEncrypt(block, out, aes);
  return (out[0] | out[1] << 8) % 4096;  // 4096 slots of 30 ms in a 128 s beacon period
}

// Server time maps to the tmst of the device's gateway through that gateway's newest counter
// reading, whatever other gateways read since; without one, the device's own last uplink through
// it serves.
TEST(ClassBDownlinkTest, TheDownlinkIsTimedOnThePingSlotAfterTheLastBeaconOnTheGatewayCounter) {
  constexpr uint64_t kOtherGateway = 0x00800000000000ffull;
  struct Case {
    const char* name;
    int64_t lastBeaconMs;  // on the beacon clock, which wraps at 10000 s
    uint64_t sinceBeaconMs;
    bool nextPeriod;  // this period's slot has passed
    bool gatewayRead;  // the device's gateway has a counter reading
  } cases[] = {
      {"early in the period", 7000, 1000, false, true},
      {"the slot has passed", 9999000, 127500, true, true},
      {"only another gateway's counter read", 7000, 1000, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    const int64_t beaconSeconds = 1325000000 + c.lastBeaconMs / 1000;
    rig.macLinks.beacon.intervalSeconds = 128;
    rig.macLinks.beacon.lastBeaconMs = [&] { return c.lastBeaconMs; };
    rig.macLinks.beacon.lastBeaconSeconds = [&] { return beaconSeconds; };
    rig.macLinks.beacon.nowMs = [&] {
      return static_cast<int64_t>((c.lastBeaconMs + c.sinceBeaconMs) % 10000000);
    };
    // Heard at tmst 7 000 000, server time 40 000 ms; the gateway's newest counter reading is just
    // below the 32-bit wrap, and another gateway read its own counter later.
    Device& device = HeardDevice(rig, Device::kClassB, 40000);
    if (c.gatewayRead) {
      rig.gateways.find(devicetest::kGatewayEui)->recordCounter(0xFFFF0000u, 49000000 + 7);
    }
    const sockaddr_in elsewhere = UdpSocket::LoopbackAddress(1);
    rig.gateways.seen(kOtherGateway, 2, &elsewhere, 0);
    rig.gateways.find(kOtherGateway)->recordCounter(0x12345678u, 49500000);
    rig.nowMs = 50000;
    rig.extraUs = 123;

    ASSERT_TRUE(device.Enqueue(Rig::Record(5)));
    const uint32_t offset =
        DevicePingOffset(static_cast<uint32_t>(beaconSeconds + (c.nextPeriod ? 128 : 0)), kDevAddr);
    const uint64_t slotMs = (c.nextPeriod ? 128000 : 0) + 2120 + 30 * offset;
    ASSERT_GT(slotMs, c.sinceBeaconMs);
    const uint64_t untilMs = slotMs - c.sinceBeaconMs;
    const uint64_t nowUs = 50000 * 1000 + 123;
    const uint64_t counterAhead = c.gatewayRead ? uint64_t{0xFFFF0000u} - (49000000 + 7)
                                                : uint64_t{7000000} - 40000 * 1000;
    const uint32_t tmst = static_cast<uint32_t>(nowUs + counterAhead + untilMs * 1000);

    const std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
    ASSERT_EQ(1u, items.size());
    EXPECT_EQ(50000 + untilMs - kLeadMs, items[0].dueMs);
    EXPECT_EQ(1, items[0].priority);
    EXPECT_EQ(2, items[0].window);
    const Json::Value txpk = rig.Serve(items[0].dueMs);
    ASSERT_TRUE(txpk.isObject());
    EXPECT_FALSE(txpk.isMember("imme"));
    EXPECT_EQ(tmst, txpk["tmst"].asUInt64());
  }
}

TEST(ClassBDownlinkTest, ARecordAnsweredInRx1BeforeItsPingSlotGivesTheSlotBack) {
  Rig rig;
  // This period's slot has passed: the next one is at least 2.6 s away, past the RX1 answer.
  const int64_t lastBeaconMs = 9999000;
  const int64_t beaconSeconds = 1325000000 + lastBeaconMs / 1000;
  rig.macLinks.beacon.intervalSeconds = 128;
  rig.macLinks.beacon.lastBeaconMs = [&] { return lastBeaconMs; };
  rig.macLinks.beacon.lastBeaconSeconds = [&] { return beaconSeconds; };
  rig.macLinks.beacon.nowMs = [&] {
    return static_cast<int64_t>((lastBeaconMs + 127500 + (rig.nowMs - 50000)) % 10000000);
  };
  Device& device = HeardDevice(rig, Device::kClassB, 40000);
  rig.nowMs = 50000;
  ASSERT_TRUE(device.Enqueue(Rig::Record(5)));
  ASSERT_EQ(1u, ItemsOf(rig, kDevAddr).size());
  const uint64_t slotDue = ItemsOf(rig, kDevAddr)[0].dueMs;

  rig.nowMs = 50100;
  rig.Answer(rig.Uplink(2, false, 9000000, rig.nowMs));
  std::vector<TransmitQueue::Item> items = ItemsOf(rig, kDevAddr);
  ASSERT_EQ(1u, items.size()) << "left in the queue, the slot's item would carry the next record "
                                 "at this uplink's RX2 time, long past by then";
  EXPECT_EQ(1, items[0].window);
  EXPECT_EQ(10000000u, rig.Serve(items[0].dueMs)["tmst"].asUInt64());
  ASSERT_EQ(0u, device.transmitController.QueueLength());

  device.answerPending = false;
  ASSERT_TRUE(device.Enqueue(Rig::Record(4)));
  items = ItemsOf(rig, kDevAddr);
  ASSERT_EQ(1u, items.size());
  EXPECT_EQ(slotDue, items[0].dueMs) << "the slot given back is free for it";
  const Json::Value txpk = rig.Serve(slotDue);
  EXPECT_NE(11000000u, txpk["tmst"].asUInt64()) << txpk;
  EXPECT_EQ(2, txpk["twnd"].asInt()) << txpk;
}

TEST(ClassBDownlinkTest, NoBeaconMeansNoClassBDownlink) {
  Rig dark;  // no beacon thread runs
  Device& waiting = HeardDevice(dark, Device::kClassB, 40000);
  ASSERT_TRUE(waiting.Enqueue(Rig::Record(5)));
  EXPECT_TRUE(dark.queue.items().empty());
  EXPECT_EQ(1u, waiting.transmitController.QueueLength());
}

}  // namespace
