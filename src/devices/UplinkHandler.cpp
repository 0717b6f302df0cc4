#include "devices/UplinkHandler.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "app/AppEvents.h"
#include "app/AppEvents.h"
#include "devices/Device.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "support/Logger.h"

namespace {

constexpr uint64_t kReducedStoreIntervalMs = 300000;
constexpr uint32_t kReducedStoreEvery = 100;

}  // namespace

void UplinkHandler::DispatchUplink(Lora::ReceivedFrame& frame) {
  const uint32_t devAddr = frame.DevAddr();
  DeviceList::LockedDevice device = links_.devices->FindDevice(devAddr);
  if (!device) device = links_.devices->RestoreDevice(devAddr);
  if (!device) {
    if (auto gateway = links_.gateways->find(frame.gatewayEui)) {
      gateway->count(Gateway::Counter::uplinks_nok_unknown);
    }
    throw Lora::ReceivedFrame::MessageRejectException(
        "Message received from unknown device " + UInt64ToHex(devAddr, 8, '-'),
        kUnknownDeviceDetail, frame);
  }
  LOG_DEBUG("GW:%s|PACKET-RX|ADDR: %s FCnt:%04x", Gateway::EuiText(frame.gatewayEui).c_str(),
            device->devAddrText(':').c_str(), frame.FCnt());
  if (links_.messages != nullptr)
    AppEvents(*links_.messages).PacketRecv(device->devEui, frame.rxpk);
  HandleUplink(*device, frame);
}

void UplinkHandler::HandleUplink(Device& device, Lora::ReceivedFrame& frame) {
  std::shared_ptr<Gateway> gateway = FindGateway(device, frame);
  if (!gateway) return;
  device.answerPending = true;
  const uint32_t previous = device.upCounter;
  const uint64_t previousUplinkMs = device.lastUplinkMs;
  const Acceptance acceptance = AcceptFrame(device, frame, *gateway);
  if (acceptance == Acceptance::kDropped) return;
  const bool duplicate = acceptance == Acceptance::kDuplicate;
  CountMissedFrames(device, previous);
  LogPacketErrorRate(device);
  UpdateStatistics(device, frame, *gateway);
  device.transmitController.ReceivedFrame(frame, duplicate);
  FollowClassBit(device, frame);
  LogFrameControl(device, frame);
  const Payload payload = DecryptPayload(device, frame);
  if (!NeedsAnswer(device, frame, duplicate)) return;
  ScheduleAnswer(device, frame);
  if (duplicate) {
    // A confirmed repeat was answered again; its data already went out the first time.
    if (links_.statistics != nullptr)
      links_.statistics->increment(NetworkStatistics::Counter::rx_dups);
    return;
  }
  StoreUplink(device, frame, payload, previousUplinkMs, *gateway);
  const std::string json = PublishUplink(device, frame, payload);
  ReportUplink(json, frame);
}

std::shared_ptr<Gateway> UplinkHandler::FindGateway(const Device& device,
                                                    const Lora::ReceivedFrame& frame) {
  std::shared_ptr<Gateway> gateway = links_.gateways->find(frame.gatewayEui);
  if (!gateway) {
    LOG_ERROR("ED:%s|GW-ERROR|Failed to find gateway %s", device.devEui.text().c_str(),
              Gateway::EuiText(frame.gatewayEui).c_str());
  }
  return gateway;
}

UplinkHandler::Acceptance UplinkHandler::AcceptFrame(Device& device,
                                                     const Lora::ReceivedFrame& frame,
                                                     Gateway& gateway) {
  const bool candidate = device.uplinkSeen && frame.FCnt() == (device.upCounter & 0xFFFF);
  uint32_t counter = 0;
  if (!device.CheckFrame(frame, candidate, counter)) {
    LOG_WARNING("ED:%s|DROP-PKT|Addr: %s Duplicate: %s", device.devEui.text().c_str(),
                device.devAddrText(':').c_str(), candidate ? "yes" : "no");
    // A forged copy of the last frame says nothing about the gateway's reception.
    if (!candidate) gateway.count(Gateway::Counter::uplinks_nok_mic);
    return Acceptance::kDropped;
  }
  if (!candidate) return Acceptance::kNew;
  // The device repeats a confirmed uplink when our acknowledgement did not reach it.
  if (frame.IsConfirmed() && links_.statistics != nullptr) {
    links_.statistics->increment(NetworkStatistics::Counter::tx_ack_missed);
  }
  return Acceptance::kDuplicate;
}

