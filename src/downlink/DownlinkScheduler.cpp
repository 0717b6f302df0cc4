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
#include "lora/Aes.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlan.h"
#include "lora/TimeOnAir.h"
#include "support/Logger.h"

namespace {

// The beacon clock counts ms of TAI seconds modulo 10000.
constexpr int64_t kBeaconClockWrapMs = 10000LL * 1000;

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
  controller.AnswerNotScheduled();
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
  if (const uint64_t replaced = controller.MarkScheduled(dueMs)) {
    links_.queue->withdraw(device.devAddr(), replaced);
  }
  return true;
}

uint64_t DownlinkScheduler::FindGateway(const DeviceTransmitController& controller, uint16_t fcnt,
                                        const TransmitQueue::Item& wanted, uint32_t frequency) {
  const auto& slots = controller.GatewaySlots();
  const size_t preferred = controller.PreferredSlot();
  auto tryslot = [&](size_t index) -> uint64_t {
    const DeviceTransmitController::GatewaySlot& slot = slots[index];
    if (!controller.HeardLatestUplink(slot, fcnt)) return 0;
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

void DownlinkScheduler::ReserveAirtime(uint64_t gatewayEui, uint64_t onAirMs,
                                       uint32_t durationMs) {
  const uint64_t lead = links_.settings->networkLeadTimeMs;
  links_.queue->reserve(gatewayEui, onAirMs > lead ? onAirMs - lead : 0, durationMs);
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

void DownlinkScheduler::ServeDueTransmissions(DeviceList& devices, uint64_t nowMs,
                                              uint64_t aheadMs) {
  TransmitQueue::Item item;
  while (links_.queue->popDue(nowMs + aheadMs, item)) {
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
      links_.queue->release(item);
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
      links_.queue->release(item);
    } else if (!device->transmitController.TransmitFrame(item.gatewayEui, item.window,
                                                          item.durationMs, item.dueMs)) {
      links_.queue->release(item);  // nothing went on air: its time is free again
    }
    device->answerPending = false;
  }
}

// --- class B and class C

uint64_t DownlinkScheduler::NowMs() const { return links_.clockMs ? links_.clockMs() : 0; }

uint64_t DownlinkScheduler::NowUs() const {
  return links_.clockUs ? links_.clockUs() : static_cast<uint64_t>(MonotonicUs());
}

bool DownlinkScheduler::OffWindowTarget(Device& device, RxWindowParams& rx2, int8_t& datarate,
                                        const DeviceTransmitController::GatewaySlot*& slot) {
  DeviceTransmitController& controller = device.transmitController;
  const std::string eui = device.devEui.text();
  slot = &controller.PreferredGatewaySlot();
  if (controller.QueueLength() == 0 || controller.Front().dueTime != 0) {
    LOG_DEBUG("ED:%s|SCHED-FAIL|Packet is already scheduled, cannot schedule packet", eui.c_str());
    return false;
  }
  if (slot->eui == 0) {
    LOG_DEBUG("ED:%s|SCHED-FAIL|Device has not checked in or Tx slot was not found", eui.c_str());
    return false;
  }
  const int8_t uplink =
      links_.plan->sfBwToDatarate(slot->reception.bandwidthKHz, slot->reception.spreadingFactor);
  rx2 = links_.plan->rxWindow(false, slot->reception.frequency, uplink, 2);
  datarate = links_.plan->sfBwToDatarate(rx2.bandwidth, rx2.spreadingFactor);
  const size_t size = kFrameOverhead + controller.Front().size();
  const size_t maxSize = links_.plan->maxPayload(datarate);
  if (size > maxSize) {
    LOG_DEBUG("ED:%s|SCHED-FAIL|Plan restricts downlink on DR%d of size %d, max is %d", eui.c_str(),
              static_cast<int>(datarate), static_cast<int>(size), static_cast<int>(maxSize));
    return false;
  }
  return true;
}

bool DownlinkScheduler::ScheduleClassC(Device& device) {
  DeviceTransmitController& controller = device.transmitController;
  RxWindowParams rx2;
  int8_t datarate = 0;
  const DeviceTransmitController::GatewaySlot* slot = nullptr;
  if (!OffWindowTarget(device, rx2, datarate, slot)) return false;
  const size_t maxSize = links_.plan->maxPayload(datarate);
  const size_t size = kFrameOverhead + controller.Front().size() + controller.PendingMacBytes();
  const uint64_t start = NowMs() + links_.settings->networkLeadTimeMs;
  TransmitQueue::Item item;
  item.devAddr = device.devAddr();
  item.tmst = 0;  // at once: on air as it is handed over, a lead time before a timed frame
  item.earlyMs = static_cast<uint32_t>(links_.settings->networkLeadTimeMs);
  item.window = 2;
  item.durationMs = AirtimeMs(datarate, std::min(size, maxSize));
  item.priority = 0;
  // A gateway busy now is usually free a moment later: the downlink waits for it up to 5 s.
  for (uint32_t offset = 0; offset <= kClassCRetryLimitMs; offset += kClassCRetryStepMs) {
    item.dueMs = start + offset;
    if (FindGateway(controller, slot->fcnt, item, rx2.frequency) != 0) {
      LOG_DEBUG("Schedule Class C downlink packet");
      controller.MarkScheduledOffWindow(item.dueMs, 0);
      return true;
    }
  }
  LOG_DEBUG("ED:%s|SCHED-FAIL|Device has not checked in or Tx slot was not found",
            device.devEui.text().c_str());
  return false;
}

uint32_t DownlinkScheduler::PingOffset(uint32_t beaconTime, uint32_t devAddr, uint32_t period) {
  // | 0..3 beacon Time (LE) | 4..7 DevAddr (LE) | 8..15 zero |, encrypted under the zero key
  uint8_t in[kAesBlockSize] = {};
  for (int i = 0; i < 4; ++i) {
    in[i] = static_cast<uint8_t>(beaconTime >> (8 * i));
    in[4 + i] = static_cast<uint8_t>(devAddr >> (8 * i));
  }
  uint8_t out[kAesBlockSize];
  const uint8_t zeroKey[kAesBlockSize] = {};
  AesContext aes;
  AesSetKey(zeroKey, sizeof zeroKey, aes);
  AesEncrypt(in, out, aes);
  if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::TRACE_LEVEL)) {
    LOG_TRACE("Slot in_buf: %s", BytesToHex(in, sizeof in, true, 0).c_str());
    LOG_TRACE("Slot out_buf: %s", BytesToHex(out, sizeof out, true, 0).c_str());
  }
  return period == 0 ? 0 : (out[0] + 256u * out[1]) % period;
}

