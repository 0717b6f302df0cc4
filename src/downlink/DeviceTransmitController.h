// The downlink side of one end-device. For now it keeps the device's queue of application
// downlinks (and a pending join accept); building frames, acknowledgements, retries and the
// MAC-command controllers grow on top of this queue.
//
// Used only under the owning device's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "lora/Frame.h"

class Device;

class DeviceTransmitController {
 public:
  // A downlink payload fits a frame at the lowest data rate of every region only up to here.
  static constexpr size_t kMaxQueuedPayload = 242;

  explicit DeviceTransmitController(Device& device) : device_(device) {}
  DeviceTransmitController(const DeviceTransmitController&) = delete;
  DeviceTransmitController& operator=(const DeviceTransmitController&) = delete;

  // Appends a data record at the back, or puts a join accept at the front. Refuses a record over
  // 242 bytes, and a data record when the queue already holds the configured maximum; a join
  // accept instead pushes out the newest record (and its database row).
  bool QueueApplicationData(const Lora::FrameApplicationData& record);
  // Empties the queue and deletes the device's queue rows.
  void ClearQueue();
  // The frame could not go: a data record stays queued for a later window; a join accept goes.
  void Unschedule();

  // Every accepted uplink of the device, duplicates included, before the answer is scheduled.
  void ReceivedFrame(const Lora::ReceivedFrame& frame, bool duplicate);
  // The time thread's periodic look at a device with a valid session (retries, time-outs).
  void PeriodicService(uint64_t nowMs);

  size_t QueueLength() const { return queue_.size(); }
  // The record that would be sent next; the queue must not be empty.
  const Lora::FrameApplicationData& Front() const { return queue_.front(); }

 private:
  Device& device_;
  std::deque<Lora::FrameApplicationData> queue_;  // front is sent first
};
