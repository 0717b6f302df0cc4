// The packet-forwarder protocol against real loopback sockets: a socket of the test plays the
// packet forwarder, a real registry and real statistics take the updates, and the frame routes
// record what reaches classification. The end-to-end tests cover the rest through the binary.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "../lora/PlanTestSupport.h"
#include "ForwarderRecords.h"
#include "TestSupport.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayClock.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpSocket.h"
#include "lora/Frame.h"
#include "support/RecentList.h"

namespace {

using testsupport::CompactJson;
using testsupport::LogCapture;
using testsupport::PushDataJson;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kEui = 0x0011223344556677ull;
const std::string kGw = "GW:00-11-22-33-44-55-66-77";

// An unconfirmed uplink whose last bytes follow the tag, so that differently tagged frames are
// never taken for copies of one transmission.
Bytes Uplink(uint8_t tag = 0x5A) {
  return {0x40, 4, 3, 2, 1, 0, 7, 0, 1, tag, tag, 0xA2, 0xA3, static_cast<uint8_t>(tag ^ 0xFF)};
}
Json::Value Rxpk(const Bytes& frame = Uplink()) { return testsupport::RxpkRecord(frame); }

class MessageProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(downstream.open(0, false));
    ASSERT_TRUE(forwarder.open(0, false));
    forwarderAddress = UdpSocket::LoopbackAddress(forwarder.localPort());
    links = {&downstream, &gateways, &statistics, eu868->plan.get(), &recent, &clock, {}, false};
    links.routes.gateways = &gateways;
    links.routes.dispatchUplink = [this](Lora::ReceivedFrame& frame) { uplinks.push_back(frame); };
  }

  void Handle(const Bytes& datagram) {
    MessageProtocol::HandleDatagram(links, datagram.data(), datagram.data() + datagram.size(),
                                    forwarderAddress);
  }
  void Push(const std::string& json) { Handle(testsupport::ForwarderDatagram(2, 0x1234, 0, kEui, json)); }
  void RegisterGateway() {
    Handle(testsupport::ForwarderDatagram(2, 1, 2, kEui));
    Reply();
  }
  // The next datagram the forwarder gets; empty after 100 ms without one.
  Bytes Reply() {
    uint8_t buffer[2048];
    sockaddr_in from{};
    ssize_t n = forwarder.receive(from, buffer, sizeof buffer);
    return n < 0 ? Bytes{} : Bytes(buffer, buffer + n);
  }
  std::string SyntaxErrorOf(const Bytes& datagram) {
    try {
      Handle(datagram);
    } catch (const MessageProtocol::SyntaxError& e) {
      return e.what();
    }
    return "";
  }

  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  UdpSocket downstream;
  UdpSocket forwarder;
  sockaddr_in forwarderAddress{};
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  NetworkStatistics statistics;
  RecentList recent;
  GatewayClock clock;
  MessageProtocol::Links links;
  std::vector<Lora::ReceivedFrame> uplinks;
};

TEST_F(MessageProtocolTest, HeaderFaults) {
  using testsupport::ForwarderDatagram;
  EXPECT_EQ(SyntaxErrorOf(ForwarderDatagram(3, 1, 0, kEui, "{}")), "Incorrect version");
  EXPECT_EQ(SyntaxErrorOf(ForwarderDatagram(0, 1, 0, kEui, "{}")), "Incorrect version");
  EXPECT_EQ(SyntaxErrorOf(ForwarderDatagram(1, 1, 7, kEui)), "Unexpected message type 0x07");
  EXPECT_TRUE(Reply().empty());
  // A short PULL_DATA is acknowledged, then refused without registering anything.
  EXPECT_EQ(SyntaxErrorOf(ForwarderDatagram(2, 0x0102, 2, kEui, "", false)), "Negative length payload");
  EXPECT_EQ(Reply(), (Bytes{2, 0x01, 0x02, 4}));
  EXPECT_EQ(gateways.size(), 0u);
}

