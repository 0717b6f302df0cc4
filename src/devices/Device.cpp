#include "devices/Device.h"

#include <algorithm>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "app/AppEvents.h"
#include "devices/NetworkStatistics.h"
#include "downlink/DownlinkScheduler.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "support/Logger.h"

void SignalStatistics::Add(int16_t value) {
  if (count == 0) {
    minimum = maximum = value;
    count = 1;
  } else {
    minimum = std::min(minimum, value);
    maximum = std::max(maximum, value);
    if (count < kMaxSamples) ++count;
  }
  // Each division truncates on its own, as the integer mean has always been kept.
  average = static_cast<int16_t>(average + value / count - average / count);
}

Device::Device(uint32_t devAddr, const DeviceLinks& links, uint64_t created)
    : ElementTemplate(devAddr), createdMs(created), transmitController(*this), links_(links) {}

Device::~Device() = default;

std::string Device::devAddrText(char separator) const {
  return UInt64ToHex(devAddr(), 8, separator);
}

uint32_t Device::TakeDownCounter() {
  uint32_t value = nextDownCounter;
  if (value != kExpiredCounter) ++nextDownCounter;
  if (links_.database != nullptr) links_.database->UpdateDownCounter(devAddr(), value);
  return value;
}

void Device::SetDownCounter(uint32_t value) {
  nextDownCounter = value + 1;
  if (links_.database != nullptr) links_.database->UpdateDownCounter(devAddr(), value);
}

void Device::ResetDownCounter() {
  nextDownCounter = 0;
  if (links_.database != nullptr) links_.database->UpdateDownCounter(devAddr(), 0);
}

void Device::SetUpCounter(uint32_t value) {
  upCounter = value;
  if (links_.database != nullptr) links_.database->UpdateUpCounter(devAddr(), value);
}

void Device::ResetUpCounter() { SetUpCounter(0); }

void Device::SaveSessionKeys() {
  if (links_.database != nullptr) {
    links_.database->SaveSessionKeys(devAddr(), nwkSKey.text(), appSKey.text());
  }
}

void Device::ExpireSession() {
  nextDownCounter = kExpiredCounter;
  upCounter = kExpiredCounter;
  if (links_.database != nullptr) {
    links_.database->UpdateDownCounter(devAddr(), kExpiredCounter);
    links_.database->UpdateUpCounter(devAddr(), kExpiredCounter);
  }
}

const char* Device::ClassLetter() const {
  switch (deviceClass) {
    case kClassB:
      return "B";
    case kClassC:
      return "C";
    default:
      return "A";
  }
}

void Device::SetClass(uint32_t value) {
  deviceClass = value == kClassB ? kClassB : value == kClassC ? kClassC : kClassA;
  if (links_.messages != nullptr) AppEvents(*links_.messages).Class(devEui, deviceClass);
  LOG_INFO("Mote %s is now Class %s", devAddrText(':').c_str(), ClassLetter());
  if (links_.database != nullptr) links_.database->UpdateDeviceClass(devAddr(), ClassLetter());
}

bool Device::Enqueue(const Lora::FrameApplicationData& payload) {
  if (!transmitController.QueueApplicationData(payload)) return false;
  // A record behind others waits for them; the time thread's retry check moves it on.
  if (payload.join == 0 && transmitController.QueueLength() == 1 &&
      (deviceClass == kClassB || deviceClass == kClassC) && !answerPending) {
    ScheduleSendApplication();
  }
  return true;
}

bool Device::ScheduleSendApplication() {
  LOG_DEBUG("Device::ScheduleSendApplication Class: %d", static_cast<int>(deviceClass));
  if (links_.scheduler == nullptr || answerPending || transmitController.QueueLength() == 0) {
    return false;
  }
  if (deviceClass == kClassC) return links_.scheduler->ScheduleClassC(*this);
  if (deviceClass == kClassB) return links_.scheduler->ScheduleClassB(*this);
  return false;
}

bool Device::CheckFrame(const Lora::ReceivedFrame& frame, bool duplicate, uint32_t& counter) {
  bool passed = CheckCounter(frame, duplicate, counter);
  LOG_INFO("ED:%s|CHECK-PKT|FCNT: %08x LAST-FCNT: %08x Duplicate: %s", devEui.text().c_str(),
           counter, upCounter, duplicate ? "yes" : "no");
  LOG_INFO("ED:%s|CHECK-MIC|ADDR: %s %s", devEui.text().c_str(), devAddrText('-').c_str(),
           passed ? "passed" : "failed");
  if (passed && !duplicate) {
    upCounter = counter;
    lastUplinkMs = frame.receptionTimeMs;
    uplinkSeen = true;
  }
  return passed;
}

