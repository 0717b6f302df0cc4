// The downlink path under load: answers to uplinks scheduled in RX1 and handed to the gateway as
// PULL_RESP over loopback, with the database, the events and the duty cycle in the loop. One in
// ten uplinks is confirmed and owes only its ACK; the others have a record queued.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <memory>
#include <string>
#include <vector>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "TestSupport.h"
#include "app/AppMessageQueue.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "downlink/DownlinkScheduler.h"
#include "downlink/OptionControllers.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpSocket.h"
#include "lora/ChannelPlans.h"
#include "lora/Crypto.h"
#include "support/Logger.h"

namespace {

constexpr uint64_t kGateway = 0x0080000000001234ull;
constexpr uint32_t kDevices = 1000;

struct Server {
  testsupport::TempDir folder;
  Json::Value config{Json::objectValue};
  Settings settings;
  std::unique_ptr<Lora::ChannelPlan> plan;
  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue messages{64u << 20};
  NetworkStatistics statistics;
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  UdpSocket radio;
  UdpSocket downstream;
  MessageProtocol::Links protocol;
  TransmitQueue queue;
  MacLinks macLinks;
  DeviceLinks links;
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<DownlinkScheduler> scheduler;
  uint64_t nowMs = 0;

  Server() {
    ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::ERROR_LEVEL, false);
    config["lora"] = Json::objectValue;
    settings.disableDutyCycle = true;  // the budget of one gateway would stop the run
    plan = std::make_unique<Lora::ChannelPlan_EU868>(config, settings);
    LoraDatabase::Options options;
    options.flashPath = folder.file("vallorin.db");
    options.runDir = folder.file("run");
    options.whitelistFile = folder.file("whitelist.jsonlines");
    database = std::make_unique<LoraDatabase>(options);
    database->InitSchema();
    radio.open(0, false);
    downstream.open(0, false);
    const sockaddr_in address = UdpSocket::LoopbackAddress(radio.localPort());
    gateways.seen(kGateway, 2, &address, 0);
    protocol.downstream = &downstream;
    protocol.gateways = &gateways;
    protocol.statistics = &statistics;
    macLinks = MacLinks::From(*plan, config["lora"], settings);
    links.database = database.get();
    links.messages = &messages;
    links.statistics = &statistics;
    links.gateways = &gateways;
    links.settings = &settings;
    SchedulerLinks s;
    s.gateways = &gateways;
    s.queue = &queue;
    s.plan = plan.get();
    s.settings = &settings;
    s.statistics = &statistics;
    s.messages = &messages;
    s.protocol = &protocol;
    s.mac = &macLinks;
    s.clockMs = [this] { return nowMs; };
    scheduler = std::make_unique<DownlinkScheduler>(s);
    links.scheduler = scheduler.get();
    // Devices restored by the list get their links from it, the scheduler included.
    devices = std::make_unique<DeviceList>(links, [this] { return nowMs; });
    for (uint32_t i = 0; i < kDevices; ++i) {
      auto device = std::make_unique<Device>(0x26000000 + i, links, 0);
      device->devEui = Lora::EUI::FromValue(0x0080000000000000ull + i);
      devices->AddDevice(std::move(device), false);
    }
  }
  ~Server() {
    // The scheduler and the devices refer to the database: they go before it.
    scheduler.reset();
    devices.reset();
    database.reset();
  }

  Lora::ReceivedFrame Uplink(uint32_t devAddr, uint32_t counter, bool confirmed) {
    Lora::FrameBytes bytes;
    Lora::FrameWriter w(bytes);
    w.U8(Lora::MakeMhdr(confirmed ? Lora::kConfirmedUp : Lora::kUnconfirmedUp))
        .U32(devAddr)
        .U8(0)
        .U16(static_cast<uint16_t>(counter))
        .U32(0);
    Lora::ReceivedFrame frame(bytes.data, bytes.size());
    frame.gatewayEui = kGateway;
    frame.tmst = nowMs * 1000;
    frame.receptionTimeMs = nowMs;
    frame.frequency = 868100000;
    frame.spreadingFactor = 7;
    frame.snr = 75;
    frame.rssi = -60;
    return frame;
  }
};

void BM_AnswerInRx1AndHandOver(benchmark::State& state) {
  Server server;
  uint8_t bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Lora::FrameApplicationData record(bytes, sizeof bytes);
  record.port = 1;
  uint64_t answers = 0;
  uint32_t counter = 0;
  AppMessage drained;
  for (auto _ : state) {
    const uint32_t devAddr = 0x26000000 + counter % kDevices;
    const bool confirmed = counter % 10 == 0;
    server.nowMs += 1000;  // one answer per RX1 slot: no conflict hides the cost
    Lora::ReceivedFrame frame = server.Uplink(devAddr, ++counter, confirmed);
    {
      DeviceList::LockedDevice device = server.devices->FindDevice(devAddr);
      if (!confirmed) device->Enqueue(record);
      device->transmitController.ReceivedFrame(frame, false);
      server.scheduler->ScheduleResponse(*device, frame);
    }
    server.scheduler->ServeDueTransmissions(*server.devices, server.nowMs + 750);
    while (server.messages.pop(drained, 0)) {
    }
    ++answers;
  }
  state.counters["answers/s"] =
      benchmark::Counter(static_cast<double>(answers), benchmark::Counter::kIsRate);
  state.counters["sent"] =
      static_cast<double>(server.statistics.value(NetworkStatistics::Counter::tx_pkts));
}
BENCHMARK(BM_AnswerInRx1AndHandOver)->Unit(benchmark::kMicrosecond);

}  // namespace
