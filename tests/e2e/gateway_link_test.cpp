// The server as a packet forwarder sees it: the real binary, real loopback sockets, its log and
// the flash database it leaves behind.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <string>
#include <vector>

#include "../Database/QueryFile.h"
#include "ForwarderRecords.h"
#include "Harness.h"
#include "TestSupport.h"
#include "lora/Bytes.h"

using e2e::BaseConfig;
using e2e::ServerProcess;
using e2e::UdpPeer;
using e2e::WriteConfig;
using testsupport::ForwarderDatagram;
using testsupport::PushDataJson;
using testsupport::ReadFile;
using testsupport::RxpkRecord;
using testsupport::TempDir;

namespace {

constexpr uint64_t kEui = 0x0102030405060708ull;
const std::string kGw = "GW:01-02-03-04-05-06-07-08";

using dbtest::QueryFile;

class GatewayLink : public ::testing::Test {
 protected:
  void SetUp() override {
    config = BaseConfig(dir.path());
    upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
    downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
    logPath = config["log"]["path"].asString();
    server.start({"-c", WriteConfig(dir.path(), config)});
    ASSERT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath)) << server.out();
    // The receive loop opens its socket just after that line: knock until it answers.
    std::vector<uint8_t> ack;
    bool answered = false;
    for (int i = 0; i < 50 && !answered; ++i) {
      forwarder.send(upstream, ForwarderDatagram(2, 0, 0, kEui, "{}"));
      answered = forwarder.receive(ack, 100);
    }
    ASSERT_TRUE(answered) << "no PUSH_ACK from the server";
  }
  void TearDown() override {
    if (server.running()) server.stop(SIGTERM, 5000);
  }

  // Waits up to five seconds for the text to appear in the log.
  bool WaitForLog(const std::string& text) { return server.waitFor(text, 5000, logPath); }
  size_t Count(const std::string& text) { return testsupport::Occurrences(ReadFile(logPath), text); }
  std::string FlashDatabase() { return config["db"].asString(); }

  TempDir dir;
  Json::Value config;
  uint16_t upstream = 0;
  uint16_t downstream = 0;
  std::string logPath;
  ServerProcess server{dir.path()};
  UdpPeer forwarder;
};

// Header faults get no answer and TX_ACK none either; the rest is acknowledged, the forwarder
// registered and its counts stored by the clean shutdown.
TEST_F(GatewayLink, AcknowledgesRegistersCountsAndShutsDownCleanly) {
  std::vector<uint8_t> reply;
  forwarder.send(upstream, std::vector<uint8_t>{2, 0, 0});
  forwarder.send(upstream, ForwarderDatagram(3, 0, 0, kEui, "{}"));
  forwarder.send(upstream, ForwarderDatagram(2, 0, 7, kEui));
  EXPECT_FALSE(forwarder.receive(reply, 300)) << "header faults get no answer";
  const std::string syntax = "Message Protocol syntax error ";
  EXPECT_TRUE(WaitForLog(syntax + "Packet too short"));
  EXPECT_TRUE(WaitForLog(syntax + "Incorrect version"));
  EXPECT_TRUE(WaitForLog(syntax + "Unexpected message type 0x07"));

  forwarder.send(upstream, std::vector<uint8_t>{2, 0x44, 0x55, 0});
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{2, 0x44, 0x55, 1}));
  EXPECT_TRUE(WaitForLog(syntax + "Negative length payload"));

  forwarder.send(upstream, ForwarderDatagram(2, 9, 5, kEui));
  const std::string collision = R"({"txpk_ack":{"error":"COLLISION_PACKET"}})";
  forwarder.send(upstream, ForwarderDatagram(2, 9, 5, kEui, collision));
  EXPECT_FALSE(forwarder.receive(reply, 300)) << "TX_ACK is not answered";
  EXPECT_TRUE(WaitForLog(kGw + "|TX-ACK|OK"));
  EXPECT_TRUE(WaitForLog(kGw + "|TX-ACK|ERROR: " + collision));

  forwarder.send(downstream, ForwarderDatagram(2, 0x0C0D, 2, kEui));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{2, 0x0C, 0x0D, 4}));
  ASSERT_TRUE(WaitForLog(kGw + "|SEEN|PULL-DATA|127.0.0.1:" + std::to_string(forwarder.port())));

  forwarder.send(upstream, ForwarderDatagram(1, 0xA1B2, 0, kEui, "{}"));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0xA1, 0xB2, 1}));
  forwarder.send(upstream, ForwarderDatagram(2, 3, 0, kEui,
                                             R"({"stat":{"time":"2026-12-05 10:00:00 GMT","rxnb":7,)"
                                             R"("rxok":6,"rxfw":5,"dwnb":4,"txnb":3,"ackr":50}})"));
  ASSERT_TRUE(forwarder.receive(reply, 2000));

  EXPECT_EQ(server.stop(SIGTERM, 1000), 0);
  EXPECT_EQ(Count("Shutdown signal received 15"), 1u);
  EXPECT_EQ(Count("DB Backup complete"), 1u);
  EXPECT_EQ(QueryFile(FlashDatabase(), "SELECT protocol_version, ip_address, ip_port FROM gateways"),
            "2|127.0.0.1|" + std::to_string(forwarder.port()));
  // The acknowledgement rate is averaged with the previous one, 0 at first.
  EXPECT_EQ(QueryFile(FlashDatabase(), "SELECT rx_count, rx_ok, rx_forwarded, downlink_count, "
                                       "tx_count, ack_rate FROM gateway_statistics"),
            "7|6|5|4|3|0.25");
}

