#include "downlink/DeviceTransmitController.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "app/AppEvents.h"
#include "devices/Device.h"
#include "devices/NetworkStatistics.h"
#include "downlink/DownlinkScheduler.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "support/JsonText.h"
#include "support/Logger.h"

namespace {

constexpr uint8_t kJoinAcceptMhdr = 0x20;
constexpr uint8_t kUnconfirmedDownMhdr = 0x60;
constexpr uint8_t kConfirmedDownMhdr = 0xA0;
// The time thread serves a due item within a tick; one this late will never be served.
constexpr uint64_t kLostScheduleMs = 2000;
// How long an off-window record that found no way out waits before it is tried again.
constexpr uint64_t kScheduleRetryMs = 1000;

bool ValidGateway(uint64_t eui) { return eui != 0 && eui != UINT64_MAX; }

// Which of two receptions of one uplink is the better way back to the device.
bool Stronger(const DeviceTransmitController::GatewaySlot& a,
              const DeviceTransmitController::GatewaySlot& b) {
  if (a.snr != b.snr) return a.snr > b.snr;
  return a.rssi > b.rssi;
}

}  // namespace

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
      if (queue_.empty()) frontSends_ = 0;
    }
  }
  Lora::FrameApplicationData stored = record;
  stored.length = static_cast<unsigned short>(std::min<size_t>(record.size(), 255));
  if (record.join != 0) {
    LOG_INFO("ED:%s|QUEUE-TX|JOIN SIZE: %d", device_.devEui.text().c_str(),
             static_cast<int>(stored.size()));
    queue_.insert(queue_.begin(), stored);
  } else {
    LOG_INFO("ED:%s|QUEUE-TX|DATA SIZE: %d", device_.devEui.text().c_str(),
             static_cast<int>(stored.size()));
    queue_.push_back(stored);
  }
  return true;
}

void DeviceTransmitController::ClearQueue() {
  queue_.clear();
  frontSends_ = 0;
  offWindowDueMs_ = 0;
  const DeviceLinks& links = device_.links();
  if (links.database != nullptr) links.database->DeleteQueuedDownlink(0, device_.devEui.text());
  // An acknowledgement arriving later has nothing left to settle.
  confirmedInFlight_ = false;
  ResetTracking();
}

// --- uplink bookkeeping

void DeviceTransmitController::ReceivedFrame(const Lora::ReceivedFrame& frame, bool duplicate) {
  LOG_DEBUG("ED:%s|PACKET-RX|GW:%s Time_us:%llu", device_.devEui.text().c_str(),
            Gateway::EuiText(frame.gatewayEui).c_str(),
            static_cast<unsigned long long>(frame.tmst));
  LOG_DEBUG("ED:%s|PACKET-RX|Downlink Packets Queued: %d", device_.devEui.text().c_str(),
            static_cast<int>(queue_.size()));
  RecordReception(frame);
  // A device listens only after its latest transmission: an answer still waiting for the windows
  // of an earlier one would reach nobody, at a time nothing was booked for.
  if (!duplicate) windowDueMs_ = 0;
  // A join request has no FCtrl, options or session: only the way back to the device counts.
  if (frame.MType() == Lora::kJoinRequest) return;
  // A repeat carries the ACK bit of a frame already judged; it must not settle a newer one.
  if (frame.IsAck() && confirmedInFlight_ && !duplicate) {
    const uint32_t seqn = device_.nextDownCounter == 0 ? 0 : device_.nextDownCounter - 1;
    // The record in flight is the front one, whatever uplinks came in between.
    const uint32_t id =
        !queue_.empty() && queue_.front().join == 0 ? queue_.front().id : currentId_;
    if (device_.links().messages != nullptr) {
      AppEvents(*device_.links().messages).PacketAck(device_.devEui, seqn, id);
    }
    LoraAcknowledgeReceived();
  } else if (!duplicate) {
    LOG_DEBUG("ReceivedFrame ID: %d", static_cast<int>(currentId_));
    currentId_ = 0;
  }
  responseRequested_ = frame.IsAdrAckReq();
  ackPending_ = frame.MType() == Lora::kConfirmedUp;
  MacControllers* mac = MacCommands();
  if (mac == nullptr) return;
  if (!duplicate) mac->adr.countUplink();
  // Another gateway's copy goes into the history too: the frame's entry keeps the weaker
  // reception, so ADR never asks for a rate only the best-placed gateway can hear.
  const int8_t datarate =
      mac->links.plan->sfBwToDatarate(frame.bandwidthKHz, frame.spreadingFactor);
  mac->adr.update(frame.FCnt(), frame.IsAdr(), datarate, frame.snr);
  // A repeat's options are read too: a second gateway's copy of a LinkCheckReq is what makes
  // the gateway count of the answer.
  if (frame.FOptsLen() > 0 && frame.HasFOpts()) {
    ParseMacCommands(frame, frame.FOpts(), frame.FOptsLen());
  }
}

