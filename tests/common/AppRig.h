// The inbound application path built from real parts: a database in a temporary folder, the
// message queue and its events, and a device list played by a few in-memory devices.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Database/Lora-Database.h"
#include "FakeDevices.h"
#include "TestSupport.h"
#include "app/AppDownlink.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"

namespace testsupport {

struct AppRig {
  AppRig() : events(queue), downlinks(Links()) {}

  AppDownlinkLinks Links() {
    LoraDatabase::Options options;
    options.flashPath = dir.file("vallorin.db");
    options.runDir = dir.file("run");
    options.whitelistFile = dir.file("whitelist.jsonlines");
    database = std::make_unique<LoraDatabase>(options);
    database->InitSchema();
    AppDownlinkLinks links;
    links.events = &events;
    links.devices = &devices;
    links.database = database.get();
    links.deviceQueueSize = 4;
    return links;
  }

  // Every event posted so far, taken off the queue: "eui/event payload".
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    AppMessage message;
    while (queue.pop(message, 0))
      out.push_back(message.eui + "/" + message.event + " " + message.payload);
    return out;
  }

  std::vector<LoraDatabase::DownlinkQueueClient::Record> Rows() {
    LoraDatabase::DownlinkQueueClient client(*database);
    std::vector<LoraDatabase::DownlinkQueueClient::Record> rows;
    if (database->GetDownlinkQueue(client)) {
      while (client.Next()) rows.push_back(client.record());
    }
    return rows;
  }

  TempDir dir;
  std::unique_ptr<LoraDatabase> database;
  AppMessageQueue queue;
  AppEvents events;
  FakeDevices devices;
  AppDownlink downlinks;
};

}  // namespace testsupport
