// What the management agent on the loopback report port receives from the real binary.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

// Every report that arrived within the time, keyed by its "type" (the last one of each kind).
std::map<std::string, Json::Value> Reports(const e2e::UdpPeer& agent, int timeoutMs) {
  std::map<std::string, Json::Value> out;
  std::vector<uint8_t> datagram;
  while (agent.receive(datagram, timeoutMs)) {
    const Json::Value report = ParseJson(std::string(datagram.begin(), datagram.end()));
    out[report["request"]["data"]["type"].asString() + (report.isMember("method") ? "/PUT" : "")] = report;
  }
  return out;
}

TEST(Reports, EachKindReachesTheAgentWhenItsSwitchesAreOn) {
  e2e::UdpPeer agent;
  NetworkRig rig;
  rig.config["udp"]["orbaPort"] = agent.port();
  for (const char* key : {"orbaEnabled", "orbaGatewayStats", "orbaPacketMetadata", "orbaNetworkStats",
                          "orbaLocalJoinMetadata"}) {
    rig.config["network"][key] = true;
  }
  SeededSession device;
  rig.Seed({device});
  ASSERT_TRUE(rig.Start());
  rig.application().Publish("lora/" + device.devEui + "/down", R"({"data":"AQ==","port":1})");
  ASSERT_TRUE(rig.WaitFor("/down_queued", 1));
  rig.Push(e2e::DeviceUplink(device, 1, 10, "00"), R"({"tmst":3000000})");
  ASSERT_TRUE(rig.NextTxpk(3000).isObject()) << rig.Log();
  // Fifteen status records bring a gateway statistics report.
  for (int i = 0; i < 15; ++i) {
    const std::string stat = R"({"stat":{"time":"2026-12-07 00:00:)" + std::to_string(10 + i) +
                             R"( GMT","rxnb":1,"rxok":1,"rxfw":1,"dwnb":0,"txnb":0,"ackr":100}})";
    rig.PushText(stat);
  }
  rig.Push(e2e::JoinRequest("0a0b"), R"({"tmst":30000000})");
  const auto reports = Reports(agent, 1500);
  for (const char* kind : {"gateways/PUT", "uplink_packets", "downlink_packets", "gateway_statistics",
                           "join_requests"}) {
    SCOPED_TRACE(kind);
    ASSERT_EQ(reports.count(kind), 1u) << rig.Log();
    const Json::Value& report = reports.at(kind);
    EXPECT_EQ(report["request"]["id"].asString(), "01-02-03-04-05-06-07-08");
    EXPECT_EQ(report["path"].asString().rfind("m1/gateways/01-02-03-04-05-06-07-08", 0), 0u);
    EXPECT_EQ(report["request"]["data"]["attributes"]["trevant_serial"].asString(), "TEST-SERIAL");
  }
  EXPECT_EQ(reports.at("uplink_packets")["path"].asString(),
            "m1/gateways/01-02-03-04-05-06-07-08/uplink_packets");
  // What else each report holds is the reporter's unit test.
  EXPECT_EQ(reports.at("gateway_statistics")["request"]["data"]["attributes"]["rx_count"].asUInt(), 15u);
  const Json::Value& join = reports.at("join_requests")["request"]["data"]["attributes"];
  e2e::ExpectMembers(join, R"({"dev_eui": "00-80-00-00-00-00-00-01",
                              "response_msg": {"Result": {"ResultCode": "Success"}}})");
  EXPECT_EQ(reports.at("gateways/PUT")["request"]["data"]["attributes"]["ip_address"].asString(),
            "127.0.0.1");
}

}  // namespace