MacControllers* DeviceTransmitController::MacCommands() {
  if (!mac_ && device_.links().scheduler != nullptr &&
      device_.links().scheduler->links().mac != nullptr) {
    mac_ = std::make_unique<MacControllers>(*device_.links().scheduler->links().mac);
  }
  return mac_.get();
}

void DeviceTransmitController::ParseMacCommands(const Lora::ReceivedFrame& frame,
                                                const uint8_t* bytes, size_t length) {
  MacControllers* mac = MacCommands();
  if (mac == nullptr) return;
  MacUplinkContext context;
  context.appEui = &device_.appEui;
  context.devEui = &device_.devEui;
  context.gatewayEui = frame.gatewayEui;
  std::unique_ptr<AppEvents> events;
  if (device_.links().messages != nullptr) {
    events = std::make_unique<AppEvents>(*device_.links().messages);
    context.events = events.get();
  }
  context.deviceClass = [this](uint32_t deviceClass) { device_.SetClass(deviceClass); };
  // Kept on the device and in its session row, where session listings read them.
  context.deviceStatus = [this](uint8_t battery, int32_t marginTenths) {
    device_.battery = battery;
    device_.statusMargin = marginTenths;
    if (LoraDatabase* database = device_.links().database) {
      Json::Value session;
      session["deveui"] = device_.devEui.text();
      session["status_battery"] = battery;
      session["status_snr"] = marginTenths;
      database->UpdateSession(session);
    }
  };
  mac->parseMacCommands(frame, bytes, length, context);
}

void DeviceTransmitController::RecordReception(const Lora::ReceivedFrame& frame) {
  const uint16_t fcnt = frame.FCnt();
  size_t index = kGatewaySlots;
  for (size_t i = 0; i < slots_.size() && index == kGatewaySlots; ++i) {
    if (slots_[i].eui == frame.gatewayEui) index = i;
  }
  if (index == kGatewaySlots && slots_.size() < kGatewaySlots) {
    index = slots_.size();
    slots_.emplace_back();
  }
  GatewaySlot fresh;
  fresh.eui = frame.gatewayEui;
  fresh.reception.tmst = frame.tmst;
  fresh.reception.frequency = frame.frequency;
  fresh.reception.bandwidthKHz = frame.bandwidthKHz;
  fresh.reception.spreadingFactor = frame.spreadingFactor;
  fresh.reception.codingRateNum = frame.codingRateNum;
  fresh.reception.codingRateDen = frame.codingRateDen;
  fresh.fcnt = fcnt;
  fresh.rssi = frame.rssi;
  fresh.snr = frame.snr;
  fresh.channel = frame.chan;
  fresh.rfChain = frame.rfChain;
  fresh.fsk = frame.fsk != 0;
  fresh.receivedMs = frame.receptionTimeMs;
  latestMs_ = std::max(latestMs_, fresh.receivedMs);
  if (index == kGatewaySlots) {
    // Ten other gateways hold the slots. One that did not hear this uplink only remembers an
    // older one: the oldest of those gives way. When all ten heard it too, the newcomer replaces
    // the weakest of them, and only if it heard the device better.
    for (size_t i = 0; i < kGatewaySlots; ++i) {
      if (HeardLatestUplink(slots_[i], fcnt)) continue;
      if (index == kGatewaySlots || slots_[i].receivedMs < slots_[index].receivedMs) index = i;
    }
    if (index == kGatewaySlots) {
      size_t weakest = 0;
      for (size_t i = 1; i < kGatewaySlots; ++i) {
        if (Stronger(slots_[weakest], slots_[i])) weakest = i;
      }
      if (!Stronger(fresh, slots_[weakest])) return;
      index = weakest;
    }
  }
  slots_[index] = fresh;
  ChoosePreferredSlot(fcnt);
}

