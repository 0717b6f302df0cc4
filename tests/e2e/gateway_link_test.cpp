// The server as a packet forwarder sees it: the real binary, real loopback sockets, its log and
// the flash database it leaves behind.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "Harness.h"
#include "ForwarderRecords.h"
#include "TestSupport.h"
#include "lora/Bytes.h"

using e2e::BaseConfig;
using e2e::ServerProcess;
using e2e::UdpPeer;
using e2e::WriteConfig;
using testsupport::ForwarderDatagram;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

constexpr uint64_t kEui = 0x0102030405060708ull;
constexpr const char* kEuiText = "01-02-03-04-05-06-07-08";

Json::Value Rxpk(const std::vector<uint8_t>& frame, double lsnr = 7.5) {
  Json::Value r = testsupport::RxpkRecord(frame);
  r["lsnr"] = lsnr;
  return r;
}
std::string Push(const std::vector<Json::Value>& packets) { return testsupport::PushDataJson(packets); }

// Rows of a query on the database file, each row's columns joined by "|".
std::vector<std::string> Query(const std::string& path, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const unsigned char* text = sqlite3_column_text(statement, i);
        row += (i ? "|" : "") + std::string(text ? reinterpret_cast<const char*>(text) : "");
      }
      rows.push_back(row);
    }
  } else {
    ADD_FAILURE() << sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

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

  // Waits until the log holds the text `count` times.
  bool WaitForLog(const std::string& text, size_t count = 1, int timeoutMs = 5000) {
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
      if (Count(text) >= count) return true;
      SleepMs(20);
    }
    return false;
  }
  size_t Count(const std::string& text) {
    std::string log = ReadFile(logPath);
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  std::string FlashDatabase() { return config["db"].asString(); }

  TempDir dir;
  Json::Value config;
  uint16_t upstream = 0;
  uint16_t downstream = 0;
  std::string logPath;
  ServerProcess server{dir.path()};
  UdpPeer forwarder;
};

TEST_F(GatewayLink, AcknowledgesAndRegistersThenShutsDownCleanly) {
  std::vector<uint8_t> reply;
  forwarder.send(upstream, ForwarderDatagram(1, 0xA1B2, 0, kEui, "{}"));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0xA1, 0xB2, 1}));

  forwarder.send(downstream, ForwarderDatagram(2, 0x0C0D, 2, kEui));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{2, 0x0C, 0x0D, 4}));
  ASSERT_TRUE(WaitForLog(std::string("GW:") + kEuiText + "|SEEN|PULL-DATA|127.0.0.1:" +
                         std::to_string(forwarder.port())));

  EXPECT_EQ(server.stop(SIGTERM, 3000), 0);
  std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Shutdown signal received 15"), std::string::npos);
  EXPECT_NE(log.find("DB Backup complete"), std::string::npos);
  std::vector<std::string> rows =
      Query(FlashDatabase(), "SELECT protocol_version, ip_address, ip_port FROM gateways");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], "2|127.0.0.1|" + std::to_string(forwarder.port()));
}

TEST_F(GatewayLink, HeaderFaultsAndTxAck) {
  std::vector<uint8_t> reply;
  forwarder.send(upstream, std::vector<uint8_t>{2, 0, 0});
  EXPECT_FALSE(forwarder.receive(reply, 300)) << "a 3-byte datagram gets no answer";
  EXPECT_TRUE(WaitForLog("Message Protocol syntax error Packet too short"));

  forwarder.send(upstream, std::vector<uint8_t>{2, 0x44, 0x55, 0});
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_EQ(reply, (std::vector<uint8_t>{2, 0x44, 0x55, 1}));
  EXPECT_TRUE(WaitForLog("Message Protocol syntax error Negative length payload"));

  forwarder.send(upstream, ForwarderDatagram(2, 9, 5, kEui));
  forwarder.send(upstream, ForwarderDatagram(2, 9, 5, kEui, R"({"txpk_ack":{"error":"COLLISION_PACKET"}})"));
  EXPECT_FALSE(forwarder.receive(reply, 300)) << "TX_ACK is not answered";
  EXPECT_TRUE(WaitForLog(std::string("GW:") + kEuiText + "|TX-ACK|OK"));
  EXPECT_TRUE(WaitForLog(std::string("GW:") + kEuiText +
                         R"(|TX-ACK|ERROR: {"txpk_ack":{"error":"COLLISION_PACKET"}})"));
}