TEST_F(MessageProtocolTest, RxpkMembersBecomeReceptionMetadata) {
  RegisterGateway();
  Json::Value second = Rxpk(Uplink(1));
  second["freq"] = 868.3;  // truncating the binary product would give 868299999
  second["lsnr"] = 9.25;
  second["codr"] = "0x4/0x6";
  second["datr"] = "SF7BW0.25M";
  Json::Value fsk = Rxpk(Uplink(2));
  fsk["modu"] = "FSK";
  fsk["datr"] = 50000;
  fsk.removeMember("lsnr");
  fsk.removeMember("codr");
  Push(PushDataJson({Rxpk(), second, fsk}));
  EXPECT_EQ(Reply(), (Bytes{2, 0x12, 0x34, 1}));

  ASSERT_EQ(uplinks.size(), 3u);
  const Lora::ReceivedFrame& f = uplinks[0];
  EXPECT_EQ(Bytes(f.data, f.data + f.size()), Uplink());
  EXPECT_EQ(f.frequency, 868100000u);
  EXPECT_EQ(f.snr, -115);
  EXPECT_EQ(f.rssi, -57);
  EXPECT_EQ(f.chan, 2);
  EXPECT_EQ(f.rfChain, 1);
  EXPECT_EQ(f.tmst, 123456u);
  EXPECT_EQ(f.spreadingFactor * 1000 + f.bandwidthKHz, 9125u);
  EXPECT_EQ(f.codingRateNum * 10 + f.codingRateDen, 45);
  EXPECT_EQ(f.gatewayEui, kEui);
  EXPECT_EQ(f.gatewayAddress.sin_port, forwarderAddress.sin_port);

  EXPECT_EQ(uplinks[1].frequency, 868300000u);
  EXPECT_EQ(uplinks[1].snr, 92);
  EXPECT_EQ(uplinks[1].codingRateNum * 10 + uplinks[1].codingRateDen, 46);
  EXPECT_EQ(uplinks[1].spreadingFactor * 1000 + uplinks[1].bandwidthKHz, 7250u);
  EXPECT_EQ(uplinks[2].fsk, 1u);
  EXPECT_EQ(uplinks[2].snr, 0);
  EXPECT_EQ(uplinks[2].spreadingFactor * 100000 + uplinks[2].bandwidthKHz, 1350000u);

  EXPECT_EQ(clock.tmst.load(), 123456u);
  EXPECT_EQ(recent.size(), 3u);
  EXPECT_EQ(gateways.find(kEui)->channelCount(2), 3u);

  for (const char* datr : {"SF13BW125", "BW125", "SF7", "SF7BWx", "nonsense"}) {
    uplinks.clear();
    Json::Value r = Rxpk();
    r["datr"] = datr;
    Push(PushDataJson({r}));
    ASSERT_EQ(uplinks.size(), 1u) << datr;
    EXPECT_EQ(uplinks[0].spreadingFactor * 1000 + uplinks[0].bandwidthKHz, 12125u) << datr;
  }
}

TEST_F(MessageProtocolTest, CopiesInOneDatagramKeepTheBestSnr) {
  struct Case {
    std::vector<double> lsnr;
    int kept;
  };
  const Case cases[] = {{{5, 7}, 1}, {{7, 5}, 0}, {{5, 5}, 0}, {{-20, -5.5, -5.5}, 1}};
  for (const Case& c : cases) {
    uplinks.clear();
    std::vector<Json::Value> packets;
    for (size_t i = 0; i < c.lsnr.size(); ++i) {
      packets.push_back(Rxpk());
      packets.back()["lsnr"] = c.lsnr[i];
      packets.back()["rssi"] = -100 + static_cast<int>(i);
    }
    Push(PushDataJson(packets));
    ASSERT_EQ(uplinks.size(), 1u);
    EXPECT_EQ(uplinks[0].rssi, -100 + c.kept);
  }
  // Different payloads are not copies; neither is a copy with a bad CRC.
  uplinks.clear();
  Json::Value crc = Rxpk();
  crc["stat"] = -1;
  crc["lsnr"] = 20;
  Push(PushDataJson({Rxpk(Uplink(1)), Rxpk(Uplink(2)), crc}));
  EXPECT_EQ(uplinks.size(), 2u);
}

