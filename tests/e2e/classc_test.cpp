// Class B and class C devices as they see the network: the real binary, a real mosquitto broker
// on loopback, uplinks built and downlinks read by lora-packet. A downlink queued over MQTT for a
// class C device reaches the gateway for immediate transmission on RX2 without waiting for an
// uplink; a confirmed one is sent again until it is acknowledged or its attempts run out. A class
// B device's downlink is timed on its ping slot after the beacon, as the device computes it.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Database/Lora-Database.h"
#include "ForwarderRecords.h"
#include "Harness.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"

using e2e::BaseConfig;
using e2e::ServerProcess;
using e2e::UdpPeer;
using e2e::WriteConfig;
using testsupport::ForwarderDatagram;
using testsupport::MosquittoBroker;
using testsupport::MqttProbe;
using testsupport::PushDataJson;
using testsupport::ReadFile;
using testsupport::RxpkRecord;
using testsupport::TempDir;

namespace {

constexpr uint64_t kGatewayEui = 0x0102030405060708ull;
const std::string kDevEui = "00-80-00-00-00-00-e1-9c";
const std::string kAppEui = "70-b3-d5-7e-d0-00-00-01";
const std::string kDevAddr = "26011234";
const std::string kNwkSKey = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kAppSKey = "000102030405060708090a0b0c0d0e0f";

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors);
  return value;
}

std::string Base64ToHex(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char digits[] = "0123456789abcdef";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const size_t at = alphabet.find(c);
    if (at == std::string::npos) continue;
    bits = (bits << 6) | static_cast<uint32_t>(at);
    if ((count += 6) >= 8) {
      count -= 8;
      const uint8_t b = static_cast<uint8_t>(bits >> count);
      out += {digits[b >> 4], digits[b & 15]};
    }
  }
  return out;
}

// An uplink of the device built by lora-packet; `ack` sets FCtrl ACK, `classB` the class B bit
// (lora-packet's name for it is the downlink one, FPending).
std::vector<uint8_t> Uplink(unsigned fcnt, bool ack = false, bool classB = false) {
  return e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Up","DevAddr":")" + kDevAddr + R"(","FCnt":)" +
      std::to_string(fcnt) + R"(,"FCtrl":{"ACK":)" + (ack ? "true" : "false") + R"(,"FPending":)" +
      (classB ? "true" : "false") + R"(},"FPort":10,"payloadHex":"01"},"keys":{"AppSKey":")" +
      kAppSKey + R"(","NwkSKey":")" + kNwkSKey + R"("}})");
}

