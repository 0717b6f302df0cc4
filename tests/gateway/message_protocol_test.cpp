// The packet-forwarder protocol against real loopback sockets: a socket of the test plays the
// packet forwarder, a real registry and real statistics take the updates, and the frame routes
// record what reaches classification.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
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
#include "lora/Bytes.h"
#include "lora/Frame.h"
#include "support/RecentList.h"

namespace {

using testsupport::LogCapture;
using Stat = NetworkStatistics::Counter;

constexpr uint64_t kEui = 0x0011223344556677ull;
constexpr const char* kEuiText = "00-11-22-33-44-55-66-77";

std::vector<uint8_t> Datagram(uint8_t version, uint16_t token, uint8_t identifier,
                              const std::string& json = "", bool withEui = true) {
  std::vector<uint8_t> out = {version, static_cast<uint8_t>(token >> 8), static_cast<uint8_t>(token),
                              identifier};
  if (withEui) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(kEui >> shift));
  }
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

// An unconfirmed uplink: MHDR, DevAddr, FCtrl, FCnt, FPort, one payload byte, MIC.
std::vector<uint8_t> UplinkBytes(uint8_t tag = 0x5A) {
  // The MIC follows the tag: copies of one transmission are recognised by their last bytes.
  return {0x40, 0x04, 0x03, 0x02, 0x01, 0x00, 0x07, 0x00, 0x01, tag, tag, 0xA2, 0xA3, static_cast<uint8_t>(tag ^ 0xFF)};
}

Json::Value Rxpk(const std::vector<uint8_t>& frame = UplinkBytes()) {
  return testsupport::RxpkRecord(frame);
}
std::string Base64(const std::vector<uint8_t>& bytes) { return testsupport::Base64Text(bytes); }
std::string Compact(const Json::Value& value) { return testsupport::CompactJson(value); }
std::string PushJson(const std::vector<Json::Value>& packets) {
  return testsupport::PushDataJson(packets);
}

class MessageProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(downstream.open(0, false));
    ASSERT_TRUE(forwarder.open(0, false));
    forwarderAddress = UdpSocket::LoopbackAddress(forwarder.localPort());
    links.downstream = &downstream;
    links.gateways = &gateways;
    links.statistics = &statistics;
    links.plan = eu868->plan.get();
    links.recentUplinks = &recent;
    links.clock = &clock;
    links.routes.gateways = &gateways;
    links.routes.dispatchUplink = [this](Lora::ReceivedFrame& frame) { uplinks.push_back(frame); };
    links.routes.handleJoinRequest = [this](Lora::ReceivedFrame& frame) { joins.push_back(frame); };
  }

  void Handle(const std::vector<uint8_t>& datagram) {
    MessageProtocol::HandleDatagram(links, datagram.data(), datagram.data() + datagram.size(),
                                    forwarderAddress);
  }
  void Push(const std::string& json, uint16_t token = 0x1234) { Handle(Datagram(2, token, 0, json)); }
  void RegisterGateway() { Handle(Datagram(2, 1, 2)); ReadReply(); }

  // The next datagram the forwarder gets; empty after 100 ms without one.
  std::vector<uint8_t> ReadReply() {
    uint8_t buffer[2048];
    sockaddr_in from{};
    ssize_t n = forwarder.receive(from, buffer, sizeof buffer);
    return n < 0 ? std::vector<uint8_t>{} : std::vector<uint8_t>(buffer, buffer + n);
  }

  std::string SyntaxErrorOf(const std::vector<uint8_t>& datagram) {
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
  std::vector<Lora::ReceivedFrame> joins;
};