TEST_F(GatewayLink, UplinksAreCheckedDeduplicatedAndClassified) {
  const std::vector<uint8_t> uplink = {0x40, 4, 3, 2, 1, 0, 1, 0, 1, 0x55, 0x10, 0x20, 0x30, 0x40};
  Json::Value crc;
  crc["stat"] = -1;
  std::vector<uint8_t> reply;
  forwarder.send(upstream, ForwarderDatagram(2, 1, 0, kEui, Push({crc})));
  forwarder.send(upstream, ForwarderDatagram(2, 2, 0, kEui, Push({Rxpk(uplink, 3.0), Rxpk(uplink, 9.5)})));
  forwarder.send(upstream,
                 ForwarderDatagram(2, 3, 0, kEui,
                                   Push({Rxpk({0x40, 1, 2, 3, 4, 0, 0}),
                                         Rxpk({0x41, 1, 2, 3, 4, 0, 0, 0, 1, 2, 3, 4}),
                                         Rxpk({0x20, 1, 2, 3, 4, 0, 0, 0, 5, 6, 7, 8}),
                                         Rxpk({0xE0, 1, 2, 3, 4, 0, 0, 0, 9, 10, 11, 12}),
                                         Rxpk({0x80, 1, 2, 3, 4, 0, 0, 0, 13, 14, 15, 16})})));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(forwarder.receive(reply, 2000));

  const std::string gw = std::string("GW:") + kEuiText;
  EXPECT_TRUE(WaitForLog(gw + "|FRAME-RX|CRC-ERROR"));
  EXPECT_TRUE(WaitForLog(gw + "|FRAME-RX|TYPE: Confirmed Up"));
  const std::string rejected = gw + "|FRAME-RX|REJECTED|REASON: ";
  EXPECT_EQ(Count(rejected + "Frame too short  VALUE: 7"), 1u);
  EXPECT_EQ(Count(rejected + "Incorrect version  VALUE: 1"), 1u);
  EXPECT_EQ(Count(rejected + "Unexpected message type VALUE: 1"), 1u);
  EXPECT_EQ(Count(rejected + "Unexpected message type VALUE: 7"), 1u);
  // Of the two copies only the better one was classified.
  EXPECT_EQ(Count(gw + "|FRAME-RX|TYPE: Unconfirmed Up"), 1u);
  EXPECT_EQ(Count("\"lsnr\":9.5"), 1u);
  EXPECT_EQ(Count("\"lsnr\":3"), 0u);
  // Every classified record is logged after classification, refused or not.
  EXPECT_EQ(Count("FRAME-RX|JSON: {"), 6u);

  EXPECT_EQ(server.stop(SIGTERM, 3000), 0);
  EXPECT_EQ(Query(FlashDatabase(), "SELECT crc_errors FROM network_statistics"),
            std::vector<std::string>{"1"});
}

// Frames from an independent LoRaWAN implementation reach the right route with their bytes intact.
TEST_F(GatewayLink, IndependentlyBuiltFramesAreClassifiedByType) {
  const std::vector<uint8_t> join = e2e::LoraPacket(
      R"({"fields":{"MType":"Join Request","AppEUI":"70b3d57ed0000001","DevEUI":"0102030405060708",)"
      R"("DevNonce":"0a0b"},"keys":{"AppKey":"2b7e151628aed2a6abf7158809cf4f3c"}})");
  const std::vector<uint8_t> confirmed = e2e::LoraPacket(
      R"({"fields":{"MType":"Confirmed Data Up","DevAddr":"26011bd4","FCnt":3,"FPort":2,)"
      R"("payloadHex":"cafe"},"keys":{"AppSKey":"2b7e151628aed2a6abf7158809cf4f3c",)"
      R"("NwkSKey":"2b7e151628aed2a6abf7158809cf4f3c"}})");
  const std::vector<uint8_t> downlink = e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Down","DevAddr":"26011bd4","FCnt":1,"FPort":1,)"
      R"("payloadHex":"00"}})");
  ASSERT_EQ(join.size(), 23u);
  ASSERT_FALSE(confirmed.empty());
  ASSERT_FALSE(downlink.empty());

  std::vector<uint8_t> reply;
  forwarder.send(upstream, ForwarderDatagram(2, 1, 0, kEui, Push({Rxpk(join), Rxpk(confirmed), Rxpk(downlink)})));
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  const std::string gw = std::string("GW:") + kEuiText + "|FRAME-RX|";
  EXPECT_TRUE(WaitForLog(gw + "DATA: " + BytesToHex(join.data(), join.size(), true, 0)));
  EXPECT_TRUE(WaitForLog(gw + "TYPE: Join Request"));
  EXPECT_TRUE(WaitForLog("|JOINREQ-RX|No join handler, request from 0102030405060708"));
  EXPECT_TRUE(WaitForLog(gw + "TYPE: Confirmed Up"));
  EXPECT_TRUE(WaitForLog("|PACKET-RX|No uplink handler, frame from 26011bd4"));
  EXPECT_TRUE(WaitForLog(gw + "REJECTED|REASON: Unexpected message type VALUE: 3"));
}

// Hostile datagrams leave the server answering.
TEST_F(GatewayLink, SurvivesGarbage) {
  const std::vector<std::string> texts = {
      std::string(16000, '['),
      R"({"rxpk":[{"stat":1,"data":"AAAA","size":)",
      R"({"rxpk":[{"tmst":"x","stat":true,"size":-1,"rssi":[],"chan":1.5,"freq":"868","rfch":{},)"
      R"("datr":12,"modu":7,"data":5}]})",
      R"({"rxpk":[{"tmst":1,"stat":1,"size":4294967296000,"rssi":0,"chan":0,"freq":868.1,"rfch":0,)"
      R"("datr":"SF7BW125","modu":"LORA","lsnr":1,"data":"QAQDAgEAAQABVRAgMEA="}]})",
      R"({"rxpk":[{"tmst":1,"stat":1,"size":3,"rssi":0,"chan":0,"freq":868.1,"rfch":0,)"
      R"("datr":"SF7BW125","modu":"LORA","lsnr":1,"data":"@@@@"}]})",
      std::string("{\"rxpk\":[\x01\xff\xfe]}"),
  };
  std::vector<uint8_t> reply;
  for (const std::string& text : texts) {
    forwarder.send(upstream, ForwarderDatagram(2, 7, 0, kEui, text));
    ASSERT_TRUE(forwarder.receive(reply, 2000)) << text.substr(0, 60);
  }
  std::vector<uint8_t> big = ForwarderDatagram(2, 8, 0, kEui, std::string(16372, 'x'));
  forwarder.send(upstream, big);
  ASSERT_TRUE(forwarder.receive(reply, 2000));
  EXPECT_TRUE(WaitForLog("Message rejected - ", texts.size() + 1));
  EXPECT_TRUE(server.running());
  EXPECT_EQ(server.stop(SIGTERM, 3000), 0);
}

}  // namespace
