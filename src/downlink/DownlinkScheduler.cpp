#include "downlink/DownlinkScheduler.h"

#include <algorithm>
#include <string>

#include "Settings.h"
#include "app/AppEvents.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "downlink/DeviceTransmitController.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/ChannelPlan.h"
#include "lora/TimeOnAir.h"
#include "support/Logger.h"

namespace {

void Count(NetworkStatistics* statistics, NetworkStatistics::Counter counter) {
  if (statistics != nullptr) statistics->increment(counter);
}

}  // namespace

// Where the two windows of one answer lie: frequency, datarate and the largest frame of each.
struct DownlinkScheduler::Windows {
  RxWindowParams rx[2];
  int8_t datarate[2] = {0, 0};
  size_t maxSize[2] = {0, 0};

  Windows(const Lora::ChannelPlan& plan, const Lora::ReceivedFrame& frame, bool joinAccept) {
    const int8_t uplink = plan.sfBwToDatarate(frame.bandwidthKHz, frame.spreadingFactor);
    for (uint8_t window = 1; window <= 2; ++window) {
      RxWindowParams& params = rx[window - 1];
      params = plan.rxWindow(joinAccept, frame.frequency, uplink, window);
      datarate[window - 1] = plan.sfBwToDatarate(params.bandwidth, params.spreadingFactor);
      maxSize[window - 1] = plan.maxPayload(datarate[window - 1]);
    }
  }
};

DownlinkScheduler::DownlinkScheduler(const SchedulerLinks& links) : links_(links) {}

uint32_t DownlinkScheduler::AirtimeMs(int8_t datarate, size_t size) const {
  const DatarateParams params = links_.plan->datarateToSfBw(datarate);
  // The plan's tables hold spreading factors; an index read raw counts from SF7.
  const uint32_t sf =
      params.spreadingFactor < 7 ? params.spreadingFactor + 7 : params.spreadingFactor;
  return static_cast<uint32_t>(Lora::getPacketAirtimeMs(
      sf, static_cast<uint32_t>(size), params.bandwidth, links_.settings->schedulePaddingMs));
}

