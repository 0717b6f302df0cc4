#include "NetworkRig.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "Database/Lora-Database.h"
#include "ForwarderRecords.h"

namespace e2e {

NetworkRig::NetworkRig()
    : probe_(broker_.port(), "lora/#", "application"),
      server_(dir_.path()),
      forwarder_(std::make_unique<UdpPeer>()) {
  config = BaseConfig(dir_.path(), R"({"lora": {"netID": "000013"},
      "addressRange": {"start": "00000001", "end": "01FFFFFE"},
      "mqtt": {"enabled": true, "host": "127.0.0.1"}})");
  config["mqtt"]["port"] = broker_.port();
}

NetworkRig::~NetworkRig() {
  if (server_.running()) server_.stop(SIGTERM, 5000);
}

void NetworkRig::Seed(const std::vector<SeededSession>& sessions) {
  SeedSessions(config, dir_.path(), sessions);
}

void SeedSessions(const Json::Value& config, const std::string& dir,
                  const std::vector<SeededSession>& sessions) {
  LoraDatabase database(LoraDatabase::OptionsFrom(config["db"].asString(), dir + "/seed-run",
                                                  dir + "/seed-whitelist.jsonlines", config));
  ASSERT_TRUE(database.InitSchema());
  for (const SeededSession& s : sessions) {
    LoraDatabase::NewSession session;
    session.devAddr = s.devAddr;
    session.deviceEui = s.devEui;
    session.joinEui = s.appEui;
    session.appEui = s.appEui;
    session.netId = 0x13;
    session.nwkSKey = s.nwkSKey;
    session.appSKey = s.appSKey;
    session.downCounter = s.downCounter;
    session.deviceClass = s.deviceClass;
    ASSERT_TRUE(database.AddDeviceWithSession(session));
  }
  database.GetConnection().MarkDirty();
  ASSERT_TRUE(database.Backup(true));
}

bool NetworkRig::Start() {
  if (!probe_.WaitSubscribed(5000)) return false;
  server_.start({"-c", WriteConfig(dir_.path(), config)});
  if (!server_.waitFor("Start GatewayReceive thread", 10000, config["log"]["path"].asString())) {
    ADD_FAILURE() << server_.out() << Log();
    return false;
  }
  // Downlinks published before the server's subscription is in place would go nowhere.
  const bool connected = Pull() && WaitForLog("MQTT - connected with server");
  Pause(300);
  return connected;
}

int NetworkRig::Stop() { return server_.stop(SIGTERM, 5000); }

bool NetworkRig::Pull() {
  const uint16_t downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
  std::vector<uint8_t> ack;
  for (int i = 0; i < 50; ++i) {
    forwarder_->send(downstream, testsupport::ForwarderDatagram(2, 1, 2, kGatewayEui));
    if (forwarder_->receive(ack, 100)) return true;
  }
  return false;
}

bool NetworkRig::MoveForwarder() {
  forwarder_ = std::make_unique<UdpPeer>();
  return Pull();
}

void NetworkRig::Push(const std::vector<uint8_t>& frame, const std::string& rxpkPatch) {
  const uint16_t upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
  forwarder_->send(upstream, testsupport::ForwarderDatagram(
                                2, 7, 0, kGatewayEui,
                                testsupport::PushDataJson({testsupport::RxpkRecord(frame, rxpkPatch)})));
}

void NetworkRig::PushText(const std::string& json) {
  const uint16_t upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
  forwarder_->send(upstream, testsupport::ForwarderDatagram(2, 8, 0, kGatewayEui, json));
}

bool NetworkRig::NextPullResp(std::vector<uint8_t>& datagram, int timeoutMs) {
  const uint16_t downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    if (!forwarder_->receive(datagram, 50)) continue;
    if (datagram.size() > 4 && datagram[3] == 3) {
      // The forwarder's TX_ACK for the token, as a real one answers every PULL_RESP.
      std::vector<uint8_t> ack = {2, datagram[1], datagram[2], 5, 1, 2, 3, 4, 5, 6, 7, 8};
      forwarder_->send(downstream, ack);
      return true;
    }
  }
  return false;
}

Json::Value NetworkRig::NextTxpk(int timeoutMs) {
  std::vector<uint8_t> datagram;
  if (!NextPullResp(datagram, timeoutMs)) return Json::Value();
  return ParseJson(std::string(datagram.begin() + 4, datagram.end()))["txpk"];
}

