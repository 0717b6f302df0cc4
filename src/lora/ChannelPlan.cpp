#include "lora/ChannelPlan.h"

#include <algorithm>
#include <cstdio>

#include "Settings.h"
#include "lora/ConfigRead.h"
#include "support/Logger.h"

namespace Lora {

namespace {

int8_t ConfiguredDatarate(const Json::Value& lora, const char* key, int8_t fixed, int8_t fallback,
                          int8_t highest) {
  if (fixed >= 0) return fixed;
  int64_t value = ConfigRead::IntegerOr(lora, key, fallback);
  return static_cast<int8_t>(std::clamp<int64_t>(value, 0, highest));
}

}  // namespace

ChannelPlan::ChannelPlan(const Json::Value& config, const Settings& settings,
                         const RegionParams& region)
    : config_(config),
      settings_(settings),
      region_(region),
      maxDeviceTxPower_(region.maxDeviceTxPower),
      minDownlinkDatarate_(region.minDownlinkDatarate),
      maxDownlinkDatarate_(region.maxDownlinkDatarate),
      maxRx1DatarateOffset_(region.maxRx1DatarateOffset),
      snrOffset_(region.snrOffset),
      cfListSupported_(region.cfListSupported),
      dutyCycleEnforced_(region.dutyCycleEnforced),
      maxPayloadTable_(region.maxPayloadTable),
      channelMask_(region.defaultChannelMask) {
  refreshDatarateBounds();
}

ChannelPlan::~ChannelPlan() = default;

void ChannelPlan::refreshDatarateBounds() {
  minDatarate_ = ConfiguredDatarate(lora(), "minDatarate", region_.fixedMinDatarate, 0,
                                    region_.highestUplinkDatarate);
  maxDatarate_ = ConfiguredDatarate(lora(), "maxDatarate", region_.fixedMaxDatarate,
                                    region_.defaultMaxDatarate, region_.highestUplinkDatarate);
  // AS923 uplink dwell time: DR0 and DR1 frames cannot stay within 400 ms, whatever the
  // configured lower bound says.
  if (region_.region == Region::AS923 && loraInteger("dwelltimeUp", 0) == 1) minDatarate_ = 2;
}

void ChannelPlan::fillLinkAdrChannelMask(uint8_t* out) const {
  out[0] = static_cast<uint8_t>(channelMask_);
  out[1] = static_cast<uint8_t>(channelMask_ >> 8);
  out[2] = 0x01;  // ChMaskCntl 0, NbTrans 1
}

int8_t ChannelPlan::nextLowerTxPower(int8_t dBm) const {
  int step = dBm == 20 ? region_.txPowerStepFrom20 : region_.txPowerStep;
  return static_cast<int8_t>(std::max<int>(dBm - step, minDeviceTxPower_));
}

int8_t ChannelPlan::datarateForSnr(int32_t snrTenths) const {
  int64_t datarate = (static_cast<int64_t>(snrTenths) + snrOffset_) / snrStep_;
  if (datarate > maxDatarate_) datarate = maxDatarate_;
  if (datarate < minDatarate_) datarate = minDatarate_;
  return static_cast<int8_t>(datarate);
}

int32_t ChannelPlan::maxRadioTxPower(uint32_t) const {
  return std::max(std::min(settings_.maxTxPower, region_.radioEirpCap) - settings_.antennaGain, 0);
}

void ChannelPlan::configureChannelMask(const std::string& text) {
  if (!applyChannelMaskText(text)) channelMask_ = region_.defaultChannelMask;
}

uint32_t ChannelPlan::channelMaskWord(unsigned) const { return channelMask_; }

uint32_t ChannelPlan::rx1Frequency(uint32_t uplinkFrequencyHz) const { return uplinkFrequencyHz; }

uint8_t ChannelPlan::dutyCycleBand(uint32_t frequencyHz) const {
  for (size_t i = 0; i < region_.dutyCycleBandCount; ++i) {
    const DutyCycleBandRange& range = region_.dutyCycleBands[i];
    if (frequencyHz >= range.lowHz && frequencyHz <= range.highHz) return range.band;
  }
  return 0;
}

DatarateParams ChannelPlan::datarateToSfBw(int8_t datarate) const {
  DatarateParams params;
  if (datarate >= 0 && datarate < kDatarateCount) {
    const DatarateEntry& entry = region_.datarates[datarate];
    if (entry.spreadingFactor != 0) {
      params.spreadingFactor = entry.spreadingFactor;
      params.bandwidth = entry.bandwidthKhz;
      return params;
    }
  }
  if (datarate > region_.highest125KhzDatarate) params.bandwidth = region_.invalidHighBandwidthKhz;
  LOG_ERROR("invalid datarate index %d", datarate);
  return params;
}

int8_t ChannelPlan::sfBwToDatarate(uint32_t bandwidthKhz, uint32_t spreadingFactor) const {
  // Ascending, so that a pair listed twice (AU915 SF8 at 500 kHz) gives its lower index.
  for (int8_t datarate = 0; datarate < kDatarateCount; ++datarate) {
    const DatarateEntry& entry = region_.datarates[datarate];
    if (entry.spreadingFactor == 0 || entry.spreadingFactor != spreadingFactor) continue;
    // FSK is known by its spreading factor alone.
    if (spreadingFactor == 13 || entry.bandwidthKhz == bandwidthKhz) return datarate;
  }
  return 0;
}

uint8_t ChannelPlan::joinAcceptLength() const {
  return cfListSupported_ ? kJoinAcceptLengthWithCfList : kJoinAcceptLengthWithoutCfList;
}

RxWindowParams ChannelPlan::rxWindow(bool isJoin, uint32_t uplinkFrequencyHz, int8_t uplinkDatarate,
                                     uint8_t window) const {
  RxWindowParams params;
  params.window = window;
  int datarate = 0;
  if (window == 1) {
    if (!isJoin) {
      datarate = rx1Datarate(uplinkDatarate);
    } else if (region_.rx1UplinkShift == 0) {
      datarate = uplinkDatarate;
    } else {
      datarate = std::min<int>(uplinkDatarate + region_.rx1UplinkShift, maxDownlinkDatarate_);
    }
    params.frequency = rx1Frequency(uplinkFrequencyHz);
  } else if (window == 2) {
    if (isJoin) {
      datarate = region_.joinRx2Datarate;
      params.frequency = region_.joinRx2FrequencyHz;
    } else {
      datarate = static_cast<int>(std::clamp<int64_t>(loraInteger("rx2Datarate", 0), -128, 127));
      params.frequency = configuredRx2Frequency();
    }
  } else {
    LOG_ERROR("invalid window %d", window);
    return params;
  }
  return withDatarate(params, datarate);
}

uint8_t ChannelPlan::maxPayload(int8_t datarate) const {
  if (maxPayloadTable_ == nullptr || datarate < 0 || datarate >= kDatarateCount) return 0;
  return maxPayloadTable_[datarate];
}

bool ChannelPlan::buildCfList(uint8_t*, size_t) const { return false; }

std::string ChannelPlan::cfListHex() const {
  if (!cfListSupported_) return std::string();
  uint8_t joinAccept[kJoinAcceptBufferSize + 1] = {};
  if (!buildCfList(joinAccept, sizeof(joinAccept))) return std::string();
  char hex[kCfListSize * 2 + 1];
  for (size_t i = 0; i < kCfListSize; ++i) {
    snprintf(hex + 2 * i, 3, "%02x", joinAccept[kCfListOffset + i]);
  }
  return std::string(hex, kCfListSize * 2);
}

void ChannelPlan::setSubBand(uint8_t subBand) { subBand_ = subBand; }

size_t ChannelPlan::fillLinkAdrBlocks(uint8_t* out) const {
  fillLinkAdrChannelMask(out);
  // A channel the device never heard of makes it refuse the whole request, and an empty mask is
  // refused too: ask only for channels it has, or for all it has.
  uint16_t mask = static_cast<uint16_t>(out[0] | (out[1] << 8)) & deviceChannelMask();
  if (mask == 0) mask = deviceChannelMask();
  out[0] = static_cast<uint8_t>(mask);
  out[1] = static_cast<uint8_t>(mask >> 8);
  return 1;
}

uint16_t ChannelPlan::deviceChannelMask() const {
  std::call_once(deviceChannelsOnce_, [this] {
    uint16_t mask = static_cast<uint16_t>(region_.defaultChannelMask);
    int defaults = 0;
    while (defaults < 16 && (mask & (1u << defaults)) != 0) ++defaults;
    uint8_t joinAccept[kJoinAcceptBufferSize] = {};
    if (cfListSupported_ && buildCfList(joinAccept, sizeof joinAccept)) {
      // CFList entries 0-4 become the channels after the defaults; an all-zero entry adds none.
      for (int i = 0; i < 5 && defaults + i < 16; ++i) {
        const uint8_t* entry = joinAccept + kCfListOffset + 3 * i;
        if ((entry[0] | entry[1] | entry[2]) != 0)
          mask |= static_cast<uint16_t>(1u << (defaults + i));
      }
    }
    deviceChannels_ = mask;
  });
  return deviceChannels_;
}

const Json::Value& ChannelPlan::lora() const { return ConfigRead::Member(config_, "lora"); }

int64_t ChannelPlan::loraInteger(const char* key, int64_t fallback) const {
  return ConfigRead::IntegerOr(lora(), key, fallback);
}

bool ChannelPlan::loraFlag(const char* key) const { return ConfigRead::Flag(lora(), key); }

bool ChannelPlan::isPublicNetwork() const { return ConfigRead::NetworkMode(config_) != 0; }

uint32_t ChannelPlan::loraFrequency(const char* key) const {
  int64_t frequency = loraInteger(key, 0);
  return frequency > 0 && frequency <= UINT32_MAX ? static_cast<uint32_t>(frequency) : 0;
}

uint32_t ChannelPlan::configuredRx2Frequency() const {
  uint32_t frequency = loraFrequency("rx2Frequency");
  return frequency != 0 ? frequency : region_.joinRx2FrequencyHz;
}

int ChannelPlan::rx1Datarate(int uplinkDatarate) const {
  int64_t offset = loraInteger("rx1DatarateOffset", 0);
  int64_t datarate = uplinkDatarate + region_.rx1UplinkShift;
  if (region_.rx1OffsetRule == Rx1OffsetRule::kExtended && offset >= 6) {
    datarate += offset == 6 ? 1 : 2;
  } else {
    datarate -= offset;
  }
  return static_cast<int>(
      std::clamp<int64_t>(datarate, minDownlinkDatarate_, maxDownlinkDatarate_));
}

RxWindowParams ChannelPlan::withDatarate(RxWindowParams params, int datarate) const {
  DatarateParams sfBw = datarateToSfBw(static_cast<int8_t>(std::clamp(datarate, -128, 127)));
  params.bandwidth = sfBw.bandwidth;
  params.spreadingFactor = sfBw.spreadingFactor;
  return params;
}

bool ChannelPlan::applyChannelMaskText(const std::string& text) {
  if (text.empty()) return false;
  uint64_t mask = 0;
  if (text.size() > 4 || !parseHex(text, 0, text.size(), &mask)) {
    LOG_WARNING("Invalid channel mask '%s', using the %s default", text.c_str(), region_.name);
    return false;
  }
  channelMask_ = static_cast<uint32_t>(mask);
  return true;
}

bool ChannelPlan::parseHex(const std::string& text, size_t begin, size_t end, uint64_t* out) {
  uint64_t value = 0;
  for (size_t i = begin; i < end; ++i) {
    char c = text[i];
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  *out = value;
  return true;
}

void ChannelPlan::writeCfListEntry(uint8_t* joinAccept, int index, uint32_t frequencyHz,
                                   bool logged) {
  uint32_t units = frequencyHz / 100;
  if (logged) LOG_DEBUG("Freq %d: %u", index, units);
  uint8_t* entry = joinAccept + kCfListOffset + 3 * index;
  entry[0] = static_cast<uint8_t>(units);
  entry[1] = static_cast<uint8_t>(units >> 8);
  entry[2] = static_cast<uint8_t>(units >> 16);
}

void ChannelPlan::writeCfListSeries(uint8_t* joinAccept, uint32_t firstHz, int count) {
  for (int i = 0; i < count; ++i) {
    writeCfListEntry(joinAccept, i, firstHz + 200000 * static_cast<uint32_t>(i));
  }
}

bool ChannelPlan::cfListBufferFits(size_t size) {
  if (size >= kJoinAcceptBufferSize) return true;
  LOG_ERROR("Join accept buffer of %zu bytes cannot hold a CFList", size);
  return false;
}

void ChannelPlan::clearCfList(uint8_t* joinAccept) {
  std::fill(joinAccept + kCfListOffset, joinAccept + kJoinAcceptBufferSize, 0);
}

}  // namespace Lora