void UplinkHandler::CountMissedFrames(Device& device, uint32_t previous) {
  if (static_cast<uint64_t>(device.upCounter) <= static_cast<uint64_t>(previous) + 1) return;
  const uint32_t missed = device.upCounter - previous - 1;
  LOG_INFO("ED:%s|MISSED-PKT|Count: %d", device.devEui.text().c_str(), static_cast<int>(missed));
  if (links_.statistics != nullptr) {
    links_.statistics->add(NetworkStatistics::Counter::pkts_missed, missed);
  }
  if (links_.messages != nullptr) AppEvents(*links_.messages).PacketMissed(device.devEui, missed);
  // The first frames after a join or a restore are not losses of this session.
  if (device.receivedCount > 1) device.missedCount += missed;
}

void UplinkHandler::LogPacketErrorRate(const Device& device) {
  const uint32_t total = device.missedCount + device.receivedCount;
  const float rate =
      total == 0 ? 0.0f
                 : 100.0f * static_cast<float>(device.missedCount) / static_cast<float>(total);
  LOG_INFO("ED:%s|PER|%f%%", device.devEui.text().c_str(), static_cast<double>(rate));
}

void UplinkHandler::UpdateStatistics(Device& device, const Lora::ReceivedFrame& frame,
                                     Gateway& gateway) {
  ++device.receivedCount;
  device.rssi.Add(frame.rssi);
  device.snr.Add(frame.snr);
  gateway.count(Gateway::Counter::uplinks_ok);
  if (links_.statistics != nullptr)
    links_.statistics->increment(NetworkStatistics::Counter::rx_pkts);
}

void UplinkHandler::FollowClassBit(Device& device, const Lora::ReceivedFrame& frame) {
  // A class C device stays C whatever the bit says; A and B follow it.
  if (device.deviceClass == Device::kClassC) return;
  const bool classB = Lora::IsClassB(frame);
  if (classB != (device.deviceClass == Device::kClassB)) {
    device.SetClass(classB ? Device::kClassB : Device::kClassA);
  }
}

void UplinkHandler::LogFrameControl(const Device& device, const Lora::ReceivedFrame& frame) {
  const char* letter = Lora::IsClassB(frame)                   ? "B"
                       : device.deviceClass == Device::kClassA ? "A"
                                                               : "C";
  LOG_INFO("ED:%s|FCTRL|ADR:%d ADRACK:%d ACK:%d CLASS:%s OPTS:%d ", device.devEui.text().c_str(),
           frame.IsAdr() ? 1 : 0, frame.IsAdrAckReq() ? 1 : 0, frame.IsAck() ? 1 : 0, letter,
           static_cast<int>(frame.FOptsLen()));
}

UplinkHandler::Payload UplinkHandler::DecryptPayload(Device& device, Lora::ReceivedFrame& frame) {
  Payload payload;
  const long n = static_cast<long>(frame.size()) - static_cast<long>(Lora::kMicSize) -
                 static_cast<long>(Lora::kFOptsOffset + frame.FOptsLen());
  if (n < 1) return payload;
  payload.port = frame.data[frame.FPortOffset()];
  if (n == 1) return payload;
  payload.offset = frame.FrmPayloadOffset();
  payload.length = static_cast<size_t>(n - 1);
  uint8_t* bytes = frame.data + payload.offset;
  const bool macCommands = payload.port == 0;
  EncryptPayload(bytes, payload.length, macCommands ? device.nwkSKey : device.appSKey,
                 device.devAddr(), true, device.upCounter, bytes);
  if (macCommands && links_.parseMacCommands) {
    links_.parseMacCommands(device, frame, bytes, payload.length);
  }
  return payload;
}

