// Command line, scenario file and server configuration into Sim::Options.
#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "sim/SimFrames.h"
#include "sim/Simulator.h"

namespace Sim {

namespace {

bool ReadJsonFile(const std::string& path, Json::Value& out, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &out, &errors) || !out.isObject()) {
    error = path + " is not a JSON object " + errors;
    return false;
  }
  return true;
}

bool ParseHex64(const std::string& text, uint64_t& out) {
  std::string digits;
  for (char c : text) {
    if (c == '-' || c == ':') continue;
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.empty() || digits.size() > 16) return false;
  out = std::strtoull(digits.c_str(), nullptr, 16);
  return true;
}

using Setter = std::function<bool(Options&, const std::string&)>;

template <typename T>
Setter Number(T Options::*member, double low, double high) {
  return [=](Options& o, const std::string& v) {
    char* end = nullptr;
    const double value = std::strtod(v.c_str(), &end);
    if (end == v.c_str() || *end != '\0' || value < low || value > high) return false;
    o.*member = static_cast<T>(value);
    return true;
  };
}

Setter Text(std::string Options::*member) {
  return [=](Options& o, const std::string& v) {
    o.*member = v;
    return true;
  };
}

// 16 bytes in hex, kept as 32 lower-case digits.
Setter Key(std::string Options::*member) {
  return [=](Options& o, const std::string& v) {
    uint8_t key[16];
    if (!HexToBytes(v.c_str(), key, 16, true)) return false;
    o.*member = BytesToHex(key, 16, true, 0);
    return true;
  };
}

Setter Hex(uint64_t Options::*member) {
  return [=](Options& o, const std::string& v) { return ParseHex64(v, o.*member); };
}

Setter Flag(bool Options::*member) {
  return [=](Options& o, const std::string& v) {
    if (v != "true" && v != "false" && v != "1" && v != "0") return false;
    o.*member = v == "true" || v == "1";
    return true;
  };
}

