// The channel-plan steps of start-up, called in this order on the main thread before any other
// thread starts:
//   1. ResolveChannelPlan     - choose and build the plan from "channelPlan"/"frequencyBand";
//   2. ApplyRegionalDefaults  - regional keys and settings that depend on the plan;
//   3. ApplyPlanLimits        - RX1/RX2 datarate limits and the channel mask.
// Each writes its defaults back into the configuration document, which the plan keeps reading.
#pragma once

#include <json/json.h>

#include <memory>

#include "lora/ChannelPlan.h"

struct Settings;

// Resolves the region of the "lora" object ("channelPlan" wins over "frequencyBand"; the legacy
// bands "915" and "868" mean US915 and EU868), writes it to "frequencyBand", applies the AS923
// uplink dwell-time limits to "minDatarate"/"maxDatarate" and builds the plan; US915 and AU915
// are given "frequencySubBand". Returns nullptr after logging the error when no region is given or
// it is unknown; start-up then exits with status 1. config and settings must outlive the plan.
std::unique_ptr<Lora::ChannelPlan> ResolveChannelPlan(Json::Value& config,
                                                      const Settings& settings);

// The regional defaults of the "lora" object: "rx2Frequency" by plan and network mode, the DR6 and
// DR7 frequency offsets (into settings), "lbtEnabled", "lbtThreshold", "lbtSxOffset",
// "lbtScanTime" and "sxOffset".
void ApplyRegionalDefaults(Json::Value& config, Settings& settings, const Lora::ChannelPlan& plan);

// Fits "rx1DatarateOffset" and "rx2Datarate" to the plan's limits (written back), then hands
// "channelMask" to the plan (the empty text, meaning the plan's defaults, when it is not a
// non-empty text).
void ApplyPlanLimits(Json::Value& config, Lora::ChannelPlan& plan);