bool Device::CheckCounter(const Lora::ReceivedFrame& frame, bool duplicate, uint32_t& counter) {
  const uint32_t last = upCounter;
  const uint32_t f16 = frame.FCnt();
  counter = f16;
  if (IsExpired()) {
    LOG_WARNING("ED:%s|EXPIRED|Session has expired for DevAddr %s", devEui.text().c_str(),
                devAddrText(':').c_str());
    return false;
  }
  if (duplicate) {
    LOG_TRACE("Test authentication of duplicate frame");
    counter = f16 | (last & 0xFFFF0000u);
    return CheckMic(frame, last, true);
  }

  // An FCnt equal to the stored low half is a roll-over, never the same frame again: the
  // duplicate path above is the only way to accept the last counter twice.
  uint32_t high = last >> 16;
  if (last != 0 && f16 <= (last & 0xFFFF)) high = (high + 1) & 0xFFFF;
  const uint32_t full = f16 | (high << 16);
  counter = full;

  const bool strict = links_.settings == nullptr || links_.settings->strictCounterValidation;
  if (strict) {
    const uint32_t gap = full - last;
    if (last == 0 || gap <= kMaxFCntGap) return CheckMic(frame, full, true);
    LOG_WARNING("ED:%s|CHECK-PKT|MAX_FCNT_GAP exceeded diff: %llu", devEui.text().c_str(),
                static_cast<unsigned long long>(gap));
    return false;
  }

  LOG_WARNING("Performing lazy check of counter, replay attack possible");
  if (CheckMic(frame, full, true)) return true;
  return LazyCounterSearch(frame, counter);
}

// A device that restarted (counter from 0) or was away long enough to lose count is searched
// for among the nearby counter halves. The search compares MICs quietly: the frame has already
// been counted once as a MIC failure, and a hundred more would only bury the real ones.
bool Device::LazyCounterSearch(const Lora::ReceivedFrame& frame, uint32_t& counter) {
  if (!frame.HasMic() || frame.size() < Lora::kFOptsOffset + Lora::kMicSize) return false;
  const uint32_t f16 = frame.FCnt();
  // The frame's reception is the moment the silence is measured to.
  const uint32_t elapsed = static_cast<uint32_t>(frame.receptionTimeMs - lastUplinkMs);
  LOG_TRACE("%lu ms since last packet", static_cast<unsigned long>(elapsed));
  const int64_t resetMs = links_.settings != nullptr ? links_.settings->deviceResetTimeMs : 10000;
  const int64_t lostMs = links_.settings != nullptr ? links_.settings->deviceLostTimeMs : 600000;
  auto authenticates = [&](uint32_t candidate) {
    MicBytes mic = ComputeDataMic(frame.data, frame.size() - Lora::kMicSize, nwkSKey, devAddr(),
                                  true, candidate);
    return frame.MicEquals(mic.data());
  };
  if (static_cast<int64_t>(elapsed) > resetMs) {
    for (uint32_t high = 0; high <= 100; ++high) {
      if (authenticates(f16 | high << 16)) {
        counter = f16 | high << 16;
        return true;
      }
    }
  }
  if (static_cast<int64_t>(elapsed) > lostMs) {
    const uint32_t base = upCounter >> 16;
    for (uint32_t step = 1; step <= 101; ++step) {
      const uint32_t candidate = f16 | ((base + step) & 0xFFFF) << 16;
      if (authenticates(candidate)) {
        counter = candidate;
        return true;
      }
    }
  }
  return false;
}

bool Device::CheckMic(const Lora::ReceivedFrame& frame, uint32_t counter, bool sequenceTest) {
  if (sequenceTest && counter < upCounter) {
    LOG_INFO("Device %s failed seq number test %x last success %x", devAddrText(':').c_str(),
             counter, upCounter);
    return false;
  }
  if (!frame.HasMic()) return false;
  // A frame too short for a data header and a MIC is never taken, since its "MIC" overlaps the
  // header a key holder chose; it is refused, and counted, as any other wrong MIC.
  if (frame.size() >= Lora::kFOptsOffset + Lora::kMicSize) {
    if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::TRACE_LEVEL)) {
      LOG_TRACE("AUTH KEY: %s", BytesToHex(nwkSKey.data, 16, true, '.').c_str());
    }
    MicBytes mic = ComputeDataMic(frame.data, frame.size() - Lora::kMicSize, nwkSKey, devAddr(),
                                  true, counter);
    if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::TRACE_LEVEL)) {
      LOG_TRACE("PMIC: %s CMIC: %s",
                BytesToHex(frame.data + frame.size() - Lora::kMicSize, 4, true, 0).c_str(),
                BytesToHex(mic.data(), 4, true, 0).c_str());
    }
    if (frame.MicEquals(mic.data())) return true;
  }

  LOG_WARNING("ED:%s|CHECK-PKT|MIC Check Failed 0x%08x", devEui.text().c_str(), counter);
  if (links_.gateways != nullptr) {
    if (auto gateway = links_.gateways->find(frame.gatewayEui)) {
      gateway->count(Gateway::Counter::mic_fails);
    }
  }
  if (links_.statistics != nullptr) {
    links_.statistics->increment(NetworkStatistics::Counter::rx_mic_fails);
  }
  return false;
}
