// A whole network around the real binary for end-to-end tests: a real broker with an application
// subscribed to lora/#, a packet forwarder on loopback that has pulled (so downlinks reach it), and
// helpers to seed sessions, push uplinks, read PULL_RESP downlinks and wait for events and lines.
// Every wait is bounded.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"

namespace e2e {

struct SeededSession {
  uint32_t devAddr = 0x26011234;
  std::string devEui = "00-80-00-00-00-00-e1-9c";
  std::string appEui = "70-b3-d5-7e-d0-00-00-01";
  std::string nwkSKey = "2b7e151628aed2a6abf7158809cf4f3c";
  std::string appSKey = "000102030405060708090a0b0c0d0e0f";
  uint32_t downCounter = 0;
  std::string deviceClass = "A";
};

// Writes the sessions straight into the flash database of the configuration, before a server
// starts on it; `dir` takes the seeding run's own files.
void SeedSessions(const Json::Value& config, const std::string& dir,
                  const std::vector<SeededSession>& sessions);

class NetworkRig {
 public:
  static constexpr uint64_t kGatewayEui = 0x0102030405060708ull;

  NetworkRig();
  ~NetworkRig();

  // The configuration the server will get (EU868, NetID 000013, MQTT on the rig's broker); change
  // it before Start().
  Json::Value config;
  // Writes sessions straight into the flash database before the server starts.
  void Seed(const std::vector<SeededSession>& sessions);
  // Starts the server, waits for it, registers the forwarder and the server's MQTT connection.
  bool Start();
  int Stop();
  // The packet forwarder restarts on a new socket (a new address) and pulls again.
  bool MoveForwarder();

  void Push(const std::vector<uint8_t>& frame, const std::string& rxpkPatch = "{}");
  // A PUSH_DATA with this JSON body (a "stat" record, say).
  void PushText(const std::string& json);
  // The next PULL_RESP datagram within the timeout (false when none came); TX_ACK is sent back.
  bool NextPullResp(std::vector<uint8_t>& datagram, int timeoutMs);
  // When the last PULL_RESP reached the forwarder's socket, by the kernel (CLOCK_REALTIME, ns).
  int64_t PullRespArrivalRealtimeNs() const { return forwarder_->arrivalRealtimeNs(); }
  // The next PULL_RESP's "txpk" within the timeout (null when none came).
  Json::Value NextTxpk(int timeoutMs);

  // One datagram to the command port; the reply's pieces joined (empty when nothing came within
  // the timeout). `pieces` counts them, `largest` is the longest.
  std::string Command(const std::string& text, int timeoutMs = 200, size_t* pieces = nullptr,
                      size_t* largest = nullptr) const;
  std::vector<testsupport::MqttProbe::Message> On(const std::string& topicSuffix) const;
  bool WaitFor(const std::string& topicSuffix, size_t count, int timeoutMs = 5000) const;
  bool WaitForLog(const std::string& text, int timeoutMs = 5000) const;
  size_t Count(const std::string& text) const;
  std::string Log() const;
  std::vector<std::string> Query(const std::string& sql) const;
  testsupport::MqttProbe& application() { return probe_; }
  testsupport::MosquittoBroker& broker() { return broker_; }
  pid_t serverPid() const { return server_.pid(); }
  bool running() { return server_.running(); }

 private:
  testsupport::TempDir dir_;
  testsupport::MosquittoBroker broker_;
  testsupport::MqttProbe probe_;
  ServerProcess server_;
  std::unique_ptr<UdpPeer> forwarder_;
  UdpPeer operator_;  // the operator's socket for the command port
  bool Pull();
};

// Helpers for what the rig carries.
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromBase64(const std::string& text);
// An uplink of a seeded device, built by lora-packet.
std::vector<uint8_t> DeviceUplink(const SeededSession& session, unsigned fcnt, int port,
                                  const std::string& payloadHex, bool confirmed = false,
                                  const std::string& fctrlJson = "", const std::string& foptsHex = "");
// `count` unconfirmed uplinks of the session from FCnt `firstFcnt` on, built in one lora-packet run.
std::vector<std::vector<uint8_t>> DeviceUplinks(const SeededSession& session, unsigned firstFcnt,
                                                unsigned count, int port,
                                                const std::string& payloadHex);
// lora-packet's reading of a data downlink for the session.
Json::Value ReadDownlink(const SeededSession& session, const Json::Value& txpk);

}  // namespace e2e