const std::map<std::string, Setter>& Setters() {
  static const std::map<std::string, Setter> setters = {
      {"host", Text(&Options::host)},
      {"upstream-port", Number(&Options::upstreamPort, 1, 65535)},
      {"downstream-port", Number(&Options::downstreamPort, 1, 65535)},
      {"command-port", Number(&Options::commandPort, 1, 65535)},
      {"app-port-up", Number(&Options::appPortUp, 1, 65535)},
      {"udp-app", Flag(&Options::udpApp)},
      {"mqtt-host", Text(&Options::mqttHost)},
      {"mqtt-port", Number(&Options::mqttPort, 1, 65535)},
      {"mqtt", Flag(&Options::mqtt)},
      {"mqtt-user", Text(&Options::mqttUser)},
      {"mqtt-password", Text(&Options::mqttPassword)},
      {"network-key", Key(&Options::networkKey)},
      {"app-key", Key(&Options::appKey)},
      {"zero-touch", Flag(&Options::zeroTouch)},
      // Written into the derivation as the server keeps it; it takes 32 digits or 16 pairs.
      {"base-key", [](Options& o, const std::string& v) {
         return (v.size() == 32 || v.size() == 47) && Key(&Options::baseKey)(o, v);
       }},
      {"salt", Text(&Options::salt)},
      {"passphrase", [](Options& o, const std::string& v) {
         o.networkKey = CmacKeyFromText(v).text();
         return true;
       }},
      {"join-eui", Hex(&Options::joinEui)},
      {"network-name", [](Options& o, const std::string& v) {
         o.joinEui = NetworkEuiFromName(v).value();
         return true;
       }},
      {"net-id", [](Options& o, const std::string& v) {
         uint64_t id = 0;
         if (!ParseHex64(v, id) || id > 0xFFFFFF) return false;
         o.netId = static_cast<uint32_t>(id);
         return true;
       }},
      {"rx1-delay", Number(&Options::rx1DelayS, 1, 15)},
      {"join-delay", Number(&Options::joinDelayS, 1, 15)},
      {"gateways", Number(&Options::gateways, 1, 64)},
      {"hear", Number(&Options::hear, 1, 64)},
      {"gateway-eui", Hex(&Options::gatewayEuiBase)},
      {"devices", Number(&Options::devices, 0, 1000000)},
      {"abp", Flag(&Options::abp)},
      {"class", [](Options& o, const std::string& v) {
         if (v.size() != 1 || std::string("ABCabc").find(v[0]) == std::string::npos) return false;
         o.deviceClass = static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
         return true;
       }},
      {"beacon-interval", Number(&Options::beaconIntervalS, 0, 86400)},
      {"fcnt-start", Number(&Options::fcntStart, 0, 4294967295.0)},
      {"dev-eui", Hex(&Options::devEuiBase)},
      {"dev-addr", [](Options& o, const std::string& v) {
         uint64_t a = 0;
         if (!ParseHex64(v, a) || a > 0x01FFFFFF) return false;
         o.devAddrBase = static_cast<uint32_t>(a);
         return true;
       }},
      {"rate", Number(&Options::rate, 0, 1e6)},
      {"interval", Number(&Options::interval, 0.01, 1e6)},
      {"duration", Number(&Options::duration, 0, 1e7)},
      {"drain", Number(&Options::drain, 0, 600)},
      {"payload", Number(&Options::payloadSize, 0, 222)},
      {"port", Number(&Options::port, 1, 223)},
      {"confirmed", Number(&Options::confirmedPct, 0, 100)},
      {"downlinks", Number(&Options::downlinkPct, 0, 100)},
      {"confirmed-downlinks", Flag(&Options::confirmedDownlinks)},
      {"join-rate", Number(&Options::joinRate, 0.01, 10000)},
      {"datr", Text(&Options::datr)},
      {"load", Flag(&Options::load)},
      {"server-pid", Number(&Options::serverPid, 1, 1 << 30)},
      {"seed", Number(&Options::seed, 0, 4e9)},
      {"first-ack", Number(&Options::firstAck, 0, 600)},
  };
  return setters;
}

bool Apply(Options& options, const std::string& name, const std::string& value,
           std::string& error) {
  const auto found = Setters().find(name);
  if (found == Setters().end()) {
    error = "unknown option --" + name;
    return false;
  }
  if (!found->second(options, value)) {
    error = "bad value '" + value + "' for --" + name;
    return false;
  }
  return true;
}

}  // namespace

const SimRegion& RegionOf(const std::string& band) {
  static const SimRegion kRegions[] = {
      {"EU868", 0, {868.1, 868.3, 868.5}, 869.525, "SF12BW125", 6},
      {"US915", 902.3, {}, 923.3, "SF12BW500", 13},
      {"AU915", 915.2, {}, 923.3, "SF12BW500", 13},
      {"AS923", 0, {923.2, 923.4}, 923.2, "SF10BW125", 6},
      {"KR920", 0, {922.1, 922.3, 922.5}, 921.9, "SF12BW125", 5},
      {"IN865", 0, {865.0625, 865.4025, 865.985}, 866.55, "SF10BW125", 6},
  };
  for (const SimRegion& region : kRegions) {
    if (band == region.band) return region;
  }
  return kRegions[0];
}

