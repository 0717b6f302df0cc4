// Process-wide settings derived from the configuration document at start-up. Written only while
// the process is single-threaded (start-up); every thread reads them afterwards without a lock.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

// Fixed gateway paths. Each keeps its gateway default and can be moved with the configuration's
// "paths" section, so a whole server can run as a normal user inside one folder.
struct GatewayPaths {
  std::string runDir = "/var/run/lora";                      // "paths"."runDir"
  std::string deviceIdFile = "/var/run/config/device_id";    // "paths"."deviceIdFile"
  std::string templateDir = "/var/config/lora/";             // "paths"."templateDir"
  std::string templateFallbackDir = "/opt/lora/";            // "paths"."templateFallbackDir"
  std::string restartCommand = "/etc/init.d/vallorin restart &";  // "paths"."restartCommand"
  std::string caFile = "/etc/ssl/certs/DigiCert_Global_Root_CA.pem";  // "paths"."caFile"
  std::string whitelistFile = "/home/root/whitelist.jsonlines";       // "paths"."whitelistFile"
  // The only folder whose files operator commands read or write ("include", "json file", "log").
  std::string commandDir = "/var/config/lora";                        // "paths"."commandDir"
};

struct Settings {
  uint64_t joinDelayMs = 5000;
  uint64_t joinDelayUs = 5000000;
  uint64_t rx1DelayMs = 1000;
  uint64_t rx1DelayUs = 1000000;
  uint64_t networkLeadTimeMs = 250;  // also the minimum
  uint64_t schedulePaddingMs = 50;
  int64_t deviceResetTimeMs = 10000;
  int64_t deviceLostTimeMs = 600000;
  uint64_t deviceLeaseTimeMs = 86400000;  // 0: leases never expire
  uint16_t deviceQueueSize = 16;
  int32_t antennaGain = 3;  // dB
  int32_t maxTxPower = 14;  // dBm, EIRP ceiling: "maxTxPower" + antenna gain when configured
  int64_t classCAckTimeoutMs = 5000;
  int32_t frequencyOffsetDR6 = -200000;  // Hz
  int32_t frequencyOffsetDR7 = 300000;   // Hz
  bool reducedPacketUpdates = false;
  bool strictCounterValidation = true;  // "lora"."enableStrictCounterValidation"
  bool skipPacketForwarderFieldCheck = false;
  // "test": switches that take a receive window or the duty cycle out of downlink scheduling.
  bool disableRxWindow1 = false;
  bool disableRxWindow2 = false;
  bool disableDutyCycle = false;
  uint64_t localCardEui = UINT64_MAX;  // all ones: no --lora-eui given
  std::string gatewaySerial;
  std::string version = VALLORIN_VERSION;
  std::string databasePath = "/var/config/lora/vallorin.db";
  // Accessory cards, from the command line only: {"productId": ..., "hwVersion": ...}.
  Json::Value card1{Json::objectValue};
  Json::Value card2{Json::objectValue};
  GatewayPaths paths;
};
