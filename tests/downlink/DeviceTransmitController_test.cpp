#include "downlink/DeviceTransmitController.h"

#include <gtest/gtest.h>

#include "../devices/DeviceRig.h"
#include "DownlinkRig.h"
#include "lora/Crypto.h"

namespace {

using downlinktest::kDevAddr;
using downlinktest::Rig;
using testsupport::LogCapture;

TEST(DeviceTransmitControllerTest, RefusesOversizedRecordsAndDataBeyondTheLimit) {
  devicetest::Rig rig;
  auto device = rig.MakeDevice();
  DeviceTransmitController& queue = device->transmitController;
  LogCapture log;
  EXPECT_FALSE(queue.QueueApplicationData(Rig::Record(243)));
  EXPECT_TRUE(log.contains("Cannot queue packet of 243 bytes, too long"));
  EXPECT_TRUE(queue.QueueApplicationData(Rig::Record(242)));
  for (int i = 1; i < 16; ++i) EXPECT_TRUE(device->Enqueue(Rig::Record(1)));
  EXPECT_EQ(16u, queue.QueueLength());
  EXPECT_FALSE(device->Enqueue(Rig::Record(1)));
  EXPECT_TRUE(log.contains("Application Data Queue at max capacity"));
  EXPECT_EQ(242u, queue.Front().size());
}

TEST(DeviceTransmitControllerTest, AJoinAcceptGoesFirstAndPushesOutTheNewestRecordAndItsRow) {
  Rig rig;
  rig.settings.deviceQueueSize = 2;
  const int64_t oldest = rig.QueueRow();
  const int64_t newest = rig.QueueRow();
  auto device = rig.MakeDevice();
  DeviceTransmitController& queue = device->transmitController;
  ASSERT_TRUE(queue.QueueApplicationData(Rig::Record(1, 1, static_cast<uint32_t>(oldest))));
  ASSERT_TRUE(queue.QueueApplicationData(Rig::Record(1, 1, static_cast<uint32_t>(newest))));

  Lora::FrameApplicationData accept = Rig::Record(17);
  accept.join = 1;
  EXPECT_TRUE(queue.QueueApplicationData(accept));
  EXPECT_EQ(2u, queue.QueueLength());
  EXPECT_EQ(1, queue.Front().join);
  EXPECT_EQ(std::to_string(oldest), rig.Query("SELECT id FROM downlink_queue;"));

  queue.ClearQueue();
  EXPECT_EQ(0u, queue.QueueLength());
  EXPECT_EQ("", rig.Query("SELECT id FROM downlink_queue;"));
}

// The FRMPayload of a downlink in plain text, decrypted under the given key.
std::vector<uint8_t> Plain(const Lora::Frame& phy, const Lora::CypherKey& key) {
  std::vector<uint8_t> bytes(phy.data + phy.FrmPayloadOffset(),
                             phy.data + phy.FrmPayloadOffset() + phy.FrmPayloadLength());
  EncryptPayload(bytes.data(), bytes.size(), key, kDevAddr, false, phy.FCnt(), bytes.data());
  return bytes;
}

TEST(DeviceTransmitControllerTest, AConfirmedDownlinkStaysUntilAnAckThatIsNotARepeatSettlesIt) {
  Rig rig;
  Device& device = rig.AddDevice();
  const int64_t id = rig.EnqueueConfirmed(device);

  rig.Answer(rig.Uplink(1, false, 5000000, 10000));
  ASSERT_TRUE(rig.Serve(10750).isObject());
  EXPECT_EQ(std::to_string(id), rig.Query("SELECT id FROM downlink_queue;"));
  rig.Events();

  devicetest::Uplink acking;
  acking.counter = 1;
  acking.fctrl = Lora::kFCtrlAck;
  device.transmitController.ReceivedFrame(Rig::Heard(acking, 9000000), true);
  EXPECT_EQ(1u, device.transmitController.QueueLength()) << "a repeat's ACK settles nothing";

  acking.counter = 2;
  device.transmitController.ReceivedFrame(Rig::Heard(acking, 9000000), false);
  EXPECT_EQ(0u, device.transmitController.QueueLength());
  const std::vector<std::string> events = rig.Events();
  const size_t ack = Rig::IndexOf(events, "packet_ack ");
  ASSERT_LT(ack, events.size());
  EXPECT_EQ("packet_ack {\"seqn\":0, \"id\": " + std::to_string(id) + "}", events[ack]);
  EXPECT_LT(ack, Rig::IndexOf(events, "cleared "));
  EXPECT_LT(Rig::IndexOf(events, "cleared "), events.size());
}

TEST(DeviceTransmitControllerTest, AConfirmedDownlinkOutOfAttemptsIsDroppedWithItsRow) {
  Rig rig;
  Device& device = rig.AddDevice();
  rig.EnqueueConfirmed(device, 2);
  for (uint32_t counter = 1; counter <= 2; ++counter) {
    rig.Answer(rig.Uplink(counter, false, counter * 10000000, counter * 10000));
    EXPECT_EQ(0xA0, Rig::Phy(rig.Serve(counter * 10000 + 750)).Mhdr());
  }
  EXPECT_EQ("2", rig.Query("SELECT retry_count FROM downlink_queue;")) << "kept over a restart";
  rig.Events();
  LogCapture log;
  rig.Answer(rig.Uplink(3, false, 30000000, 30000));
  rig.scheduler->ServeDueTransmissions(*rig.devices, 30750);
  EXPECT_TRUE(log.contains("|NO-ACK|Dropping downstream message, attempts exceeded"));
  EXPECT_EQ(0u, device.transmitController.QueueLength());
  EXPECT_EQ("", rig.Query("SELECT id FROM downlink_queue;"));
  EXPECT_EQ("2", rig.Query("SELECT count(*) FROM downlink_packets;")) << "nothing else owed";
  const std::vector<std::string> events = rig.Events();
  EXPECT_LT(Rig::IndexOf(events, "packet_drop {\"code\":102,"), events.size());
}

// A queued port 0 record carries the MAC answer in its payload, after its own bytes, under the
// network key; the FOpts stay empty.
TEST(DeviceTransmitControllerTest, AMacAnswerTravelsInAPortZeroPayloadUnderTheNwkSKey) {
  Rig rig;
  Device& device = rig.AddDevice();
  ASSERT_TRUE(device.Enqueue(Rig::Record(2, 0)));
  devicetest::Uplink asking;
  asking.fopts = {0x02};  // LinkCheckReq
  rig.Answer(Rig::Heard(asking, 5000000));
  const Lora::Frame phy = Rig::Phy(rig.Serve(750));
  EXPECT_EQ(0u, phy.FOptsLen());
  EXPECT_EQ(0, phy.FPort());
  const std::vector<uint8_t> plain = Plain(phy, device.nwkSKey);
  ASSERT_EQ(5u, plain.size());
  EXPECT_EQ(0xA0, plain[0]);
  EXPECT_EQ(0x02, plain[2]);
  const std::vector<std::string> events = rig.Events();
  EXPECT_LT(Rig::IndexOf(events, "mac_sent {"), events.size());
}

TEST(DeviceTransmitControllerTest, GatewaySlotsPreferTheBestHearingAndMakeRoomForAnEleventh) {
  devicetest::Rig rig;
  auto device = rig.MakeDevice();
  DeviceTransmitController& controller = device->transmitController;
  uint64_t now = 0;
  auto hear = [&](uint64_t gateway, uint32_t counter, int16_t snr) {
    devicetest::Uplink uplink;
    uplink.counter = counter;
    uplink.receptionMs = ++now;
    Lora::ReceivedFrame frame = uplink.Build();
    frame.gatewayEui = gateway;
    frame.snr = snr;
    controller.RecordReception(frame);
  };
  auto holds = [&](uint64_t gateway) {
    for (const auto& slot : controller.GatewaySlots()) {
      if (slot.eui == gateway) return true;
    }
    return false;
  };
  auto preferred = [&] { return controller.GatewaySlots()[controller.PreferredSlot()].eui; };

  for (uint64_t i = 0; i < 10; ++i) hear(0x100 + i, 1, static_cast<int16_t>(10 * i));
  EXPECT_EQ(0x109u, preferred());
  hear(0x200, 1, -100);
  EXPECT_FALSE(holds(0x200)) << "weaker than all ten that heard the same frame";
  hear(0x201, 1, 500);
  EXPECT_TRUE(holds(0x201));
  EXPECT_FALSE(holds(0x100)) << "the weakest gave way";
  EXPECT_EQ(0x201u, preferred());

  hear(0x105, 2, -50);
  EXPECT_EQ(0x105u, preferred()) << "only it heard the newest frame";
  hear(0x300, 2, -200);
  EXPECT_TRUE(holds(0x300));
  EXPECT_FALSE(holds(0x101)) << "the oldest stale record gave way";
  EXPECT_EQ(0x105u, preferred());

  // The same counter seconds later is the device sending again, not another copy.
  now += DeviceTransmitController::kSameUplinkMs;
  hear(0x300, 2, -200);
  EXPECT_EQ(0x300u, preferred()) << "0x105 heard the first transmission only";
}

// Two gateways hear one frame: its ADR entry holds the rate the weaker reception supports. A
// DevStatusAns in an uplink's options lands on the device and in its session row.
TEST(DeviceTransmitControllerTest, AnotherGatewaysCopyFeedsTheAdrHistoryAndAStatusAnswerIsKept) {
  Rig rig;
  Device& device = rig.AddDevice();
  Lora::ReceivedFrame first = rig.Uplink(1, false, 5000000, 10000);
  first.snr = 100;  // (100 + 200) / 30: DR5 at most
  device.transmitController.ReceivedFrame(first, false);
  Lora::ReceivedFrame second = first;
  second.gatewayEui = devicetest::kGatewayEui + 1;
  second.snr = -150;  // (-150 + 200) / 30 = DR1
  device.transmitController.ReceivedFrame(second, true);
  const AdrHistory& history = device.transmitController.MacCommands()->adr.history;
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history.datarate(0), 1);

  devicetest::Uplink status;
  status.counter = 2;
  status.fopts = {0x06, 0xFE, 0x05};
  device.transmitController.ReceivedFrame(Rig::Heard(status, 6000000), false);
  EXPECT_EQ(device.battery, 254);
  EXPECT_EQ(device.statusMargin, 50);
  EXPECT_EQ(rig.Query("SELECT status_battery, status_snr FROM sessions"), "254|50");
}

}  // namespace