TEST_F(MessageProtocolTest, HeaderFaultsAndAcknowledgements) {
  EXPECT_EQ(SyntaxErrorOf({2, 0, 0}), "Packet too short");
  EXPECT_TRUE(ReadReply().empty()) << "no acknowledgement for a short datagram";
  EXPECT_EQ(SyntaxErrorOf(Datagram(3, 1, 0, "{}")), "Incorrect version");
  EXPECT_EQ(SyntaxErrorOf(Datagram(0, 1, 0, "{}")), "Incorrect version");
  EXPECT_EQ(SyntaxErrorOf(Datagram(1, 1, 7)), "Unexpected message type 0x07");
  EXPECT_TRUE(ReadReply().empty());

  // A bare 4-byte PUSH_DATA is acknowledged before its length is refused.
  EXPECT_EQ(SyntaxErrorOf(Datagram(1, 0xBEEF, 0, "", false)), "Negative length payload");
  EXPECT_EQ(ReadReply(), (std::vector<uint8_t>{1, 0xBE, 0xEF, 1}));
  EXPECT_EQ(SyntaxErrorOf(Datagram(2, 0x0102, 2, "", false)), "Negative length payload");
  EXPECT_EQ(ReadReply(), (std::vector<uint8_t>{2, 0x01, 0x02, 4}));
  EXPECT_EQ(gateways.size(), 0u);
}

TEST_F(MessageProtocolTest, PullDataRegistersTheSenderAndPushDataDoesNot) {
  Push("{}", 0x7777);
  EXPECT_EQ(ReadReply(), (std::vector<uint8_t>{2, 0x77, 0x77, 1}));
  EXPECT_EQ(gateways.find(kEui), nullptr);

  Handle(Datagram(1, 0xABCD, 2));
  EXPECT_EQ(ReadReply(), (std::vector<uint8_t>{1, 0xAB, 0xCD, 4}));
  std::shared_ptr<Gateway> gateway = gateways.find(kEui);
  ASSERT_NE(gateway, nullptr);
  EXPECT_EQ(gateway->protocolVersion(), 1);
  sockaddr_in address = gateways.downlinkAddress(kEui);
  EXPECT_EQ(address.sin_port, forwarderAddress.sin_port);
  EXPECT_EQ(address.sin_addr.s_addr, forwarderAddress.sin_addr.s_addr);
}

TEST_F(MessageProtocolTest, TxAckIsLoggedNotAnswered) {
  LogCapture log;
  Handle(Datagram(2, 5, 5));
  Handle(Datagram(2, 6, 5, "{\"txpk_ack\":{\"error\":\"TOO_LATE\"}}"));
  EXPECT_TRUE(ReadReply().empty());
  EXPECT_TRUE(log.contains(std::string("GW:") + kEuiText + "|TX-ACK|OK"));
  EXPECT_TRUE(log.contains(std::string("GW:") + kEuiText +
                           "|TX-ACK|ERROR: {\"txpk_ack\":{\"error\":\"TOO_LATE\"}}"));
}

TEST_F(MessageProtocolTest, RxpkMembersBecomeReceptionMetadata) {
  RegisterGateway();
  Json::Value second = Rxpk(UplinkBytes(0x01));
  second["freq"] = 868.3;
  second["lsnr"] = 9.25;
  second["codr"] = "0x4/0x6";
  second["datr"] = "SF7BW0.25M";
  second["chan"] = 9;
  Json::Value fsk = Rxpk(UplinkBytes(0x02));
  fsk["modu"] = "FSK";
  fsk["datr"] = 50000;
  fsk.removeMember("lsnr");
  fsk.removeMember("codr");
  Push(PushJson({Rxpk(), second, fsk}));
  EXPECT_EQ(ReadReply(), (std::vector<uint8_t>{2, 0x12, 0x34, 1}));

  ASSERT_EQ(uplinks.size(), 3u);
  const Lora::ReceivedFrame& f = uplinks[0];
  std::vector<uint8_t> expected = UplinkBytes();
  EXPECT_EQ(std::vector<uint8_t>(f.data, f.data + f.size()), expected);
  EXPECT_EQ(f.frequency, 868100000u);
  EXPECT_EQ(f.snr, -115);
  EXPECT_EQ(f.rssi, -57);
  EXPECT_EQ(f.chan, 2);
  EXPECT_EQ(f.rfChain, 1);
  EXPECT_EQ(f.tmst, 123456u);
  EXPECT_EQ(f.spreadingFactor, 9u);
  EXPECT_EQ(f.bandwidthKHz, 125u);
  EXPECT_EQ(f.codingRateNum, 4);
  EXPECT_EQ(f.codingRateDen, 5);
  EXPECT_EQ(f.fsk, 0u);
  EXPECT_EQ(f.gatewayEui, kEui);
  EXPECT_EQ(f.gatewayAddress.sin_port, forwarderAddress.sin_port);
  EXPECT_NE(f.rxpk.find("\"SF9BW125\""), std::string::npos);

  EXPECT_EQ(uplinks[1].frequency, 868300000u);
  EXPECT_EQ(uplinks[1].snr, 92);
  EXPECT_EQ(uplinks[1].codingRateNum, 4);
  EXPECT_EQ(uplinks[1].codingRateDen, 6);
  EXPECT_EQ(uplinks[1].spreadingFactor, 7u);
  EXPECT_EQ(uplinks[1].bandwidthKHz, 250u);

  EXPECT_EQ(uplinks[2].fsk, 1u);
  EXPECT_EQ(uplinks[2].snr, 0);
  EXPECT_EQ(uplinks[2].bandwidthKHz, 50000u);
  EXPECT_EQ(uplinks[2].spreadingFactor, 13u);
  EXPECT_EQ(uplinks[2].codingRateNum, 0);

  EXPECT_EQ(clock.tmst.load(), 123456u);
  EXPECT_EQ(recent.size(), 3u);
  std::shared_ptr<Gateway> gateway = gateways.find(kEui);
  EXPECT_EQ(gateway->channelCount(2), 2u);  // the first and the FSK record
  EXPECT_EQ(gateway->channelCount(9), 1u);
}