// Deep nesting in every member whose text the rejection line carries, on the worker-served
// upstream port and the downstream thread alike: each is refused and the server answers the next
// datagram. Then uplinks are checked, deduplicated and classified, and the server stops cleanly
// with its final backup.
TEST_F(GatewayLink, NestingIsRefusedOnBothPortsAndUplinksAreCheckedDeduplicatedAndClassified) {
  std::vector<uint8_t> reply;
  const std::string nested = std::string(700, '[') + std::string(700, ']');
  size_t sent = 0;
  for (uint16_t port : {upstream, downstream}) {
    for (const char* member : {"stat", "rxpk", "command"}) {
      SCOPED_TRACE(std::string(member) + " to " + std::to_string(port));
      forwarder.send(port, ForwarderDatagram(2, 7, 0, kEui, std::string("{\"") + member + "\":" +
                                                                nested + "}"));
      ++sent;
      ASSERT_TRUE(forwarder.receive(reply, 2000));
      forwarder.send(port, ForwarderDatagram(2, 8, 0, kEui, "{}"));
      ASSERT_TRUE(forwarder.receive(reply, 2000)) << "the server no longer answers";
      EXPECT_EQ(reply, (std::vector<uint8_t>{2, 0, 8, 1}));
    }
  }

  const std::vector<uint8_t> uplink = {0x40, 4, 3, 2, 1, 0, 1, 0, 1, 0x55, 0x10, 0x20, 0x30, 0x40};
  // What classification refuses, and why, is ClassifyFrame's unit test; here one refused frame
  // before a good one in the same datagram shows that a refusal costs only its own record.
  const std::vector<Json::Value> refusedThenGood = {
      RxpkRecord({0x40, 1, 2, 3, 4, 0, 0}), RxpkRecord({0x80, 1, 2, 3, 4, 0, 0, 0, 13, 14, 15, 16})};
  forwarder.send(upstream, ForwarderDatagram(2, 1, 0, kEui, R"({"rxpk":[{"stat":-1}]})"));
  const std::string copies =
      PushDataJson({RxpkRecord(uplink, R"({"lsnr":3})"), RxpkRecord(uplink, R"({"lsnr":9.5})")});
  forwarder.send(upstream, ForwarderDatagram(2, 2, 0, kEui, copies));
  forwarder.send(upstream, ForwarderDatagram(2, 3, 0, kEui, PushDataJson(refusedThenGood)));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(forwarder.receive(reply, 2000));
  // Shutdown waits for the workers and the downstream thread, so the log is complete afterwards.
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  EXPECT_EQ(Count("Message rejected - Unable parse text as JSON"), sent);
  EXPECT_EQ(Count("DB Backup complete"), 1u);
  EXPECT_EQ(Count(kGw + "|FRAME-RX|CRC-ERROR"), 1u);
  EXPECT_EQ(Count(kGw + "|FRAME-RX|TYPE: Confirmed Up"), 1u);
  const std::string rejected = kGw + "|FRAME-RX|REJECTED|REASON: ";
  EXPECT_EQ(Count(rejected + "Frame too short  VALUE: 7"), 1u);
  // Of the two copies only the better one was classified.
  EXPECT_EQ(Count(kGw + "|FRAME-RX|TYPE: Unconfirmed Up"), 1u);
  EXPECT_EQ(Count("\"lsnr\":9.5"), 1u);
  EXPECT_EQ(Count("\"lsnr\":3"), 0u);
  // Every classified record is logged after classification, refused or not.
  EXPECT_EQ(Count("FRAME-RX|JSON: {"), 3u);
  EXPECT_EQ(QueryFile(FlashDatabase(), "SELECT crc_errors FROM network_statistics"), "1");
}

