// The four plans with one channel mask and a CFList: AS923, EU868, IN865, KR920.
#include "lora/ChannelPlans.h"

#include <algorithm>
#include <cstdlib>

#include "Settings.h"
#include "lora/ConfigRead.h"
#include "lora/RegionTables.h"
#include "support/Logger.h"

namespace Lora {

using Regions::MHz;

namespace {

bool InRange(uint32_t value, uint32_t low, uint32_t high) { return value >= low && value <= high; }

}  // namespace

// ---- AS923 -----------------------------------------------------------------------------------

namespace {
constexpr uint32_t kAS923LowLow = MHz(920.5);
constexpr uint32_t kAS923LowHigh = MHz(922.6);
constexpr uint32_t kAS923HighLow = MHz(924.1);
constexpr uint32_t kAS923HighHigh = MHz(927.5);
}  // namespace

ChannelPlan_AS923::ChannelPlan_AS923(const Json::Value& config, const Settings& settings)
    : ChannelPlan(config, settings, Regions::kAS923) {
  if (downlinkDwellTime()) minDownlinkDatarate_ = 2;
  if (loraFlag("lbtEnabled")) maxDownlinkDatarate_ = 5;
}

void ChannelPlan_AS923::configureChannelMask(const std::string& text) {
  if (applyChannelMaskText(text)) return;
  uint32_t mask = region_.defaultChannelMask;
  bool centreSet = loraFrequency("frequencyAS") != 0;
  if (loraFlag("lbtEnabled")) {
    mask = centreSet ? 0x007F : 0x0003;
  } else if (maxDatarate_ >= 6) {
    mask = centreSet ? 0x01FF : 0x0183;
    if (maxDatarate_ == 7) mask |= 0x0300;
  }
  channelMask_ = mask;
}

uint8_t ChannelPlan_AS923::txPowerIndex(int8_t dBm) const {
  const Json::Value& maxEirp = ConfigRead::Member(lora(), "maxEIRP");
  int m =
      maxEirp.isNumeric() ? static_cast<int>(std::clamp(maxEirp.asDouble(), -128.0, 127.0)) : 20;
  if (dBm > m) return 0;
  if (dBm < m - 10) return 5;
  return static_cast<uint8_t>((m - dBm) / 2);
}

RxWindowParams ChannelPlan_AS923::rxWindow(bool isJoin, uint32_t uplinkFrequencyHz,
                                           int8_t uplinkDatarate, uint8_t window) const {
  RxWindowParams params = ChannelPlan::rxWindow(isJoin, uplinkFrequencyHz, uplinkDatarate, window);
  if (window != 1 || isJoin) return params;
  // With downlink dwell time DR0 and DR1 cannot carry a frame; above the floor RX1 never goes past
  // DR5, the fastest LoRa rate.
  int floor = downlinkDwellTime() ? 2 : 0;
  int datarate = rx1Datarate(uplinkDatarate);
  datarate = datarate <= floor ? floor : std::min(datarate, 5);
  return withDatarate(params, datarate);
}

bool ChannelPlan_AS923::downlinkDwellTime() const {
  const Json::Value& dwellTime = ConfigRead::Member(lora(), "dwelltimeDown");
  return !(dwellTime.isNumeric() && dwellTime.asDouble() == 0.0);
}

uint8_t ChannelPlan_AS923::maxPayload(int8_t datarate) const {
  if (datarate < 0 || datarate >= kDatarateCount) return 0;
  return (downlinkDwellTime() ? Regions::kMaxPayloadAS923DwellTime : Regions::kMaxPayloadAS923)[datarate];
}

bool ChannelPlan_AS923::buildCfList(uint8_t* joinAccept, size_t size) const {
  if (!cfListBufferFits(size)) return false;
  uint32_t centre = loraFrequency("frequencyAS");
  if (!InRange(centre, kAS923LowLow, kAS923LowHigh) &&
      !InRange(centre, kAS923HighLow, kAS923HighHigh)) {
    LOG_WARNING("Configured AS Center Frequency %lu out of range [%lu,%lu] or [%lu,%lu]",
                static_cast<unsigned long>(centre), static_cast<unsigned long>(kAS923LowLow),
                static_cast<unsigned long>(kAS923LowHigh),
                static_cast<unsigned long>(kAS923HighLow),
                static_cast<unsigned long>(kAS923HighHigh));
    return false;
  }
  clearCfList(joinAccept);
  writeCfListSeries(joinAccept, centre - 400000, 5);
  return true;
}

// ---- EU868 -----------------------------------------------------------------------------------

namespace {
constexpr uint32_t kEU868CentreLow = MHz(863.5);
constexpr uint32_t kEU868CentreHigh = MHz(867.5);
constexpr uint32_t kEU868UpperCentreLow = MHz(869.1);
constexpr uint32_t kEU868UpperCentreHigh = MHz(869.5);
// The 869.4 - 869.65 MHz sub-band allows 500 mW ERP; everything else 25 mW.
constexpr uint32_t kEU868HighPowerLow = MHz(869.4);
constexpr uint32_t kEU868HighPowerHigh = MHz(869.65);
// This card's front end cannot deliver more than 20 dBm conducted.
constexpr const char* kLowPowerCard = "VOLK-LORA-1.0";
}  // namespace

ChannelPlan_EU868::ChannelPlan_EU868(const Json::Value& config, const Settings& settings)
    : ChannelPlan(config, settings, Regions::kEU868) {}

int32_t ChannelPlan_EU868::maxRadioTxPower(uint32_t frequencyHz) const {
  int32_t gain = settings_.antennaGain;
  int32_t limit = 14;
  if (InRange(frequencyHz, kEU868HighPowerLow, kEU868HighPowerHigh)) {
    bool lowPowerCard = ConfigRead::Text(settings_.card1, "hwVersion") == kLowPowerCard;
    limit = lowPowerCard ? gain + 20 : 27;
  }
  return std::max(std::min(limit, settings_.maxTxPower) - gain, 0);
}

void ChannelPlan_EU868::configureChannelMask(const std::string& text) {
  if (applyChannelMaskText(text)) return;
  // Three join channels, or eight around a configured centre; then the single-SF and FSK channels
  // when the uplink datarates reach them.
  uint32_t mask = loraFrequency("frequencyEU") != 0 ? 0x00FF : 0x0007;
  if (maxDatarate_ >= 7) {
    mask |= 0x0300;
  } else if (maxDatarate_ == 6) {
    mask |= 0x0100;
  }
  channelMask_ = mask;
}

uint8_t ChannelPlan_EU868::txPowerIndex(int8_t dBm) const {
  if (dBm >= 20) return 0;
  return static_cast<uint8_t>(std::min(std::abs(17 - dBm) / 3, 5));
}

bool ChannelPlan_EU868::buildCfList(uint8_t* joinAccept, size_t size) const {
  if (!cfListBufferFits(size)) return false;
  clearCfList(joinAccept);
  uint32_t centre = loraFrequency("frequencyEU");
  if (InRange(centre, kEU868CentreLow, kEU868CentreHigh)) {
    writeCfListSeries(joinAccept, centre - 400000, 5);
  } else if (InRange(centre, kEU868UpperCentreLow, kEU868UpperCentreHigh)) {
    static constexpr uint32_t kUpperChannels[] = {MHz(868.8), MHz(869.0), MHz(869.525), MHz(869.8),
                                                  MHz(868.1)};
    for (int i = 0; i < 5; ++i) writeCfListEntry(joinAccept, i, kUpperChannels[i]);
  } else {
    LOG_WARNING("Configured EU Center Frequency %lu out of range [%lu,%lu] or [%lu,%lu]",
                static_cast<unsigned long>(centre), static_cast<unsigned long>(kEU868CentreLow),
                static_cast<unsigned long>(kEU868CentreHigh),
                static_cast<unsigned long>(kEU868UpperCentreLow),
                static_cast<unsigned long>(kEU868UpperCentreHigh));
  }
  // Devices accept an all-zero CFList, so the join accept keeps its 33-byte form either way.
  return true;
}

// ---- IN865 -----------------------------------------------------------------------------------

ChannelPlan_IN865::ChannelPlan_IN865(const Json::Value& config, const Settings& settings)
    : ChannelPlan(config, settings, Regions::kIN865) {}

void ChannelPlan_IN865::configureChannelMask(const std::string& text) {
  if (applyChannelMaskText(text)) return;
  channelMask_ = maxDatarate_ > 6 ? 0x03FF : maxDatarate_ == 6 ? 0x01FF : 0x00FF;
}

uint8_t ChannelPlan_IN865::txPowerIndex(int8_t dBm) const {
  return dBm <= 30 ? static_cast<uint8_t>((30 - dBm) / 2) : 0;
}

bool ChannelPlan_IN865::buildCfList(uint8_t* joinAccept, size_t size) const {
  if (!cfListBufferFits(size)) return false;
  clearCfList(joinAccept);
  static constexpr uint32_t kChannels[] = {865232500, MHz(866.185), MHz(866.385), MHz(866.585),
                                           MHz(866.785)};
  for (int i = 0; i < 5; ++i) writeCfListEntry(joinAccept, i, kChannels[i], i != 0);
  return true;
}

// ---- KR920 -----------------------------------------------------------------------------------

namespace {
constexpr uint32_t kKR920CentreLow = MHz(921.3);
constexpr uint32_t kKR920CentreHigh = MHz(921.5);
constexpr uint32_t kKR920UpperCentre = MHz(922.9);
}  // namespace

ChannelPlan_KR920::ChannelPlan_KR920(const Json::Value& config, const Settings& settings)
    : ChannelPlan(config, settings, Regions::kKR920) {}

void ChannelPlan_KR920::configureChannelMask(const std::string& text) {
  if (applyChannelMaskText(text)) return;
  uint32_t centre = loraFrequency("frequencyKR");
  if (centre == 0) {
    channelMask_ = 0x0007;
  } else {
    // Listen-before-talk and the 922.9 MHz layout leave room for seven channels.
    channelMask_ = loraFlag("lbtEnabled") || centre == kKR920UpperCentre ? 0x007F : 0x00FF;
  }
}

uint8_t ChannelPlan_KR920::txPowerIndex(int8_t dBm) const {
  if (dBm >= 9 && dBm <= 13) return 2;
  if (dBm < 2) return 6;
  if (dBm >= 20) return 0;
  return static_cast<uint8_t>(std::abs(17 - dBm) / 3);
}

bool ChannelPlan_KR920::buildCfList(uint8_t* joinAccept, size_t size) const {
  if (!cfListBufferFits(size)) return false;
  clearCfList(joinAccept);
  uint32_t centre = loraFrequency("frequencyKR");
  if (!InRange(centre, kKR920CentreLow, kKR920CentreHigh) && centre != kKR920UpperCentre) {
    LOG_WARNING("Configured KR Center Frequency %lu out of range [%lu,%lu] or [%lu,%lu]",
                static_cast<unsigned long>(centre), static_cast<unsigned long>(kKR920CentreLow),
                static_cast<unsigned long>(kKR920CentreHigh),
                static_cast<unsigned long>(kKR920UpperCentre),
                static_cast<unsigned long>(kKR920UpperCentre));
    return false;
  }
  int count = loraFlag("lbtEnabled") ? 4 : 5;
  if (centre == kKR920CentreHigh && configuredRx2Frequency() == MHz(921.9)) count = 5;
  if (centre == kKR920UpperCentre) {
    count = 4;
    centre += 200000;
  }
  writeCfListSeries(joinAccept, centre - 400000, count);
  return true;
}

}  // namespace Lora