std::string NetworkRig::Command(const std::string& text, int timeoutMs, size_t* pieces,
                               size_t* largest) const {
  operator_.send(static_cast<uint16_t>(config["udp"]["commandPort"].asUInt()),
                 std::vector<uint8_t>(text.begin(), text.end()));
  std::string reply;
  std::vector<uint8_t> datagram;
  size_t count = 0, biggest = 0;
  for (int wait = timeoutMs; operator_.receive(datagram, wait); wait = 300) {
    reply.append(datagram.begin(), datagram.end());
    ++count;
    biggest = std::max(biggest, datagram.size());
  }
  if (pieces) *pieces = count;
  if (largest) *largest = biggest;
  return reply;
}

std::vector<testsupport::MqttProbe::Message> NetworkRig::On(const std::string& suffix) const {
  return probe_.ending(suffix);
}

bool NetworkRig::WaitFor(const std::string& suffix, size_t count, int timeoutMs) const {
  return probe_.WaitForEnding(suffix, count, timeoutMs);
}

std::string NetworkRig::Log() const { return testsupport::ReadFile(config["log"]["path"].asString()); }

size_t NetworkRig::Count(const std::string& text) const { return testsupport::Occurrences(Log(), text); }

bool NetworkRig::WaitForLog(const std::string& text, int timeoutMs) const {
  for (int i = 0; i < timeoutMs / 20 && Count(text) == 0; ++i) Pause(20);
  return Count(text) > 0;
}

std::vector<std::string> NetworkRig::Query(const std::string& sql) const {
  std::vector<std::string> rows;
  auto collect = [](void* out, int columns, char** values, char**) {
    std::string row;
    for (int i = 0; i < columns; ++i) row += (i ? "|" : "") + std::string(values[i] ? values[i] : "");
    static_cast<std::vector<std::string>*>(out)->push_back(row);
    return 0;
  };
  sqlite3* db = nullptr;
  char* error = nullptr;
  const std::string path = config["db"].asString();
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, sql.c_str(), collect, &rows, &error) != SQLITE_OK) {
    ADD_FAILURE() << path << ": " << (error ? error : sqlite3_errmsg(db));
  }
  sqlite3_free(error);
  sqlite3_close(db);
  return rows;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) out += {digits[b >> 4], digits[b & 15]};
  return out;
}

std::vector<uint8_t> FromBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t at = alphabet.find(c);
    if (at == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(at);
    if ((count += 6) >= 8) {
      count -= 8;
      out.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return out;
}

// The lora-packet request for `count` uplinks of the session, the FCnt going up from `fcnt`.
static std::string UplinkRequest(const SeededSession& s, unsigned fcnt, unsigned count, int port,
                                 const std::string& payloadHex, bool confirmed = false,
                                 const std::string& fctrlJson = "",
                                 const std::string& foptsHex = "") {
  char address[9];
  std::snprintf(address, sizeof address, "%08x", s.devAddr);
  std::string fields = R"("MType":")" + std::string(confirmed ? "Confirmed" : "Unconfirmed") +
                       R"( Data Up","DevAddr":")" + address + R"(","FCnt":)" + std::to_string(fcnt);
  if (port >= 0) fields += R"(,"FPort":)" + std::to_string(port) + R"(,"payloadHex":")" + payloadHex + "\"";
  if (!fctrlJson.empty()) fields += R"(,"FCtrl":)" + fctrlJson;
  if (!foptsHex.empty()) fields += R"(,"FOpts":")" + foptsHex + "\"";
  return R"({"count":)" + std::to_string(count) + R"(,"fields":{)" + fields +
         R"(},"keys":{"AppSKey":")" + s.appSKey + R"(","NwkSKey":")" + s.nwkSKey + R"("}})";
}

std::vector<uint8_t> DeviceUplink(const SeededSession& s, unsigned fcnt, int port,
                                  const std::string& payloadHex, bool confirmed,
                                  const std::string& fctrlJson, const std::string& foptsHex) {
  return LoraPacket(UplinkRequest(s, fcnt, 1, port, payloadHex, confirmed, fctrlJson, foptsHex));
}

std::vector<std::vector<uint8_t>> DeviceUplinks(const SeededSession& s, unsigned firstFcnt,
                                                unsigned count, int port,
                                                const std::string& payloadHex) {
  return LoraPackets(UplinkRequest(s, firstFcnt, count, port, payloadHex));
}

Json::Value ReadDownlink(const SeededSession& s, const Json::Value& txpk) {
  return LoraDevice(R"({"mode":"down","phy":")" + Hex(FromBase64(txpk["data"].asString())) +
                    R"(","AppSKey":")" + s.appSKey + R"(","NwkSKey":")" + s.nwkSKey + R"("})");
}

}  // namespace e2e