TEST_F(MessageProtocolTest, UnreadableDatarateFallsBackToSf12) {
  for (const char* datr : {"SF13BW125", "BW125", "SF7", "SF7BW", "SF7BWx", "nonsense"}) {
    uplinks.clear();
    Json::Value r = Rxpk();
    r["datr"] = datr;
    Push(PushJson({r}));
    ASSERT_EQ(uplinks.size(), 1u) << datr;
    EXPECT_EQ(uplinks[0].spreadingFactor, 12u) << datr;
    EXPECT_EQ(uplinks[0].bandwidthKHz, 125u) << datr;
  }
}

TEST_F(MessageProtocolTest, DuplicatesInOneDatagramKeepTheBestSnr) {
  struct Case {
    std::vector<double> lsnr;
    int kept;  // index (by rssi tag) that must reach dispatch
  };
  const Case cases[] = {{{5.0, 7.0}, 1}, {{7.0, 5.0}, 0}, {{5.0, 5.0}, 0}, {{1.0, 9.0, 3.0}, 1},
                        {{-20.0, -5.5, -5.5}, 1}};
  for (const Case& c : cases) {
    uplinks.clear();
    std::vector<Json::Value> packets;
    for (size_t i = 0; i < c.lsnr.size(); ++i) {
      Json::Value r = Rxpk();
      r["lsnr"] = c.lsnr[i];
      r["rssi"] = -100 + static_cast<int>(i);
      packets.push_back(r);
    }
    Push(PushJson(packets));
    ASSERT_EQ(uplinks.size(), 1u);
    EXPECT_EQ(uplinks[0].rssi, -100 + c.kept);
  }

  // Different payloads are not duplicates; neither is a copy with a bad CRC.
  uplinks.clear();
  Json::Value crc = Rxpk();
  crc["stat"] = -1;
  crc["lsnr"] = 20;
  Push(PushJson({Rxpk(UplinkBytes(1)), Rxpk(UplinkBytes(2)), crc}));
  EXPECT_EQ(uplinks.size(), 2u);
}

TEST_F(MessageProtocolTest, CrcErrorIsCountedEvenWithMembersMissing) {
  RegisterGateway();
  LogCapture log;
  Json::Value bad;
  bad["stat"] = -1;
  Push(PushJson({bad, Rxpk()}));
  EXPECT_EQ(statistics.value(Stat::rx_crc_errors), 1u);
  EXPECT_EQ(gateways.find(kEui)->crcErrors(), 1u);
  EXPECT_TRUE(log.contains(std::string("GW:") + kEuiText + "|FRAME-RX|CRC-ERROR"));
  EXPECT_EQ(uplinks.size(), 1u) << "the next element is still decoded";
}

