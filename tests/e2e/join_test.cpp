// Over-the-air activation as a device sees it: the join request and the first uplink built by
// lora-packet, the join accept read back by lora-packet from the PULL_RESP the gateway gets.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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
const std::string kNetworkKey = "000102030405060708090a0b0c0d0e0f";
const std::string kDevEui = "0080000000000001";

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors);
  return value;
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

class OverTheAir : public ::testing::Test {
 protected:
  void SetUp() override {
    config = BaseConfig(dir.path());
    config["lora"]["netID"] = "000013";
    config["addressRange"]["start"] = "00000001";
    config["addressRange"]["end"] = "01FFFFFE";
    config["mqtt"]["enabled"] = true;
    config["mqtt"]["host"] = "127.0.0.1";
    config["mqtt"]["port"] = broker.port();
    upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
    downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
    logPath = config["log"]["path"].asString();
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
  }
  void TearDown() override {
    if (server.running()) server.stop(SIGTERM, 5000);
  }
  void Push(const std::vector<uint8_t>& frame, const std::string& patch) {
    forwarder.send(upstream, ForwarderDatagram(2, 7, 0, kGatewayEui,
                                               PushDataJson({RxpkRecord(frame, patch)})));
  }
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

  TempDir dir;
  MosquittoBroker broker;
  MqttProbe probe{broker.port(), "lora/#", "application"};
  Json::Value config;
  uint16_t upstream = 0, downstream = 0;
  std::string logPath;
  ServerProcess server{dir.path()};
  UdpPeer forwarder;
};

TEST_F(OverTheAir, JoinAcceptInRx1OpensASessionTheFirstUplinkUses) {
  const std::vector<uint8_t> request = e2e::LoraPacket(
      R"({"fields":{"MType":"Join Request","AppEUI":"0011223344556677","DevEUI":")" + kDevEui +
      R"(","DevNonce":"0a0b"},"keys":{"AppKey":")" + kNetworkKey + R"("}})");
  ASSERT_EQ(request.size(), 23u);
  Push(request, R"({"tmst":1000000})");
  const Json::Value txpk = NextTxpk(8000);
  ASSERT_TRUE(txpk.isObject()) << ReadFile(logPath);
  EXPECT_EQ(txpk["tmst"].asUInt(), 6000000u);
  EXPECT_EQ(txpk["size"].asUInt(), 33u);  // EU868 sends its CFList
  const std::vector<uint8_t> accept = FromBase64(txpk["data"].asString());
  const Json::Value opened = e2e::LoraDevice(R"({"mode":"accept","phy":")" + Hex(accept) +
                                             R"(","AppKey":")" + kNetworkKey +
                                             R"(","DevNonce":"0a0b"})");
  EXPECT_TRUE(opened["micOk"].asBool()) << opened;
  EXPECT_EQ(opened["NetID"].asString(), "000013");
  const std::string devAddr = opened["DevAddr"].asString();
  ASSERT_EQ(devAddr.size(), 8u);
  EXPECT_EQ(std::stoul(devAddr, nullptr, 16) >> 25, 0x13u) << devAddr;
  ASSERT_TRUE(WaitFor("/joined", 1));
  EXPECT_EQ(On("/joined")[0].payload, R"({"remote_js":false})");

  // The keys lora-packet derived authenticate the first uplink.
  const std::vector<uint8_t> uplink = e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Up","DevAddr":")" + devAddr +
      R"(","FCnt":1,"FPort":3,"payloadHex":"cafe"},"keys":{"AppSKey":")" +
      opened["AppSKey"].asString() + R"(","NwkSKey":")" + opened["NwkSKey"].asString() + R"("}})");
  Push(uplink, R"({"tmst":9000000})");
  ASSERT_TRUE(WaitFor("/3/up", 1)) << ReadFile(logPath);
  EXPECT_EQ(ParseJson(On("/3/up")[0].payload)["data"].asString(), "yv4=");

  // The same nonce again is tossed without an answer.
  Push(request, R"({"tmst":12000000})");
  EXPECT_TRUE(NextTxpk(6000).isNull());
  EXPECT_NE(ReadFile(logPath).find("Tossing join request with duplicate nonce"), std::string::npos);
}

}  // namespace
