#include "lora/ChannelPlanSetup.h"

#include <algorithm>
#include <string>

#include "Settings.h"
#include "lora/ChannelPlans.h"
#include "lora/ConfigRead.h"
#include "support/Logger.h"

using Lora::ChannelPlan;
using Lora::Region;
namespace ConfigRead = Lora::ConfigRead;

namespace {

constexpr const char* kPlanNames[] = {"US915", "AU915", "KR920", "IN865", "AS923", "EU868"};

constexpr uint32_t kWideBandRx2FrequencyHz = 923300000;
constexpr uint32_t kWideBandDownlinkStepHz = 600000;
constexpr int64_t kMaxFrequencyOffsetHz = 500000;

bool IsPlanName(const std::string& name) {
  return std::find(std::begin(kPlanNames), std::end(kPlanNames), name) != std::end(kPlanNames);
}

bool HasInteger(const Json::Value& object, const char* key) {
  int64_t ignored = 0;
  return ConfigRead::Integer(ConfigRead::Member(object, key), &ignored);
}

// Uplink dwell time (400 ms) rules out DR0 and DR1.
void ApplyUplinkDwellTime(Json::Value& lora) {
  if (ConfigRead::IntegerOr(lora, "dwelltimeUp", 0) != 1) return;
  if (ConfigRead::IntegerOr(lora, "maxDatarate", 0) < 2) lora["maxDatarate"] = 2;
  if (ConfigRead::IntegerOr(lora, "minDatarate", 0) <= 1) lora["minDatarate"] = 2;
}

std::unique_ptr<ChannelPlan> BuildPlan(const std::string& band, const Json::Value& config,
                                       const Settings& settings) {
  if (band == "EU868") return std::make_unique<Lora::ChannelPlan_EU868>(config, settings);
  if (band == "US915") return std::make_unique<Lora::ChannelPlan_US915>(config, settings);
  if (band == "AU915") return std::make_unique<Lora::ChannelPlan_AU915>(config, settings);
  if (band == "KR920") return std::make_unique<Lora::ChannelPlan_KR920>(config, settings);
  if (band == "IN865") return std::make_unique<Lora::ChannelPlan_IN865>(config, settings);
  if (band == "AS923") return std::make_unique<Lora::ChannelPlan_AS923>(config, settings);
  return nullptr;
}

// The regional RX2 frequency; 0 where the plan keeps its own.
uint32_t DefaultRx2Frequency(const Json::Value& config, const ChannelPlan& plan) {
  switch (plan.region()) {
    case Region::US915:
    case Region::AU915: {
      if (ConfigRead::NetworkMode(config) != 0) return kWideBandRx2FrequencyHz;
      // The private ZEV network answers RX2 on its own sub-band's downlink channel.
      int64_t subBand =
          ConfigRead::IntegerOr(ConfigRead::Member(config, "lora"), "frequencySubBand", 1);
      if (subBand < 1 || subBand > 8) subBand = 1;
      return kWideBandRx2FrequencyHz + static_cast<uint32_t>(subBand - 1) * kWideBandDownlinkStepHz;
    }
    case Region::EU868:
      return 869525000;
    case Region::AS923:
      return 923200000;
    case Region::KR920:
      return 921900000;
    case Region::IN865:
      return 0;
  }
  return 0;
}

// False when the key is present but not an offset the radio can apply.
bool ReadFrequencyOffset(const Json::Value& lora, const char* key, int32_t* offsetHz) {
  const Json::Value& value = ConfigRead::Member(lora, key);
  if (value.isNull()) return true;
  int64_t offset = 0;
  if (!ConfigRead::Integer(value, &offset) || offset < -kMaxFrequencyOffsetHz ||
      offset > kMaxFrequencyOffsetHz) {
    return false;
  }
  *offsetHz = static_cast<int32_t>(offset);
  return true;
}

void ResetUnlessInteger(Json::Value& lora, const char* key, int value) {
  if (!HasInteger(lora, key)) lora[key] = value;
}

}  // namespace

