// The end-device side of LoRaWAN 1.0.x frames for the simulator: what a device sends (data
// uplinks, join requests) and what it must make of what it receives (data downlinks, join
// accepts). Built on the server's own crypto primitives, so the tests cross-check these bytes
// against an independent implementation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lora/Eui.h"

namespace Sim {

using Bytes = std::vector<uint8_t>;

struct Uplink {
  uint32_t devAddr = 0;
  uint32_t fcnt = 0;  // full 32-bit counter; its low 16 bits go on air
  bool confirmed = false;
  bool ack = false;   // acknowledges the last confirmed downlink
  bool adr = false;
  int port = 1;       // -1: no FPort, no payload
  Bytes fopts;        // at most 15 bytes
  Bytes payload;      // plain text
  bool classB = false;  // the device listens on its ping slots
};

Bytes BuildUplink(const Uplink& up, const Lora::CypherKey& nwkSKey, const Lora::CypherKey& appSKey);

// JoinEUI and DevEUI in display order (most significant first), sent least significant first.
Bytes BuildJoinRequest(uint64_t joinEui, uint64_t devEui, uint16_t devNonce,
                       const Lora::CypherKey& appKey);

struct Downlink {
  bool valid = false;   // a data down frame whose MIC checks
  std::string fault;    // why not, when !valid
  bool confirmed = false;
  bool ack = false;
  bool fpending = false;
  uint32_t devAddr = 0;
  uint16_t fcnt = 0;
  int port = -1;
  Bytes fopts;
  Bytes payload;        // decrypted
};

// Reads a data downlink; `devAddr` of the result is filled before the MIC is checked, so a
// caller can look the device up with PeekDevAddr first. The 16 high counter bits are taken from
// `fcntHigh`.
Downlink ReadDownlink(const Bytes& phy, const Lora::CypherKey& nwkSKey,
                      const Lora::CypherKey& appSKey, uint16_t fcntHigh = 0);
// DevAddr of a data frame; 0 when it is too short.
uint32_t PeekDevAddr(const Bytes& phy);

struct JoinAccept {
  bool valid = false;
  std::string fault;
  uint32_t devAddr = 0;
  uint32_t netId = 0;  // as configured (most significant first)
  uint8_t dlSettings = 0;
  uint8_t rxDelay = 0;
  Bytes cfList;
  Lora::CypherKey nwkSKey;
  Lora::CypherKey appSKey;
};

JoinAccept ReadJoinAccept(const Bytes& phy, const Lora::CypherKey& appKey, uint16_t devNonce);

// A beacon period: the beacon's reserved time and the guard before the next one leave
// (interval - kBeaconGuardMs) for ping slots of kPingSlotMs, the first kFirstPingSlotMs after the
// beacon.
constexpr uint32_t kPingSlotMs = 30;
constexpr uint32_t kFirstPingSlotMs = 2120;
constexpr uint32_t kBeaconGuardMs = 5120;
inline uint32_t PingSlots(uint32_t intervalS) {
  return (intervalS * 1000 - kBeaconGuardMs) / kPingSlotMs;
}

// A class B device's ping slot in the beacon period whose beacon carried `beaconTime`: one of
// `period` slots, drawn by AES under the zero key from the Time field and the address.
uint32_t PingOffset(uint32_t beaconTime, uint32_t devAddr, uint32_t period);

std::string ToHex(const Bytes& bytes);
std::string ToBase64(const Bytes& bytes);
Bytes FromBase64(const std::string& text);

}  // namespace Sim