TEST_F(MessageProtocolTest, MemberFaultsRejectTheRestOfTheDatagram) {
  struct Case {
    const char* member;
    Json::Value value;  // null: removed
    std::string message;
  };
  const Case cases[] = {
      {"tmst", Json::Value(), "Missing 'tmst' data member"},
      {"data", Json::Value(), "Missing 'data' data member"},
      {"rssi", Json::Value(-40000), "Invalid rssi value"},
      {"chan", Json::Value(10), "Invalid chan value"},
      {"chan", Json::Value("2"), "Invalid 'chan' data member"},
      {"freq", Json::Value(0), "Invalid freq value"},
      {"freq", Json::Value(-868.1), "Invalid freq value"},
      {"codr", Json::Value("4/0"), "Unable to read codingrate value"},
      {"codr", Json::Value("four"), "Unable to read codingrate value"},
      {"lsnr", Json::Value(), "Invalid lsnr value"},
      {"lsnr", Json::Value(-3276.8), "Invalid lsnr value"},
      {"data", Json::Value(""), "Data invalid :"},
      {"data", Json::Value("!!!!"), "Data invalid :!!!!"},
      {"size", Json::Value(99999999), "Data size does not match bytes received"},
      {"stat", Json::Value("1"), "Invalid 'stat' data member"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    uplinks.clear();
    LogCapture log;
    Json::Value faulty = Rxpk();
    if (c.value.isNull()) {
      faulty.removeMember(c.member);
    } else {
      faulty[c.member] = c.value;
    }
    Json::Value root;
    root["rxpk"].append(faulty);
    root["rxpk"].append(Rxpk(UplinkBytes(0x33)));
    root["stat"]["time"] = "2026-12-05 10:00:00 GMT";
    Push(Compact(root));
    EXPECT_TRUE(uplinks.empty());
    EXPECT_TRUE(log.contains("Message rejected - " + c.message)) << log.dump();
    EXPECT_TRUE(log.contains(" " + std::string("{"))) << "the element's text follows";
    EXPECT_FALSE(log.contains("|PUSH-DATA|{")) << "the status part is not reached";
  }
}

// Decoded data beyond a frame's 255 bytes is cut before the size check.
TEST_F(MessageProtocolTest, OverlongDataIsCutToAFrame) {
  std::vector<uint8_t> bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
  bytes[5] = 0;  // FCtrl: no options
  Json::Value exact = Rxpk(bytes);
  exact["size"] = 255;
  Json::Value claimed = Rxpk(bytes);  // size 300
  Push(PushJson({exact}));
  ASSERT_EQ(uplinks.size(), 1u);
  EXPECT_EQ(uplinks[0].size(), 255u);
  EXPECT_EQ(uplinks[0].data[254], bytes[254]);

  LogCapture log;
  Push(PushJson({claimed}));
  EXPECT_TRUE(log.contains("Message rejected - Data size does not match bytes received"));
}

TEST_F(MessageProtocolTest, FieldCheckCanBeSkipped) {
  links.skipFieldCheck = true;
  Json::Value sparse;
  sparse["stat"] = 1;
  sparse["modu"] = "LORA";
  sparse["lsnr"] = 1;
  sparse["data"] = Base64(UplinkBytes());
  Push(PushJson({sparse}));
  ASSERT_EQ(uplinks.size(), 1u);
  EXPECT_EQ(uplinks[0].chan, 0xFFFF);
  EXPECT_EQ(uplinks[0].rssi, -32768);
}

TEST_F(MessageProtocolTest, ClassificationRejectsOneFrameOnly) {
  LogCapture log;
  Push(PushJson({Rxpk({0x40, 1, 2, 3, 4, 0, 0}), Rxpk({0x41, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0x11}),
                 Rxpk({0xE0, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0x22}), Rxpk()}));
  std::string prefix = std::string("GW:") + kEuiText + "|FRAME-RX|REJECTED|REASON: ";
  EXPECT_TRUE(log.contains(prefix + "Frame too short  VALUE: 7")) << log.dump();
  EXPECT_TRUE(log.contains(prefix + "Incorrect version  VALUE: 1"));
  EXPECT_TRUE(log.contains(prefix + "Unexpected message type VALUE: 7"));
  EXPECT_EQ(uplinks.size(), 1u);
}

TEST_F(MessageProtocolTest, StatusUpdatesTheRegisteredGateway) {
  RegisterGateway();
  Json::Value root;
  root["stat"]["time"] = "2026-12-05 10:00:00 GMT";
  for (const char* name : {"rxnb", "rxok", "rxfw", "dwnb", "txnb"}) root["stat"][name] = 3;
  root["stat"]["ackr"] = 100.0;
  Push(Compact(root));
  EXPECT_EQ(gateways.find(kEui)->statusCount(), 1u);

  LogCapture log;
  root["stat"]["time"] = "2026-12-05 10:00:30 GMT";
  root["stat"].removeMember("rxfw");
  Push(Compact(root));
  EXPECT_TRUE(log.contains("Message rejected - Missing 'rxfw' data member"));
  EXPECT_EQ(gateways.find(kEui)->statusCount(), 1u);
}

TEST_F(MessageProtocolTest, CommandsAndGarbageAreRejected) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"command":{"node":"x"}})", "Commands not supported by packet forwarder protocol"},
      {R"({"command":{}})", "Missing 'node' data member"},
      {R"({"rxpk":{}})", "Invalid 'rxpk' data member"},
      {R"({"rxpk":[1]})", "Invalid 'rxpk' data member"},
      {R"({"stat":[]})", "Invalid 'stat' data member"},
      {R"({"rxpk":[)", "Unable parse text as JSON"},
      {"not json", "Unable parse text as JSON"},
      {std::string(16000, '['), "Unable parse text as JSON"},
      {"[1,2]", "Unable parse text as JSON"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    Push(c.first);
    EXPECT_TRUE(log.contains("Message rejected - " + c.second)) << c.first.substr(0, 40) << log.dump();
    EXPECT_EQ(ReadReply().size(), 4u) << "PUSH_DATA is acknowledged first";
  }
}