void DownlinkScheduler::ScheduleResponse(Device& device, const Lora::ReceivedFrame& frame) {
  DeviceTransmitController& controller = device.transmitController;
  // Nothing to say means no downlink at all: an empty frame would spend the device's down
  // counter and the gateway's air time for nothing.
  if (!controller.HasDataToTransmit()) {
    device.answerPending = false;
    return;
  }
  const Settings& settings = *links_.settings;
  const std::string eui = device.devEui.text();
  const uint64_t tmst1 = frame.tmst + settings.rx1DelayUs;
  const uint64_t opensMs = frame.receptionTimeMs + settings.rx1DelayMs;
  const uint64_t due1 =
      opensMs > settings.networkLeadTimeMs ? opensMs - settings.networkLeadTimeMs : 0;
  const Windows windows(*links_.plan, frame, false);

  size_t size = 0;
  bool skipRx1 = false;
  for (;;) {
    size = kFrameOverhead + (controller.QueueLength() > 0 ? controller.Front().size() : 0);
    if (size <= windows.maxSize[0]) break;
    if (size <= windows.maxSize[1]) {
      skipRx1 = true;
      break;
    }
    for (int w = 0; w < 2; ++w) {
      LOG_WARNING("ED:%s|SCHED-FAIL|Plan restricts downlink on RX%d DR%d of size %d, max is %d",
                  eui.c_str(), w + 1, static_cast<int>(windows.datarate[w]), static_cast<int>(size),
                  static_cast<int>(windows.maxSize[w]));
    }
    // RX2 keeps its datarate, so a record over its limit would block the queue for good; it
    // goes, and the acknowledgement or MAC answers it held up still leave without it.
    if (controller.QueueLength() == 0 || controller.Front().join != 0) {
      controller.Unschedule();
      device.answerPending = false;
      return;
    }
    if (controller.Front().rxWindow == 1) {
      // Bound to RX1, it may fit after a faster uplink: it waits, and what is owed goes alone.
      size = kFrameOverhead;
      break;
    }
    controller.DropFrontRecord();
    if (!controller.HasDataToTransmit()) {
      device.answerPending = false;
      return;
    }
  }

  // MAC commands lengthen the air time, but only as far as the window's room lets them in.
  const size_t withOptions = size + controller.PendingMacBytes();
  auto airtimeIn = [&](int window) {
    return AirtimeMs(windows.datarate[window - 1],
                     std::min(withOptions, windows.maxSize[window - 1]));
  };
  const uint8_t priority = controller.QueueLength() == 0 ? 1 : 0;
  const uint8_t wanted = controller.QueueLength() > 0 ? controller.Front().rxWindow : 0;
  const uint64_t now = links_.clockMs ? links_.clockMs() : 0;
  // A window whose hand-over time has passed is lost: the frame would reach the radio late.
  if (!skipRx1 && !settings.disableRxWindow1 && wanted != 2 && now < due1) {
    const uint32_t airtime = airtimeIn(1);
    if (TryWindow(device, frame, 1, due1, tmst1, windows.rx[0].frequency, airtime, priority)) {
      LOG_INFO("ED:%s|SCHED-TX|Use RX1 TOA:%d ms", eui.c_str(), static_cast<int>(airtime));
      Count(links_.statistics, NetworkStatistics::Counter::pkts_1st_wnd);
      return;
    }
  }
  const uint64_t tmst2 = tmst1 + kRx2AfterRx1Us;
  const uint64_t due2 = due1 + kRx2AfterRx1Ms;
  if (!settings.disableRxWindow2 && wanted != 1 && now < due2) {
    const uint32_t airtime = airtimeIn(2);
    if (TryWindow(device, frame, 2, due2, tmst2, windows.rx[1].frequency, airtime, priority)) {
      LOG_INFO("ED:%s|SCHED-TX|Use RX2 TOA:%d ms", eui.c_str(), static_cast<int>(airtime));
      Count(links_.statistics, NetworkStatistics::Counter::pkts_2nd_wnd);
      return;
    }
  }

  if (frame.IsConfirmed()) {
    LOG_WARNING("ED:%s|PKT-DROP|Rx1 and Rx2 could not be scheduled", eui.c_str());
    Count(links_.statistics, NetworkStatistics::Counter::pkts_dropped);
    if (links_.messages != nullptr) AppEvents(*links_.messages).PacketDrop(device.devEui, 101);
  }
  controller.Unschedule();
  device.answerPending = false;
}

bool DownlinkScheduler::BookJoinWindow(Device& device, const Lora::ReceivedFrame& request,
                                       uint8_t window, uint64_t dueMs, uint64_t tmst,
                                       uint32_t airTimeMs) {
  if (window != 1 && window != 2) return false;
  const Windows windows(*links_.plan, request, true);
  // A join accept carries what the device waits for most: it outranks every plain answer.
  return TryWindow(device, request, window, dueMs, tmst, windows.rx[window - 1].frequency,
                   airTimeMs, 0);
}

bool DownlinkScheduler::TryWindow(Device& device, const Lora::ReceivedFrame& frame, uint8_t window,
                                  uint64_t dueMs, uint64_t tmst, uint32_t frequency,
                                  uint32_t durationMs, uint8_t priority) {
  DeviceTransmitController& controller = device.transmitController;
  TransmitQueue::Item item;
  item.devAddr = device.devAddr();
  item.dueMs = dueMs;
  item.tmst = tmst;
  item.window = window;
  item.durationMs = durationMs;
  item.priority = priority;
  if (FindGateway(controller, frame.FCnt(), item, frequency) == 0) return false;
  controller.MarkScheduled(dueMs);
  return true;
}

uint64_t DownlinkScheduler::FindGateway(const DeviceTransmitController& controller, uint16_t fcnt,
                                        const TransmitQueue::Item& wanted, uint32_t frequency) {
  const auto& slots = controller.GatewaySlots();
  const size_t preferred = controller.PreferredSlot();
  auto tryslot = [&](size_t index) -> uint64_t {
    const DeviceTransmitController::GatewaySlot& slot = slots[index];
    if (slot.eui == 0 || slot.fcnt != fcnt) return 0;
    std::shared_ptr<Gateway> gateway = links_.gateways->find(slot.eui);
    if (!gateway) return 0;
    return CanSchedule(*gateway, wanted, frequency) ? slot.eui : 0;
  };
  if (preferred < slots.size()) {
    if (uint64_t eui = tryslot(preferred)) return eui;
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i == preferred) continue;
    if (uint64_t eui = tryslot(i)) return eui;
  }
  return 0;
}

