// A device's uplinks as an application sees them: the real binary, a real mosquitto broker on
// loopback, the application UDP ports, and frames built by an independent LoRaWAN
// implementation (lora-packet) so that our decoder is never checked against our own encoder.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
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
const std::string kDevAddr = "26011234";  // NwkID 0x13 in bits 31..25
const std::string kNwkSKey = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kAppSKey = "000102030405060708090a0b0c0d0e0f";

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<std::string> Query(const std::string& path, const std::string& sql) {
  std::vector<std::string> rows;
  auto collect = [](void* out, int columns, char** values, char**) {
    std::string row;
    for (int i = 0; i < columns; ++i) row += (i ? "|" : "") + std::string(values[i] ? values[i] : "");
    static_cast<std::vector<std::string>*>(out)->push_back(row);
    return 0;
  };
  sqlite3* db = nullptr;
  char* error = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_exec(db, sql.c_str(), collect, &rows, &error) != SQLITE_OK) {
    ADD_FAILURE() << path << ": " << (error ? error : sqlite3_errmsg(db));
  }
  sqlite3_free(error);
  sqlite3_close(db);
  return rows;
}

// An uplink of the device built by lora-packet.
std::vector<uint8_t> Uplink(unsigned fcnt, const std::string& payloadHex, unsigned port = 10,
                            const std::string& nwkSKey = kNwkSKey,
                            const std::string& devAddr = kDevAddr) {
  return e2e::LoraPacket(R"({"fields":{"MType":"Unconfirmed Data Up","DevAddr":")" + devAddr +
                         R"(","FCnt":)" + std::to_string(fcnt) + R"(,"FPort":)" +
                         std::to_string(port) + R"(,"payloadHex":")" + payloadHex +
                         R"("},"keys":{"AppSKey":")" + kAppSKey + R"(","NwkSKey":")" + nwkSKey +
                         R"("}})");
}

Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  std::string errors;
  std::istringstream in(text);
  Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors);
  return value;
}

class DeviceUplinks : public ::testing::Test {
 protected:
  void SetUp() override {
    config = BaseConfig(dir.path());
    config["lora"]["netID"] = "000013";
    config["lora"]["deviceQueueSize"] = 2;
    config["addressRange"]["start"] = "00000001";
    config["addressRange"]["end"] = "01FFFFFE";
    config["mqtt"]["enabled"] = true;
    config["mqtt"]["host"] = "127.0.0.1";
    config["mqtt"]["port"] = broker.port();
    config["udp"]["appPortUp"] = application.port();
    upstream = static_cast<uint16_t>(config["udp"]["upstreamPort"].asUInt());
    downstream = static_cast<uint16_t>(config["udp"]["downstreamPort"].asUInt());
    appDown = static_cast<uint16_t>(config["udp"]["appPortDown"].asUInt());
    logPath = config["log"]["path"].asString();
    SeedSession();
    ASSERT_TRUE(probe.WaitSubscribed(5000));
    server.start({"-c", WriteConfig(dir.path(), config)});
    ASSERT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath)) << server.out();
    // The gateway announces itself on the downstream port; uplinks from it are then accepted.
    std::vector<uint8_t> ack;
    bool answered = false;
    for (int i = 0; i < 50 && !answered; ++i) {
      forwarder.send(downstream, ForwarderDatagram(2, 1, 2, kGatewayEui));
      answered = forwarder.receive(ack, 100);
    }
    ASSERT_TRUE(answered) << "no PULL_ACK";
    // Downlinks published before the server's subscription is in place would go nowhere.
    ASSERT_TRUE(WaitForLog("MQTT - connected with server")) << ReadFile(logPath);
    Pause(300);
  }
  void TearDown() override {
    if (server.running()) server.stop(SIGTERM, 5000);
  }

  // The session as a join would have left it, written with the server's own storage layer
  // before the server starts: restoring it is what is under test.
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
    ASSERT_TRUE(database.AddDeviceWithSession(session));
    database.GetConnection().MarkDirty();
    ASSERT_TRUE(database.Backup(true));
  }

  void Push(const std::vector<uint8_t>& frame, const std::string& patch = "{}") {
    forwarder.send(upstream, ForwarderDatagram(2, 7, 0, kGatewayEui,
                                               PushDataJson({RxpkRecord(frame, patch)})));
  }
  bool WaitForLog(const std::string& text, int timeoutMs = 5000) {
    for (int i = 0; i < timeoutMs / 20 && Count(text) == 0; ++i) Pause(20);
    return Count(text) > 0;
  }
  size_t Count(const std::string& text) {
    std::string log = ReadFile(logPath);
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  // The broker messages on topics ending in `suffix`, in arrival order.
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
  UdpPeer application;  // the application up port
  Json::Value config;
  uint16_t upstream = 0, downstream = 0, appDown = 0;
  std::string logPath;
  ServerProcess server{dir.path()};
  UdpPeer forwarder;
};

