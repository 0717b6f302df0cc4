// Garbage into the inbound application path, as the UDP application down port hands it over:
// topic parsing, the bounded JSON reader, the downlink checks, the database row and the events.
// Nothing may escape HandleInbound, and each input runs on a thread with the application data
// thread's stack, so deep recursion shows as the crash it would be.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Database/Lora-Database.h"
#include "FakeDevices.h"
#include "StackThread.h"
#include "app/AppDataReceiver.h"
#include "app/AppDownlink.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "support/Logger.h"

namespace {

std::string& Folder() {
  static std::string folder;
  return folder;
}

struct World {
  World() {
    char folder[] = "/tmp/app-down-fuzz-XXXXXX";
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
    devices.Add("00-80-00-00-00-00-e1-9c");
    AppDownlinkLinks links;
    links.events = &events;
    links.devices = &devices;
    links.database = database.get();
    links.deviceQueueSize = 16;
    downlinks = std::make_unique<AppDownlink>(links);
    receiver = std::make_unique<AppDataReceiver>(AppDataReceiverLinks{downlinks.get(), 0});
  }

  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue queue;
  AppEvents events{queue};
  testsupport::FakeDevices devices;
  std::unique_ptr<AppDownlink> downlinks;
  std::unique_ptr<AppDataReceiver> receiver;
};

World* TheWorld() {
  static World* world = new World;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  TheWorld();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > AppDataReceiver::kMaxDatagram) return 0;
  World& world = *TheWorld();
  testsupport::RunOnStack(AppDataReceiver::kStackSize,
                          [&] { world.receiver->HandleDatagram(data, size); });
  AppMessage message;
  while (world.queue.pop(message, 0)) {
  }
  return 0;
}