// The preferred way back is the gateway that heard this uplink best: highest SNR, then RSSI.
void DeviceTransmitController::ChoosePreferredSlot(uint16_t fcnt) {
  size_t best = kGatewaySlots;
  for (size_t i = 0; i < slots_.size(); ++i) {
    if (!HeardLatestUplink(slots_[i], fcnt)) continue;
    if (best == kGatewaySlots || Stronger(slots_[i], slots_[best])) best = i;
  }
  if (best != kGatewaySlots) preferred_ = best;
}

const DeviceTransmitController::GatewaySlot& DeviceTransmitController::PreferredGatewaySlot()
    const {
  static const GatewaySlot kNone;
  return preferred_ < slots_.size() ? slots_[preferred_] : kNone;
}

const DeviceTransmitController::GatewaySlot* DeviceTransmitController::FindSlot(
    uint64_t eui) const {
  for (const GatewaySlot& slot : slots_) {
    if (slot.eui == eui && eui != 0) return &slot;
  }
  return nullptr;
}

bool DeviceTransmitController::HasDataToTransmit() {
  if (responseRequested_ || ackPending_) {
    LOG_DEBUG("Device response requested %d ACK %d", responseRequested_ ? 1 : 0,
              ackPending_ ? 1 : 0);
    return true;
  }
  if (!queue_.empty() || MacPendingForAnswer()) return true;
  LOG_INFO("ED:%s|FRAME-TX|Nothing to transmit", device_.devEui.text().c_str());
  return false;
}

size_t DeviceTransmitController::PendingMacBytes() const {
  if (mac_ == nullptr) return 0;
  const OptionController* const pending[] = {
      &mac_->linkCheck,    &mac_->ping,       &mac_->channel,     &mac_->deviceStatus,
      &mac_->beaconTiming, &mac_->deviceTime, &mac_->pingSlotInfo};
  size_t bytes = mac_->adr.shouldSend(false) ? mac_->adr.length() : 0;
  for (const OptionController* controller : pending) {
    if (controller->pending) bytes += controller->length();
  }
  return std::min(bytes, Lora::kMaxFOptsLen);
}

bool DeviceTransmitController::MacPendingForAnswer() const {
  return mac_ != nullptr && mac_->AnyPendingForAnswer();
}

size_t DeviceTransmitController::AppendMacCommands(uint8_t* out, size_t room, bool) {
  MacControllers* mac = MacCommands();
  if (mac == nullptr) return 0;
  const std::string eui = device_.devEui.text();
  MacAppendContext context;
  context.devEuiText = eui.c_str();
  // Built at the hand-over: the frame ends one lead time and its air time from now.
  const uint64_t padding =
      device_.links().settings != nullptr ? device_.links().settings->schedulePaddingMs : 0;
  const uint64_t lead =
      device_.links().settings != nullptr ? device_.links().settings->networkLeadTimeMs : 0;
  const uint64_t airtime = scheduledDurationMs_ > padding ? scheduledDurationMs_ - padding : 0;
  context.downlinkEndMs = static_cast<int64_t>(lead + airtime);
  return mac->AppendPending(out, room, context);
}

void DeviceTransmitController::GiveBackMacCommands() {
  if (mac_ != nullptr && !currentOpts_.empty()) mac_->GiveBack();
  currentOpts_.clear();
}

// --- frame building

RxWindowParams DeviceTransmitController::WindowOf(const GatewaySlot& slot, uint8_t window,
                                                  bool joinAccept, int8_t& datarate) const {
  const Lora::ChannelPlan& plan = *device_.links().scheduler->links().plan;
  const int8_t uplink =
      plan.sfBwToDatarate(slot.reception.bandwidthKHz, slot.reception.spreadingFactor);
  RxWindowParams rx = plan.rxWindow(joinAccept, slot.reception.frequency, uplink, window);
  datarate = plan.sfBwToDatarate(rx.bandwidth, rx.spreadingFactor);
  return rx;
}

bool DeviceTransmitController::DropExhaustedRecord() {
  if (queue_.empty()) return false;
  const Lora::FrameApplicationData& front = queue_.front();
  const unsigned allowed = std::max<unsigned>(1, front.attempts);
  if (front.join != 0 || front.ack == 0 || frontSends_ < allowed) return false;
  LOG_WARNING("ED:%s|NO-ACK|Dropping downstream message, attempts exceeded",
              device_.devEui.text().c_str());
  RemoveFront(true);
  confirmedInFlight_ = false;
  ResetTracking();
  if (device_.links().statistics != nullptr) {
    device_.links().statistics->increment(NetworkStatistics::Counter::pkts_dropped);
  }
  if (device_.links().messages != nullptr) {
    AppEvents(*device_.links().messages).PacketDrop(device_.devEui, 102);
  }
  return true;
}

