// The inbound application path built from real parts: a database in a temporary folder, the
// message queue and its events, and a device list played by a few in-memory devices.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Database/Lora-Database.h"
#include "TestSupport.h"
#include "app/AppDownlink.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"

namespace testsupport {

class FakeDevices : public DownlinkSink {
 public:
  struct Device {
    std::vector<Lora::FrameApplicationData> queue;
    bool refuse = false;  // the transmit controller says no
    int clears = 0;
  };

  Device& Add(const std::string& euiText) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_[Lora::EUI(euiText).value()];
  }
  Device& At(const std::string& euiText) {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.at(Lora::EUI(euiText).value());
  }

  std::unique_ptr<DownlinkTarget> Lock(const Lora::EUI& eui) override {
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = devices_.find(eui.value());
    if (found == devices_.end()) return nullptr;
    return std::make_unique<Target>(std::move(lock), eui, found->second);
  }

 private:
  class Target : public DownlinkTarget {
   public:
    Target(std::unique_lock<std::mutex> lock, const Lora::EUI& eui, Device& device)
        : lock_(std::move(lock)), eui_(eui), device_(device) {}
    const Lora::EUI& eui() const override { return eui_; }
    size_t QueuedCount() const override { return device_.queue.size(); }
    bool Enqueue(const Lora::FrameApplicationData& record) override {
      if (device_.refuse) return false;
      device_.queue.push_back(record);
      return true;
    }
    void ClearQueue() override {
      device_.queue.clear();
      ++device_.clears;
    }

   private:
    std::unique_lock<std::mutex> lock_;
    Lora::EUI eui_;
    Device& device_;
  };

  std::mutex mutex_;
  std::map<uint64_t, Device> devices_;
};

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
    while (queue.pop(message, 0)) out.push_back(message.eui + "/" + message.event + " " + message.payload);
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