bool ReadServerConfig(const std::string& path, Options& o, std::string& error) {
  Json::Value c;
  if (!ReadJsonFile(path, c, error)) return false;
  const Json::Value& udp = c["udp"];
  if (udp["upstreamPort"].isUInt()) o.upstreamPort = static_cast<uint16_t>(udp["upstreamPort"].asUInt());
  if (udp["downstreamPort"].isUInt()) o.downstreamPort = static_cast<uint16_t>(udp["downstreamPort"].asUInt());
  if (udp["commandPort"].isUInt()) o.commandPort = static_cast<uint16_t>(udp["commandPort"].asUInt());
  if (udp["appPortUp"].isUInt()) o.appPortUp = static_cast<uint16_t>(udp["appPortUp"].asUInt());
  const Json::Value& mqtt = c["mqtt"];
  if (mqtt["host"].isString()) o.mqttHost = mqtt["host"].asString();
  if (mqtt["port"].isUInt()) o.mqttPort = static_cast<int>(mqtt["port"].asUInt());
  if (mqtt["enabled"].isBool()) o.mqtt = mqtt["enabled"].asBool();
  if (mqtt["username"].isString() && mqtt["password"].isString()) {
    o.mqttUser = mqtt["username"].asString();
    o.mqttPassword = mqtt["password"].asString();
  }
  // The same key and EUI the server derives at start-up.
  const Json::Value& network = c["network"];
  std::string unused;
  if (network["key"].isString() && !network["key"].asString().empty()) {
    if (!Apply(o, "network-key", network["key"].asString(), error)) return false;
  } else if (network["passphrase"].isString() && !network["passphrase"].asString().empty()) {
    Apply(o, "passphrase", network["passphrase"].asString(), unused);
  }
  if (network["eui"].isString() && !network["eui"].asString().empty()) {
    if (!Apply(o, "join-eui", network["eui"].asString(), error)) return false;
  } else if (network["name"].isString() && !network["name"].asString().empty()) {
    Apply(o, "network-name", network["name"].asString(), unused);
  }
  if (network["baseKey"].isString() && !network["baseKey"].asString().empty() &&
      !Apply(o, "base-key", network["baseKey"].asString(), error)) {
    return false;
  }
  if (network["salt"].isString()) o.salt = network["salt"].asString();
  const Json::Value& lora = c["lora"];
  if (lora["netID"].isString() && !Apply(o, "net-id", lora["netID"].asString(), error)) return false;
  if (lora["rx1Delay"].isUInt()) o.rx1DelayS = std::max(1u, lora["rx1Delay"].asUInt());
  if (lora["joinDelay"].isUInt()) o.joinDelayS = std::max(1u, lora["joinDelay"].asUInt());
  if (lora["beaconInterval"].isUInt()) o.beaconIntervalS = lora["beaconInterval"].asUInt();
  // The wide-band plans listen on one sub-band of eight 125 kHz channels, the others on their
  // default channels.
  std::string band = lora["frequencyBand"].isString() ? lora["frequencyBand"].asString() : "";
  if (band == "915") band = "US915";
  if (band == "868") band = "EU868";
  if (!band.empty()) o.band = band;
  for (const char* moved : {"rx2Frequency", "rx2Datarate", "rx1DatarateOffset"}) {
    if (lora.isMember(moved)) o.checkRf = false;
  }
  // A private wide-band network answers on one downlink channel per sub-band instead.
  const Json::Value& isPublic = c["network"]["public"];
  if ((isPublic.isBool() && !isPublic.asBool()) || (isPublic.isIntegral() && isPublic.asInt() == 0)) {
    o.checkRf = false;
  }
  const SimRegion& region = RegionOf(o.band);
  if (region.wideBand()) {
    const int subBand = lora["frequencySubBand"].isInt() ? std::clamp(lora["frequencySubBand"].asInt(), 1, 8) : 1;
    o.frequencies.clear();
    for (int k = 0; k < 8; ++k) o.frequencies.push_back(region.firstUpMhz + 0.2 * (8 * (subBand - 1) + k));
  } else {
    o.frequencies = region.channels;
  }
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, Options& o, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0 && arg != "-c") {
      error = "unexpected argument " + arg;
      return false;
    }
    const std::string name = arg == "-c" ? "config" : arg.substr(2);
    // Flags may stand alone: "--abp" is "--abp true".
    std::string value = "true";
    if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) value = args[++i];
    if (name == "config") {
      if (!ReadServerConfig(value, o, error)) return false;
    } else if (name == "scenario") {
      Json::Value scenario;
      if (!ReadJsonFile(value, scenario, error)) return false;
      for (const std::string& key : scenario.getMemberNames()) {
        const Json::Value& v = scenario[key];
        const std::string text = v.isString() ? v.asString()
                                 : v.isBool() ? (v.asBool() ? "true" : "false")
                                              : Json::FastWriter().write(v);
        std::string trimmed = text;
        while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
        if (key == "config" ? !ReadServerConfig(trimmed, o, error) : !Apply(o, key, trimmed, error)) {
          return false;
        }
      }
    } else if (!Apply(o, name, value, error)) {
      return false;
    }
  }
  if (o.hear > o.gateways) o.hear = o.gateways;
  if (o.fcntStart > 0 && !o.abp) {
    error = "--fcnt-start needs --abp: a joined device always starts counting at 0";
    return false;
  }
  // Ping slots need a beacon period that leaves room for them past its guard times.
  if (o.deviceClass == 'B' && o.beaconIntervalS * 1000 <= kBeaconGuardMs + kPingSlotMs) {
    error = "--class B needs the server's beacon interval: -c <server config> or --beacon-interval";
    return false;
  }
  if (o.zeroTouch && o.baseKey.empty()) {
    error = "--zero-touch needs the base key: -c <server config> or --base-key";
    return false;
  }
  if (!o.abp && o.networkKey.empty() && o.appKey.empty() && !o.zeroTouch && o.devices > 0) {
    error = "OTAA devices need the network key: -c <server config>, --network-key or --passphrase";
    return false;
  }
  return true;
}

