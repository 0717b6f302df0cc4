// vallorin-sim: packet forwarders and end-devices on loopback for a vallorin server, without
// radio hardware. One thread drives every gateway socket and device on a schedule; the MQTT
// client's own thread reports what applications see. Used by tools/vallorin-sim.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Sim {

struct Options {
  // Where the server is (all of it on this host).
  std::string host = "127.0.0.1";
  uint16_t upstreamPort = 1780;
  uint16_t downstreamPort = 1782;
  uint16_t commandPort = 6677;
  uint16_t appPortUp = 1784;
  bool udpApp = false;  // listen on appPortUp as a UDP application does, and count what arrives
  std::string mqttHost = "127.0.0.1";
  int mqttPort = 1883;
  bool mqtt = true;
  std::string mqttUser;
  std::string mqttPassword;

  // The network's identity: the key OTAA devices join with and the JoinEUI they send.
  std::string networkKey;  // 32 hex digits
  std::string appKey;      // 32 hex digits: every device's own key, as listed in the whitelist
  bool zeroTouch = false;  // each device's key derived from the base key and salt
  std::string baseKey, salt;
  uint64_t joinEui = 0;
  uint32_t netId = 0;
  unsigned rx1DelayS = 1;
  unsigned joinDelayS = 5;

  unsigned gateways = 1;
  unsigned hear = 1;  // gateways that hear each uplink
  uint64_t gatewayEuiBase = 0x0080000000a10000ull;
  unsigned devices = 2;
  bool abp = false;  // sessions through the command port instead of joins
  uint64_t devEuiBase = 0x0080000000b10000ull;
  uint32_t devAddrBase = 0x00100000;  // NwkID bits come from netId
  // 'A'; 'B' (follows the beacon, then listens on its ping slots and says so in its uplinks);
  // 'C' (listens on RX2 between uplinks; told to the server).
  char deviceClass = 'A';
  unsigned beaconIntervalS = 0;  // the server's "beaconInterval": class B devices need it
  uint32_t fcntStart = 0;  // personalised devices' first uplink counter, to cross 65535 early

  double rate = 0;       // uplinks per second over all devices; 0: each device every `interval`
  double interval = 10;  // seconds
  double duration = 0;   // seconds; 0: until interrupted
  double drain = -1;     // seconds to wait for answers after the last uplink; -1: automatic
  unsigned payloadSize = 8;
  int port = 1;
  double confirmedPct = 0;
  double downlinkPct = 0;  // devices that keep one downlink queued through MQTT
  bool confirmedDownlinks = false;
  double joinRate = 10;  // join requests per second
  std::string datr = "SF7BW125";
  // Uplink channels, MHz: EU868's three default ones unless the server's plan says otherwise.
  std::vector<double> frequencies = {868.1, 868.3, 868.5};
  // The server's channel plan, for the frequency and rate each receive window must use; they are
  // not judged once its configuration moves RX2, offsets RX1 from the plan's defaults or makes
  // the network private.
  std::string band = "EU868";
  bool checkRf = true;

  bool load = false;     // progress line and final report instead of one line per event
  int serverPid = 0;     // 0: the process bound to the upstream port
  double firstAck = 0;   // >0: first wait up to this many seconds for the server's first PUSH_ACK
  unsigned seed = 1;
};

// What the simulator knows of a channel plan, typed in from the regional parameters apart from
// the server's own plans: where its devices send and where they listen by default.
struct SimRegion {
  const char* band;
  double firstUpMhz;             // wide-band plans: the first 125 kHz channel, 200 kHz apart; else 0
  std::vector<double> channels;  // the other plans: the default uplink channels
  double rx2Mhz;
  const char* rx2Datr;
  int fastestDr;  // the last LoRa downlink datarate index

  bool wideBand() const { return firstUpMhz > 0; }
};

// The plan of that name ("frequencyBand"); EU868's for a name it does not know.
const SimRegion& RegionOf(const std::string& band);

// Takes ports, broker, network key (or pass phrase) and EUI (or name), NetID and delays from a
// server configuration file. False with a reason when the file cannot be read.
bool ReadServerConfig(const std::string& path, Options& options, std::string& error);

// Parses "--name value" arguments (and "--scenario FILE", a JSON object of the same names) into
// the options. False with a reason on an unknown or malformed one.
bool ParseArguments(const std::vector<std::string>& args, Options& options, std::string& error);
std::string Usage();

// Runs the scenario; returns the process exit status (0: nothing lost, every downlink valid).
int Run(const Options& options);

}  // namespace Sim