void DeviceTransmitController::GenerateDataFrame(uint64_t gatewayEui, uint8_t window) {
  joinInProgress_ = false;
  frameCarriesFront_ = false;
  currentPort_ = 0;
  currentOpts_.clear();
  const std::string eui = device_.devEui.text();
  if (!ValidGateway(gatewayEui)) {
    LOG_WARNING("GW:%s|FRAME-TX|GenerateDataFrame called with empty or invalid gateway address",
                Gateway::EuiText(gatewayEui).c_str());
    return;
  }
  const GatewaySlot* slot = FindSlot(gatewayEui);
  if (slot == nullptr || device_.links().scheduler == nullptr) {
    LOG_WARNING("GW:%s|PACKET-TX|Failed to find gateway", Gateway::EuiText(gatewayEui).c_str());
    return;
  }

  if (!queue_.empty() && queue_.front().join != 0) {
    // Built and encrypted by the join procedure; only the MHDR is ours.
    const Lora::FrameApplicationData& accept = queue_.front();
    Lora::FrameWriter w(*frame_);
    w.U8(kJoinAcceptMhdr);
    if (accept.size() > 1) w.Bytes(accept.data + 1, accept.size() - 1);
    WindowOf(*slot, window, true, currentDatarate_);
    currentId_ = accept.id;
    joinInProgress_ = true;
    queue_.erase(queue_.begin());
    return;
  }

  while (DropExhaustedRecord()) {
  }
  WindowOf(*slot, window, false, currentDatarate_);
  const size_t maxSize = device_.links().scheduler->links().plan->maxPayload(currentDatarate_);
  if (maxSize < DownlinkScheduler::kFrameOverhead) {
    LOG_WARNING(
        "ED:%s|PACKET-TX|Downlink payload would not fit in max packet size at this datarate",
        eui.c_str());
    return;
  }
  const size_t payloadRoom = maxSize - DownlinkScheduler::kFrameOverhead;
  const Lora::FrameApplicationData* record = queue_.empty() ? nullptr : &queue_.front();
  const bool withPayload = record != nullptr && record->size() <= payloadRoom;
  if (record != nullptr && !withPayload) {
    LOG_WARNING(
        "ED:%s|PACKET-TX|Downlink payload would not fit in max packet size at this datarate",
        eui.c_str());
  }

  // Nothing may push the frame past the window's limit: options share the room with the payload,
  // and a frame without FPort has one byte more for them.
  uint8_t fopts[Lora::kMaxFOptsLen];
  size_t foptsLength = 0;
  uint8_t payload[Lora::FrameBytes::kCapacity];
  size_t payloadLength = 0;
  if (withPayload) {
    std::memcpy(payload, record->data, record->size());
    payloadLength = record->size();
  }
  if (withPayload && record->port == 0) {
    const size_t macLength =
        AppendMacCommands(payload + payloadLength, payloadRoom - payloadLength, true);
    currentOpts_ = BytesToHex(payload + payloadLength, macLength, true, 0);
    payloadLength += macLength;
  } else {
    const size_t room =
        std::min(Lora::kMaxFOptsLen, withPayload ? payloadRoom - payloadLength : payloadRoom + 1);
    foptsLength = AppendMacCommands(fopts, room, false);
    currentOpts_ = BytesToHex(fopts, foptsLength, true, 0);
  }
  LOG_INFO("ED:%s|SCHED-TX|Q-SIZE: %d PKT-ROOM: %d", eui.c_str(), static_cast<int>(queue_.size()),
           static_cast<int>(payloadRoom));
  // Dropped or left-out records can leave nothing owed: then no frame at all.
  if (!withPayload && foptsLength == 0 && !ackPending_ && !responseRequested_) return;

  const size_t total =
      Lora::kFOptsOffset + foptsLength + (withPayload ? 1 + payloadLength : 0) + Lora::kMicSize;
  {
    const uint32_t airtime = device_.links().scheduler->AirtimeMs(currentDatarate_, total);
    TransmitQueue* queue = device_.links().scheduler->links().queue;
    if (airtime > scheduledDurationMs_ && queue != nullptr &&
        !queue->canIncreaseDuration(gatewayEui, scheduledDueMs_, airtime)) {
      LOG_INFO("ED:%s|SCHED-TX|DEFER-TX %08x RX-WND:%d Scheduling conflict", eui.c_str(),
               device_.devAddr(), static_cast<int>(window));
      GiveBackMacCommands();
      Unschedule();
      return;
    }
  }

  // The counter is taken only for a frame that will be built: a device discards a downlink
  // whose counter it has seen, so every transmission carries a fresh one.
  const uint32_t fcnt = device_.TakeDownCounter();
  currentFCnt_ = fcnt;
  confirmedInFlight_ = withPayload && record->ack != 0;
  // FPending: more is waiting than this frame carries.
  const size_t waiting = queue_.size() - (withPayload ? 1 : 0);
  const uint8_t fctrl = static_cast<uint8_t>((waiting > 0 ? Lora::kFCtrlFPending : 0) |
                                             (ackPending_ ? Lora::kFCtrlAck : 0) | foptsLength);
  const uint8_t mhdr = confirmedInFlight_ ? kConfirmedDownMhdr : kUnconfirmedDownMhdr;
  Lora::FrameWriter w(*frame_);
  w.U8(mhdr)
      .U32(device_.devAddr())
      .U8(fctrl)
      .U16(static_cast<uint16_t>(fcnt))
      .Bytes(fopts, foptsLength);
  if (withPayload) {
    LOG_DEBUG("ED:%s|PACKET-TX|ADDR: %08x PORT: %d ACK: %d FCNT: %08x", eui.c_str(),
              device_.devAddr(), static_cast<int>(record->port), static_cast<int>(record->ack),
              fcnt);
    currentId_ = record->id;
    currentPort_ = record->port;
    frameCarriesFront_ = true;
    const Lora::CypherKey& key = record->port == 0 ? device_.nwkSKey : device_.appSKey;
    EncryptPayload(payload, payloadLength, key, device_.devAddr(), false, fcnt, payload);
    w.U8(record->port).Bytes(payload, payloadLength);
  }
  responseRequested_ = false;
  ackPending_ = false;
  const MicBytes mic =
      ComputeDataMic(frame_->data, frame_->size(), device_.nwkSKey, device_.devAddr(), false, fcnt);
  w.Bytes(mic.data(), mic.size());
  if (!w.ok()) frame_->clear();
}

