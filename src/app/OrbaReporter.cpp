#include "app/OrbaReporter.h"

#include <arpa/inet.h>

#include <cmath>
#include <sstream>

#include "Settings.h"
#include "app/AppEvents.h"
#include "devices/NetworkStatistics.h"
#include "gateway/Gateway.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/System.h"

namespace {

bool IsTrue(const Json::Value& value) { return value.isBool() && value.asBool(); }

// The first line of a command's output, trimmed; empty when the command failed.
std::string FirstLine(const std::string& command) {
  std::string output;
  if (ZEV::System::cmd(command, output) != 0) return "";
  const size_t end = output.find('\n');
  return output.substr(0, end);
}

// The installed versions the gateway-information report carries. A shell per report would put
// four process starts on the packet path (the report follows a forwarder's PULL_DATA), so they
// are read once, when the server starts.
Json::Value InstalledSoftware() {
  Json::Value a(Json::objectValue);
  std::string packages;
  if (ZEV::System::cmd("opkg list-installed | grep 'lora'", packages) == 0) {
    std::istringstream lines(packages);
    for (std::string line; std::getline(lines, line);) {
      const size_t dash = line.find(" - ");
      if (dash != std::string::npos) a[line.substr(0, dash)] = line.substr(dash + 3);
    }
  } else {
    LOG_DEBUG("Failed to retrieve version info from opkg");
  }
  const std::pair<const char*, const char*> versions[] = {
      {"/opt/lora/vallorin --version", "vallorin_bin"},
      {"/opt/lora/lora-orba-server --version", "lora_orba_server_bin"},
      {"cat /etc/issue | grep Version", "uld_version"}};
  const char* failures[] = {"Failed to retrieve version info for vallorin",
                            "Failed to retrieve version info for lora-orba-server",
                            "Failed to retrieve version info for ULD"};
  for (size_t i = 0; i < 3; ++i) {
    const std::string line = FirstLine(versions[i].first);
    if (line.empty()) {
      LOG_DEBUG("%s", failures[i]);
    } else {
      a[versions[i].second] = line;
    }
  }
  return a;
}

}  // namespace

// The switches are read once at start, so a reporter that is off never sends the report that
// needs the versions, and a gateway without the agent runs none of the commands.
OrbaReporter::OrbaReporter(const OrbaLinks& links)
    : links_(links), software_(Enabled() ? InstalledSoftware() : Json::Value(Json::objectValue)) {
  socket_.open(0, false);
}

bool OrbaReporter::Enabled(const char* secondSwitch) const {
  if (links_.config == nullptr) return false;
  const Json::Value& network = (*links_.config)["network"];
  if (!network.isObject() || !IsTrue(network["orbaEnabled"])) return false;
  return secondSwitch == nullptr || IsTrue(network[secondSwitch]);
}

Json::Value OrbaReporter::Envelope(uint64_t gatewayEui, const std::string& suffix,
                                   const std::string& type, Json::Value attributes, bool put) const {
  const std::string eui = Gateway::EuiText(gatewayEui);
  attributes["trevant_serial"] = links_.settings != nullptr ? links_.settings->gatewaySerial : "";
  Json::Value envelope(Json::objectValue);
  envelope["path"] = "m1/gateways/" + eui + suffix;
  if (put) envelope["method"] = "PUT";
  envelope["request"]["id"] = eui;
  envelope["request"]["data"]["type"] = type;
  envelope["request"]["data"]["attributes"] = std::move(attributes);
  return envelope;
}

void OrbaReporter::report(const Json::Value& envelope) {
  const std::string text = JsonText::Compact(envelope);
  if (!socket_.send(UdpSocket::LoopbackAddress(links_.port),
                    reinterpret_cast<const uint8_t*>(text.data()), text.size())) {
    LOG_DEBUG("ORBA request failed");
  }
}

void OrbaReporter::NetworkStatistics() {
  if (!Enabled("orbaNetworkStats") || links_.statistics == nullptr || links_.settings == nullptr) return;
  const uint64_t eui = links_.settings->localCardEui;
  if (eui == UINT64_MAX) return;  // no gateway EUI to report under
  const NetworkStatistics::Values now = links_.statistics->values();
  const NetworkStatistics::Values before = links_.statistics->lastReported();
  Json::Value attributes(Json::objectValue);
  for (size_t i = 0; i < NetworkStatistics::kCounters; ++i) {
    const char* name = NetworkStatistics::reportName(static_cast<NetworkStatistics::Counter>(i));
    if (name != nullptr) attributes[name] = NetworkStatistics::Delta(now[i], before[i]);
  }
  const NetworkStatistics::JoinResponseSummary times = links_.statistics->joinResponseSummary();
  attributes["join_response_avg"] = times.average;
  attributes["join_response_90"] = times.p90;
  attributes["join_response_70"] = times.p70;
  attributes["join_response_30"] = times.p30;
  attributes["join_response_10"] = times.p10;
  report(Envelope(eui, "/network_statistics", "network_statistics", attributes, false));
  links_.statistics->markReported(now);
}

