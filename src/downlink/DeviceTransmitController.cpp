#include "downlink/DeviceTransmitController.h"

#include <algorithm>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "devices/Device.h"
#include "support/Logger.h"

bool DeviceTransmitController::QueueApplicationData(const Lora::FrameApplicationData& record) {
  if (record.size() > kMaxQueuedPayload) {
    LOG_ERROR("Cannot queue packet of %d bytes, too long", static_cast<int>(record.size()));
    return false;
  }
  const DeviceLinks& links = device_.links();
  const size_t limit = links.settings != nullptr ? links.settings->deviceQueueSize : 16;
  if (queue_.size() >= limit) {
    if (record.join == 0) {
      LOG_ERROR("Application Data Queue at max capacity");
      return false;
    }
    // A join accept cannot wait for room: the newest downlink gives way, row and all.
    if (!queue_.empty()) {
      const Lora::FrameApplicationData& newest = queue_.back();
      if (newest.id != 0 && links.database != nullptr) {
        links.database->DeleteQueuedDownlink(newest.id, device_.devEui.text());
      }
      queue_.pop_back();
    }
  }
  Lora::FrameApplicationData stored = record;
  stored.length = static_cast<unsigned short>(std::min<size_t>(record.size(), 255));
  if (record.join != 0) {
    LOG_INFO("ED:%s|QUEUE-TX|JOIN SIZE: %d", device_.devEui.text().c_str(),
             static_cast<int>(stored.size()));
    queue_.push_front(stored);
  } else {
    LOG_INFO("ED:%s|QUEUE-TX|DATA SIZE: %d", device_.devEui.text().c_str(),
             static_cast<int>(stored.size()));
    queue_.push_back(stored);
  }
  return true;
}

void DeviceTransmitController::ClearQueue() {
  queue_.clear();
  const DeviceLinks& links = device_.links();
  if (links.database != nullptr) links.database->DeleteQueuedDownlink(0, device_.devEui.text());
}

void DeviceTransmitController::Unschedule() {
  if (queue_.empty()) return;
  if (queue_.front().join != 0) {
    LOG_DEBUG("Cannot unschedule join response, tossing packet");
    queue_.pop_front();
  } else {
    LOG_DEBUG("Unschedule frame");
    queue_.front().dueTime = 0;
  }
}

void DeviceTransmitController::ReceivedFrame(const Lora::ReceivedFrame&, bool) {}

void DeviceTransmitController::PeriodicService(uint64_t) {}