// --- hand-over

bool DeviceTransmitController::TransmitFrame(uint64_t gatewayEui, uint8_t window,
                                             uint32_t durationMs, uint64_t dueMs) {
  const std::string gatewayText = Gateway::EuiText(gatewayEui);
  if (!ValidGateway(gatewayEui)) {
    LOG_WARNING("GW:%s|FRAME-TX|TransmitFrame called with empty or invalid gateway address",
                gatewayText.c_str());
    return false;
  }
  if (dueMs != offWindowDueMs_ && dueMs != windowDueMs_) {
    // An item left from a booking given up since (the record went in another answer, or was
    // booked again): it would carry whatever the device has queued now, timed for a window that
    // has passed. Nothing of the device's is touched; the caller gives the air time back.
    LOG_DEBUG("ED:%s|SCHED-TX|Stale transmit item dropped", device_.devEui.text().c_str());
    return false;
  }
  const DeviceLinks& links = device_.links();
  DownlinkScheduler* scheduler = links.scheduler;
  const GatewaySlot* slot = FindSlot(gatewayEui);
  std::shared_ptr<Gateway> gateway =
      links.gateways != nullptr ? links.gateways->find(gatewayEui) : nullptr;
  if (scheduler == nullptr || slot == nullptr || !gateway) {
    LOG_WARNING("GW:%s|PACKET-TX|Failed to find gateway", gatewayText.c_str());
    Unschedule();
    return false;
  }
  const SchedulerLinks& sched = scheduler->links();

  // The budget is asked before the frame is built, so a refusal spends no down counter.
  const bool joinAccept = !queue_.empty() && queue_.front().join != 0;
  int8_t datarate = 0;
  const RxWindowParams rx = WindowOf(*slot, window, joinAccept, datarate);
  if (!scheduler->DutyCycleAllows(*gateway, rx.frequency, durationMs)) {
    LOG_WARNING("GW:%s|DUTY-CYCLE|Message could not be transmitted, duty-cycle limit reached",
                gatewayText.c_str());
    Unschedule();
    return false;
  }

  scheduledDurationMs_ = durationMs;
  scheduledDueMs_ = dueMs;
  const bool offWindow = !joinAccept && offWindowDueMs_ != 0 && offWindowDueMs_ == dueMs;
  const uint32_t offWindowTmst = offWindow ? queue_.front().scheduledTimestamp : 0;
  if (offWindow) offWindowDueMs_ = 0;
  // The frame lives only for this hand-over (it is rebuilt for every one), so it is kept on the
  // stack rather than in each of thousands of devices.
  Lora::Frame built;
  frame_ = &built;
  struct Forget {
    Lora::Frame*& frame;
    ~Forget() { frame = nullptr; }
  } forget{frame_};
  GenerateDataFrame(gatewayEui, window);
  if (frame_->size() == 0) return false;
  if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::DEBUG_LEVEL)) {
    LOG_DEBUG("GW:%s|FRAME-TX|DATA: %s", gatewayText.c_str(),
              BytesToHex(frame_->data, frame_->size(), true, 0).c_str());
  }

  MessageProtocol::TxpkRequest request;
  request.gatewayEui = gatewayEui;
  request.reception = &slot->reception;
  request.window = window;
  request.joinAccept = joinInProgress_;
  // Answers in the receive windows are timed by the window, whatever the device's class; only
  // the class B/C path's own items go at a ping slot's tmst or at once.
  request.classC = offWindow || device_.deviceClass == Device::kClassC;
  request.windowTiming = !offWindow;
  frame_->scheduledTimestamp = offWindow ? offWindowTmst : 0;
  request.appEui = device_.appEui;
  request.devEui = device_.devEui;
  std::string json;
  if (!MessageProtocol::BuildTxpk(request, *frame_, *sched.plan, *sched.settings, json)) {
    GiveBackMacCommands();
    Unschedule();
    return false;
  }
  LOG_DEBUG("GW:%s|FRAME-TX|JSON: %s", gatewayText.c_str(), json.c_str());

  const sockaddr_in to = gateway->downlinkAddress();
  if (to.sin_port == 0 || sched.protocol == nullptr) {
    LOG_DEBUG("pull port unknown, cannot transmit");
    GiveBackMacCommands();
    Unschedule();
    return false;
  }
  LOG_DEBUG("GW:%s|UDP-TX|JSON-SIZE:%d", gatewayText.c_str(), static_cast<int>(json.size()));
  if (!MessageProtocol::SendPullResp(*sched.protocol, to, gatewayEui, json)) {
    GiveBackMacCommands();
    Unschedule();
    return false;
  }
  scheduler->UseDutyCycle(*gateway, rx.frequency,
                          scheduler->AirtimeMs(currentDatarate_, frame_->size()));
  ReportSent(*gateway, window, json);
  AfterSend(*gateway);
  return true;
}

