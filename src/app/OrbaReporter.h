// Reports to the gateway's local management agent: one compact JSON envelope per UDP datagram to
// 127.0.0.1 on "udp"."orbaPort". Fire and forget: a failed send is noted at debug level and not
// retried. Every report needs "network"."orbaEnabled" true; most kinds have a second switch.
//
// Built and sent on the producing thread (packet workers, the time thread, commands); the socket
// has its own send lock, so any thread may report.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "gateway/UdpSocket.h"

class Gateway;
class NetworkStatistics;
struct Settings;

struct OrbaLinks {
  const Json::Value* config = nullptr;  // "network" switches
  const Settings* settings = nullptr;   // gateway serial, local card EUI
  NetworkStatistics* statistics = nullptr;
  uint16_t port = 1790;  // "udp"."orbaPort"
};

class OrbaReporter {
 public:
  // Reads the installed software versions (shell commands) for the gateway-information report.
  explicit OrbaReporter(const OrbaLinks& links);

  // "network"."orbaEnabled" and, when given, the second switch, both present and true.
  bool Enabled(const char* secondSwitch = nullptr) const;

  // {"path": "m1/gateways/<eui><suffix>", ["method": "PUT",] "request": {"id": <eui>,
  // "data": {"type": type, "attributes": attributes + "trevant_serial"}}}
  Json::Value Envelope(uint64_t gatewayEui, const std::string& suffix, const std::string& type,
                       Json::Value attributes, bool put) const;
  void report(const Json::Value& envelope);

  // The report kinds; each checks its own switches.
  // Every 30 000 time-thread rounds: the change of each counter since the last report.
  void NetworkStatistics();
  // Every 15th status record of a gateway, then its position when all three coordinates are > 0.
  void GatewayStatistics(Gateway& gateway);
  // A gateway seen from a new address or protocol version.
  void GatewayInformation(const Gateway& gateway);
  // An accepted uplink's "up" message.
  void UplinkPacket(const std::string& uplinkJson, uint64_t gatewayEui, size_t frameLength);
  // A transmitted downlink's "packet_sent" message.
  void DownlinkPacket(const std::string& sentJson, uint64_t gatewayEui);
  // A join granted by the local join server.
  void JoinRequest(const Json::Value& attributes, uint64_t gatewayEui);

 private:
  const OrbaLinks links_;
  const Json::Value software_;  // installed versions, read at construction
  UdpSocket socket_;            // unbound sender
};