// The beacon clock of the server: TAI, in ms.
int64_t TaiMs() {
  timespec now{};
  clock_gettime(CLOCK_TAI, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class ClassCDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    config = BaseConfig(dir.path());
    config["lora"]["netID"] = "000013";
    config["lora"]["classCAckTimeout"] = 1500;
    if (beaconSeconds > 0) config["lora"]["beaconInterval"] = beaconSeconds;
    config["addressRange"]["start"] = "00000001";
    config["addressRange"]["end"] = "01FFFFFE";
    config["mqtt"]["enabled"] = true;
    config["mqtt"]["host"] = "127.0.0.1";
    config["mqtt"]["port"] = broker.port();
    upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
    downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
    logPath = config["log"]["path"].asString();
    SeedSession();
    ASSERT_TRUE(probe.WaitSubscribed(5000));
    server.start({"-c", WriteConfig(dir.path(), config)});
    ASSERT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath)) << server.out();
    std::vector<uint8_t> ack;
    bool answered = false;
    for (int i = 0; i < 50 && !answered; ++i) {
      forwarder.send(downstream, ForwarderDatagram(2, 1, 2, kGatewayEui));
      answered = forwarder.receive(ack, 100);
    }
    ASSERT_TRUE(answered) << "no PULL_ACK";
    ASSERT_TRUE(WaitForLog("MQTT - connected with server")) << ReadFile(logPath);
    Pause(300);
    // The way back to the device is known only once a gateway has heard it.
    Push(Uplink(1, false, seededClass == "A"));
    ASSERT_TRUE(WaitFor("/10/up", 1)) << ReadFile(logPath);
  }
  void TearDown() override {
    if (server.running()) server.stop(SIGTERM, 5000);
  }

  // A session made class C before the server starts, as "session add" with class C leaves it.
  void SeedSession() {
    const std::string flash = config["db"].asString();
    LoraDatabase database(LoraDatabase::OptionsFrom(flash, dir.file("seed-run"), "", config));
    ASSERT_TRUE(database.InitSchema());
    LoraDatabase::NewSession session;
    session.devAddr = 0x26011234;
    session.deviceEui = kDevEui;
    session.joinEui = kAppEui;
    session.appEui = kAppEui;
    session.netId = 0x13;
    session.nwkSKey = kNwkSKey;
    session.appSKey = kAppSKey;
    session.deviceClass = seededClass;
    ASSERT_TRUE(database.AddDeviceWithSession(session));
    database.GetConnection().MarkDirty();
    ASSERT_TRUE(database.Backup(true));
  }

  void Push(const std::vector<uint8_t>& frame, uint32_t tmst = 1000000) {
    forwarder.send(
        upstream,
        ForwarderDatagram(
            2, 7, 0, kGatewayEui,
            PushDataJson({RxpkRecord(frame, R"({"tmst":)" + std::to_string(tmst) + "}")})));
  }
  void Queue(const std::string& json) { probe.Publish("lora/" + kDevEui + "/down", json); }
  // The next PULL_RESP's "txpk" within the timeout; null when none came.
  Json::Value NextTxpk(int timeoutMs) {
    std::vector<uint8_t> datagram;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      if (!forwarder.receive(datagram, 100)) continue;
      if (datagram.size() > 4 && datagram[3] == 3) {
        return ParseJson(std::string(datagram.begin() + 4, datagram.end()))["txpk"];
      }
    }
    return Json::Value();
  }
  // What the device reads from the downlink.
  static Json::Value Read(const Json::Value& txpk) {
    return e2e::LoraDevice(R"({"mode":"down","phy":")" + Base64ToHex(txpk["data"].asString()) +
                           R"(","AppSKey":")" + kAppSKey + R"(","NwkSKey":")" + kNwkSKey + R"("})");
  }
  bool WaitForLog(const std::string& text, int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs / 20 && ReadFile(logPath).find(text) == std::string::npos; ++i) {
      Pause(20);
    }
    return ReadFile(logPath).find(text) != std::string::npos;
  }
  std::vector<MqttProbe::Message> On(const std::string& suffix) {
    std::vector<MqttProbe::Message> out;
    for (const auto& m : probe.messages()) {
      if (m.topic.size() >= suffix.size() &&
          m.topic.compare(m.topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
        out.push_back(m);
      }
    }
    return out;
  }
  bool WaitFor(const std::string& suffix, size_t count, int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs / 20 && On(suffix).size() < count; ++i) Pause(20);
    return On(suffix).size() >= count;
  }

  std::string seededClass = "C";
  int beaconSeconds = 0;  // 0: no beacon
  TempDir dir;
  MosquittoBroker broker;
  MqttProbe probe{broker.port(), "lora/#", "application"};
  Json::Value config;
  uint16_t upstream = 0, downstream = 0;
  std::string logPath;
  ServerProcess server{dir.path()};
  UdpPeer forwarder;
};

TEST_F(ClassCDevice, AQueuedDownlinkGoesAtOnceOnRx2AndTheDeviceDecryptsIt) {
  Queue(R"({"data":"AQID","port":5})");
  const Json::Value txpk = NextTxpk(3000);
  ASSERT_TRUE(txpk.isObject()) << ReadFile(logPath);
  EXPECT_TRUE(txpk["imme"].asBool());
  EXPECT_FALSE(txpk.isMember("tmst"));
  EXPECT_EQ("SF12BW125", txpk["datr"].asString());
  EXPECT_DOUBLE_EQ(869.525, txpk["freq"].asDouble());
  const Json::Value read = Read(txpk);
  EXPECT_TRUE(read["micOk"].asBool()) << read;
  EXPECT_EQ("Unconfirmed Data Down", read["type"].asString());
  EXPECT_EQ(kDevAddr, read["DevAddr"].asString());
  EXPECT_EQ(5, read["FPort"].asInt());
  EXPECT_EQ("010203", read["payload"].asString());
}

TEST_F(ClassCDevice, AConfirmedDownlinkIsSentUntilItsAttemptsRunOutOrAnAckStopsIt) {
  Queue(R"({"data":"BAU=","port":6,"ack":true,"ack_retries":2})");
  int previousFCnt = -1;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const Json::Value txpk = NextTxpk(4000);
    ASSERT_TRUE(txpk.isObject()) << ReadFile(logPath);
    EXPECT_TRUE(txpk["imme"].asBool());
    const Json::Value read = Read(txpk);
    EXPECT_TRUE(read["micOk"].asBool()) << read;
    EXPECT_EQ("Confirmed Data Down", read["type"].asString());
    EXPECT_EQ("0405", read["payload"].asString());
    EXPECT_NE(previousFCnt, read["FCnt"].asInt()) << "every transmission has its own counter";
    previousFCnt = read["FCnt"].asInt();
  }
  ASSERT_TRUE(WaitFor("/packet_drop", 1, 4000)) << ReadFile(logPath);
  EXPECT_EQ(102, ParseJson(On("/packet_drop")[0].payload)["code"].asInt());
  EXPECT_TRUE(NextTxpk(2000).isNull()) << "no third attempt";

  // Built beforehand, the acknowledgement reaches the server well before a retry would be due.
  const std::vector<uint8_t> acknowledging = Uplink(2, true);
  Queue(R"({"data":"Bw==","port":7,"ack":true})");
  ASSERT_TRUE(NextTxpk(3000).isObject()) << ReadFile(logPath);
  Push(acknowledging);
  ASSERT_TRUE(WaitFor("/packet_ack", 1)) << ReadFile(logPath);
  EXPECT_TRUE(NextTxpk(2500).isNull()) << "acknowledged, it is not sent again";
}

