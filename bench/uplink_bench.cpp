// The whole uplink path with a full device list: PUSH_DATA datagram → classification → device
// lookup among 10 000 sessions → counter and MIC check → decryption → uplink row and counter in
// the database → the "up" events published to a real mosquitto broker by the publishing thread.
// Reports uplinks per second (wall clock, until the broker has acknowledged every message) and
// the process CPU time per uplink, all threads included.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Database/Lora-Database.h"
#include "MosquittoBroker.h"
#include "ProtocolRig.h"
#include "TestSupport.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "app/AppPublisher.h"
#include "app/Mosquitto.h"
#include "devices/DeviceList.h"
#include "devices/UplinkHandler.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "lora/Frame.h"
#include "support/Logger.h"

namespace {

constexpr uint64_t kGatewayEui = 0x0102030405060708ull;
constexpr uint32_t kDevices = 10000;
constexpr uint32_t kFirstAddress = 0x26000001;

Lora::CypherKey Key(uint8_t fill) {
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(fill + i);
  return Lora::CypherKey(bytes);
}

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// A 20-byte application payload from the device at `index`, counter `fcnt`, as a gateway
// forwards it.
std::vector<uint8_t> Datagram(uint32_t index, uint16_t fcnt) {
  const uint32_t devAddr = kFirstAddress + index;
  Lora::FrameBytes bytes;
  Lora::FrameWriter w(bytes);
  uint8_t payload[20];
  for (size_t i = 0; i < sizeof payload; ++i) payload[i] = static_cast<uint8_t>(i + index);
  uint8_t encrypted[20];
  EncryptPayload(payload, sizeof payload, Key(0x20), devAddr, true, fcnt, encrypted);
  w.U8(Lora::MakeMhdr(Lora::kUnconfirmedUp)).U32(devAddr).U8(0).U16(fcnt).U8(10).Bytes(
      encrypted, sizeof encrypted);
  MicBytes mic = ComputeDataMic(bytes.data, bytes.size(), Key(0x10), devAddr, true, fcnt);
  w.Bytes(mic.data(), mic.size());
  char data[Base64EncodedCapacity(255)];
  Base64Encode(bytes.data, bytes.size(), data, true);
  const std::string json =
      "{\"rxpk\":[{\"time\":\"2026-12-05T01:02:03.456789Z\",\"tmst\":3512348611,\"chan\":2,"
      "\"rfch\":0,\"freq\":868.100000,\"stat\":1,\"modu\":\"LORA\",\"datr\":\"SF7BW125\","
      "\"codr\":\"4/5\",\"lsnr\":7.8,\"rssi\":-42,\"size\":" +
      std::to_string(bytes.size()) + ",\"data\":\"" + data + "\"}]}";
  const uint8_t header[] = {2, 0x12, 0x34, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> datagram(sizeof header + json.size());
  std::memcpy(datagram.data(), header, sizeof header);
  std::memcpy(datagram.data() + sizeof header, json.data(), json.size());
  return datagram;
}

struct World : ProtocolRig {
  testsupport::TempDir dir;
  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue messages{64u << 20};
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<UplinkHandler> handler;
  testsupport::MosquittoBroker broker;
  std::unique_ptr<Mosquitto> mqtt;
  std::unique_ptr<AppPublisher> publisher;

  World() {
    ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::ERROR_LEVEL, false);
    LoraDatabase::Options options;
    options.flashPath = dir.file("vallorin.db");
    options.runDir = dir.file("run");
    options.whitelistFile = dir.file("whitelist.jsonlines");
    database = std::make_unique<LoraDatabase>(options);
    database->InitSchema();
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    gateways.seen(kGatewayEui, 2, &sender, 0);

    DeviceLinks deviceLinks;
    deviceLinks.database = database.get();
    deviceLinks.messages = &messages;
    deviceLinks.statistics = &statistics;
    deviceLinks.gateways = &gateways;
    deviceLinks.settings = &settings;
    devices = std::make_unique<DeviceList>(deviceLinks);
    for (uint32_t i = 0; i < kDevices; ++i) {
      auto device = devices->MakeDevice(kFirstAddress + i);
      device->devEui = Lora::EUI::FromValue(0x0080000000000000ull + i);
      device->appEui = Lora::EUI::FromValue(0x70b3d57ed0000001ull);
      device->joinEui = device->appEui;
      device->nwkSKey = Key(0x10);
      device->appSKey = Key(0x20);
      devices->AddDevice(std::move(device), false);
    }
    UplinkLinks uplinkLinks;
    uplinkLinks.devices = devices.get();
    uplinkLinks.gateways = &gateways;
    uplinkLinks.database = database.get();
    uplinkLinks.messages = &messages;
    uplinkLinks.statistics = &statistics;
    uplinkLinks.plan = plan.get();
    uplinkLinks.settings = &settings;
    handler = std::make_unique<UplinkHandler>(uplinkLinks);
    links.routes.dispatchUplink = [this](Lora::ReceivedFrame& frame) { handler->DispatchUplink(frame); };

    MqttOptions mqttOptions;
    mqttOptions.clientId = "bench";
    mqttOptions.port = broker.port();
    mqtt = std::make_unique<Mosquitto>(mqttOptions, [](const std::string&, const std::string&) {});
    mqtt->WaitConnected(10000);
    AppPublisherLinks publisherLinks;
    publisherLinks.messages = &messages;
    publisherLinks.mqtt = mqtt.get();
    publisherLinks.appPortUp = 9;  // discard
    publisher = std::make_unique<AppPublisher>(publisherLinks);
    publisher->Start();
  }
};

void BM_UplinkToBroker(benchmark::State& state) {
  static World* world = new World;  // 10 000 sessions are built once for all runs
  static uint16_t round = 0;
  const uint32_t count = static_cast<uint32_t>(state.range(0));
  std::vector<std::vector<uint8_t>> datagrams;
  datagrams.reserve(count);
  for (auto _ : state) {
    state.PauseTiming();
    datagrams.clear();
    ++round;
    for (uint32_t i = 0; i < count; ++i) datagrams.push_back(Datagram(i % kDevices, round));
    const double cpuBefore = ProcessCpuSeconds();
    state.ResumeTiming();
    for (const auto& datagram : datagrams) {
      sockaddr_in sender{};
      MessageProtocol::HandleDatagram(world->links, datagram.data(),
                                      datagram.data() + datagram.size(), sender);
    }
    // Done when the publishing thread has handed everything to the broker.
    while (world->messages.size() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.PauseTiming();
    state.counters["cpu_us_per_uplink"] =
        benchmark::Counter((ProcessCpuSeconds() - cpuBefore) * 1e6 / count);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_UplinkToBroker)->Arg(5000)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// What 10 000 sessions cost in heap: just restored, and once each device has sent an uplink
// (its gateway slot, signal statistics and uplink row filled in).
void BM_HeapPerDevice(benchmark::State& state) {
  for (auto _ : state) {
    const size_t before = mallinfo2().uordblks;
    World* world = new World;
    const size_t restored = mallinfo2().uordblks;
    for (uint32_t i = 0; i < kDevices; ++i) {
      const std::vector<uint8_t> datagram = Datagram(i, 1);
      sockaddr_in sender{};
      MessageProtocol::HandleDatagram(world->links, datagram.data(),
                                      datagram.data() + datagram.size(), sender);
    }
    while (world->messages.size() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const size_t heard = mallinfo2().uordblks;
    state.counters["bytes_per_device_restored"] =
        static_cast<double>(restored - before) / kDevices;
    state.counters["bytes_per_device_after_uplink"] = static_cast<double>(heard - before) / kDevices;
    delete world;
  }
}
BENCHMARK(BM_HeapPerDevice)->Iterations(1)->Unit(benchmark::kMillisecond);

// The "up" payload every uplink is published with: the gateway's rxpk copied, the frame's fields
// added.
void BM_UplinkJson(benchmark::State& state) {
  const uint8_t header[8] = {0x40, 0x01, 0x00, 0x00, 0x26, 0x80, 0x2a, 0x00};
  const uint8_t payload[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  UplinkRecord uplink;
  uplink.rxpk =
      R"({"tmst":3512348611,"chan":2,"rfch":0,"freq":868.500000,"stat":1,"modu":"LORA",)"
      R"("datr":"SF7BW125","codr":"4/5","lsnr":9.5,"rssi":-57,"size":25,)"
      R"("data":"QAEAACaAKgABAgMEBQYHCAkKCwwaKzxN","time":"2026-12-08T23:32:59.814436Z"})";
  uplink.fcnt = 42;
  uplink.header = header;
  uplink.payload = payload;
  uplink.payloadLength = sizeof payload;
  uplink.appEui = "00-80-00-00-00-00-00-01";
  uplink.devEui = "00-80-00-00-00-b1-16-2a";
  uplink.gatewayEui = kGatewayEui;
  uplink.seqn = 42;
  for (auto _ : state) benchmark::DoNotOptimize(AppEvents::UplinkJson(uplink));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UplinkJson);

}  // namespace