TEST_F(MessageProtocolTest, MemberFaultsRejectTheRestOfTheDatagram) {
  struct Case {
    const char* member;
    Json::Value value;  // null: removed
    std::string message;
  };
  const Case cases[] = {
      {"tmst", Json::Value(), "Missing 'tmst' data member"},
      {"rssi", Json::Value(-40000), "Invalid rssi value"},
      {"chan", Json::Value(10), "Invalid chan value"},
      {"chan", Json::Value("2"), "Invalid 'chan' data member"},
      {"freq", Json::Value(-868.1), "Invalid freq value"},
      {"codr", Json::Value("4/0"), "Unable to read codingrate value"},
      {"lsnr", Json::Value(), "Invalid lsnr value"},
      {"data", Json::Value("!!!!"), "Data invalid :!!!!"},
      {"size", Json::Value(99999999), "Data size does not match bytes received"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    uplinks.clear();
    LogCapture log;
    Json::Value root;
    root["rxpk"].append(Rxpk());
    root["rxpk"][0][c.member] = c.value;
    if (c.value.isNull()) root["rxpk"][0].removeMember(c.member);
    root["rxpk"].append(Rxpk(Uplink(0x33)));
    root["stat"]["time"] = "2026-12-05 10:00:00 GMT";
    Push(CompactJson(root));
    EXPECT_TRUE(uplinks.empty());
    EXPECT_TRUE(log.contains("Message rejected - " + c.message)) << log.dump();
    EXPECT_FALSE(log.contains("|PUSH-DATA|{")) << "the status part is not reached";
  }
}

TEST_F(MessageProtocolTest, OverlongDataIsCutAndSkippedChecksKeepDefaults) {
  Bytes bytes(300, 0x41);
  bytes[0] = 0x40;
  bytes[5] = 0;
  Json::Value cut = Rxpk(bytes);
  cut["size"] = 255;
  Push(PushDataJson({cut}));
  ASSERT_EQ(uplinks.size(), 1u);
  EXPECT_EQ(uplinks[0].size(), 255u);

  links.skipFieldCheck = true;
  Json::Value sparse;
  sparse["stat"] = 1;
  sparse["modu"] = "LORA";
  sparse["lsnr"] = 1;
  sparse["data"] = testsupport::Base64Text(Uplink());
  Push(PushDataJson({sparse}));
  ASSERT_EQ(uplinks.size(), 2u);
  EXPECT_EQ(uplinks[1].chan, 0xFFFF);
  EXPECT_EQ(uplinks[1].rssi, -32768);
}

TEST_F(MessageProtocolTest, StatusAndCommands) {
  RegisterGateway();
  Json::Value root;
  root["stat"]["time"] = "2026-12-05 10:00:00 GMT";
  for (const char* name : {"rxnb", "rxok", "rxfw", "dwnb", "txnb"}) root["stat"][name] = 3;
  root["stat"]["ackr"] = 100.0;
  Push(CompactJson(root));
  EXPECT_EQ(gateways.find(kEui)->statusCount(), 1u);

  LogCapture log;
  root["stat"]["time"] = "2026-12-05 10:00:30 GMT";
  root["stat"].removeMember("rxfw");
  Push(CompactJson(root));
  EXPECT_EQ(gateways.find(kEui)->statusCount(), 1u);
  Push(R"({"command":{"node":"x"}})");
  Push(R"({"command":{}})");
  Push(R"({"rxpk":{}})");
  for (const char* message : {"Missing 'rxfw' data member", "Commands not supported by packet forwarder protocol",
                              "Missing 'node' data member", "Invalid 'rxpk' data member"}) {
    EXPECT_TRUE(log.contains(std::string("Message rejected - ") + message)) << message;
  }
}

TEST_F(MessageProtocolTest, PullRespUsesTheGatewaysVersionAndTokenZero) {
  const std::string json = R"({"txpk":{"imme":true}})";
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, forwarderAddress, kEui, json));
  Bytes unknown = Reply();
  EXPECT_EQ(Bytes(unknown.begin(), unknown.begin() + 4), (Bytes{1, 0, 0, 3}));
  EXPECT_EQ(std::string(unknown.begin() + 4, unknown.end()), json);
  RegisterGateway();  // version 2
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, forwarderAddress, kEui, json));
  EXPECT_EQ(Reply()[0], 2);
  EXPECT_EQ(statistics.value(NetworkStatistics::Counter::tx_pkts), 2u);

  LogCapture log;
  UdpSocket closed;
  links.downstream = &closed;
  EXPECT_FALSE(MessageProtocol::SendPullResp(links, forwarderAddress, kEui, json));
  EXPECT_TRUE(log.contains("Response packet dropped, socket send failed"));
  EXPECT_EQ(statistics.value(NetworkStatistics::Counter::pkts_dropped), 1u);
}

