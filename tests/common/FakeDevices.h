// A device list for the inbound application path: a few in-memory devices, each with the queue
// its transmit controller would keep. Header-only, so the fuzz targets can use it too.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/AppDownlink.h"

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

}  // namespace testsupport