bool UplinkHandler::NeedsAnswer(const Device& device, const Lora::ReceivedFrame& frame,
                                bool duplicate) {
  if (!duplicate) return true;
  if (!frame.IsConfirmed()) return false;
  // A device that missed our acknowledgement repeats after its retry delay; a copy arriving
  // sooner was heard by another gateway and has been answered already. That copy may even have
  // been decoded before the one accepted first (the packet workers race for the device lock), so
  // a reception older than the last uplink is no time at all, not a wrapped difference.
  if (frame.receptionTimeMs <= device.lastUplinkMs) return false;
  return frame.receptionTimeMs - device.lastUplinkMs > kConfirmedRepeatHoldOffMs;
}

void UplinkHandler::ScheduleAnswer(Device& device, const Lora::ReceivedFrame& frame) {
  if (links_.scheduleResponse) links_.scheduleResponse(device, frame);
}

void UplinkHandler::StoreUplink(Device& device, const Lora::ReceivedFrame& frame,
                                const Payload& payload, uint64_t previousUplinkMs,
                                const Gateway& gateway) {
  if (links_.database == nullptr) return;
  // With reduced updates, the silence is measured from the uplink before this one: the last
  // uplink time already is this frame's.
  const bool reduced = links_.settings != nullptr && links_.settings->reducedPacketUpdates;
  if (reduced && device.receivedCount % kReducedStoreEvery != 0 &&
      frame.receptionTimeMs - previousUplinkMs <= kReducedStoreIntervalMs) {
    return;
  }
  LoraDatabase::UplinkPacketRecord record;
  record.devAddr = device.devAddr();
  record.gatewayEui = frame.gatewayEui;
  record.protocolVersion = gateway.protocolVersion();
  record.rxTime = std::chrono::system_clock::now();
  record.tmst = frame.tmst;
  record.frequencyHz = frame.frequency;
  record.channel = frame.chan;
  record.rfChain = frame.rfChain;
  record.fsk = frame.fsk != 0;
  char text[32];
  if (!record.fsk) {
    std::snprintf(text, sizeof text, "SF%uBW%u", frame.spreadingFactor, frame.bandwidthKHz);
    record.datarate = text;
  }
  if (frame.codingRateDen != 0) {
    std::snprintf(text, sizeof text, "%u/%u", frame.codingRateNum, frame.codingRateDen);
    record.coderate = text;
  }
  record.rssi = frame.rssi;
  record.snrCb = frame.snr;
  record.dataSize = static_cast<uint16_t>(frame.size());
  record.majorVersion = static_cast<uint8_t>(frame.Major());
  record.messageType = static_cast<uint8_t>(frame.MType());
  record.control = frame.FCtrl();
  record.counter = device.upCounter;
  if (frame.HasFOpts()) record.commands = BytesToHex(frame.FOpts(), frame.FOptsLen(), true, 0);
  record.port = frame.HasFPort() ? payload.port : -1;
  std::vector<char> base64(Base64EncodedCapacity(payload.length));
  Base64Encode(frame.data + payload.offset, payload.length, base64.data(), true);
  record.data = base64.data();
  std::snprintf(text, sizeof text, "%08x", frame.Mic());
  record.mic = text;
  links_.database->AddUplinkPacket(record);
  links_.database->UpdateUpCounter(device.devAddr(), device.upCounter);
}

std::string UplinkHandler::PublishUplink(const Device& device, const Lora::ReceivedFrame& frame,
                                         const Payload& payload) {
  if (links_.messages == nullptr) return {};
  UplinkRecord record;
  record.rxpk = frame.rxpk;
  record.fsk = frame.fsk != 0;
  record.fcnt = frame.FCnt();
  record.fctrl = frame.FCtrl();
  record.port = payload.port;
  record.header = frame.data;
  record.fopts = frame.data + Lora::kFOptsOffset;
  record.foptsLength = frame.FOptsLen();
  record.payload = frame.data + payload.offset;
  record.payloadLength = payload.length;
  record.appEui = device.appEui.text();
  record.devEui = device.devEui.text();
  record.gatewayEui = frame.gatewayEui;
  record.seqn = device.upCounter;
  return AppEvents(*links_.messages).Up(record);
}

// The server installs the report only when the management service wants packet metadata.
void UplinkHandler::ReportUplink(const std::string& json, const Lora::ReceivedFrame& frame) {
  if (links_.reportUplink && !json.empty()) links_.reportUplink(json, frame.gatewayEui, frame.size());
}
