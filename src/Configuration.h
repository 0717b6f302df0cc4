// Validation of the configuration document at start-up. Each function is one step of the start-up
// sequence: it checks its keys, writes defaults back into the document (so the logged document is
// the effective configuration) and derives the process-wide settings. Functions that can refuse the
// configuration return false after logging why; the caller then exits with status 1.
#pragma once

#include <json/json.h>

#include <string>

#include "Options.h"
#include "Settings.h"

namespace Configuration {

// Numbers that would not fit where the server keeps them (a 16-bit queue size, minutes or seconds
// kept as milliseconds, decibels, the backup timing) are brought into range with a warning naming
// the key, and written back. Runs before any other step reads these keys.
void ClampNumbers(Json::Value& config);

// udp.orbaPort, lora.rx1Delay, network.public, lora.joinDelay and the derived delays, lora.netID.
void ValidateModeAndDelays(Json::Value& config, Settings& settings);
// The log file: -l when given, else log.path (error line when missing). Empty: no file.
std::string ResolveLogFile(const Json::Value& config, const CommandLine& line);
// Output mode of the logger from log.syslog, log.console and whether a file is used.
int SelectPrintMode(const Json::Value& config, bool haveLogFile);
// The UDP ports (packet forwarder, applications, management agent): missing → default; 0 or
// outside 1-65535 → default with a warning.
void ApplyUdpDefaults(Json::Value& config);
// "web": "enabled" (default true), "port" (default 8080) and "password", which must be a hash
// printed by --web-password-hash; a malformed one keeps the console off rather than open.
void ApplyWebDefaults(Json::Value& config);
// networkLeadTime, schedulePaddingMs, reducedPacketUpdates, skipPacketForwarderFieldCheck,
// deviceResetTime, deviceLostTime, enableStrictCounterValidation (read only), vendorId.
void ApplyTimingKeys(Json::Value& config, Settings& settings);
// Network EUI and key (generated from name and pass phrase when not given) and the base key.
// Refuses an eui, name, key or passphrase of another JSON type than text, naming the key.
bool ApplyNetworkIdentity(Json::Value& config, const Settings& settings);
// The local card EUI from --lora-eui (all ones without it).
void ApplyLocalCardEui(const CommandLine& line, Settings& settings);
// joinByteOrder, classCAckTimeout.
void ApplyJoinKeys(Json::Value& config, Settings& settings);
// beaconInterval, beaconPower, beaconDelay.
void ApplyBeaconKeys(Json::Value& config);
// ADRStep and the data-rate bounds for the plan named by lora.frequencyBand.
void ApplyAdrKeys(Json::Value& config);
// dutyCyclePeriod, the test section (from the --disable-* options), the whitelist section.
void ApplyTestAndWhitelist(Json::Value& config, const CommandLine& line);
// deviceQueueSize, lease time, antennaGain, maxTxPower.
void ApplyDeviceKeys(Json::Value& config, Settings& settings);
// The gateway serial: the trimmed text of the device-id file, empty when it cannot be read.
std::string ReadGatewaySerial(const std::string& path);
// The paths section: gateway files moved for development and tests.
void ApplyPaths(const Json::Value& config, Settings& settings);

std::string StyledJson(const Json::Value& value);

}  // namespace Configuration