class TxpkTest : public MessageProtocolTest {
 protected:
  Json::Value Build(const MessageProtocol::TxpkRequest& request, const Lora::Frame& frame) {
    std::string text;
    EXPECT_TRUE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
    return plantest::ParseJson(text)["txpk"];
  }

  MessageProtocol::UplinkReception reception{3000000000u, 868300000, 125, 9, 0, 0};
  Lora::Frame frame = MakeFrame();

  static Lora::Frame MakeFrame() {
    Lora::Frame f;
    const uint8_t bytes[] = {0x60, 4, 3, 2, 1, 0x20, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF};
    f.assign(bytes, sizeof bytes);
    f.direction = 1;
    return f;
  }
};

TEST_F(TxpkTest, WindowOneDownlinkCarriesEveryMember) {
  MessageProtocol::TxpkRequest request;
  request.gatewayEui = kEui;
  request.reception = &reception;
  request.window = 1;
  request.appEui = Lora::EUI::FromValue(0x70B3D57ED0000001ull);
  request.devEui = Lora::EUI::FromValue(0x0102030405060708ull);
  Json::Value txpk = Build(request, frame);

  const std::vector<std::string> order = {"tmst", "ncrc", "modu", "rfch", "datr", "freq",  "codr",
                                          "powe", "ipol", "size", "twnd", "appeui", "deveui",
                                          "gweui", "data"};
  EXPECT_EQ(txpk.getMemberNames().size(), order.size());
  // RX1 one second after the uplink, on the uplink channel and datarate.
  EXPECT_EQ(txpk["tmst"].asUInt64(), 3001000000u);
  EXPECT_TRUE(txpk["ncrc"].asBool());
  EXPECT_EQ(txpk["modu"].asString(), "LORA");
  EXPECT_EQ(txpk["datr"].asString(), "SF9BW125");
  EXPECT_DOUBLE_EQ(txpk["freq"].asDouble(), 868.3);
  EXPECT_EQ(txpk["codr"].asString(), "4/5");
  EXPECT_EQ(txpk["powe"].asInt(), eu868->plan->maxRadioTxPower(868300000));
  EXPECT_TRUE(txpk["ipol"].asBool());
  EXPECT_EQ(txpk["size"].asUInt(), 12u);
  EXPECT_EQ(txpk["twnd"].asUInt(), 1u);
  EXPECT_EQ(txpk["appeui"].asString(), "70-b3-d5-7e-d0-00-00-01");
  EXPECT_EQ(txpk["deveui"].asString(), "01-02-03-04-05-06-07-08");
  EXPECT_EQ(txpk["gweui"].asString(), kEuiText);
  EXPECT_EQ(txpk["data"].asString(), "YAQDAgEgAQDerb7v");
  EXPECT_FALSE(txpk.isMember("imme"));
  EXPECT_FALSE(txpk.isMember("prea"));
}