// A device whose uplinks carry the class B bit, with a beacon every 8 s: 96 ping slots of 30 ms
// after the first 2120 ms of each period.
class ClassBDevice : public ClassCDevice {
 protected:
  void SetUp() override {
    seededClass = "A";
    beaconSeconds = 8;
    ClassCDevice::SetUp();
  }
  // A beacon heard: its Time field and when it arrived on the beacon clock.
  struct Heard {
    uint32_t time;
    int64_t atMs;
  };
  // PULL_RESP datagrams until a downlink that is not a beacon; the beacons on the way are kept.
  Json::Value NextDownlink(int timeoutMs) {
    std::vector<uint8_t> datagram;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
      if (!forwarder.receive(datagram, 100)) continue;
      const int64_t atMs = TaiMs();
      if (datagram.size() <= 4 || datagram[3] != 3) continue;
      const Json::Value txpk = ParseJson(std::string(datagram.begin() + 4, datagram.end()))["txpk"];
      if (datagram[1] != 0xFF || datagram[2] != 0xFF) return txpk;
      const std::string hex = Base64ToHex(txpk["data"].asString());
      if (hex.size() < 14) continue;
      uint32_t time = 0;
      for (int i = 3; i >= 0; --i)
        time = time << 8 | std::stoul(hex.substr(6 + 2 * i, 2), nullptr, 16);
      beacons.push_back({time, atMs});
    }
    return Json::Value();
  }
  uint32_t PingOffset(uint32_t beaconTime) {
    const Json::Value slot =
        e2e::LoraDevice(R"({"mode":"pingslot","beaconTime":)" + std::to_string(beaconTime) +
                        R"(,"DevAddr":")" + kDevAddr + R"(","period":96})");
    return slot["offset"].asUInt();
  }
  std::vector<Heard> beacons;
};

TEST_F(ClassBDevice, TheDownlinkIsTimedOnThePingSlotTheDeviceComputesFromTheBeacon) {
  ASSERT_TRUE(WaitFor("/class", 1));
  EXPECT_EQ(ParseJson(On("/class")[0].payload), ParseJson(R"({"class":"B"})"));
  // The first beacon sets the time the slots count from.
  ASSERT_TRUE(NextDownlink(10000).isNull() && !beacons.empty()) << ReadFile(logPath);

  const std::vector<uint8_t> uplink = Uplink(2, false, true);
  const uint32_t uplinkTmst = 50000000;
  const int64_t pushedMs = TaiMs();
  Push(uplink, uplinkTmst);
  ASSERT_TRUE(WaitFor("/10/up", 2)) << ReadFile(logPath);
  Queue(R"({"data":"AQID","port":5})");
  const Json::Value txpk = NextDownlink(12000);
  ASSERT_TRUE(txpk.isObject()) << ReadFile(logPath);
  EXPECT_FALSE(txpk.isMember("imme"));
  const Json::Value read = Read(txpk);
  EXPECT_TRUE(read["micOk"].asBool()) << read;
  EXPECT_EQ("010203", read["payload"].asString());

  // When the radio sends, on the beacon clock, by the gateway counter the uplink gave.
  const int64_t sentMs =
      pushedMs + (static_cast<int64_t>(txpk["tmst"].asUInt64()) - uplinkTmst) / 1000;
  int64_t nearest = INT64_MAX;
  ASSERT_LE(beacons.size(), 4u);
  for (const Heard& beacon : beacons) {
    for (uint32_t period = 0; period < 2; ++period) {
      const int64_t slotMs =
          beacon.atMs + period * 8000 + 2120 + 30 * PingOffset(beacon.time + period * 8);
      nearest = std::min<int64_t>(nearest, std::llabs(sentMs - slotMs));
    }
  }
  // Within one slot: the uplink's and the beacon's trips over loopback are all that separate the
  // test's clock readings from the server's.
  EXPECT_LT(nearest, 30) << txpk;
}

}  // namespace
