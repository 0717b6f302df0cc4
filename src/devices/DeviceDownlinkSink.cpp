#include "devices/DeviceDownlinkSink.h"

#include "Database/Lora-Database.h"
#include "devices/DeviceList.h"

namespace {

class LockedTarget : public DownlinkTarget {
 public:
  explicit LockedTarget(DeviceList::LockedDevice device) : device_(std::move(device)) {}
  const Lora::EUI& eui() const override { return device_->devEui; }
  size_t QueuedCount() const override { return device_->transmitController.QueueLength(); }
  bool Enqueue(const Lora::FrameApplicationData& record) override {
    return device_->Enqueue(record);
  }
  void ClearQueue() override { device_->transmitController.ClearQueue(); }

 private:
  DeviceList::LockedDevice device_;  // unlocks when the operation is over
};

}  // namespace

std::unique_ptr<DownlinkTarget> DeviceDownlinkSink::Lock(const Lora::EUI& devEui) {
  uint32_t devAddr = 0;
  if (!database_.GetAddressFromEui(devEui.text(), devAddr)) return nullptr;
  DeviceList::LockedDevice device = devices_.FindDevice(devAddr);
  if (!device) device = devices_.RestoreDevice(devAddr);
  if (!device) return nullptr;
  return std::make_unique<LockedTarget>(std::move(device));
}