std::unique_ptr<ChannelPlan> ResolveChannelPlan(Json::Value& config, const Settings& settings) {
  const Json::Value& loraSection = ConfigRead::Member(config, "lora");
  if (!loraSection.isObject() ||
      (!loraSection.isMember("frequencyBand") && !loraSection.isMember("channelPlan"))) {
    LOG_ERROR("Must supply region frequency band and channel plan.");
    return nullptr;
  }
  Json::Value& lora = config["lora"];

  std::string channelPlan = ConfigRead::Text(lora, "channelPlan");
  if (IsPlanName(channelPlan)) {
    lora["frequencyBand"] = channelPlan;
  } else {
    std::string legacy = ConfigRead::Text(lora, "frequencyBand");
    if (legacy == "915") lora["frequencyBand"] = "US915";
    if (legacy == "868") lora["frequencyBand"] = "EU868";
  }
  std::string band = ConfigRead::Text(lora, "frequencyBand");

  // Before the plan copies the datarate bounds, so that it sees the dwell-time limits too.
  if (band == "AS923") ApplyUplinkDwellTime(lora);

  std::unique_ptr<ChannelPlan> plan = BuildPlan(band, config, settings);
  if (plan == nullptr) {
    LOG_ERROR("Unsupported channel plan %s.", band.c_str());
    return nullptr;
  }
  if (auto* wideBand = dynamic_cast<Lora::ChannelPlanWideBand*>(plan.get())) {
    wideBand->setSubBand(wideBand->configuredSubBand());
  }
  return plan;
}

void ApplyRegionalDefaults(Json::Value& config, Settings& settings, const ChannelPlan& plan) {
  if (!ConfigRead::Member(config, "lora").isObject()) return;
  Json::Value& lora = config["lora"];

  int64_t rx2Frequency = 0;
  if (!ConfigRead::Integer(ConfigRead::Member(lora, "rx2Frequency"), &rx2Frequency) ||
      rx2Frequency <= 0 || rx2Frequency > UINT32_MAX) {
    uint32_t frequency = DefaultRx2Frequency(config, plan);
    if (frequency != 0) lora["rx2Frequency"] = Json::UInt(frequency);
  }

  const Settings defaults;
  if (!ReadFrequencyOffset(lora, "frequencyOffsetDR6", &settings.frequencyOffsetDR6)) {
    settings.frequencyOffsetDR6 = defaults.frequencyOffsetDR6;
    LOG_WARNING("Invalid DR6 offset, using default %ld",
                static_cast<long>(defaults.frequencyOffsetDR6));
  }
  if (!ReadFrequencyOffset(lora, "frequencyOffsetDR7", &settings.frequencyOffsetDR7)) {
    settings.frequencyOffsetDR7 = defaults.frequencyOffsetDR7;
    LOG_WARNING("Invalid DR7 offset, using default %ld",
                static_cast<long>(defaults.frequencyOffsetDR7));
  }

  if (!ConfigRead::Member(lora, "lbtEnabled").isBool()) lora["lbtEnabled"] = false;
  if (!HasInteger(lora, "lbtThreshold")) {
    // Listen-before-talk thresholds of the regions that require it.
    if (plan.region() == Region::KR920) lora["lbtThreshold"] = -65;
    if (plan.region() == Region::AS923) lora["lbtThreshold"] = -80;
  }
  ResetUnlessInteger(lora, "lbtSxOffset", -24);
  ResetUnlessInteger(lora, "lbtScanTime", 5000);
  ResetUnlessInteger(lora, "sxOffset", -162);
}

void ApplyPlanLimits(Json::Value& config, ChannelPlan& plan) {
  if (!ConfigRead::Member(config, "lora").isObject()) {
    plan.configureChannelMask(std::string());
    return;
  }
  Json::Value& lora = config["lora"];

  // DLSettings carries the offset in 3 unsigned bits, so a negative one is taken as 0.
  int64_t rx1Offset = ConfigRead::IntegerOr(lora, "rx1DatarateOffset", 0);
  lora["rx1DatarateOffset"] =
      static_cast<int>(std::clamp<int64_t>(rx1Offset, 0, plan.maxRx1DatarateOffset()));

  int64_t rx2Datarate = ConfigRead::IntegerOr(lora, "rx2Datarate", 0);
  lora["rx2Datarate"] = static_cast<int>(
      std::clamp<int64_t>(rx2Datarate, plan.minDownlinkDatarate(), plan.maxDownlinkDatarate()));

  plan.configureChannelMask(ConfigRead::Text(lora, "channelMask"));
}