TEST_F(TxpkTest, TimingChoices) {
  MessageProtocol::TxpkRequest request;
  request.gatewayEui = kEui;
  request.reception = &reception;

  // A join accept in RX2: join delay plus one second, on the region's join RX2 channel; the
  // 32-bit concentrator counter wraps.
  request.joinAccept = true;
  request.window = 2;
  Json::Value join = Build(request, frame);
  EXPECT_EQ(join["tmst"].asUInt64(), (3000000000ull + 6000000) & 0xFFFFFFFF);
  EXPECT_DOUBLE_EQ(join["freq"].asDouble(), 869.525);
  EXPECT_EQ(join["twnd"].asUInt(), 2u);

  request.joinAccept = false;
  request.classC = true;
  Json::Value classC = Build(request, frame);
  EXPECT_TRUE(classC["imme"].asBool());
  EXPECT_FALSE(classC.isMember("tmst"));

  Lora::Frame pingSlot = frame;
  pingSlot.scheduledTimestamp = 777;
  EXPECT_EQ(Build(request, pingSlot)["tmst"].asUInt(), 777u);

  request.windowTiming = true;
  EXPECT_EQ(Build(request, pingSlot)["tmst"].asUInt64(), 3002000000u);

  MessageProtocol::UplinkReception zero{};
  zero.frequency = 868100000;
  request.reception = &zero;
  request.window = 1;
  request.windowTiming = false;
  request.classC = false;
  zero.tmst = UINT64_MAX - 999999;  // the sum is 0
  EXPECT_TRUE(Build(request, frame)["imme"].asBool());
}

TEST_F(TxpkTest, InvalidGatewayOrNoReceptionBuildsNothing) {
  LogCapture log;
  MessageProtocol::TxpkRequest request;
  std::string text;
  request.reception = &reception;
  request.gatewayEui = 0;
  EXPECT_FALSE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
  request.gatewayEui = UINT64_MAX;
  EXPECT_FALSE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
  EXPECT_EQ(log.count("|PACKET-TX|FormJsonString called with empty or invalid gateway address"), 2u);
  request.gatewayEui = kEui;
  request.reception = nullptr;
  EXPECT_FALSE(MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text));
  EXPECT_TRUE(log.contains(std::string("GW:") + kEuiText + "|PACKET-TX|Failed to find gateway"));
  EXPECT_TRUE(text.empty());
}

TEST_F(MessageProtocolTest, PullRespUsesTheGatewaysVersionAndTokenZero) {
  const std::string json = R"({"txpk":{"imme":true}})";
  sockaddr_in to = forwarderAddress;
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, to, kEui, json));
  std::vector<uint8_t> unknown = ReadReply();
  ASSERT_EQ(unknown.size(), 4 + json.size());
  EXPECT_EQ(std::vector<uint8_t>(unknown.begin(), unknown.begin() + 4), (std::vector<uint8_t>{1, 0, 0, 3}));
  EXPECT_EQ(std::string(unknown.begin() + 4, unknown.end()), json);

  RegisterGateway();  // version 2
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, to, kEui, json));
  EXPECT_EQ(ReadReply()[0], 2);
  EXPECT_EQ(statistics.value(Stat::tx_pkts), 2u);

  LogCapture log;
  UdpSocket closed;
  links.downstream = &closed;
  EXPECT_FALSE(MessageProtocol::SendPullResp(links, to, kEui, json));
  EXPECT_TRUE(log.contains("Couldn't send out socket."));
  EXPECT_TRUE(log.contains("Response packet dropped, socket send failed"));
  EXPECT_EQ(statistics.value(Stat::pkts_dropped), 1u);
}

}  // namespace