void OrbaReporter::GatewayStatistics(Gateway& gateway) {
  if (!Enabled("orbaGatewayStats")) return;
  const Gateway::StatusBlock now = gateway.status();
  const Gateway::StatusBlock before = gateway.lastReported();
  auto delta = [](uint32_t a, uint32_t b) { return NetworkStatistics::Delta(a, b); };
  auto counter = [&](Gateway::Counter c) {
    const size_t i = static_cast<size_t>(c);
    return delta(now.counters[i], before.counters[i]);
  };
  Json::Value a(Json::objectValue);
  a["mic_fails"] = counter(Gateway::Counter::mic_fails);
  a["crc_errors"] = delta(now.crcErrors, before.crcErrors);
  a["uplinks"] = counter(Gateway::Counter::uplinks);
  a["uplinks_ok"] = counter(Gateway::Counter::uplinks_ok);
  a["uplinks_nok_mic"] = counter(Gateway::Counter::uplinks_nok_mic);
  a["uplinks_nok_unknown"] = counter(Gateway::Counter::uplinks_nok_unknown);
  a["downlinks"] = counter(Gateway::Counter::downlinks);
  a["downlinks_ack_requested"] = counter(Gateway::Counter::downlinks_ack_requested);
  a["rx_count"] = delta(now.rxnb, before.rxnb);
  a["rx_ok"] = delta(now.rxok, before.rxok);
  a["rx_forwarded"] = delta(now.rxfw, before.rxfw);
  a["ack_rate"] = now.ackrAverage;
  a["downlink_count"] = delta(now.dwnb, before.dwnb);
  a["tx_count"] = delta(now.txnb, before.txnb);
  for (size_t ch = 0; ch < 8; ++ch) {
    a["rx_ch_" + std::to_string(ch)] = delta(now.channels[ch], before.channels[ch]);
  }
  a["rx_ch_hbw"] = delta(now.channels[8], before.channels[8]);
  a["rx_ch_fsk"] = delta(now.channels[9], before.channels[9]);
  report(Envelope(gateway.eui(), "/gateway_statistics", "gateway_statistics", a, false));
  gateway.setLastReported(now);

  const Gateway::Position position = gateway.position();
  // A gateway west of Greenwich, south of the equator or at sea level has a position too; only
  // the forwarder's placeholder (0, 0) and impossible coordinates are left out.
  const bool placed = std::fabs(position.latitude) <= 90 && std::fabs(position.longitude) <= 180 &&
                      (position.latitude != 0 || position.longitude != 0);
  if (position.valid && placed) {
    LOG_INFO("Update gateway position %f %f %f", position.latitude, position.longitude,
             position.altitude);
    Json::Value p(Json::objectValue);
    p["latitude"] = position.latitude;
    p["longitude"] = position.longitude;
    p["altitude"] = position.altitude;
    report(Envelope(gateway.eui(), "", "gateways", p, true));
  }
}

void OrbaReporter::GatewayInformation(const Gateway& gateway) {
  if (!Enabled()) return;
  const sockaddr_in address = gateway.downlinkAddress();
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  Json::Value a(Json::objectValue);
  a["ip_address"] = ip;
  a["ip_port"] = ntohs(address.sin_port);
  a["protocol_version"] = gateway.protocolVersion();
  for (const std::string& name : software_.getMemberNames()) a[name] = software_[name];
  LOG_INFO("Update gateway info %s %s %d", gateway.euiText().c_str(), ip, gateway.protocolVersion());
  report(Envelope(gateway.eui(), "", "gateways", a, true));
}

void OrbaReporter::UplinkPacket(const std::string& uplinkJson, uint64_t gatewayEui,
                                size_t frameLength) {
  if (!Enabled("orbaPacketMetadata")) return;
  Json::Value a;
  std::string errors;
  if (!JsonText::Parse(uplinkJson, a, errors) || !a.isObject()) return;
  a.removeMember("ack");
  a.removeMember("adr");
  a.removeMember("data");
  // When the report was made, not the gateway's "time" of reception (a forwarder without GPS
  // sends its own clock, which may be anything).
  if (!a.isMember("timestamp")) a["timestamp"] = AppEvents::UtcTimeText();
  a["protocol_version"] = "1.0";
  if (frameLength > 12) a["size"] = static_cast<Json::UInt>(frameLength - 12);
  report(Envelope(gatewayEui, "/uplink_packets", "uplink_packets", a, false));
}

void OrbaReporter::DownlinkPacket(const std::string& sentJson, uint64_t gatewayEui) {
  if (!Enabled("orbaPacketMetadata")) return;
  Json::Value a;
  std::string errors;
  if (!JsonText::Parse(sentJson, a, errors) || !a.isObject()) return;
  a.removeMember("data");
  a["timestamp"] = AppEvents::UtcTimeText();
  a["protocol_version"] = "1.0";
  report(Envelope(gatewayEui, "/downlink_packets", "downlink_packets", a, false));
}

void OrbaReporter::JoinRequest(const Json::Value& attributes, uint64_t gatewayEui) {
  if (!Enabled("orbaLocalJoinMetadata")) return;
  report(Envelope(gatewayEui, "/join_requests", "join_requests", attributes, false));
}
