// A device's real collaborators for unit tests: a database file in a temporary folder, the
// application message queue, network statistics, a gateway registry with one gateway, and a
// clock the test moves by hand. Plus a builder of authentic data uplinks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../Database/QueryFile.h"
#include "Database/Lora-Database.h"
#include "Settings.h"
#include "TestSupport.h"
#include "app/AppMessageQueue.h"
#include "devices/Device.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "lora/Crypto.h"
#include "lora/Frame.h"

namespace devicetest {

constexpr uint64_t kGatewayEui = 0x0080000000001234ull;
const char* const kDevEui = "00-80-00-00-00-00-e1-9c";
const char* const kAppEui = "70-b3-d5-7e-d0-00-00-01";

inline Lora::CypherKey Key(uint8_t fill) {
  uint8_t bytes[16];
  for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(fill + i);
  return Lora::CypherKey(bytes);
}

// A data uplink with its MIC computed for the full counter; the frame carries its low 16 bits.
struct Uplink {
  uint32_t devAddr = 0x26011bd4;
  uint32_t counter = 1;
  bool confirmed = false;
  uint8_t fctrl = 0;
  std::vector<uint8_t> fopts;
  int port = -1;  // -1: no FPort
  std::vector<uint8_t> payload;
  Lora::CypherKey nwkSKey = Key(0x10);
  uint64_t receptionMs = 0;

  Lora::ReceivedFrame Build() const {
    Lora::FrameBytes bytes;
    Lora::FrameWriter w(bytes);
    w.U8(Lora::MakeMhdr(confirmed ? Lora::kConfirmedUp : Lora::kUnconfirmedUp))
        .U32(devAddr)
        .U8(static_cast<uint8_t>(fctrl | fopts.size()))
        .U16(static_cast<uint16_t>(counter))
        .Bytes(fopts.data(), fopts.size());
    if (port >= 0) w.U8(static_cast<uint8_t>(port)).Bytes(payload.data(), payload.size());
    MicBytes mic = ComputeDataMic(bytes.data, bytes.size(), nwkSKey, devAddr, true, counter);
    w.Bytes(mic.data(), mic.size());
    Lora::ReceivedFrame frame(bytes.data, bytes.size());
    frame.gatewayEui = kGatewayEui;
    frame.receptionTimeMs = receptionMs;
    frame.rssi = -60;
    frame.snr = 75;
    return frame;
  }
};

class Rig {
 public:
  Rig() {
    LoraDatabase::Options options;
    options.flashPath = dir.file("vallorin.db");
    options.runDir = dir.file("run");
    options.whitelistFile = dir.file("whitelist.jsonlines");
    {
      testsupport::LogCapture quiet(10);  // the schema creation's lines say nothing here
      database = std::make_unique<LoraDatabase>(options);
      database->InitSchema();
    }
    const sockaddr_in sender = UdpSocket::LoopbackAddress(1782);
    gateways.seen(kGatewayEui, 2, &sender, 0);
    links.database = database.get();
    links.messages = &messages;
    links.statistics = &statistics;
    links.gateways = &gateways;
    links.settings = &settings;
  }

  // A device as a join would leave it, at devAddr with the rig's keys and EUIs.
  std::unique_ptr<Device> MakeDevice(uint32_t devAddr = 0x26011bd4, uint64_t createdMs = 0) {
    auto device = std::make_unique<Device>(devAddr, links, createdMs);
    device->lastUplinkMs = createdMs;
    device->devEui = Lora::EUI(kDevEui);
    device->appEui = Lora::EUI(kAppEui);
    device->joinEui = Lora::EUI(kAppEui);
    device->nwkSKey = Key(0x10);
    device->appSKey = Key(0x20);
    return device;
  }

  // SQL on the run-time copy through a connection of the test's own: rows as "a|b" joined by ";".
  std::string Query(const std::string& sql) {
    return dbtest::QueryFile(dir.file("run/vallorin.db"), sql);
  }

  // The events posted so far as "event payload" lines, draining the queue.
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    AppMessage message;
    while (messages.pop(message, 0)) out.push_back(message.event + " " + message.payload);
    return out;
  }

  uint32_t GatewayMicFails() const {
    return gateways.find(kGatewayEui)->counter(Gateway::Counter::mic_fails);
  }

  testsupport::TempDir dir;
  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue messages;
  NetworkStatistics statistics;
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  Settings settings;
  DeviceLinks links;
};

}  // namespace devicetest
