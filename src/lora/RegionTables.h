// The constants of the six regional plans, one block per region, laid out so that each table can be
// held against the regional parameters it comes from. Included by the plan implementations only.
#pragma once

#include <cstdint>
#include <iterator>

#include "lora/ChannelPlan.h"

namespace Lora {
namespace Regions {

constexpr uint32_t MHz(double mhz) { return static_cast<uint32_t>(mhz * 1000000.0 + 0.5); }

// Datarate index -> spreading factor and bandwidth (kHz). {0, 0}: not in the plan.
// FSK at 50 kbit/s is written as SF13 with bandwidth 0.
// clang-format off
inline constexpr DatarateEntry kDataratesEU868[kDatarateCount] = {  // also AS923, IN865
    {12, 125}, {11, 125}, {10, 125}, {9, 125}, {8, 125}, {7, 125}, {7, 250}, {13, 0},
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
inline constexpr DatarateEntry kDataratesKR920[kDatarateCount] = {
    {12, 125}, {11, 125}, {10, 125}, {9, 125}, {8, 125}, {7, 125}, {0, 0}, {0, 0},
    {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
inline constexpr DatarateEntry kDataratesAU915[kDatarateCount] = {
    {12, 125}, {11, 125}, {10, 125}, {9, 125}, {8, 125}, {7, 125}, {8, 500}, {0, 0},
    {12, 500}, {11, 500}, {10, 500}, {9, 500}, {8, 500}, {7, 500}, {0, 0}, {0, 0}};
inline constexpr DatarateEntry kDataratesUS915[kDatarateCount] = {
    {10, 125}, {9, 125}, {8, 125}, {7, 125}, {8, 500}, {0, 0}, {0, 0}, {0, 0},
    {12, 500}, {11, 500}, {10, 500}, {9, 500}, {8, 500}, {7, 500}, {0, 0}, {0, 0}};
// clang-format on

// Largest frame in bytes per datarate 0-15; 0: not allowed.
// clang-format off
inline constexpr uint8_t kMaxPayloadAS923[kDatarateCount] =
    {64, 64, 64, 128, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kMaxPayloadAS923DwellTime[kDatarateCount] =
    { 0,  0, 24,  66, 138, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kMaxPayloadEU868[kDatarateCount] =
    {64, 64, 64, 128, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kMaxPayloadKR920[kDatarateCount] =
    {64, 64, 64, 128, 255, 255,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0};
inline constexpr uint8_t kMaxPayloadAU915[kDatarateCount] =
    {64, 64, 64, 128, 255, 255, 255,   0, 66, 142, 255, 255, 255, 255, 0, 0};
inline constexpr uint8_t kMaxPayloadUS915[kDatarateCount] =
    {24, 66, 138, 255, 255,  0,   0,   0, 66, 142, 255, 255, 255, 255, 0, 0};
// clang-format on

inline constexpr DutyCycleBandRange kDutyCycleBandsEU868[] = {
    {MHz(868.0), MHz(868.6), 1},   // 1 %
    {MHz(869.4), MHz(869.65), 2},  // 10 %
    {MHz(869.7), MHz(870.0), 3},   // 1 %
};

// clang-format off
inline constexpr RegionParams kAS923 = {
    Region::AS923, "AS923",
    /*maxDeviceTxPower*/ 20,
    /*fixedMinDatarate*/ -1, /*fixedMaxDatarate*/ -1, /*defaultMaxDatarate*/ 5,
    /*highestUplinkDatarate*/ 7,
    /*minDownlinkDatarate*/ 0, /*maxDownlinkDatarate*/ 7, /*maxRx1DatarateOffset*/ 7,
    /*snrOffset*/ 200, /*cfListSupported*/ true, /*dutyCycleEnforced*/ false,
    /*defaultChannelMask*/ 0x0003,
    kDataratesEU868, /*highest125KhzDatarate*/ 7, /*invalidHighBandwidthKhz*/ 125,
    kMaxPayloadAS923,
    Rx1OffsetRule::kExtended, /*rx1UplinkShift*/ 0,
    /*joinRx2Datarate*/ 2, /*joinRx2FrequencyHz*/ MHz(923.2),
    /*txPowerStep*/ 2, /*txPowerStepFrom20*/ 2, /*radioEirpCap*/ 30,
    nullptr, 0};

inline constexpr RegionParams kAU915 = {
    Region::AU915, "AU915",
    /*maxDeviceTxPower*/ 30,
    /*fixedMinDatarate*/ 0, /*fixedMaxDatarate*/ 6, /*defaultMaxDatarate*/ 6,
    /*highestUplinkDatarate*/ 6,
    /*minDownlinkDatarate*/ 8, /*maxDownlinkDatarate*/ 13, /*maxRx1DatarateOffset*/ 5,
    /*snrOffset*/ 200, /*cfListSupported*/ false, /*dutyCycleEnforced*/ false,
    /*defaultChannelMask*/ 0x00FF,
    kDataratesAU915, /*highest125KhzDatarate*/ 5, /*invalidHighBandwidthKhz*/ 500,
    kMaxPayloadAU915,
    Rx1OffsetRule::kSubtract, /*rx1UplinkShift*/ 8,
    /*joinRx2Datarate*/ 8, /*joinRx2FrequencyHz*/ MHz(923.3),
    /*txPowerStep*/ 2, /*txPowerStepFrom20*/ 2, /*radioEirpCap*/ 30,
    nullptr, 0};

inline constexpr RegionParams kEU868 = {
    Region::EU868, "EU868",
    /*maxDeviceTxPower*/ 20,
    /*fixedMinDatarate*/ -1, /*fixedMaxDatarate*/ -1, /*defaultMaxDatarate*/ 5,
    /*highestUplinkDatarate*/ 7,
    /*minDownlinkDatarate*/ 0, /*maxDownlinkDatarate*/ 7, /*maxRx1DatarateOffset*/ 5,
    /*snrOffset*/ 200, /*cfListSupported*/ true, /*dutyCycleEnforced*/ true,
    /*defaultChannelMask*/ 0x0007,
    kDataratesEU868, /*highest125KhzDatarate*/ 7, /*invalidHighBandwidthKhz*/ 125,
    kMaxPayloadEU868,
    Rx1OffsetRule::kSubtract, /*rx1UplinkShift*/ 0,
    /*joinRx2Datarate*/ 0, /*joinRx2FrequencyHz*/ MHz(869.525),
    /*txPowerStep*/ 3, /*txPowerStepFrom20*/ 6, /*radioEirpCap*/ 14,
    kDutyCycleBandsEU868, std::size(kDutyCycleBandsEU868)};

inline constexpr RegionParams kIN865 = {
    Region::IN865, "IN865",
    /*maxDeviceTxPower*/ 30,
    /*fixedMinDatarate*/ -1, /*fixedMaxDatarate*/ -1, /*defaultMaxDatarate*/ 5,
    /*highestUplinkDatarate*/ 7,
    /*minDownlinkDatarate*/ 0, /*maxDownlinkDatarate*/ 7, /*maxRx1DatarateOffset*/ 5,
    /*snrOffset*/ 200, /*cfListSupported*/ true, /*dutyCycleEnforced*/ false,
    /*defaultChannelMask*/ 0x0007,
    kDataratesEU868, /*highest125KhzDatarate*/ 7, /*invalidHighBandwidthKhz*/ 125,
    kMaxPayloadEU868,  // the same frame sizes as EU868
    Rx1OffsetRule::kExtended, /*rx1UplinkShift*/ 0,
    /*joinRx2Datarate*/ 2, /*joinRx2FrequencyHz*/ MHz(866.55),
    /*txPowerStep*/ 2, /*txPowerStepFrom20*/ 2, /*radioEirpCap*/ 30,
    nullptr, 0};

inline constexpr RegionParams kKR920 = {
    Region::KR920, "KR920",
    /*maxDeviceTxPower*/ 20,
    /*fixedMinDatarate*/ -1, /*fixedMaxDatarate*/ -1, /*defaultMaxDatarate*/ 5,
    /*highestUplinkDatarate*/ 5,
    /*minDownlinkDatarate*/ 0, /*maxDownlinkDatarate*/ 5, /*maxRx1DatarateOffset*/ 5,
    /*snrOffset*/ 200, /*cfListSupported*/ true, /*dutyCycleEnforced*/ false,
    /*defaultChannelMask*/ 0x0007,
    kDataratesKR920, /*highest125KhzDatarate*/ 5, /*invalidHighBandwidthKhz*/ 125,
    kMaxPayloadKR920,
    Rx1OffsetRule::kSubtract, /*rx1UplinkShift*/ 0,
    /*joinRx2Datarate*/ 0, /*joinRx2FrequencyHz*/ MHz(921.9),
    /*txPowerStep*/ 3, /*txPowerStepFrom20*/ 6, /*radioEirpCap*/ 23,
    nullptr, 0};

inline constexpr RegionParams kUS915 = {
    Region::US915, "US915",
    /*maxDeviceTxPower*/ 30,
    /*fixedMinDatarate*/ 0, /*fixedMaxDatarate*/ 4, /*defaultMaxDatarate*/ 4,
    /*highestUplinkDatarate*/ 4,
    /*minDownlinkDatarate*/ 8, /*maxDownlinkDatarate*/ 13, /*maxRx1DatarateOffset*/ 3,
    /*snrOffset*/ 150, /*cfListSupported*/ false, /*dutyCycleEnforced*/ false,
    /*defaultChannelMask*/ 0x00FF,
    kDataratesUS915, /*highest125KhzDatarate*/ 3, /*invalidHighBandwidthKhz*/ 500,
    kMaxPayloadUS915,
    Rx1OffsetRule::kSubtract, /*rx1UplinkShift*/ 10,
    /*joinRx2Datarate*/ 8, /*joinRx2FrequencyHz*/ MHz(923.3),
    /*txPowerStep*/ 2, /*txPowerStepFrom20*/ 2, /*radioEirpCap*/ 30,
    nullptr, 0};

inline constexpr WideBandParams kUS915Channels = {MHz(902.3), MHz(903.0), MHz(923.3), 600000};
inline constexpr WideBandParams kAU915Channels = {MHz(915.2), MHz(915.9), MHz(923.3), 600000};
// clang-format on

}  // namespace Regions
}  // namespace Lora