bool DownlinkScheduler::DutyCycleApplies(uint32_t frequency, size_t& band) const {
  if (links_.settings->disableDutyCycle || !links_.plan->dutyCycleEnforced()) return false;
  band = links_.plan->dutyCycleBand(frequency);
  if (band >= Gateway::kBands) band = 0;
  if (band == 3 && links_.settings->maxTxPower <= kLowPowerEirpDbm) {
    LOG_TRACE("Using Low Power Variable Duty Band, no restriction");
    return false;
  }
  return true;
}

bool DownlinkScheduler::CanSchedule(Gateway& gateway, TransmitQueue::Item wanted,
                                    uint32_t frequency) {
  const uint32_t durationMs = wanted.durationMs;
  MutexLock dutyCycle(gateway.dutyCycleMutex());
  size_t band = 0;
  if (DutyCycleApplies(frequency, band)) {
    const uint64_t available = gateway.available(band);
    LOG_TRACE("Schedule DC band: %d available: %llu duration: %d freq: %lu", static_cast<int>(band),
              static_cast<unsigned long long>(available), static_cast<int>(durationMs),
              static_cast<unsigned long>(frequency));
    if (available < durationMs) {
      LOG_DEBUG("Duty cycle limit met - Band: %d time-on-air available: %lu ms",
                static_cast<int>(band), static_cast<unsigned long>(available));
      return false;
    }
  }
  wanted.gatewayEui = gateway.eui();
  return links_.queue->claim(wanted);
}

bool DownlinkScheduler::DutyCycleAllows(Gateway& gateway, uint32_t frequency, uint32_t durationMs) {
  size_t band = 0;
  if (!DutyCycleApplies(frequency, band)) return true;
  MutexLock dutyCycle(gateway.dutyCycleMutex());
  const uint64_t available = gateway.available(band);
  LOG_DEBUG("GW:%s|DUTY-CYCLE|BAND: %u DUTY: %lu", gateway.euiText().c_str(),
            static_cast<unsigned>(band), static_cast<unsigned long>(available));
  return available > durationMs;
}

void DownlinkScheduler::UseDutyCycle(Gateway& gateway, uint32_t frequency, uint32_t durationMs) {
  size_t band = 0;
  if (!DutyCycleApplies(frequency, band)) return;
  MutexLock dutyCycle(gateway.dutyCycleMutex());
  gateway.use(band, durationMs);
  LOG_DEBUG("Update DC Band: %d Duration: %d time-on-air available: %llu ms",
            static_cast<int>(band), static_cast<int>(durationMs),
            static_cast<unsigned long long>(gateway.available(band)));
}

void DownlinkScheduler::ServeDueTransmissions(DeviceList& devices, uint64_t nowMs) {
  TransmitQueue::Item item;
  while (links_.queue->popDue(nowMs, item)) {
    if (item.bumped()) {
      LOG_TRACE("Opportunity invalid");
      if (item.bumpedDevAddr == 0) continue;
      DeviceList::LockedDevice device = devices.FindDevice(item.bumpedDevAddr);
      if (device) device->transmitController.Bumped(item.dueMs);
      continue;
    }
    if (item.devAddr == TransmitQueue::kReservedDevAddr) continue;  // sent by its owner
    DeviceList::LockedDevice device = devices.FindDevice(item.devAddr);
    if (!device) {
      LOG_TRACE("Opportunity invalid");
      continue;
    }
    // Handed over a lead time late, the frame would reach the radio after its moment: the
    // gateway would refuse it, and the device's down counter would be spent for nothing.
    if (nowMs >= item.dueMs + links_.settings->networkLeadTimeMs) {
      LOG_WARNING("ED:%s|PKT-DROP|Transmit opportunity missed by %llu ms",
                  device->devEui.text().c_str(),
                  static_cast<unsigned long long>(nowMs - item.dueMs));
      Count(links_.statistics, NetworkStatistics::Counter::pkts_dropped);
      device->transmitController.Bumped(item.dueMs);
    } else {
      device->transmitController.TransmitFrame(item.gatewayEui, item.window, item.durationMs,
                                               item.dueMs);
    }
    device->answerPending = false;
  }
}
