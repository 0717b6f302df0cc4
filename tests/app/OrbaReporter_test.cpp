// Management reports as the agent on loopback receives them.
#include "app/OrbaReporter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "Settings.h"
#include "app/AppEvents.h"
#include "devices/NetworkStatistics.h"
#include "gateway/Gateway.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "TestSupport.h"

namespace {

class OrbaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(agent.open(0, false));
    config["network"]["orbaEnabled"] = true;
    config["network"]["orbaNetworkStats"] = true;
    config["network"]["orbaGatewayStats"] = true;
    config["network"]["orbaPacketMetadata"] = true;
    settings.gatewaySerial = "SERIAL-1";
    settings.localCardEui = 0x0011223344556677ull;
    links = {&config, &settings, &statistics, agent.localPort()};
  }
  // The next report, or null when none comes within 100 ms.
  Json::Value Next() {
    char buffer[4096];
    sockaddr_in from{};
    const ssize_t n = agent.receive(from, reinterpret_cast<uint8_t*>(buffer), sizeof buffer);
    return n > 0 ? testsupport::ParseJson(std::string(buffer, static_cast<size_t>(n)))
                 : Json::Value();
  }
  Json::Value Attributes() { return Next()["request"]["data"]["attributes"]; }

  UdpSocket agent;
  Json::Value config;
  Settings settings;
  NetworkStatistics statistics;
  OrbaLinks links;
};

TEST_F(OrbaTest, NetworkStatisticsCarryChangesSinceTheLastReport) {
  OrbaReporter reporter(links);
  for (int i = 0; i < 3; ++i) statistics.increment(NetworkStatistics::Counter::rx_pkts);
  reporter.NetworkStatistics();
  Json::Value first = Next();
  EXPECT_EQ(first["path"].asString(), "m1/gateways/00-11-22-33-44-55-66-77/network_statistics");
  EXPECT_FALSE(first.isMember("method"));
  EXPECT_EQ(first["request"]["id"].asString(), "00-11-22-33-44-55-66-77");
  const Json::Value& attributes = first["request"]["data"]["attributes"];
  EXPECT_EQ(first["request"]["data"]["type"].asString(), "network_statistics");
  EXPECT_EQ(attributes["pkt_up"].asUInt(), 3u);
  EXPECT_EQ(attributes["trevant_serial"].asString(), "SERIAL-1");
  reporter.NetworkStatistics();
  EXPECT_EQ(Attributes()["pkt_up"].asUInt(), 0u);
  config["network"]["orbaEnabled"] = "true";  // the master switch too takes only a boolean
  reporter.NetworkStatistics();
  EXPECT_TRUE(Next().isNull());
}

TEST_F(OrbaTest, UplinkPacketsLeaveOutThePayloadAndGatewayStatisticsRepeatAsZeros) {
  OrbaReporter reporter(links);
  const std::string before = AppEvents::UtcTimeText();
  // The clock's text has the gateways' fixed width, so comparing texts compares times.
  EXPECT_EQ(before.size(), 27u) << before;
  EXPECT_EQ(before.substr(10, 1) + before.substr(26), "TZ") << before;
  reporter.UplinkPacket(R"({"time":"t","data":"AQ==","ack":false,"adr":true,"fcnt":4,"size":1})",
                        0x0102030405060708ull, 20);
  const std::string after = AppEvents::UtcTimeText();
  const Json::Value up = Attributes();
  EXPECT_TRUE(before <= up["timestamp"].asString() && up["timestamp"].asString() <= after)
      << up["timestamp"];  // the current time, not the gateway's
  EXPECT_FALSE(up.isMember("data") || up.isMember("ack") || up.isMember("adr"));
  EXPECT_EQ(up["size"].asUInt(), 8u);
  EXPECT_EQ(up["fcnt"].asUInt(), 4u);
  config["network"]["orbaPacketMetadata"] = 1;  // only a true boolean switches a kind on
  reporter.UplinkPacket(R"({"data":"AQ=="})", 1, 20);
  EXPECT_TRUE(Next().isNull());

  sockaddr_in address = UdpSocket::LoopbackAddress(1700);
  Gateway gateway(0x0102030405060708ull, 2, address, 0, Gateway::DutyCycleSettings{});
  gateway.count(Gateway::Counter::uplinks);
  gateway.countChannel(3);
  for (unsigned counted : {1u, 0u}) {
    reporter.GatewayStatistics(gateway);
    const Json::Value attributes = Attributes();
    EXPECT_EQ(attributes["uplinks"].asUInt(), counted);
    EXPECT_EQ(attributes["rx_ch_3"].asUInt(), counted);
  }
}

TEST_F(OrbaTest, AGatewayPositionIsReportedUnlessItIsTheOrigin) {
  OrbaReporter reporter(links);
  struct Case {
    double lati, lon, alti;
    bool reported;
  } cases[] = {{45.5, -73.6, 0, true}, {-33.9, 151.2, -5, true}, {0, 0, 120, false},
               {91, 10, 10, false}};
  for (const Case& c : cases) {
    GatewayMemoryList list(nullptr, {}, false);
    const sockaddr_in sender = UdpSocket::LoopbackAddress(1700);
    list.seen(1, 2, &sender, 0);
    for (uint16_t i = 0; i < Gateway::kPositionTarget; ++i) {
      GatewayStatus status;
      status.time = "2026-12-05 19:00:0" + std::to_string(i) + " GMT";
      status.hasLati = status.hasLong = status.hasAlti = true;
      status.lati = c.lati;
      status.lon = c.lon;
      status.alti = c.alti;
      ASSERT_TRUE(list.applyStatus(1, status));
    }
    reporter.GatewayStatistics(*list.find(1));
    EXPECT_EQ(Next()["request"]["data"]["type"].asString(), "gateway_statistics");
    const Json::Value position = Next();
    EXPECT_EQ(!position.isNull(), c.reported) << c.lati << " " << c.lon;
    if (c.reported) {
      EXPECT_EQ(position["method"].asString(), "PUT");
      EXPECT_DOUBLE_EQ(position["request"]["data"]["attributes"]["longitude"].asDouble(), c.lon);
    }
  }
}

// The gateway-information report follows a forwarder's PULL_DATA: its software versions come from
// shells run once when the reporter is made, never from one shell per report.
TEST_F(OrbaTest, InstalledVersionsAreReadOnceAtStart) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("opkg"), "#!/bin/sh\necho run >> '" + dir.file("runs") +
                                               "'\necho 'lora-pkg - 1.2.3'\n");
  ASSERT_EQ(chmod(dir.file("opkg").c_str(), 0755), 0);
  const char* original = getenv("PATH");
  const std::string path = original != nullptr ? original : "/usr/bin:/bin";
  struct RestorePath {
    std::string path;
    ~RestorePath() { setenv("PATH", path.c_str(), 1); }
  } restore{path};
  setenv("PATH", (dir.path() + ":" + path).c_str(), 1);

  OrbaReporter reporter(links);
  EXPECT_EQ(testsupport::ReadFile(dir.file("runs")), "run\n");
  Gateway gateway(0x0102030405060708ull, 2, UdpSocket::LoopbackAddress(1700), 0,
                  Gateway::DutyCycleSettings{});
  for (int i = 0; i < 2; ++i) {
    reporter.GatewayInformation(gateway);
    const Json::Value info = Next();
    EXPECT_EQ(info["method"].asString(), "PUT");
    EXPECT_EQ(info["request"]["data"]["attributes"]["lora-pkg"].asString(), "1.2.3");
  }
  EXPECT_EQ(testsupport::ReadFile(dir.file("runs")), "run\n");
}

}  // namespace
