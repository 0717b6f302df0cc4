// US915 and AU915: one implementation, parameterised by each region's tables and channel raster.
//
// Channel masks as LinkADRReq sees them (ChMaskCntl selects 16 channels at a time):
//
//   sub-band   1     2     3     4     5     6     7     8
//   channels  0-7  8-15 16-23 24-31 32-39 40-47 48-55 56-63   + 500 kHz channel 64 + (sub-band - 1)
//   word      channelMask0to31        channelMask32to63
//   ChMaskCntl   0     |     1     |     2     |     3
#include <algorithm>
#include <cstdlib>

#include "Settings.h"
#include "lora/ChannelPlans.h"
#include "lora/RegionTables.h"
#include "support/Logger.h"

namespace Lora {

namespace {

constexpr uint32_t k125KhzChannelStepHz = 200000;
constexpr uint32_t k500KhzChannelStepHz = 1600000;  // also the width of one 8-channel sub-band
constexpr size_t kMaskTextMinLength = 20;

}  // namespace

ChannelPlanWideBand::ChannelPlanWideBand(const Json::Value& config, const Settings& settings,
                                         const RegionParams& region, const WideBandParams& channels)
    : ChannelPlan(config, settings, region), channels_(channels) {}

void ChannelPlanWideBand::configureChannelMask(const std::string& text) {
  if (text.size() >= kMaskTextMinLength) {
    uint64_t mask500 = 0;
    uint64_t mask125 = 0;
    // Characters 0-1 are not used; they keep the text aligned with the 72-channel layout.
    if (parseHex(text, 2, 4, &mask500) && parseHex(text, 4, 20, &mask125)) {
      channelMask64to71_ = static_cast<uint16_t>(mask500);
      channelMask32to63_ = static_cast<uint32_t>(mask125 >> 32);
      channelMask0to31_ = static_cast<uint32_t>(mask125);
      return;
    }
    LOG_WARNING("Invalid channel mask '%s', using the %s default", text.c_str(), region_.name);
  }
  setSubBand(configuredSubBand());
}

uint32_t ChannelPlanWideBand::channelMaskWord(unsigned index) const {
  switch (index) {
    case 0:
      return channelMask0to31_;
    case 1:
      return channelMask32to63_;
    case 2:
      return channelMask64to71_;
    default:
      return 0;
  }
}

void ChannelPlanWideBand::fillLinkAdrChannelMask(uint8_t* out) const {
  int block = std::clamp((subBand_ - 1) / 2, 0, 3);
  uint64_t channels = (static_cast<uint64_t>(channelMask32to63_) << 32) | channelMask0to31_;
  uint16_t chMask = static_cast<uint16_t>(channels >> (16 * block));
  out[0] = static_cast<uint8_t>(chMask);
  out[1] = static_cast<uint8_t>(chMask >> 8);
  out[2] = static_cast<uint8_t>(block * 16 + 1);  // ChMaskCntl = block, NbTrans 1
}

size_t ChannelPlanWideBand::fillLinkAdrBlocks(uint8_t* out) const {
  out[0] = static_cast<uint8_t>(channelMask64to71_);
  out[1] = static_cast<uint8_t>(channelMask64to71_ >> 8);
  out[2] = 7 * 16 + 1;  // ChMaskCntl 7: every 125 kHz channel off, the mask is channels 64-71
  fillLinkAdrChannelMask(out + 3);
  return 2;
}

uint8_t ChannelPlanWideBand::txPowerIndex(int8_t dBm) const {
  return static_cast<uint8_t>(std::min(std::abs(31 - dBm) / 2, 10));
}

uint32_t ChannelPlanWideBand::rx1Frequency(uint32_t uplinkFrequencyHz) const {
  int64_t channel = 0;
  if (uplinkFrequencyHz < 9) {
    // Callers may pass a downlink channel number instead of a frequency.
    channel = uplinkFrequencyHz;
  } else {
    int64_t offset = static_cast<int64_t>(uplinkFrequencyHz) - channels_.first125KhzUplinkHz;
    if (offset % k125KhzChannelStepHz != 0) {
      // Off the 125 kHz raster: one of the 500 kHz channels 64-71.
      channel = (static_cast<int64_t>(uplinkFrequencyHz) - channels_.first500KhzUplinkHz) /
                k500KhzChannelStepHz;
    } else if (isPublicNetwork()) {
      channel = (offset / k125KhzChannelStepHz) % 8;
    } else {
      // Private networks answer each sub-band on its own downlink channel.
      channel = offset / k500KhzChannelStepHz;
    }
    channel = std::clamp<int64_t>(channel, 0, 7);
  }
  return channels_.firstDownlinkHz + static_cast<uint32_t>(channel) * channels_.downlinkStepHz;
}

RxWindowParams ChannelPlanWideBand::rxWindow(bool isJoin, uint32_t uplinkFrequencyHz,
                                             int8_t uplinkDatarate, uint8_t window) const {
  RxWindowParams params = ChannelPlan::rxWindow(isJoin, uplinkFrequencyHz, uplinkDatarate, window);
  if (window == 2 && !isPublicNetwork()) params.frequency = rx1Frequency(uplinkFrequencyHz);
  return params;
}

void ChannelPlanWideBand::setSubBand(uint8_t subBand) {
  channelMask0to31_ = 0;
  channelMask32to63_ = 0;
  channelMask64to71_ = 0;
  if (subBand >= 1 && subBand <= 4) {
    channelMask0to31_ = 0xFFu << (8 * (subBand - 1));
  } else if (subBand >= 5 && subBand <= 8) {
    channelMask32to63_ = 0xFFu << (8 * (subBand - 5));
  }
  if (subBand >= 1 && subBand <= 8) channelMask64to71_ = static_cast<uint16_t>(1u << (subBand - 1));
  subBand_ = subBand;
}

uint8_t ChannelPlanWideBand::configuredSubBand() const {
  int64_t subBand = loraInteger("frequencySubBand", 1);
  return subBand >= 0 && subBand <= 255 ? static_cast<uint8_t>(subBand) : 0;
}

ChannelPlan_US915::ChannelPlan_US915(const Json::Value& config, const Settings& settings)
    : ChannelPlanWideBand(config, settings, Regions::kUS915, Regions::kUS915Channels) {}

int32_t ChannelPlan_US915::maxRadioTxPower(uint32_t) const {
  // 30 dBm conducted, and no more than 36 dBm EIRP.
  int32_t gain = settings_.antennaGain;
  int32_t power = std::min(settings_.maxTxPower - gain, 30);
  if (gain + power > 36) power = 36 - gain;
  return std::max(power, 0);
}

ChannelPlan_AU915::ChannelPlan_AU915(const Json::Value& config, const Settings& settings)
    : ChannelPlanWideBand(config, settings, Regions::kAU915, Regions::kAU915Channels) {}

}  // namespace Lora
