#include "downlink/DownlinkScheduler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DownlinkRig.h"
#include "Settings.h"
#include "downlink/DeviceTransmitController.h"
#include "downlink/TransmitQueue.h"

namespace {

using downlinktest::kDevAddr;
using downlinktest::Rig;
using testsupport::LogCapture;

constexpr uint64_t kGatewayA = 0x00800000000000aaull;
constexpr uint64_t kGatewayB = 0x00800000000000bbull;

TransmitQueue::Item Item(uint32_t devAddr, uint64_t gateway, uint64_t dueMs, uint32_t durationMs,
                         uint8_t priority) {
  TransmitQueue::Item item;
  item.devAddr = devAddr;
  item.gatewayEui = gateway;
  item.dueMs = dueMs;
  item.durationMs = durationMs;
  item.priority = priority;
  return item;
}

TEST(TransmitQueueTest, AnOverlapOnOneGatewayIsWonOnlyByASmallerPriorityValue) {
  struct Case {
    const char* name;
    uint64_t gateway;
    uint64_t dueMs;
    uint32_t durationMs;
    uint8_t priority;
    bool claimed;
  } cases[] = {
      // The queue holds device 1 on gateway A over [1000, 1100] with priority 1.
      {"another gateway's radio is free", kGatewayB, 1000, 100, 1, true},
      {"ends just before", kGatewayA, 800, 199, 1, true},
      {"starts just after", kGatewayA, 1101, 50, 1, true},
      {"ends where the item starts", kGatewayA, 900, 100, 1, false},
      {"starts where the item ends", kGatewayA, 1100, 50, 1, false},
      {"inside, a greater value", kGatewayA, 1050, 10, 2, false},
      {"inside, a smaller value", kGatewayA, 1050, 10, 0, true},
      {"covering it, a smaller value", kGatewayA, 900, 300, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransmitQueue queue;
    queue.insert(Item(1, kGatewayA, 1000, 100, 1));
    EXPECT_EQ(c.claimed, queue.claim(Item(2, c.gateway, c.dueMs, c.durationMs, c.priority)));
    const std::vector<TransmitQueue::Item> items = queue.items();
    ASSERT_EQ(c.claimed ? 2u : 1u, items.size());
    const bool bumped = c.claimed && c.gateway == kGatewayA && c.priority == 0;
    for (const TransmitQueue::Item& item : items) {
      if (item.bumpedDevAddr == 0 && item.devAddr != 1) continue;
      EXPECT_EQ(bumped, item.bumped());
      if (bumped) {
        EXPECT_EQ(0u, item.durationMs);
        EXPECT_EQ(1u, item.bumpedDevAddr) << "the loser must be told";
      }
    }
  }
}

TEST(TransmitQueueTest, AClaimThatLosesOneOverlapBumpsNothing) {
  TransmitQueue queue;
  queue.insert(Item(1, kGatewayA, 1000, 100, 1));
  queue.insert(Item(2, kGatewayA, 1150, 100, 0));
  EXPECT_FALSE(queue.claim(Item(3, kGatewayA, 1050, 200, 0)));
  ASSERT_EQ(2u, queue.size());
  for (const TransmitQueue::Item& item : queue.items()) EXPECT_FALSE(item.bumped());

  // Growing a transmission already taken off the queue: priority 0 holds, anything else yields.
  EXPECT_FALSE(queue.canIncreaseDuration(kGatewayA, 1000, 200));
  EXPECT_TRUE(queue.canIncreaseDuration(kGatewayA, 900, 120));
  EXPECT_TRUE(queue.items()[0].bumped());
  EXPECT_FALSE(queue.items()[1].bumped());
  EXPECT_TRUE(queue.claim(Item(3, kGatewayA, 1000, 100, 1))) << "a bumped item holds nothing";
}

TEST(TransmitQueueTest, TheBeaconsAirTimeBumpsWhateverIsInItsWayAndCannotBeTaken) {
  TransmitQueue queue;
  queue.insert(Item(1, kGatewayA, 1000, 100, 0));
  queue.insert(Item(2, kGatewayA, 1300, 100, 0));
  queue.reserve(kGatewayA, 1050, 200);
  std::vector<TransmitQueue::Item> items = queue.items();
  ASSERT_EQ(3u, items.size());
  EXPECT_TRUE(items[0].bumped()) << "even an answer carrying data gives way";
  EXPECT_EQ(TransmitQueue::kReservedDevAddr, items[1].devAddr);
  EXPECT_FALSE(items[2].bumped());
  EXPECT_FALSE(queue.claim(Item(3, kGatewayA, 1200, 10, 0)));
  EXPECT_FALSE(queue.canIncreaseDuration(kGatewayA, 900, 200));
}

TEST(TransmitQueueTest, AnItemHandedOverHoldsItsAirTimeUntilItHasPassed) {
  TransmitQueue queue;
  queue.insert(Item(1, kGatewayA, 1000, 100, 1));
  TransmitQueue::Item out;
  ASSERT_TRUE(queue.popDue(1000, out));
  EXPECT_FALSE(queue.claim(Item(2, kGatewayA, 1050, 10, 0))) << "on its way, it cannot be bumped";
  EXPECT_FALSE(queue.popDue(1101, out));
  EXPECT_TRUE(queue.claim(Item(2, kGatewayA, 1101, 10, 0)));

  // Lengthened once handed over, it holds the longer air time, but never over a frame sent after.
  ASSERT_TRUE(queue.popDue(1101, out));
  queue.insert(Item(3, kGatewayA, 2000, 100, 1));
  ASSERT_TRUE(queue.popDue(2000, out));
  EXPECT_TRUE(queue.canIncreaseDuration(kGatewayA, 2000, 300));
  EXPECT_FALSE(queue.claim(Item(4, kGatewayA, 2250, 10, 0)));
  queue.insert(Item(5, kGatewayA, 2400, 100, 1));
  ASSERT_TRUE(queue.popDue(2400, out));
  EXPECT_FALSE(queue.canIncreaseDuration(kGatewayA, 2000, 500));

  // One that never went on air gives its time back.
  queue.release(out);
  EXPECT_TRUE(queue.claim(Item(6, kGatewayA, 2450, 10, 0)));
}

TEST(TransmitQueueTest, AnswersClaimingOneAirTimeFromManyThreadsGetItOnce) {
  TransmitQueue queue;
  std::vector<std::thread> threads;
  for (uint32_t device = 1; device <= 8; ++device) {
    threads.emplace_back([&queue, device] {
      for (uint64_t due = 0; due < 2000; due += 200)
        queue.claim(Item(device, kGatewayA, due, 150, 1));
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(10u, queue.size()) << "one winner per slot";
}

TEST(TransmitQueueTest, ItemsLeaveInDueOrderTheNewerFirstAtEqualTimes) {
  TransmitQueue queue;
  queue.insert(Item(1, kGatewayA, 2000, 10, 0));
  queue.insert(Item(2, kGatewayA, 1000, 10, 0));
  queue.insert(Item(3, kGatewayA, 1000, 10, 0));
  TransmitQueue::Item out;
  EXPECT_FALSE(queue.popDue(999, out));
  for (uint32_t devAddr : {3u, 2u, 1u}) {
    ASSERT_TRUE(queue.popDue(devAddr == 3 ? 1000 : 5000, out));
    EXPECT_EQ(devAddr, out.devAddr);
  }
  EXPECT_EQ(0u, queue.size());
}

TEST(DownlinkSchedulerTest, AConfirmedUplinkIsAcknowledgedInRx1OneSecondLaterHandedOverEarly) {
  Rig rig;
  rig.AddDevice();
  rig.nowMs = 10000;
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  ASSERT_EQ(1u, rig.queue.size());
  const TransmitQueue::Item item = rig.queue.items()[0];
  EXPECT_EQ(1, item.window);
  EXPECT_EQ(10750u, item.dueMs);
  EXPECT_EQ(1, item.priority) << "an answer without queued data yields to one with";

  rig.scheduler->ServeDueTransmissions(*rig.devices, 10749);
  EXPECT_EQ(1u, rig.queue.size());
  const Json::Value txpk = rig.Serve(10750);
  EXPECT_EQ(0u, rig.queue.size());
  const Lora::Frame phy = Rig::Phy(txpk);
  EXPECT_EQ(Lora::kFCtrlAck, phy.FCtrl());

  std::string sent;
  for (const std::string& event : rig.Events()) {
    if (event.rfind("packet_sent ", 0) == 0) sent = event.substr(12);
  }
  Json::Value record;
  Json::CharReaderBuilder strict;
  strict["rejectDupKeys"] = true;  // applications' parsers differ on which duplicate wins
  std::unique_ptr<Json::CharReader> reader(strict.newCharReader());
  ASSERT_TRUE(reader->parse(sent.data(), sent.data() + sent.size(), &record, nullptr)) << sent;
  EXPECT_EQ(6000000u, record["tmst"].asUInt64()) << "the txpk members come first";
  EXPECT_EQ(1u, record["seqn"].asUInt());
  EXPECT_EQ(0, record["port"].asInt());
  EXPECT_EQ(BytesToHex(phy.data, 8, true, 0), record["mhdr"].asString());
  EXPECT_EQ(8u, record["mic"].asString().size());
  EXPECT_EQ("", record["opts"].asString());
}

// A confirmed uplink sent again, heard this time only by a gateway whose windows are taken: the
// gateway that heard it best the first time knows nothing of this transmission's timing.
TEST(DownlinkSchedulerTest, AnUplinkSentAgainIsAnsweredOnlyThroughTheGatewaysThatHeardItThisTime) {
  Rig rig;
  Device& device = rig.AddDevice();
  const sockaddr_in elsewhere = UdpSocket::LoopbackAddress(1);
  rig.gateways.seen(kGatewayA, 2, &elsewhere, 0);
  Lora::ReceivedFrame first = rig.Uplink(1, true, 3000000, 10000);
  first.gatewayEui = kGatewayA;
  first.snr = 100;
  device.transmitController.ReceivedFrame(first, false);
  rig.nowMs = 14000;
  rig.queue.insert(Item(0x01020304, devicetest::kGatewayEui, 14700, 3000, 0));
  rig.Answer(rig.Uplink(1, true, 5000000, 14000));
  for (const TransmitQueue::Item& item : rig.queue.items()) {
    EXPECT_NE(kGatewayA, item.gatewayEui) << "timed from the first transmission, 4 s late";
  }
}

// The device sent again before the answer to its last uplink went out: it listens after the new
// one only, and the old answer's item, timed by the new reception, would go on air where nothing
// was booked.
TEST(DownlinkSchedulerTest, AnAnswerToAnUplinkTheDeviceHasFollowedWithAnotherIsNotSent) {
  Rig rig;
  Device& device = rig.AddDevice();
  ASSERT_TRUE(device.Enqueue(Rig::Record(5)));
  rig.nowMs = 10000;
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  ASSERT_EQ(1u, rig.queue.size());
  rig.nowMs = 10500;
  rig.queue.insert(Item(0x01020304, devicetest::kGatewayEui, 11200, 3000, 0));
  rig.Answer(rig.Uplink(2, true, 5500000, 10500));
  EXPECT_TRUE(rig.Serve(10750).isNull());
  EXPECT_EQ(1u, device.transmitController.QueueLength()) << "the record waits for the next uplink";
}

// The beacon goes on air as its thread sends it, an answer a lead time after its hand-over.
TEST(DownlinkSchedulerTest, AnAnswerOnAirWithTheBeaconMovesToRx2) {
  Rig rig;
  rig.AddDevice();
  rig.nowMs = 10000;
  // RX1 of the uplink received at 10000 is on air from 11000; the beacon starts 20 ms into it.
  rig.scheduler->ReserveAirtime(devicetest::kGatewayEui, 11020, 200);
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  const std::vector<TransmitQueue::Item> items = rig.queue.items();  // in due order
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(kDevAddr, items[1].devAddr);
  EXPECT_EQ(2, items[1].window);
}

// RX2 without RX1 is the downlink end-to-end test's; here the hand-over times decide.
TEST(DownlinkSchedulerTest, Rx2TakesOverWhenRx1IsAlreadyLateAndNothingIsEverLate) {
  Rig rig;
  rig.AddDevice();
  rig.nowMs = 10750;  // RX1's hand-over has passed
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  ASSERT_EQ(1u, rig.queue.size());
  const TransmitQueue::Item item = rig.queue.items()[0];
  EXPECT_EQ(2, item.window);
  EXPECT_EQ(11750u, item.dueMs);
  const Json::Value txpk = rig.Serve(item.dueMs);
  EXPECT_EQ(7000000u, txpk["tmst"].asUInt64());

  rig.nowMs = 21750;  // and, for the next uplink, RX2's
  LogCapture log;
  rig.Answer(rig.Uplink(2, true, 15000000, 20000));
  EXPECT_EQ(0u, rig.queue.size());
  EXPECT_TRUE(log.contains("|PKT-DROP|Rx1 and Rx2 could not be scheduled"));
  const std::vector<std::string> events = rig.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ("packet_drop {\"code\":101,\"message\":\"Downlink ACK could not be scheduled\"}",
            events.back());
}

TEST(DownlinkSchedulerTest, AHandOverALeadTimeLateIsDroppedAndSpendsNoCounter) {
  Rig rig;
  Device& device = rig.AddDevice();
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  LogCapture log;
  rig.scheduler->ServeDueTransmissions(*rig.devices, 11000);  // due at 10750
  EXPECT_TRUE(log.contains("|PKT-DROP|Transmit opportunity missed by 250 ms"));
  EXPECT_EQ(0u, rig.queue.size());
  EXPECT_EQ(0u, rig.statistics.value(NetworkStatistics::Counter::tx_pkts));
  EXPECT_EQ(0u, device.nextDownCounter);
}

TEST(DownlinkSchedulerTest, AJoinAcceptBookedByTheJoinProcedureIgnoresTheRequestsOtherBytes) {
  Rig rig;
  Device& device = rig.AddDevice();
  Lora::FrameApplicationData accept = Rig::Record(17);
  accept.join = 1;
  ASSERT_TRUE(device.Enqueue(accept));
  // Read as a data frame, byte 5 of this request would ask for an ACK, an ADR answer and
  // fifteen bytes of options.
  uint8_t bytes[Lora::kJoinRequestLength] = {0x00, 1, 2, 3, 4, 0xFF, 6, 7, 8, 9, 10, 11};
  Lora::ReceivedFrame request = rig.Uplink(1, false, 5000000, 10000);
  static_cast<Lora::FrameBytes&>(request) = Lora::FrameBytes(bytes, sizeof bytes);
  {
    DeviceList::LockedDevice locked = rig.devices->FindDevice(kDevAddr);
    locked->transmitController.ReceivedFrame(request, false);
    EXPECT_TRUE(rig.scheduler->BookJoinWindow(*locked, request, 1, 14750, 10000000, 60));
  }
  const Json::Value txpk = rig.Serve(14750);
  EXPECT_EQ(10000000u, txpk["tmst"].asUInt64());
  EXPECT_EQ(0x20, Rig::Phy(txpk).data[0]);
  for (const std::string& event : rig.Events()) {
    EXPECT_NE(0u, event.rfind("mac_recv", 0)) << event;
    EXPECT_NE(0u, event.rfind("packet_ack", 0)) << event;
  }
  EXPECT_FALSE(device.transmitController.HasDataToTransmit()) << "nothing owed after the accept";
}

TEST(DownlinkSchedulerTest, FrameSizeChoosesTheWindowAndARecordTooLargeForBothIsDropped) {
  // An SF12 uplink: RX1 at DR0 carries frames of up to 64 bytes, that is 51 bytes of payload.
  struct Case {
    const char* name;
    int rx2Datarate;
    size_t size;
    uint8_t rxWindow;  // what the record asks for
    int window;        // 0: dropped, -1: kept back
  } cases[] = {
      {"fits rx1", 5, 51, 0, 1},
      {"only rx2", 5, 52, 0, 2},
      {"neither", 0, 52, 0, 0},
      {"neither, bound to rx1", 0, 52, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value lora(Json::objectValue);
    lora["rx2Datarate"] = c.rx2Datarate;
    Rig rig(lora);
    const int64_t id = rig.QueueRow();
    Device& device = rig.AddDevice();
    Lora::FrameApplicationData record = Rig::Record(c.size, 1, static_cast<uint32_t>(id));
    record.rxWindow = c.rxWindow;
    ASSERT_TRUE(device.Enqueue(record));
    LogCapture log;
    rig.Answer(rig.Uplink(1, true, 5000000, 10000, kDevAddr, 12));
    ASSERT_EQ(1u, rig.queue.size());
    const TransmitQueue::Item item = rig.queue.items()[0];
    if (c.window > 0) {
      EXPECT_EQ(c.window, item.window);
      EXPECT_EQ(0, item.priority);
      continue;
    }
    if (c.window < 0) {
      EXPECT_EQ(1u, device.transmitController.QueueLength());
      EXPECT_EQ(1, item.window) << "the acknowledgement still goes";
      continue;
    }
    EXPECT_TRUE(
        log.contains("|SCHED-FAIL|Plan restricts downlink on RX1 DR0 of size 65, max is 64"));
    EXPECT_TRUE(
        log.contains("|SCHED-FAIL|Plan restricts downlink on RX2 DR0 of size 65, max is 64"));
    EXPECT_EQ(0u, device.transmitController.QueueLength());
    EXPECT_EQ("", rig.Query("SELECT id FROM downlink_queue;"));
    const std::vector<std::string> events = rig.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(0u, events.back().rfind("down_dropped {", 0));
    // The acknowledgement the record held up still goes, alone.
    EXPECT_EQ(1, item.window);
    EXPECT_EQ(1, item.priority);
  }
}

TEST(DownlinkSchedulerTest, TwoDevicesOnOneGatewayAtOnceTheSecondWinsOnlyWithALowerPriorityValue) {
  Rig rig;
  constexpr uint32_t kOther = 0x26011bd5;
  rig.AddDevice();
  Device& other = rig.AddDevice(kOther);
  other.devEui = Lora::EUI("00-80-00-00-00-00-e1-9d");

  // Both only owe an acknowledgement: the second finds RX1 taken and answers in RX2.
  rig.Answer(rig.Uplink(1, true, 5000000, 10000));
  rig.Answer(rig.Uplink(1, true, 5000400, 10000, kOther));
  std::vector<TransmitQueue::Item> items = rig.queue.items();
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ(kDevAddr, items[0].devAddr);
  EXPECT_EQ(1, items[0].window);
  EXPECT_EQ(kOther, items[1].devAddr);
  EXPECT_EQ(2, items[1].window);

  // With data queued the third answer outranks the first: RX1 is its, the first is bumped.
  {
    DeviceList::LockedDevice locked = rig.devices->FindDevice(kOther);
    ASSERT_TRUE(locked->Enqueue(Rig::Record(4)));
  }
  rig.Answer(rig.Uplink(2, true, 5000400, 10000, kOther));
  items = rig.queue.items();
  ASSERT_EQ(3u, items.size());
  size_t winners = 0;
  for (const TransmitQueue::Item& item : items) {
    if (item.bumped()) {
      EXPECT_EQ(kDevAddr, item.bumpedDevAddr);
    }
    if (item.devAddr == kOther && item.window == 1) ++winners;
  }
  EXPECT_EQ(1u, winners);

  LogCapture log;
  const Json::Value txpk = rig.Serve(10750);
  EXPECT_TRUE(log.contains("Opportunity invalid"));
  EXPECT_EQ("00-80-00-00-00-00-e1-9d", txpk["deveui"].asString());
}

TEST(DownlinkSchedulerTest, RepeatedDownlinksStopWhenTheBandIsSpentAndResumeAsItRefills) {
  Rig rig;
  rig.settings.disableRxWindow2 = true;
  Device& device = rig.AddDevice();
  std::shared_ptr<Gateway> gateway = rig.gateways.find(devicetest::kGatewayEui);
  const uint32_t reserved = rig.scheduler->AirtimeMs(5, DownlinkScheduler::kFrameOverhead);
  {
    // 868.1 MHz lies in the 1 % band: leave exactly what one answer reserves.
    MutexLock lock(gateway->dutyCycleMutex());
    gateway->use(1, gateway->available(1) - reserved);
  }
  uint64_t now = 10000;
  uint32_t counter = 1;
  auto answer = [&] {
    rig.nowMs = now;
    rig.Answer(rig.Uplink(counter++, true, now * 1000, now));
    const bool scheduled = rig.queue.size() == 1;
    rig.scheduler->ServeDueTransmissions(*rig.devices, now + 750);
    now += 10000;
    return scheduled;
  };

  LogCapture log;
  // Scheduling takes a budget equal to the air time; sending needs more than that.
  EXPECT_TRUE(answer());
  EXPECT_TRUE(
      log.contains("|DUTY-CYCLE|Message could not be transmitted, duty-cycle limit reached"));
  EXPECT_EQ(0u, device.nextDownCounter) << "a refused frame spends no counter";

  gateway->refill(1000);  // 10 ms more
  EXPECT_TRUE(answer());
  const Json::Value first = rig.ReceiveTxpk();
  ASSERT_TRUE(first.isObject());
  EXPECT_EQ(0u, Rig::Phy(first).FCnt());

  log.clear();
  EXPECT_FALSE(answer());
  EXPECT_TRUE(log.contains("Duty cycle limit met - Band: 1"));
  EXPECT_TRUE(log.contains("|PKT-DROP|Rx1 and Rx2 could not be scheduled"));

  gateway->refill(101000);  // a further 100 s: 1 s of air time
  EXPECT_TRUE(answer());
  const Json::Value second = rig.ReceiveTxpk();
  ASSERT_TRUE(second.isObject());
  EXPECT_EQ(1u, Rig::Phy(second).FCnt());
}

}  // namespace