uint32_t DownlinkScheduler::GatewayTmstAhead(const DeviceTransmitController& controller,
                                             uint64_t eui, uint64_t nowUs, uint64_t msAhead) {
  // Each gateway's counter runs on its own: its newest reading maps it, and a gateway without one
  // is mapped by the device's own last uplink through it.
  uint64_t lastTmst = 0;
  uint64_t lastTmstAt = 0;
  const std::shared_ptr<Gateway> gateway =
      links_.gateways != nullptr ? links_.gateways->find(eui) : nullptr;
  if (!gateway || !gateway->counterReading(lastTmst, lastTmstAt)) {
    for (const DeviceTransmitController::GatewaySlot& slot : controller.GatewaySlots()) {
      if (slot.eui != eui) continue;
      lastTmst = slot.reception.tmst;
      lastTmstAt = slot.receivedMs * 1000;
    }
  }
  // Unsigned arithmetic: the counter's offset from local time may be "negative"; the tmst is
  // kept modulo 2^32 as the concentrator counts.
  const uint64_t offset = lastTmst - lastTmstAt;
  const uint64_t tmst = nowUs + offset + msAhead * 1000;
  LOG_DEBUG("Now us:            %20llu", static_cast<unsigned long long>(nowUs));
  LOG_DEBUG("lastTmst:          %20llu", static_cast<unsigned long long>(lastTmst));
  LOG_DEBUG("lastTmstAt:        %20llu", static_cast<unsigned long long>(lastTmstAt));
  LOG_DEBUG("lastTmstAt offset: %20llu", static_cast<unsigned long long>(offset & 0xFFFFFFFFu));
  LOG_DEBUG("gateway tmst:      %20llu", static_cast<unsigned long long>(tmst & 0xFFFFFFFFu));
  return static_cast<uint32_t>(tmst);
}