// Frames from an independent LoRaWAN implementation reach the right route with their bytes intact.
TEST_F(GatewayLink, IndependentlyBuiltFramesAreClassifiedByType) {
  const std::vector<uint8_t> join = e2e::JoinRequest("0a0b", "0102030405060708", "70b3d57ed0000001",
                                                     "2b7e151628aed2a6abf7158809cf4f3c");
  const std::vector<uint8_t> confirmed = e2e::LoraPacket(
      R"({"fields":{"MType":"Confirmed Data Up","DevAddr":"26011bd4","FCnt":3,"FPort":2,)"
      R"("payloadHex":"cafe"},"keys":{"AppSKey":"2b7e151628aed2a6abf7158809cf4f3c",)"
      R"("NwkSKey":"2b7e151628aed2a6abf7158809cf4f3c"}})");
  const std::vector<uint8_t> downlink = e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Down","DevAddr":"26011bd4","FCnt":1,"FPort":1,)"
      R"("payloadHex":"00"}})");
  ASSERT_EQ(join.size(), 23u);

  std::vector<uint8_t> reply;
  const std::string records =
      PushDataJson({RxpkRecord(join), RxpkRecord(confirmed), RxpkRecord(downlink)});
  forwarder.send(upstream, ForwarderDatagram(2, 1, 0, kEui, records));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  const std::string gw = kGw + "|FRAME-RX|";
  EXPECT_TRUE(WaitForLog(gw + "DATA: " + BytesToHex(join.data(), join.size(), true, 0)));
  EXPECT_TRUE(WaitForLog(gw + "TYPE: Join Request"));
  // The join procedure reads the EUIs as lora-packet wrote them; no key knows this device.
  EXPECT_TRUE(WaitForLog(kGw + "|DEV-EUI|01-02-03-04-05-06-07-08"));
  EXPECT_TRUE(WaitForLog("ED:01-02-03-04-05-06-07-08|CHECK-KEY|Join Request rejected"));
  EXPECT_TRUE(WaitForLog(gw + "TYPE: Confirmed Up"));
  // The uplink reaches the device lookup, which knows no such address.
  EXPECT_TRUE(WaitForLog(gw + "REJECTED|REASON: Message received from unknown device 26-01-1b-d4 "
                              "VALUE: 32767"));
  EXPECT_TRUE(WaitForLog(gw + "REJECTED|REASON: Unexpected message type VALUE: 3"));
}

}  // namespace
