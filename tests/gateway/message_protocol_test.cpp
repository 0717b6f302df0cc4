// The packet-forwarder protocol against real loopback sockets: a socket of the test plays the
// packet forwarder, a real registry and real statistics take the updates, and the frame routes
// record what reaches classification. Acknowledgements, registration, CRC counting and
// classification are proven through the binary by the end-to-end tests.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../lora/PlanTestSupport.h"
#include "ForwarderRecords.h"
#include "TestSupport.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpSocket.h"
#include "lora/Frame.h"

namespace {

using testsupport::CompactJson;
using testsupport::ForwarderDatagram;
using testsupport::LogCapture;
using testsupport::PushDataJson;
using testsupport::RxpkRecord;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kForwarderEui = 0x0011223344556677ull;

// An unconfirmed uplink whose last bytes follow the tag, so that differently tagged frames are
// never taken for copies of one transmission.
Bytes Uplink(uint8_t tag = 0x5A) {
  return {0x40, 4, 3, 2, 1, 0, 7, 0, 1, tag, tag, 0xA2, 0xA3, static_cast<uint8_t>(tag ^ 0xFF)};
}
// The reception metadata the frame routes see, on one line.
std::string Describe(const Lora::ReceivedFrame& f) {
  char text[128];
  snprintf(text, sizeof text, "%u SF%uBW%u %u/%u snr%d rssi%d ch%u/%u%s", f.frequency,
           f.spreadingFactor, f.bandwidthKHz, f.codingRateNum, f.codingRateDen, f.snr, f.rssi,
           f.chan, f.rfChain, f.fsk ? " fsk" : "");
  return text;
}

class MessageProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(downstream.open(0, false));
    ASSERT_TRUE(forwarder.open(0, false));
    forwarderAddress = UdpSocket::LoopbackAddress(forwarder.localPort());
    links = {&downstream, &gateways, &statistics, eu868->plan.get(), nullptr, {}, false};
    links.routes.countUplink = [this](uint64_t eui) { gateways.countUplink(eui); };
    links.routes.dispatchUplink = [this](Lora::ReceivedFrame& frame) { uplinks.push_back(frame); };
  }

  void Handle(const Bytes& datagram) {
    MessageProtocol::HandleDatagram(links, datagram.data(), datagram.data() + datagram.size(),
                                    forwarderAddress);
  }
  void Push(const std::string& json) { Handle(ForwarderDatagram(2, 0x1234, 0, kForwarderEui, json)); }
  // The description of the one frame a datagram with the patched record delivers; "" for none.
  std::string Deliver(const std::string& patch, const Bytes& frame = Uplink()) {
    uplinks.clear();
    Push(PushDataJson({RxpkRecord(frame, patch)}));
    return uplinks.size() == 1 ? Describe(uplinks[0]) : "";
  }
  void RegisterGateway() {
    Handle(ForwarderDatagram(2, 1, 2, kForwarderEui));
    Reply();
  }
  // The next datagram the forwarder gets; empty after 100 ms without one.
  Bytes Reply() {
    uint8_t buffer[2048];
    sockaddr_in from{};
    ssize_t n = forwarder.receive(from, buffer, sizeof buffer);
    return n < 0 ? Bytes{} : Bytes(buffer, buffer + n);
  }

  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  UdpSocket downstream;
  UdpSocket forwarder;
  sockaddr_in forwarderAddress{};
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  NetworkStatistics statistics;
  MessageProtocol::Links links;
  std::vector<Lora::ReceivedFrame> uplinks;
};

TEST_F(MessageProtocolTest, RxpkMembersBecomeReceptionMetadata) {
  RegisterGateway();
  EXPECT_EQ(Deliver("{}"), "868100000 SF9BW125 4/5 snr-115 rssi-57 ch2/1");
  EXPECT_EQ(gateways.find(kForwarderEui)->channelCount(2), 1u);
  // Both times count from the datagram's arrival, however late a worker decodes it.
  uplinks.clear();
  const Bytes push = ForwarderDatagram(2, 0x1234, 0, kForwarderEui,
                                       PushDataJson({RxpkRecord(Uplink(), R"({"tmst":999})")}));
  MessageProtocol::HandleDatagram(links, push.data(), push.data() + push.size(), forwarderAddress,
                                  7000123);
  ASSERT_EQ(uplinks.size(), 1u);
  EXPECT_EQ(uplinks[0].receptionTimeMs, 7000u);
  EXPECT_EQ(uplinks[0].tmst, 999u);
  uint64_t tmst = 0, localUs = 0;
  ASSERT_TRUE(gateways.find(kForwarderEui)->counterReading(tmst, localUs));
  EXPECT_EQ(tmst, 999u);
  EXPECT_EQ(localUs, 7000123u);

  // Truncating the binary product of 868.3 would give 868299999.
  EXPECT_EQ(Deliver(R"({"freq":868.3,"lsnr":9.25,"codr":"0x4/0x6","datr":"SF7BW0.25M"})"),
            "868300000 SF7BW250 4/6 snr92 rssi-57 ch2/1");
  EXPECT_EQ(Deliver(R"({"modu":"FSK","datr":50000,"lsnr":null,"codr":null})"),
            "868100000 SF13BW50000 0/0 snr0 rssi-57 ch2/1 fsk");
  for (const char* datr : {"SF13BW125", "BW125", "SF7", "SF7BWx", "nonsense"}) {
    EXPECT_EQ(Deliver(std::string(R"({"datr":")") + datr + "\"}"),
              "868100000 SF12BW125 4/5 snr-115 rssi-57 ch2/1") << datr;
  }
  // Longer data is cut to a frame's 255 bytes.
  Bytes overlong(300, 0x41);
  overlong[0] = 0x40;
  overlong[5] = 0;  // no FOpts
  EXPECT_NE(Deliver(R"({"size":255})", overlong), "");
  EXPECT_EQ(uplinks.at(0).size(), 255u);
  // Without the member check a sparse record passes with the unset fields at their defaults.
  links.skipFieldCheck = true;
  EXPECT_EQ(Deliver(R"({"tmst":null,"chan":null,"rfch":null,"freq":null,"rssi":null,"size":null,)"
                    R"("datr":null,"codr":null})"),
            "0 SF12BW125 0/0 snr-115 rssi-32768 ch65535/0");
}