class TxpkTest : public ::testing::Test {
 protected:
  std::string Build(const Lora::Frame& frame) {
    std::string text;
    EXPECT_TRUE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
    return text;
  }
  Json::Value Txpk(const Lora::Frame& frame) { return plantest::ParseJson(Build(frame))["txpk"]; }

  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  MessageProtocol::UplinkReception reception{3000000000u, 868300000, 125, 9, 0, 0};
  MessageProtocol::TxpkRequest request = MakeRequest();
  Lora::Frame frame = MakeFrame();

  MessageProtocol::TxpkRequest MakeRequest() {
    MessageProtocol::TxpkRequest r;
    r.gatewayEui = kEui;
    r.reception = &reception;
    r.appEui = Lora::EUI::FromValue(0x70B3D57ED0000001ull);
    r.devEui = Lora::EUI::FromValue(0x0102030405060708ull);
    return r;
  }
  static Lora::Frame MakeFrame() {
    const uint8_t bytes[] = {0x60, 4, 3, 2, 1, 0x20, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF};
    return Lora::Frame(bytes, sizeof bytes);
  }
};

// The whole record, member order included: RX1 one second after the uplink, on its channel and
// datarate; the data is the frame in padded Base64 (checked with Python's base64).
TEST_F(TxpkTest, WindowOneDownlinkText) {
  std::string power = std::to_string(eu868->plan->maxRadioTxPower(868300000));
  EXPECT_EQ(Build(frame),
            R"({"txpk":{"tmst":3001000000,"ncrc":true,"modu":"LORA","rfch":0,"datr":"SF9BW125",)"
            R"("freq":868.3,"codr":"4/5","powe":)" + power +
                R"(,"ipol":true,"size":12,"twnd":1,"appeui":"70-b3-d5-7e-d0-00-00-01",)"
                R"("deveui":"01-02-03-04-05-06-07-08","gweui":"00-11-22-33-44-55-66-77",)"
                R"("data":"YAQDAgEgAQDerb7v"}})");
}

TEST_F(TxpkTest, TimingChoices) {
  // A join accept in RX2: join delay plus one second, on the join RX2 channel; the 32-bit
  // concentrator counter wraps.
  request.joinAccept = true;
  request.window = 2;
  Json::Value join = Txpk(frame);
  EXPECT_EQ(join["tmst"].asUInt64(), (3000000000ull + 6000000) & 0xFFFFFFFF);
  EXPECT_DOUBLE_EQ(join["freq"].asDouble(), 869.525);

  request.joinAccept = false;
  request.classC = true;
  EXPECT_TRUE(Txpk(frame)["imme"].asBool());
  EXPECT_FALSE(Txpk(frame).isMember("tmst"));
  Lora::Frame pingSlot = frame;
  pingSlot.scheduledTimestamp = 777;
  EXPECT_EQ(Txpk(pingSlot)["tmst"].asUInt(), 777u);
  request.windowTiming = true;
  EXPECT_EQ(Txpk(pingSlot)["tmst"].asUInt64(), 3002000000u);

  request = MakeRequest();
  reception.tmst = UINT64_MAX - 999999;  // the computed time is 0
  EXPECT_TRUE(Txpk(frame)["imme"].asBool());
}

TEST_F(TxpkTest, InvalidGatewayOrNoReceptionBuildsNothing) {
  LogCapture log;
  std::string text;
  for (uint64_t eui : {uint64_t{0}, UINT64_MAX}) {
    request.gatewayEui = eui;
    EXPECT_FALSE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
  }
  EXPECT_EQ(log.count("|PACKET-TX|FormJsonString called with empty or invalid gateway address"), 2u);
  request = MakeRequest();
  request.reception = nullptr;
  EXPECT_FALSE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
  EXPECT_TRUE(log.contains(kGw + "|PACKET-TX|Failed to find gateway"));
  EXPECT_TRUE(text.empty());
}

}  // namespace