TEST_F(DeviceUplinks, RestoredDeviceIsPublishedOnAllThreeTopicsAndTheUpPort) {
  Push(Uplink(1, "68656c6c6f"));  // "hello"
  ASSERT_TRUE(WaitFor("/up", 3)) << ReadFile(logPath);
  const auto up = On("/up");
  ASSERT_EQ(up.size(), 3u);
  EXPECT_EQ(up[0].topic, "lora/" + kDevEui + "/up");
  EXPECT_EQ(up[1].topic, "lora/" + kAppEui + "/" + kDevEui + "/up");
  EXPECT_EQ(up[2].topic, "lora/" + kAppEui + "/" + kDevEui + "/10/up");
  const Json::Value json = ParseJson(up[0].payload);
  EXPECT_EQ(json["data"].asString(), "aGVsbG8=");
  EXPECT_EQ(json["fcnt"].asUInt(), 1u);
  EXPECT_EQ(json["port"].asUInt(), 10u);
  EXPECT_EQ(json["mhdr"].asString(), "4034120126000100");  // MHDR, DevAddr, FCtrl, FCnt
  EXPECT_EQ(json["gweui"].asString(), "01-02-03-04-05-06-07-08");
  EXPECT_EQ(json["seqn"].asUInt(), 1u);
  EXPECT_EQ(up[1].payload, up[0].payload);
  EXPECT_EQ(up[2].payload, up[0].payload);

  // The up port gets every event as the topic, a blank and the payload, then CR LF.
  std::vector<std::string> datagrams;
  std::vector<uint8_t> datagram;
  while (application.receive(datagram, 500)) datagrams.emplace_back(datagram.begin(), datagram.end());
  const std::string first = "lora/" + kDevEui + "/up " + up[0].payload;
  bool found = false;
  for (size_t i = 0; i + 1 < datagrams.size(); ++i) {
    if (datagrams[i] == first) {
      found = true;
      EXPECT_EQ(datagrams[i + 1], "\r\n");
    }
  }
  EXPECT_TRUE(found) << datagrams.size() << " datagrams";

  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  const std::string flash = config["db"].asString();
  EXPECT_EQ(Query(flash, "SELECT up_counter FROM sessions WHERE dev_addr = " +
                             std::to_string(0x26011234)),
            std::vector<std::string>{"1"});
  EXPECT_EQ(Query(flash, "SELECT COUNT(*) FROM uplink_packets WHERE message_type != 0"),
            std::vector<std::string>{"1"});
}