// Three transmissions heard several times over, interleaved in one datagram; the rssi tells the
// copies apart. A copy with a bad CRC, however good its SNR, must not displace the good one.
TEST_F(MessageProtocolTest, CopiesInOneDatagramKeepTheBestSnr) {
  const std::pair<uint8_t, const char*> copies[] = {
      {1, R"({"lsnr":7,"rssi":-1})"},   {2, R"({"lsnr":5,"rssi":-2})"},
      {3, R"({"lsnr":-20,"rssi":-3})"}, {1, R"({"lsnr":5,"rssi":-4})"},
      {2, R"({"lsnr":5,"rssi":-5})"},   {3, R"({"lsnr":-5.5,"rssi":-6})"},
      {3, R"({"lsnr":-5.5,"rssi":-7})"}, {1, R"({"lsnr":20,"stat":-1})"}};
  std::vector<Json::Value> packets;
  for (const auto& [tag, patch] : copies) packets.push_back(RxpkRecord(Uplink(tag), patch));
  Push(PushDataJson(packets));
  std::vector<int> kept;
  for (const Lora::ReceivedFrame& f : uplinks) kept.push_back(f.rssi);
  EXPECT_EQ(kept, (std::vector<int>{-1, -2, -6}));
}

// One rejection ends the datagram: the good record after a faulty one is not delivered and the
// status after it, which would be refused too, is not reached.
TEST_F(MessageProtocolTest, FaultsRejectTheRestOfTheDatagram) {
  auto faulty = [](const char* patch) {
    return R"({"rxpk":[)" + CompactJson(RxpkRecord(Uplink(), patch)) + "," +
           CompactJson(RxpkRecord(Uplink(0x33))) + R"(],"stat":{"time":"t"}})";
  };
  const std::pair<std::string, const char*> cases[] = {
      {faulty(R"({"tmst":null})"), "Missing 'tmst' data member"},
      {faulty(R"({"tmst":-1})"), "Invalid 'tmst' data member"},
      {faulty(R"({"freq":"868.1"})"), "Invalid 'freq' data member"},
      {faulty(R"({"rssi":-40000})"), "Invalid rssi value"},
      {faulty(R"({"chan":10})"), "Invalid chan value"},
      {faulty(R"({"freq":-868.1})"), "Invalid freq value"},
      {faulty(R"({"codr":"4/0"})"), "Unable to read codingrate value"},
      {faulty(R"({"lsnr":null})"), "Invalid lsnr value"},
      {faulty(R"({"data":"!!!!"})"), "Data invalid :!!!!"},
      // 2^32 + the frame's 14 bytes: a size cut to 32 bits would match.
      {faulty(R"({"size":4294967310})"), "Data size does not match bytes received"},
      {std::string(16372, '['), "Unable parse text as JSON"},  // nesting filling a 16 KB datagram
      {"{\"rxpk\":[\x01\xff\xfe]}", "Unable parse text as JSON"},
      {R"({"rxpk":{}})", "Invalid 'rxpk' data member"},
      {R"({"stat":{"time":"t","rxnb":1,"rxok":1,"rxfw":1,"dwnb":1,"txnb":1}})",
       "Missing 'ackr' data member"},
      {R"({"command":{}})", "Missing 'node' data member"},
      {R"({"command":{"node":"x"}})", "Commands not supported by packet forwarder protocol"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    LogCapture log;
    Push(text);
    EXPECT_EQ(log.count("Message rejected - "), 1u) << log.dump();
    EXPECT_TRUE(log.contains(std::string("Message rejected - ") + message)) << log.dump();
  }
  EXPECT_TRUE(uplinks.empty());
}

// Nesting far past what a forwarder sends is refused on the real threads' stacks by the link's
// end-to-end test and at the limit by the reader's own; here, nesting a forwarder could send
// passes and brackets inside strings are text. A document is the whole body: padding passes, a
// second document or garbage does not.
TEST_F(MessageProtocolTest, NestingAForwarderCouldSendAndPaddingPassTextAfterTheDocumentNot) {
  RegisterGateway();
  LogCapture log;
  Push(R"({"rxpk":[],"x":")" + std::string(50, '[') + R"("})");
  Push(R"({"rxpk":[],"x":)" + std::string(9, '[') + std::string(9, ']') + "}");
  const std::string good = PushDataJson({RxpkRecord(Uplink())});
  Push(good + std::string("\r\n\0\0", 4));
  EXPECT_EQ(uplinks.size(), 1u);
  EXPECT_EQ(log.count("Message rejected - "), 0u) << log.dump();
  uplinks.clear();
  Push(good + std::string("\0{}", 3));
  EXPECT_TRUE(uplinks.empty());
  EXPECT_TRUE(log.contains("Message rejected - Unable parse text as JSON")) << log.dump();
}

TEST_F(MessageProtocolTest, PullRespUsesTheGatewaysVersionAndTokenZero) {
  const std::string json = R"({"txpk":{"imme":true}})";
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, forwarderAddress, kForwarderEui, json));
  EXPECT_EQ(Reply(), ForwarderDatagram(1, 0, 3, kForwarderEui, json, false)) << "unknown gateway: version 1";
  RegisterGateway();
  ASSERT_TRUE(MessageProtocol::SendPullResp(links, forwarderAddress, kForwarderEui, json));
  EXPECT_EQ(Reply(), ForwarderDatagram(2, 0, 3, kForwarderEui, json, false));
  EXPECT_EQ(statistics.value(NetworkStatistics::Counter::tx_pkts), 2u);

  LogCapture log;
  UdpSocket closed;
  links.downstream = &closed;
  EXPECT_FALSE(MessageProtocol::SendPullResp(links, forwarderAddress, kForwarderEui, json));
  EXPECT_TRUE(log.contains("Response packet dropped, socket send failed"));
  EXPECT_EQ(statistics.value(NetworkStatistics::Counter::pkts_dropped), 1u);
}

