// The downlink path with real collaborators: the device rig's database, queue and registry, the
// EU868 plan, a transmit queue, a device list, and two loopback sockets, one playing the server's
// downstream port and one the gateway's radio that receives the PULL_RESP datagrams. The transmit
// clock is a number the test moves.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "../devices/DeviceRig.h"
#include "devices/DeviceList.h"
#include "downlink/DownlinkScheduler.h"
#include "downlink/OptionControllers.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlans.h"

namespace downlinktest {

constexpr uint32_t kDevAddr = 0x26011bd4;

class Rig : public devicetest::Rig {
 public:
  explicit Rig(const Json::Value& lora = Json::Value(Json::objectValue)) {
    config["lora"] = lora;
    plan = std::make_unique<Lora::ChannelPlan_EU868>(config, settings);
    radio.open(0, false);
    downstream.open(0, false);
    // The device rig's gateway, now heard from the radio socket.
    const sockaddr_in address = UdpSocket::LoopbackAddress(radio.localPort());
    gateways.seen(devicetest::kGatewayEui, 2, &address, 0);
    protocol.downstream = &downstream;
    protocol.gateways = &gateways;
    protocol.statistics = &statistics;
    SchedulerLinks s;
    s.gateways = &gateways;
    s.queue = &queue;
    s.plan = plan.get();
    s.settings = &settings;
    s.statistics = &statistics;
    s.messages = &messages;
    s.protocol = &protocol;
    s.clockMs = [this] { return nowMs; };
    s.clockUs = [this] { return nowMs * 1000 + extraUs; };
    s.retryJitterMs = [this] { return jitterMs; };
    macLinks = MacLinks::From(*plan, config["lora"], settings);
    s.mac = &macLinks;
    scheduler = std::make_unique<DownlinkScheduler>(s);
    links.scheduler = scheduler.get();
    // Devices restored by the list get their links from it, the scheduler included.
    devices = std::make_unique<DeviceList>(links, [this] { return nowMs; });
  }

  Device& AddDevice(uint32_t devAddr = kDevAddr) {
    std::unique_ptr<Device> device = MakeDevice(devAddr);
    Device* held = device.get();
    devices->AddDevice(std::move(device), false);
    return *held;
  }

  // An uplink heard at gateway time tmst and server time receptionMs, at SF7 on 868.1 MHz.
  Lora::ReceivedFrame Uplink(uint32_t counter, bool confirmed, uint64_t tmst, uint64_t receptionMs,
                             uint32_t devAddr = kDevAddr, uint32_t spreadingFactor = 7) {
    devicetest::Uplink uplink;
    uplink.devAddr = devAddr;
    uplink.counter = counter;
    uplink.confirmed = confirmed;
    uplink.receptionMs = receptionMs;
    return Heard(uplink, tmst, spreadingFactor);
  }
  static Lora::ReceivedFrame Heard(const devicetest::Uplink& uplink, uint64_t tmst,
                                   uint32_t spreadingFactor = 7) {
    Lora::ReceivedFrame frame = uplink.Build();
    frame.tmst = tmst;
    frame.frequency = 868100000;
    frame.spreadingFactor = spreadingFactor;
    frame.bandwidthKHz = 125;
    frame.codingRateNum = 4;
    frame.codingRateDen = 5;
    return frame;
  }

  // What uplink processing does for an accepted uplink, under the device's lock.
  void Answer(const Lora::ReceivedFrame& frame) {
    DeviceList::LockedDevice device = devices->FindDevice(frame.DevAddr());
    device->transmitController.ReceivedFrame(frame, false);
    scheduler->ScheduleResponse(*device, frame);
  }

  // Hands every due transmission over, then reads the PULL_RESP that reached the gateway.
  Json::Value Serve(uint64_t nowMs) {
    scheduler->ServeDueTransmissions(*devices, nowMs);
    return ReceiveTxpk();
  }

  // The "txpk" of the next PULL_RESP the gateway receives; null after two quiet seconds.
  Json::Value ReceiveTxpk() {
    uint8_t buffer[2048];
    for (int attempt = 0; attempt < 20; ++attempt) {
      sockaddr_in peer{};
      const ssize_t n = radio.receive(peer, buffer, sizeof buffer);
      if (n < 4 || buffer[3] != MessageProtocol::kPullResp) continue;
      const Json::Value root = testsupport::ParseJson(
          std::string(reinterpret_cast<const char*>(buffer + 4), static_cast<size_t>(n) - 4));
      if (root.isObject()) return root["txpk"];
    }
    return Json::Value();
  }

  static Lora::Frame Phy(const Json::Value& txpk) {
    uint8_t bytes[256];
    const uint16_t n = Base64Decode(txpk["data"].asCString(), bytes, sizeof bytes);
    return Lora::Frame(bytes, n);
  }

  static Lora::FrameApplicationData Record(size_t size, uint8_t port = 1, uint32_t id = 0) {
    uint8_t bytes[255];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    Lora::FrameApplicationData record(bytes, size);
    record.port = port;
    record.id = id;
    return record;
  }

  // A row in the downlink queue table, as an application's message would leave it.
  int64_t QueueRow() {
    Json::Value m;
    m["deveui"] = devicetest::kDevEui;
    m["data"] = "AQ==";
    m["data_size"] = 1;
    return database->QueueDownlink(m);
  }

  // A confirmed record of three bytes on port 1 with its row, queued on the device; the row's id.
  int64_t EnqueueConfirmed(Device& device,
                           uint8_t attempts = Lora::FrameApplicationData::kDefaultAttempts) {
    const int64_t id = QueueRow();
    Lora::FrameApplicationData record = Record(3, 1, static_cast<uint32_t>(id));
    record.ack = 1;
    record.attempts = attempts;
    EXPECT_TRUE(device.Enqueue(record));
    return id;
  }

  // The index of the first event starting with prefix; events.size() when there is none.
  static size_t IndexOf(const std::vector<std::string>& events, const std::string& prefix) {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].rfind(prefix, 0) == 0) return i;
    }
    return events.size();
  }

  uint64_t nowMs = 0;
  uint64_t extraUs = 0;  // the us clock's part below nowMs
  int32_t jitterMs = 0;  // every class C retry's spread
  Json::Value config{Json::objectValue};
  std::unique_ptr<Lora::ChannelPlan> plan;
  UdpSocket radio;
  UdpSocket downstream;
  MessageProtocol::Links protocol;
  TransmitQueue queue;
  MacLinks macLinks;
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<DownlinkScheduler> scheduler;
};

}  // namespace downlinktest