bool DownlinkScheduler::ScheduleClassB(Device& device) {
  LOG_DEBUG("device is not active and is class B");
  DeviceTransmitController& controller = device.transmitController;
  const std::string eui = device.devEui.text();
  const BeaconClock* beacon = links_.mac != nullptr ? &links_.mac->beacon : nullptr;
  if (beacon == nullptr || beacon->intervalSeconds == 0 || !beacon->nowMs ||
      !beacon->lastBeaconMs || !beacon->lastBeaconSeconds) {
    LOG_DEBUG("ED:%s|SCHED-FAIL|No beacon is sent, class B downlink cannot be timed", eui.c_str());
    return false;
  }
  RxWindowParams rx2;
  int8_t datarate = 0;
  const DeviceTransmitController::GatewaySlot* slot = nullptr;
  if (!OffWindowTarget(device, rx2, datarate, slot)) return false;

  const uint64_t intervalMs = 1000ULL * beacon->intervalSeconds;
  const uint32_t period = static_cast<uint32_t>((intervalMs - 5120) / kPingSlotMs);
  const int64_t lastBeacon = beacon->lastBeaconMs();
  // One instant for every clock: the slot is counted on the beacon clock and its tmst from the
  // local one, so a pause between two readings (a lock, a busy core) would shift the frame off
  // its slot by as long as the pause lasted.
  const int64_t beaconNow = beacon->nowMs();
  const uint64_t nowUs = NowUs();
  const uint64_t now = NowMs();
  const uint64_t sinceBeacon = static_cast<uint64_t>(
      ((beaconNow - lastBeacon) % kBeaconClockWrapMs + kBeaconClockWrapMs) % kBeaconClockWrapMs);
  const uint64_t lead = links_.settings->networkLeadTimeMs;
  uint32_t beaconTime = static_cast<uint32_t>(beacon->lastBeaconSeconds());
  uint64_t periodStartMs = 0;
  uint64_t slotMs = 0;
  // A slot closer than the lead time is already lost: the frame could not reach the radio.
  for (;;) {
    LOG_DEBUG("beacon_time %ld", static_cast<long>(beaconTime));
    const uint32_t pingOffset = PingOffset(beaconTime, device.devAddr(), period);
    slotMs = periodStartMs + kFirstPingSlotMs + static_cast<uint64_t>(pingOffset) * kPingSlotMs;
    LOG_DEBUG("Device slot:         %20llu", static_cast<unsigned long long>(pingOffset));
    if (slotMs > sinceBeacon + lead) break;
    beaconTime += beacon->intervalSeconds;
    periodStartMs += intervalMs;
  }
  const uint64_t untilTxMs = slotMs - sinceBeacon;
  LOG_DEBUG("Now ms:            %20llu", static_cast<unsigned long long>(now));
  LOG_DEBUG("LastBeacon:        %20llu", static_cast<unsigned long long>(lastBeacon));
  LOG_DEBUG("ms since B:        %20llu", static_cast<unsigned long long>(sinceBeacon));
  LOG_DEBUG("slot ms:           %20llu", static_cast<unsigned long long>(slotMs));
  LOG_DEBUG("ms until Tx:       %20llu", static_cast<unsigned long long>(untilTxMs));

  const bool wideBand =
      links_.plan->region() == Lora::Region::US915 || links_.plan->region() == Lora::Region::AU915;
  const size_t size =
      std::min(kFrameOverhead + controller.Front().size() + controller.PendingMacBytes(),
               static_cast<size_t>(links_.plan->maxPayload(datarate)));
  TransmitQueue::Item item;
  item.devAddr = device.devAddr();
  item.dueMs = now + untilTxMs - lead;
  item.window = 2;
  item.durationMs = static_cast<uint32_t>(
      Lora::getPacketAirtimeMs(wideBand ? 9 : 12, static_cast<uint32_t>(size), wideBand ? 500 : 125,
                               links_.settings->schedulePaddingMs));
  item.priority = 1;
  const uint64_t gateway = FindGateway(controller, slot->fcnt, item, rx2.frequency);
  if (gateway == 0) {
    LOG_DEBUG("ED:%s|SCHED-FAIL|Device has not checked in or Tx slot was not found", eui.c_str());
    return false;
  }
  const uint32_t tmst = GatewayTmstAhead(controller, gateway, nowUs, untilTxMs);
  LOG_DEBUG("tmst:              %20llu", static_cast<unsigned long long>(tmst));
  LOG_DEBUG("packet to send in: %20llu ms", static_cast<unsigned long long>(untilTxMs - lead));
  LOG_DEBUG("Opportunity in     %20llu ms", static_cast<unsigned long long>(untilTxMs));
  controller.MarkScheduledOffWindow(item.dueMs, tmst);
  return true;
}