void DeviceTransmitController::ReportSent(Gateway& gateway, uint8_t window,
                                          const std::string& txpk) {
  const DeviceLinks& links = device_.links();
  gateway.count(Gateway::Counter::downlinks);
  // {"txpk":{...}} -> {...,"seqn":...}: the event is the txpk object with the frame's fields. The
  // txpk already names the gateway and the device ("gweui", "appeui", "deveui"); writing them a
  // second time would give applications an object with duplicate keys.
  static constexpr size_t kPrefix = sizeof("{\"txpk\":") - 1;
  std::string event = txpk.substr(kPrefix, txpk.size() - kPrefix - 2);
  char extra[160];
  std::snprintf(
      extra, sizeof extra,
      ",\"seqn\":%u,\"port\":%u,\"mhdr\":\"%s\",\"mic\":\"%08x\",\"id\":%u,\"opts\":\"",
      gateway.counter(Gateway::Counter::downlinks), currentPort_,
      BytesToHex(frame_->data, std::min<size_t>(frame_->size(), Lora::kFOptsOffset), true, 0).c_str(),
      frame_->Mic(), currentId_);
  event.append(extra).append(currentOpts_).append("\"}");
  if (links.reportDownlink) links.reportDownlink(event, gateway.eui());
  if (links.messages != nullptr) {
    AppEvents events(*links.messages);
    events.Post(device_.devEui.text(), "packet_sent", event);
    if (!currentOpts_.empty()) {
      events.Post(device_.devEui.text(), "mac_sent",
                  "{\"appeui\":\"" + device_.appEui.text() + "\",\"gweui\":\"" + gateway.euiText() +
                      "\",\"opts\":\"" + currentOpts_ + "\"}");
    }
  }
  if (links.database != nullptr) {
    Json::Value parsed;
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 4;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (reader->parse(event.data(), event.data() + event.size(), &parsed, nullptr)) {
      LoraDatabase::DownlinkPacketRecord record =
          LoraDatabase::DownlinkPacketRecord::FromTxpk(parsed);
      record.devAddr = device_.devAddr();
      record.protocolVersion = gateway.protocolVersion();
      record.majorVersion = static_cast<uint8_t>(frame_->Major());
      record.messageType = static_cast<uint8_t>(frame_->MType());
      record.control = joinInProgress_ ? 0 : frame_->FCtrl();
      record.counter = joinInProgress_ ? 0 : currentFCnt_;
      record.port = frameCarriesFront_ ? currentPort_ : -1;
      record.rxWindow = window;
      links.database->AddDownlinkPacket(record);
    }
  }
  if (links.statistics != nullptr) {
    links.statistics->increment(window == 1 ? NetworkStatistics::Counter::tx_1st_wnd
                                            : NetworkStatistics::Counter::tx_2nd_wnd);
  }
}