TEST_F(DeviceUplinks, RefusedUplinksAreLoggedCountedAndNeverPublished) {
  Push(Uplink(1, "01"));
  ASSERT_TRUE(WaitFor("/up", 3));
  Push(Uplink(1, "01", 10, kNwkSKey, "26099999"));  // nobody's address
  ASSERT_TRUE(WaitForLog("Message received from unknown device")) << ReadFile(logPath);
  EXPECT_TRUE(WaitForLog("VALUE: 32767"));
  Push(Uplink(2, "01", 10, "00000000000000000000000000000000"));  // forged MIC
  ASSERT_TRUE(WaitForLog("|DROP-PKT|"));
  Push(Uplink(0, "01"));  // older than the last: read as a roll-over, too far ahead
  Push(Uplink(1 + 16385, "01"));
  ASSERT_TRUE(WaitForLog("MAX_FCNT_GAP exceeded diff: 16385"));
  EXPECT_TRUE(WaitForLog("MAX_FCNT_GAP exceeded diff: 65535"));
  Pause(300);
  EXPECT_EQ(On("/up").size(), 3u) << "a refused uplink was published";
  Push(Uplink(1 + 16384, "02"));  // exactly the largest gap allowed
  ASSERT_TRUE(WaitFor("/up", 6));
  EXPECT_EQ(ParseJson(On("/up")[3].payload)["seqn"].asUInt(), 16385u);

  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  EXPECT_EQ(Query(config["db"].asString(), "SELECT mic_fails FROM network_statistics"),
            std::vector<std::string>{"1"});
}

TEST_F(DeviceUplinks, DownlinksFromBothTransportsAreQueuedUntilTheQueueIsFull) {
  const std::string down = "lora/" + kDevEui + "/down";
  probe.Publish(down, R"({"data":"AQID","port":5})");
  ASSERT_TRUE(WaitFor("/down_queued", 1)) << ReadFile(logPath);
  const Json::Value queued = ParseJson(On("/down_queued")[0].payload);
  EXPECT_GT(queued["id"].asInt(), 0) << On("/down_queued")[0].payload;

  // The UDP down port takes the same message text after the topic and a blank.
  const std::string datagram = down + R"( {"data":"BAU=","port":6})";
  forwarder.send(appDown, std::vector<uint8_t>(datagram.begin(), datagram.end()));
  ASSERT_TRUE(WaitFor("/down_queued", 2)) << ReadFile(logPath);

  probe.Publish(down, R"({"data":"Bg==","port":7})");  // the queue holds two
  ASSERT_TRUE(WaitFor("/down_dropped", 1));
  ASSERT_TRUE(WaitFor("/queue_full", 1));
  probe.Publish(down, R"({"data":"Bg==","port":7)");
  probe.Publish(down, R"({"data":"!!!","port":7})");
  ASSERT_TRUE(WaitFor("/down_dropped", 3));
  EXPECT_TRUE(WaitForLog("Dropping downstream message"));

  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  EXPECT_EQ(Query(config["db"].asString(), "SELECT port FROM downlink_queue ORDER BY id"),
            (std::vector<std::string>{"5", "6"}));
}

// The broker goes away for a while as uplinks keep arriving; when it is back every "up" reaches
// the application, in order.
TEST_F(DeviceUplinks, BrokerRestartLosesAndReordersNothing) {
  Push(Uplink(1, "00"));
  ASSERT_TRUE(WaitFor("/" + kDevEui + "/up", 1));
  broker.Stop();
  for (unsigned fcnt = 2; fcnt <= 11; ++fcnt) {
    Push(Uplink(fcnt, "00"));
    Pause(100);
  }
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(WaitFor("lora/" + kDevEui + "/up", 11, 30000)) << On("lora/" + kDevEui + "/up").size();
  std::vector<unsigned> seqns;
  for (const auto& m : On("lora/" + kDevEui + "/up")) seqns.push_back(ParseJson(m.payload)["seqn"].asUInt());
  // QoS 1 allows a repeat; nothing may be missing or come before its predecessor.
  std::vector<unsigned> firstSeen;
  for (unsigned s : seqns) {
    if (firstSeen.empty() || s > firstSeen.back()) firstSeen.push_back(s);
  }
  EXPECT_EQ(firstSeen, (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

}  // namespace