class TxpkTest : public ::testing::Test {
 protected:
  bool Build(std::string& text) {
    return MessageProtocol::BuildTxpk(request, frame, *eu868->plan, eu868->settings, text);
  }
  Json::Value Txpk() {
    std::string text;
    EXPECT_TRUE(Build(text));
    return plantest::ParseJson(text)["txpk"];
  }

  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  MessageProtocol::UplinkReception reception{3000000000u, 868300000, 125, 9, 0, 0};
  MessageProtocol::TxpkRequest request{kForwarderEui, &reception, 1, false, false, false,
                                       Lora::EUI::FromValue(0x70B3D57ED0000001ull),
                                       Lora::EUI::FromValue(0x0102030405060708ull)};
  const uint8_t bytes[12] = {0x60, 4, 3, 2, 1, 0x20, 1, 0, 0xDE, 0xAD, 0xBE, 0xEF};
  Lora::Frame frame{bytes, sizeof bytes};
};

// The whole record, member order included: RX1 one second after the uplink, on its channel and
// datarate; the data is the frame in padded Base64 (checked with Python's base64).
TEST_F(TxpkTest, WindowOneDownlinkText) {
  const std::string power = std::to_string(eu868->plan->maxRadioTxPower(868300000));
  std::string text;
  ASSERT_TRUE(Build(text));
  EXPECT_EQ(text, R"({"txpk":{"tmst":3001000000,"ncrc":true,"modu":"LORA","rfch":0,"datr":"SF9BW125",)"
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
  Json::Value join = Txpk();
  EXPECT_EQ(join["tmst"].asUInt64(), (3000000000ull + 6000000) & 0xFFFFFFFF);
  EXPECT_DOUBLE_EQ(join["freq"].asDouble(), 869.525);

  request.joinAccept = false;
  request.classC = true;
  frame.scheduledTimestamp = 777;  // a ping slot
  EXPECT_EQ(Txpk()["tmst"].asUInt(), 777u);
  request.windowTiming = true;
  EXPECT_EQ(Txpk()["tmst"].asUInt64(), 3002000000u);
  reception.tmst = UINT64_MAX - 1999999;  // the window's time is 0
  EXPECT_TRUE(Txpk()["imme"].asBool());
}

TEST_F(TxpkTest, InvalidGatewayOrNoReceptionBuildsNothing) {
  LogCapture log;
  std::string text;
  request.gatewayEui = UINT64_MAX;
  EXPECT_FALSE(Build(text));
  request.gatewayEui = kForwarderEui;
  request.reception = nullptr;
  EXPECT_FALSE(Build(text));
  EXPECT_TRUE(log.contains("GW:ff-ff-ff-ff-ff-ff-ff-ff|PACKET-TX|FormJsonString called with empty or "
                           "invalid gateway address"));
  EXPECT_TRUE(log.contains("GW:00-11-22-33-44-55-66-77|PACKET-TX|Failed to find gateway"));
  EXPECT_TRUE(text.empty());
}

}  // namespace