void DeviceTransmitController::AfterSend(Gateway& gateway) {
  LOG_DEBUG("DeviceTransmitController::TransmitFrame ID: %d", static_cast<int>(currentId_));
  if (joinInProgress_) {
    ResetTracking();
    return;
  }
  if (!confirmedInFlight_) {
    // Only a record that really went leaves the queue; one left out for size waits for a
    // window that can carry it.
    if (frameCarriesFront_ && !queue_.empty()) {
      RemoveFront(true);
      if (queue_.empty() && device_.links().messages != nullptr) {
        AppEvents(*device_.links().messages).Cleared(device_.devEui);
      }
    }
    ResetTracking();
    return;
  }
  LOG_DEBUG("GW:%s|FRAME-TX|ACK-REQUESTED", gateway.euiText().c_str());
  gateway.count(Gateway::Counter::downlinks_ack_requested);
  if (frontSends_ < UINT8_MAX) ++frontSends_;
  Lora::FrameApplicationData& front = queue_.front();
  // Sent, it is no longer scheduled: the next answer, or a class C retry after the
  // acknowledgement time-out counted from this hand-over, sends it again.
  front.dueTime = 0;
  front.scheduledTimestamp = 0;
  lastAttemptMs_ = scheduledDueMs_;
  // Spread in time, the retries of many devices do not all meet at one gateway. Drawn once per
  // transmission: a draw on every look would favour the earliest.
  const SchedulerLinks* sched =
      device_.links().scheduler != nullptr ? &device_.links().scheduler->links() : nullptr;
  retryJitterMs_ =
      sched != nullptr && sched->retryJitterMs ? sched->retryJitterMs() : std::rand() % 1000 - 500;
  if (front.id != 0 && device_.links().database != nullptr) {
    device_.links().database->UpdateQueuedDownlinkRetries(front.id, frontSends_);
  }
}

// --- acknowledgement and unscheduling

void DeviceTransmitController::LoraAcknowledgeReceived() {
  LOG_DEBUG("DeviceTransmitController::LoraAcknowledgeReceived ID: %d",
            static_cast<int>(currentId_));
  ackReceived_ = true;
  confirmedInFlight_ = false;
  if (!queue_.empty() && queue_.front().join == 0) {
    RemoveFront(true);
    if (queue_.empty() && device_.links().messages != nullptr) {
      AppEvents(*device_.links().messages).Cleared(device_.devEui);
    }
  }
  ResetTracking();
}

void DeviceTransmitController::Unschedule() {
  if (!queue_.empty()) {
    if (queue_.front().join != 0) {
      LOG_DEBUG("Cannot unschedule join response, tossing packet");
      queue_.erase(queue_.begin());
    } else {
      LOG_DEBUG("Unschedule frame");
      queue_.front().dueTime = 0;
      queue_.front().scheduledTimestamp = 0;
      offWindowDueMs_ = 0;
    }
  }
  responseRequested_ = false;
  ackPending_ = false;
}

bool DeviceTransmitController::BookedOffWindow() const {
  return !queue_.empty() && offWindowDueMs_ != 0 && queue_.front().dueTime == offWindowDueMs_;
}

