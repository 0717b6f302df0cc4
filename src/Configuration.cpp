#include "Configuration.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "ServerTimers.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/Text.h"
#include "web/WebPassword.h"

namespace Configuration {
namespace {

bool IsHexText(const std::string& text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Reset `key` of `section` to `value` unless the current value passes `valid`.
template <typename Valid>
void ResetUnless(Json::Value& section, const char* key, const Json::Value& value, Valid valid) {
  if (!section.isMember(key) || !valid(section[key])) section[key] = value;
}

bool IsUnsigned(const Json::Value& v) { return v.isUInt(); }
bool IsInteger(const Json::Value& v) { return v.isInt(); }

// "['lora']['deviceQueueSize']", or "['backupInterval']" for a top-level key.
std::string KeyName(const char* section, const char* key) {
  return (section != nullptr ? "['" + std::string(section) + "']" : std::string()) + "['" + key +
         "']";
}

// A numeric key whose value lands in a narrower or scaled destination (a 16-bit field, seconds
// kept as milliseconds). Above the range a number becomes the highest value. Below it, a signed
// destination takes the lowest value; an unsigned one has no value for a negative number (and 0
// often means "never" or "none" there), so it takes the key's default.
struct NumericRange {
  const char* section;  // nullptr: a top-level key
  const char* key;
  int64_t lowest;
  uint64_t highest;
  int64_t belowLowest;
};

const std::vector<NumericRange>& NumericRanges() {
  static const std::vector<NumericRange> ranges = [] {
    const Settings defaults;
    const BackupSchedule backup;
    return std::vector<NumericRange>{
        {"log", "level", INT32_MIN, INT32_MAX, INT32_MIN},
        // Minutes, kept in milliseconds.
        {"network", "leasetime", 0, UINT64_MAX / 60000,
         static_cast<int64_t>(defaults.deviceLeaseTimeMs / 60000)},
        {"lora", "deviceQueueSize", 0, UINT16_MAX, defaults.deviceQueueSize},
        // Seconds, kept in signed milliseconds.
        {"lora", "deviceResetTime", 0, INT64_MAX / 1000, defaults.deviceResetTimeMs / 1000},
        {"lora", "deviceLostTime", 0, INT64_MAX / 1000, defaults.deviceLostTimeMs / 1000},
        {"lora", "schedulePaddingMs", 0, UINT64_MAX,
         static_cast<int64_t>(defaults.schedulePaddingMs)},
        {"lora", "classCAckTimeout", INT64_MIN, INT64_MAX, INT64_MIN},
        // Decibels: a signed byte, as every power limit of the channel plans. Their sum is the
        // transmit ceiling and must not overflow either.
        {"lora", "antennaGain", INT8_MIN, INT8_MAX, INT8_MIN},
        {"lora", "maxTxPower", INT8_MIN, INT8_MAX, INT8_MIN},
        // Seconds, kept in milliseconds.
        {nullptr, "backupInterval", 0, UINT64_MAX / 1000,
         static_cast<int64_t>(BackupSchedule::kDefaultBackupMs / 1000)},
        {nullptr, "trimInterval", 0, UINT32_MAX,
         static_cast<int64_t>(BackupSchedule::kDefaultTrimMs / 1000)},
        {nullptr, "trimRows", 0, UINT32_MAX, backup.trimRows},
    };
  }();
  return ranges;
}

enum class Placement { kWithin, kBelow, kAbove, kNotInteger };

// Where an integral number lies against the range; texts, fractions and other types are left to
// the key's own rule.
Placement Place(const Json::Value& value, int64_t lowest, uint64_t highest) {
  if (value.isUInt64()) {
    const uint64_t number = value.asUInt64();
    if (number > highest) return Placement::kAbove;
    if (lowest > 0 && number < static_cast<uint64_t>(lowest)) return Placement::kBelow;
    return Placement::kWithin;
  }
  if (value.isInt64()) {  // negative: the unsigned case took the rest
    return value.asInt64() < lowest ? Placement::kBelow : Placement::kWithin;
  }
  if (value.type() == Json::realValue) {
    // Only an integral number beyond 64 bits gets here.
    const double number = value.asDouble();
    if (std::floor(number) != number) return Placement::kNotInteger;
    return number > 0 ? Placement::kAbove : Placement::kBelow;
  }
  return Placement::kNotInteger;
}

}  // namespace

void ClampNumbers(Json::Value& config) {
  for (const NumericRange& range : NumericRanges()) {
    const Json::Value& read = config;  // const access: reading must not add null members
    const Json::Value& section = range.section != nullptr ? read[range.section] : read;
    if (!section.isObject() || !section.isMember(range.key)) continue;
    const Json::Value& value = section[range.key];
    Json::Value replacement;
    switch (Place(value, range.lowest, range.highest)) {
      case Placement::kWithin:
      case Placement::kNotInteger:
        continue;
      case Placement::kAbove:
        // As a reader of the document would type it.
        replacement = range.highest <= static_cast<uint64_t>(INT64_MAX)
                          ? Json::Value(Json::Int64(range.highest))
                          : Json::Value(Json::UInt64(range.highest));
        break;
      case Placement::kBelow:
        replacement = Json::Int64(range.belowLowest);
        break;
    }
    LOG_WARNING("Invalid %s setting %s, using %s", KeyName(range.section, range.key).c_str(),
                JsonText::Compact(value).c_str(), JsonText::Compact(replacement).c_str());
    Json::Value& target = range.section != nullptr ? config[range.section] : config;
    target[range.key] = replacement;
  }
}

std::string StyledJson(const Json::Value& value) { return value.toStyledString(); }

void ValidateModeAndDelays(Json::Value& config, Settings& settings) {
  ResetUnless(config["udp"], "orbaPort", 1790, IsInteger);

  Json::Value& lora = config["lora"];
  ResetUnless(lora, "rx1Delay", 1, [](const Json::Value& v) { return v.isUInt() && v.asUInt() <= 15; });

  Json::Value& network = config["network"];
  if (!network.isMember("public")) {
    LOG_INFO("Setting to Public LoRaWAN Network Mode");
    network["public"] = 1;
  } else if (network["public"].isBool()) {
    network["public"] = network["public"].asBool() ? 1 : 0;
  }
  int mode = network["public"].isInt() ? network["public"].asInt() : 1;

  const Json::Value& joinDelay = lora["joinDelay"];
  if (!joinDelay.isUInt() || joinDelay.asUInt() > 15) {
    if (mode == 0) {
      LOG_INFO("Network Mode Private ZEV, Join Delay is not configured, setting Join Delay to 1 second");
      lora["joinDelay"] = 1;
    } else if (mode == 2) {
      LOG_INFO("Network Mode Private LoRaWAN, Join Delay is not configured, setting Join Delay to 5 seconds");
      lora["joinDelay"] = 5;
    } else {
      LOG_INFO("Network Mode Public LoRaWAN, Join Delay is not configured, setting Join Delay to 5 seconds");
      lora["joinDelay"] = 5;
    }
  }
  settings.joinDelayMs = static_cast<uint64_t>(lora["joinDelay"].asUInt()) * 1000;
  settings.joinDelayUs = static_cast<uint64_t>(lora["joinDelay"].asUInt()) * 1000000;
  // Devices read an RxDelay of 0 as 1 s, and so must the windows we answer in.
  const uint64_t rx1Delay = std::max(1u, lora["rx1Delay"].asUInt());
  settings.rx1DelayMs = rx1Delay * 1000;
  settings.rx1DelayUs = rx1Delay * 1000000;

  if (!lora["netID"].isString()) {
    lora["netID"] = "000000";
  } else {
    std::string netId = lora["netID"].asString();
    if ((netId.size() != 6 && netId.size() != 8) || !IsHexText(netId)) {
      LOG_WARNING("Invalid NetID, must be valid hex string. Changing to '000000'");
      lora["netID"] = "000000";
    }
  }
}

std::string ResolveLogFile(const Json::Value& config, const CommandLine& line) {
  if (!line.logFile.empty()) return line.logFile;
  const Json::Value& path = config["log"]["path"];
  if (!config.isMember("log") || !config["log"].isMember("path")) {
    std::string document = StyledJson(config);
    LOG_ERROR("['%s']['%s'] not found in config: \r\n%s", "log", "path", document.c_str());
    return "";
  }
  return path.isString() ? path.asString() : "";
}

int SelectPrintMode(const Json::Value& config, bool haveLogFile) {
  const Json::Value& log = config["log"];
  bool console = log["console"].isBool() && log["console"].asBool();
  bool syslog = log["syslog"].isBool() && log["syslog"].asBool();
  if (syslog) return console ? 5 : 3;
  if (haveLogFile) return console ? 4 : 2;
  return console ? 1 : 0;
}

void ApplyUdpDefaults(Json::Value& config) {
  Json::Value& udp = config["udp"];
  const std::pair<const char*, int> ports[] = {{"upstreamPort", 1780}, {"downstreamPort", 1782},
                                               {"appPortUp", 1784},    {"appPortDown", 1786},
                                               {"orbaPort", 1790},     {"commandPort", 6677}};
  for (const auto& [key, port] : ports) {
    if (!udp.isMember(key)) {
      udp[key] = port;
    } else if (!udp[key].isUInt() || udp[key].asUInt() == 0 || udp[key].asUInt() > 65535) {
      // 0 would bind whatever port the system picks, which no packet forwarder or application
      // can know ("--up-port abc" reads as 0).
      LOG_WARNING("Invalid ['%s']['%s'] setting, using %d", "udp", key, port);
      udp[key] = port;
    }
  }
}

void ApplyWebDefaults(Json::Value& config) {
  Json::Value& web = config["web"];
  if (!web.isMember("enabled")) {
    web["enabled"] = true;
  } else if (!web["enabled"].isBool()) {
    LOG_WARNING("Invalid ['%s']['%s'] setting, using %s", "web", "enabled", "true");
    web["enabled"] = true;
  }
  if (!web.isMember("port")) {
    web["port"] = 8080;
  } else if (!web["port"].isUInt() || web["port"].asUInt() == 0 || web["port"].asUInt() > 65535) {
    LOG_WARNING("Invalid ['%s']['%s'] setting, using %d", "web", "port", 8080);
    web["port"] = 8080;
  }
  if (web.isMember("password") &&
      (!web["password"].isString() || !WebPassword::WellFormed(web["password"].asString()))) {
    LOG_ERROR("Invalid ['web']['password'] setting, expected a hash printed by "
              "'vallorin --web-password-hash'; the web console stays off");
    web["enabled"] = false;
  }
}

void ApplyTimingKeys(Json::Value& config, Settings& settings) {
  Json::Value& lora = config["lora"];
  if (!lora.isMember("networkLeadTime")) {
    lora["networkLeadTime"] = 250;
  } else if (!lora["networkLeadTime"].isUInt64() || lora["networkLeadTime"].asUInt64() <= 250) {
    LOG_WARNING("Configured network-lead-time is below the minimum, setting to %llu ms.", 250ULL);
    lora["networkLeadTime"] = 250;
  }
  settings.networkLeadTimeMs = lora["networkLeadTime"].asUInt64();

  const Json::Value& read = lora;  // const access: reading must not add null members
  if (read["schedulePaddingMs"].isUInt64()) {
    settings.schedulePaddingMs = read["schedulePaddingMs"].asUInt64();
  }
  if (read["reducedPacketUpdates"].isBool()) {
    settings.reducedPacketUpdates = read["reducedPacketUpdates"].asBool();
  }
  if (read["skipPacketForwarderFieldCheck"].isBool()) {
    settings.skipPacketForwarderFieldCheck = read["skipPacketForwarderFieldCheck"].asBool();
  }
  if (read["deviceResetTime"].isUInt64()) {
    settings.deviceResetTimeMs = static_cast<int64_t>(read["deviceResetTime"].asUInt64() * 1000);
  }
  if (read["deviceLostTime"].isUInt64()) {
    settings.deviceLostTimeMs = static_cast<int64_t>(read["deviceLostTime"].asUInt64() * 1000);
  }
  // Only a boolean false relaxes the counter gap rule; a missing or mistyped key keeps it strict.
  const Json::Value& strict = read["enableStrictCounterValidation"];
  settings.strictCounterValidation = !(strict.isBool() && !strict.asBool());
  ResetUnless(config["network"], "vendorId", "008000",
              [](const Json::Value& v) { return v.isString(); });
}

void ApplyJoinKeys(Json::Value& config, Settings& settings) {
  Json::Value& lora = config["lora"];
  std::string order =
      lora["joinByteOrder"].isString() ? ZEV::Text::toUpperCase(lora["joinByteOrder"].asString()) : "";
  lora["joinByteOrder"] = (order == "MSB") ? "MSB" : "LSB";
  const Json::Value& timeout = static_cast<const Json::Value&>(lora)["classCAckTimeout"];
  if (timeout.isInt64()) settings.classCAckTimeoutMs = timeout.asInt64();
}

void ApplyBeaconKeys(Json::Value& config) {
  Json::Value& lora = config["lora"];
  if (!lora.isMember("beaconInterval")) {
    LOG_WARNING("Setting for beacon interval not found. Beacon is disabled.");
    lora["beaconInterval"] = 0;
  } else if (!lora["beaconInterval"].isUInt()) {
    lora["beaconInterval"] = 0;
  } else {
    unsigned interval = lora["beaconInterval"].asUInt();
    // 0 is the operator's way to switch the beacon off, not a divisor to test.
    if (interval != 0 && 86400 % interval != 0) {
      LOG_ERROR("Invalid beacon interval, must be a factor of the number of seconds in a day. Beacon is disabled.");
      lora["beaconInterval"] = 0;
    }
  }

  if (!lora["beaconPower"].isUInt()) {
    lora["beaconPower"] = 27;
  } else if (lora["beaconPower"].asUInt() > 27) {
    LOG_WARNING("Invalid beacon power, cannot be greater than 27. Changing to 27.");
    lora["beaconPower"] = 27;
  }

  if (!lora["beaconDelay"].isUInt()) {
    lora["beaconDelay"] = 0;
  } else if (lora["beaconDelay"].asUInt() > 50) {
    LOG_WARNING("Invalid beacon delay, cannot be greater than 50 ms. Changing to 50.");
    lora["beaconDelay"] = 50;
  }
}

void ApplyAdrKeys(Json::Value& config) {
  Json::Value& lora = config["lora"];
  ResetUnless(lora, "ADRStep", 30, [](const Json::Value& v) {
    return v.isInt() && v.asInt() >= 1 && v.asInt() <= 999;
  });

  auto usRange = [](const Json::Value& v) {
    return v.isInt() && ((v.asInt() >= 0 && v.asInt() <= 4) || (v.asInt() >= 8 && v.asInt() <= 13));
  };
  auto euRange = [](const Json::Value& v) { return v.isInt() && v.asInt() >= 0 && v.asInt() <= 7; };
  ResetUnless(lora, "minDatarateUS", 0, usRange);
  ResetUnless(lora, "maxDatarateUS", 4, usRange);
  ResetUnless(lora, "minDatarateEU", 0, euRange);
  ResetUnless(lora, "maxDatarateEU", 5, euRange);

  // US915 and AU915 have no uplink data rates 5 to 7 (the 500 kHz rates start at 8).
  auto usUplink = [](const Json::Value& v) {
    return v.isInt() && v.asInt() >= 0 && !(v.asInt() >= 5 && v.asInt() <= 7) && v.asInt() <= 13;
  };
  const std::string band = lora["frequencyBand"].asString();
  if (band == "US915" || band == "AU915") {
    ResetUnless(lora, "minDatarate", 0, usUplink);
    ResetUnless(lora, "maxDatarate", band == "US915" ? 3 : 5, usUplink);
  } else if (band == "EU868") {
    ResetUnless(lora, "minDatarate", 0, euRange);
    ResetUnless(lora, "maxDatarate", 5, euRange);
  }
  const Json::Value& read = lora;
  if (read["minDatarate"].isInt() && read["maxDatarate"].isInt() &&
      read["maxDatarate"].asInt() < read["minDatarate"].asInt()) {
    Json::Value low = lora["maxDatarate"];
    lora["maxDatarate"] = lora["minDatarate"];
    lora["minDatarate"] = low;
  }
}

void ApplyTestAndWhitelist(Json::Value& config, const CommandLine& line) {
  ResetUnless(config["lora"], "dutyCyclePeriod", 60, IsUnsigned);

  if (!config["test"].isObject()) config["test"] = Json::Value(Json::objectValue);
  Json::Value& test = config["test"];
  const std::pair<const char*, bool> flags[] = {
      {"disableRxJoin1", line.disableJoinRx1}, {"disableRxJoin2", line.disableJoinRx2},
      {"disableRxWindow1", line.disableRx1},   {"disableRxWindow2", line.disableRx2},
      {"disableDutyCycle", line.disableDutyCycle},
  };
  for (const auto& [key, given] : flags) {
    if (!test.isMember(key)) test[key] = given;
  }

  const Json::Value& whitelist = static_cast<const Json::Value&>(config)["whitelist"];
  if (!whitelist.isObject() || !whitelist["devices"].isArray()) {
    Json::Value fresh(Json::objectValue);
    fresh["devices"] = Json::Value(Json::arrayValue);
    fresh["enabled"] = true;
    config["whitelist"] = fresh;
  }
}

void ApplyDeviceKeys(Json::Value& config, Settings& settings) {
  Json::Value& lora = config["lora"];
  // The "test" switches are settled by now (ApplyTestAndWhitelist runs first).
  const Json::Value& test = static_cast<const Json::Value&>(config)["test"];
  auto flag = [&test](const char* key) { return test[key].isBool() && test[key].asBool(); };
  settings.disableRxWindow1 = flag("disableRxWindow1");
  settings.disableRxWindow2 = flag("disableRxWindow2");
  settings.disableDutyCycle = flag("disableDutyCycle");

  if (!lora.isMember("deviceQueueSize")) lora["deviceQueueSize"] = 16;
  if (lora["deviceQueueSize"].isUInt()) {
    settings.deviceQueueSize = static_cast<uint16_t>(lora["deviceQueueSize"].asUInt());
  }

  const Json::Value& read = config;
  const Json::Value& lease = read["network"]["leasetime"];
  if (lease.isUInt64()) settings.deviceLeaseTimeMs = lease.asUInt64() * 60000;
  if (settings.deviceLeaseTimeMs == 0) {
    LOG_INFO("Devices leases will not expire.");
  } else {
    LOG_INFO("Devices leases expire %llu ms after last contact",
             static_cast<unsigned long long>(settings.deviceLeaseTimeMs));
  }

  if (read["lora"]["antennaGain"].isInt()) settings.antennaGain = read["lora"]["antennaGain"].asInt();
  if (read["lora"]["maxTxPower"].isInt()) {
    settings.maxTxPower = read["lora"]["maxTxPower"].asInt() + settings.antennaGain;
  }
}

std::string ReadGatewaySerial(const std::string& path) {
  // Read directly, not through a shell: the path is the operator's and may hold any character.
  // A serial is a short line; the bound keeps a path that names a device from stalling start-up.
  constexpr size_t kMaxSerialBytes = 4096;
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) return "";
  std::string text(kMaxSerialBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return ZEV::Text::trim(text);
}

void ApplyPaths(const Json::Value& config, Settings& settings) {
  const Json::Value& paths = config["paths"];
  if (!paths.isObject()) return;
  GatewayPaths& p = settings.paths;
  const std::pair<const char*, std::string*> keys[] = {
      {"runDir", &p.runDir},
      {"deviceIdFile", &p.deviceIdFile},
      {"templateDir", &p.templateDir},
      {"templateFallbackDir", &p.templateFallbackDir},
      {"restartCommand", &p.restartCommand},
      {"caFile", &p.caFile},
      {"whitelistFile", &p.whitelistFile},
      {"commandDir", &p.commandDir},
  };
  for (const auto& [key, target] : keys) {
    if (paths[key].isString()) *target = paths[key].asString();
  }
}

}  // namespace Configuration

// ---------------------------------------------------------------------------------------------
// Network identity and key.

namespace Configuration {
namespace {

constexpr size_t kMaxPassphraseLength = 255;

const char* JsonTypeName(const Json::Value& value) {
  switch (value.type()) {
    case Json::booleanValue: return "a boolean";
    case Json::arrayValue: return "an array";
    case Json::objectValue: return "an object";
    case Json::stringValue: return "a text";
    case Json::nullValue: return "null";
    default: return "a number";
  }
}

std::string CleanHexText(const std::string& text) {
  std::string cleaned;
  for (char c : text) {
    if (c == ':' || c == '-' || c == '.') continue;
    cleaned += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return cleaned;
}

}  // namespace

bool ApplyNetworkIdentity(Json::Value& config, const Settings& settings) {
  Json::Value& network = config["network"];
  const Json::Value& read = network;

  // A present key of another JSON type is a mistake to name, not a missing key: taken as absent
  // it would turn into "Must supply network eui or name" for a name that was given, or a silent
  // change from the configured key to the pass phrase's.
  for (const char* key : {"eui", "name", "key", "passphrase"}) {
    if (!read[key].isNull() && !read[key].isString()) {
      LOG_ERROR("Invalid ['%s']['%s'] setting, must be a text, not %s", "network", key,
                JsonTypeName(read[key]));
      return false;
    }
  }

  if (read["eui"].isString() && !read["eui"].asString().empty()) {
    std::string cleaned = CleanHexText(read["eui"].asString());
    if (cleaned.size() != 16) {
      LOG_ERROR("Invalid network eui, must be 16 hex chars [%s]", read["eui"].asCString());
      return false;
    }
    network["eui"] = cleaned;
  } else {
    if (!read["name"].isString()) {
      LOG_ERROR("Must supply network eui or name");
      return false;
    }
    std::string name = read["name"].asString();
    if (name.empty()) name = "ZEV-" + settings.gatewaySerial;
    if (name.size() < 8) {
      LOG_ERROR("Network name must be at least 8 characters in length");
      return false;
    }
    LOG_TRACE("Generating Network Id...");
    network["eui"] = NetworkEuiFromName(name).compactText();
  }

  if (read["key"].isString() && !read["key"].asString().empty()) {
    std::string cleaned = CleanHexText(read["key"].asString());
    if (cleaned.size() != 32) {
      LOG_ERROR("Invalid network key, must be 32 hex chars [%s]", read["key"].asCString());
      return false;
    }
    network["key"] = cleaned;
  } else {
    if (!read["passphrase"].isString()) {
      LOG_ERROR("Must supply network key or passphrase");
      return false;
    }
    std::string passphrase = read["passphrase"].asString();
    if (passphrase.empty()) passphrase = "ZEV-" + settings.gatewaySerial;
    if (passphrase.size() < 8) {
      LOG_ERROR("Network passphrase must be at least 8 characters in length");
      return false;
    }
    // The key has always been generated with the length as an 8-bit count: a longer phrase would
    // be cut to its length modulo 256 (256 characters give the key of the empty text).
    if (passphrase.size() > kMaxPassphraseLength) {
      LOG_ERROR("Network passphrase must be at most %zu characters in length", kMaxPassphraseLength);
      return false;
    }
    LOG_TRACE("Generating Network Key...");
    network["key"] = CmacKeyFromText(passphrase.c_str(), passphrase.size()).text();
  }

  // A base key of another JSON type fails to parse like a malformed text, rather than staying in
  // the logged configuration while nothing uses it.
  const Json::Value& baseKey = read["baseKey"];
  if (!baseKey.isNull() && !(baseKey.isString() && baseKey.asString().empty())) {
    std::string text = baseKey.isString() ? baseKey.asString() : "";
    uint8_t bytes[16];
    if ((text.size() == 32 || text.size() == 47) && HexToBytes(text.c_str(), bytes, 16, true)) {
      network["baseKey"] = BytesToHex(bytes, 16, true, 0);
    } else {
      fputs("Failed to parse Base Key\r\n", stdout);
      fflush(stdout);
      network["baseKey"] = "";
    }
  }
  return true;
}

void ApplyLocalCardEui(const CommandLine& line, Settings& settings) {
  if (!line.card1Eui.empty()) settings.localCardEui = HexToUInt64(line.card1Eui.c_str(), 8);
}

}  // namespace Configuration
