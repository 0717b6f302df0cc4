// Garbage as the remote join server's answer to a join request: the bounded reader, then every
// member the join procedure reads (result codes, keys, the join accept, device record fields).
// Each input runs on a thread with a packet worker's stack, where join requests are handled.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "Database/Lora-Database.h"
#include "PacketWorkers.h"
#include "ProtocolRig.h"
#include "StackThread.h"
#include "app/AppMessageQueue.h"
#include "devices/AddressRange.h"
#include "devices/DeviceList.h"
#include "devices/JoinHandler.h"
#include "lora/Crypto.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/RecentList.h"

namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

struct World : ProtocolRig {
  World() {
    char folder[] = "/tmp/join-answer-fuzz-XXXXXX";
    const std::string dir = mkdtemp(folder) != nullptr ? folder : "/tmp";
    Folder() = dir;
    std::atexit([] {
      std::error_code ignored;
      if (Folder() != "/tmp") std::filesystem::remove_all(Folder(), ignored);
    });
    LoraDatabase::Options options;
    options.flashPath = dir + "/vallorin.db";
    options.runDir = dir + "/run";
    options.whitelistFile = dir + "/whitelist.jsonlines";
    database = std::make_unique<LoraDatabase>(options);
    database->InitSchema();
    joinConfig["whitelist"]["enabled"] = false;
    joinConfig["network"]["joinServer"] = "http://join.invalid/";
    joinConfig["lora"]["netID"] = "000013";
    range.start = 1;
    range.end = 0x01FFFFFE;
    range.nwkId = 0x13;
    DeviceLinks deviceLinks;
    deviceLinks.database = database.get();
    deviceLinks.messages = &messages;
    deviceLinks.statistics = &statistics;
    deviceLinks.gateways = &gateways;
    deviceLinks.settings = &settings;
    devices = std::make_unique<DeviceList>(deviceLinks);
    JoinLinks links;
    links.devices = devices.get();
    links.database = database.get();
    links.messages = &messages;
    links.statistics = &statistics;
    links.gateways = &gateways;
    links.plan = plan.get();
    links.settings = &settings;
    links.config = &joinConfig;
    links.addressRange = &range;
    links.recentJoins = &joins;
    links.postJoinServer = [this](const std::string&, const std::string&, Json::Value& response,
                                  uint64_t) {
      std::string errors;
      if (!JsonText::Parse(answer, response, errors)) response = Json::Value();
      return true;
    };
    handler = std::make_unique<JoinHandler>(links);
  }

  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue messages;
  Json::Value joinConfig;
  AddressRangeConfig range;
  RecentList joins;
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<JoinHandler> handler;
  std::string answer;
  uint16_t nonce = 0;
};

World* TheWorld() {
  static World* world = new World;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = *TheWorld();
  world.answer.assign(reinterpret_cast<const char*>(data), size);
  // A join request no local key validates, a fresh nonce each time so none is a duplicate.
  Lora::FrameBytes bytes;
  Lora::FrameWriter w(bytes);
  w.U8(0x00).Eui(0x70b3d57ed0000001ull).Eui(0x0080000000000001ull).U16(++world.nonce);
  const uint8_t mic[4] = {1, 2, 3, 4};
  w.Bytes(mic, sizeof mic);
  Lora::ReceivedFrame frame(bytes.data, bytes.size());
  frame.gatewayEui = 0x0102030405060708ull;
  frame.rxpk = R"({"tmst":1,"lsnr":5.5,"freq":868.1,"datr":"SF7BW125"})";
  testsupport::RunOnStack(PacketWorker::kStackSize, [&] {
    try {
      world.handler->handleJoinRequest(frame);
    } catch (const Lora::ReceivedFrame::MessageRejectException&) {
    }
  });
  world.joins.trim(0);
  AppMessage message;
  while (world.messages.pop(message, 0)) {
  }
  return 0;
}