void DeviceTransmitController::AnswerNotScheduled() {
  if (!BookedOffWindow()) {
    Unschedule();
    return;
  }
  // Its item is in the transmit queue: forgetting the booking would have the record booked a
  // second time, and the first item would then carry it, at this uplink's window time, long
  // after that window.
  responseRequested_ = false;
  ackPending_ = false;
}

void DeviceTransmitController::Bumped(uint64_t dueMs) {
  // A later answer may already hold the record; only the one that lost its time gives it back.
  if (!queue_.empty() && queue_.front().dueTime == dueMs) Unschedule();
}

uint64_t DeviceTransmitController::MarkScheduled(uint64_t dueMs) {
  windowDueMs_ = dueMs;
  // The answer carries the record sooner than its ping slot or class C hand-over would.
  const uint64_t replaced = BookedOffWindow() ? offWindowDueMs_ : 0;
  offWindowDueMs_ = 0;
  if (!queue_.empty()) queue_.front().dueTime = dueMs;
  return replaced;
}

void DeviceTransmitController::MarkScheduledOffWindow(uint64_t dueMs, uint32_t tmst) {
  if (queue_.empty()) return;
  queue_.front().dueTime = dueMs;
  queue_.front().scheduledTimestamp = tmst;
  offWindowDueMs_ = dueMs;
}

void DeviceTransmitController::CheckRetry(uint64_t nowMs) {
  if (device_.deviceClass != Device::kClassB && device_.deviceClass != Device::kClassC) return;
  // In a class A exchange the answer to the uplink carries the record.
  if (device_.answerPending || queue_.empty()) return;
  Lora::FrameApplicationData& front = queue_.front();
  if (front.join != 0 || front.rxWindow != 0) return;
  if (front.dueTime != 0) {
    // Waiting for its turn; long past it, its transmission was lost on the way (a frame that
    // could not be built), and the record is free to be scheduled again.
    if (nowMs < front.dueTime + kLostScheduleMs) return;
    front.dueTime = 0;
    front.scheduledTimestamp = 0;
    offWindowDueMs_ = 0;
  }
  // A device not heard since start-up, a busy gateway or a missing beacon would otherwise be
  // tried again on every tick of the time thread.
  if (nowMs < nextScheduleTryMs_) return;
  auto schedule = [&] {
    if (!device_.ScheduleSendApplication()) nextScheduleTryMs_ = nowMs + kScheduleRetryMs;
  };
  if (front.ack == 0 || frontSends_ == 0) {
    schedule();
    return;
  }
  const DeviceLinks& links = device_.links();
  const int64_t timeout =
      (links.settings != nullptr ? links.settings->classCAckTimeoutMs : 5000) + retryJitterMs_;
  if (static_cast<int64_t>(nowMs - lastAttemptMs_) <= timeout) return;
  if (frontSends_ >= std::max<unsigned>(1, front.attempts)) {
    DropExhaustedRecord();
    return;
  }
  if (device_.deviceClass == Device::kClassC) schedule();
}

void DeviceTransmitController::DropFrontRecord() {
  if (queue_.empty()) return;
  const Lora::FrameApplicationData& front = queue_.front();
  Json::Value dropped(Json::objectValue);
  dropped["deveui"] = device_.devEui.text();
  dropped["id"] = front.id;
  dropped["port"] = front.port;
  dropped["data_size"] = static_cast<unsigned>(front.size());
  const std::string json = JsonText::Compact(dropped);
  RemoveFront(true);
  if (device_.links().messages != nullptr) {
    AppEvents(*device_.links().messages).DownDropped(device_.devEui.text(), json);
  }
}

void DeviceTransmitController::RemoveFront(bool deleteRow) {
  const Lora::FrameApplicationData& front = queue_.front();
  if (deleteRow && front.id != 0 && device_.links().database != nullptr) {
    device_.links().database->DeleteQueuedDownlink(front.id, device_.devEui.text());
  }
  queue_.erase(queue_.begin());
  frontSends_ = 0;
  offWindowDueMs_ = 0;
}

bool DeviceTransmitController::RemoveQueued(uint32_t id) {
  if (id == 0) return false;
  for (auto record = queue_.begin(); record != queue_.end(); ++record) {
    if (record->id != id) continue;
    if (record == queue_.begin()) {
      frontSends_ = 0;
      if (currentId_ == id) ResetTracking();
    }
    queue_.erase(record);
    return true;
  }
  return false;
}

void DeviceTransmitController::ResetTracking() {
  currentId_ = 0;
  joinInProgress_ = false;
  frameCarriesFront_ = false;
}