std::string Usage() {
  return R"(vallorin-sim [-c SERVER-CONF] [--scenario FILE.json] [--OPTION VALUE ...]

Plays packet forwarders and end-devices against a vallorin server on this host.
  -c FILE               take ports, broker, network key/pass phrase, EUI/name, NetID, delays
                        from the server's configuration
  --gateways N          packet forwarders (1); --hear K: gateways hearing each uplink (1)
  --devices N           end-devices (2); --abp: sessions through the command port, else OTAA
  --class A|B|C         device class (A); class B devices follow the beacon and take downlinks
                        in their ping slots (--beacon-interval S, or "beaconInterval" of -c),
                        class C devices take them between uplinks
  --fcnt-start N        first uplink counter of --abp devices (0), e.g. 65530 to roll over
  --rate R              uplinks/s over all devices; else each device every --interval S (10)
  --duration S          stop after S seconds (0: run until Ctrl-C); --drain S after that
  --payload BYTES (8)   --port N (1)   --confirmed PCT   --datr SF7BW125
  --downlinks PCT       devices that always have a downlink queued (through MQTT)
  --confirmed-downlinks those downlinks are confirmed (acknowledged in the next uplink)
  --join-rate J         join requests per second (10)
  --app-key HEX         OTAA devices join with this key of theirs (the server's whitelist lists
                        them with it), not the network key
  --zero-touch          OTAA devices join with the key derived from their EUIs and the base key
                        and salt (--base-key, --salt; or "baseKey", "salt" of -c)
  --load                progress line, then one JSON line (stdout) and a summary (stderr)
  --first-ack S         start by timing the server's first PUSH_ACK (waits up to S seconds)
  --server-pid PID      server to read CPU time and peak RSS of (else the one on the port)
  --udp-app             listen on the application up port (--app-port-up, 1784) as a UDP
                        application does, and count each device's "up" events there
  --upstream-port --downstream-port --command-port --mqtt-host --mqtt-port --mqtt false
  --network-key HEX --passphrase TEXT --join-eui EUI --network-name TEXT --net-id HEX
  --rx1-delay S --join-delay S --gateway-eui EUI --dev-eui EUI --dev-addr HEX --seed N
A scenario file is a JSON object of the same names, e.g. {"devices":100,"rate":50,"abp":true}.
)";
}

}  // namespace Sim
