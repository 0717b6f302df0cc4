// Class A downlinks as the device reads them: the answer to an uplink goes to the gateway as a
// PULL_RESP timed for RX1 or RX2, and lora-packet, not our codec, decrypts and authenticates it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::ExpectMembers;
using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

// One device with a stored session; a test changes the configuration before it calls Start().
class Downlinks : public ::testing::Test {
 protected:
  bool Start() {
    rig.Seed({device});
    return rig.Start();
  }
  NetworkRig rig;
  SeededSession device;
};

TEST_F(Downlinks, QueuedDataGoesInRx1ThenAnAckAndALinkCheckAnswer) {
  ASSERT_TRUE(Start());
  const std::string down = "lora/" + device.devEui + "/down";
  rig.application().Publish(down, R"({"data":"AQID","port":5})");
  rig.application().Publish(down, R"({"data":"BAU=","port":6})");
  ASSERT_TRUE(rig.WaitFor("/down_queued", 2)) << rig.Log();

  rig.Push(e2e::DeviceUplink(device, 1, 10, "00"), R"({"tmst":3000000})");
  const Json::Value txpk = rig.NextTxpk(3000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  // RX1, one second after the uplink.
  ExpectMembers(txpk, R"({"tmst": 4000000, "freq": 868.1, "datr": "SF9BW125"})");
  const Json::Value first = e2e::ReadDownlink(device, txpk);
  ExpectMembers(first, R"({"micOk": true, "type": "Unconfirmed Data Down", "FPort": 5,
                           "payload": "010203"})");
  EXPECT_EQ(std::stoul(first["FCtrl"].asString(), nullptr, 16) & 0x10, 0x10u) << "FPending";
  ASSERT_TRUE(rig.WaitFor("/packet_sent", 1));

  // The next uplink collects the second record, with a higher counter and no FPending.
  rig.Push(e2e::DeviceUplink(device, 2, 10, "00"), R"({"tmst":7000000})");
  const Json::Value second = e2e::ReadDownlink(device, rig.NextTxpk(3000));
  ExpectMembers(second, R"({"micOk": true, "payload": "0405"})");
  EXPECT_GT(second["FCnt"].asInt(), first["FCnt"].asInt());
  EXPECT_EQ(std::stoul(second["FCtrl"].asString(), nullptr, 16) & 0x10, 0u);

  // A confirmed uplink with nothing queued is answered by an ACK alone: no FPort, no payload.
  rig.Push(e2e::DeviceUplink(device, 3, 10, "00", true), R"({"tmst":11000000})");
  const Json::Value ack = e2e::ReadDownlink(device, rig.NextTxpk(3000));
  ExpectMembers(ack, R"({"micOk": true, "FCtrl": "20", "payload": "", "FPort": null})");

  // An unconfirmed uplink with nothing to say gets no downlink at all.
  rig.Push(e2e::DeviceUplink(device, 4, 10, "00"), R"({"tmst":15000000})");
  EXPECT_TRUE(rig.NextTxpk(1500).isNull());

  // A MAC request in the uplink's FOpts is answered in the downlink's FOpts, as lora-packet reads
  // it. The packet forwarder has come back from a new address first: the answer follows it there,
  // without a restart of the server.
  ASSERT_TRUE(rig.MoveForwarder());
  rig.Push(e2e::DeviceUplink(device, 5, 10, "00", false, "", "02"),
           R"({"tmst":19000000,"lsnr":5.0,"datr":"SF7BW125"})");
  const Json::Value answer = e2e::ReadDownlink(device, rig.NextTxpk(3000));
  // LinkCheckAns: CID 02, margin 12 dB (5.0 dB over SF7's -7.5 dB), one gateway.
  ExpectMembers(answer, R"({"micOk": true, "FOpts": "020c01"})");
  ASSERT_TRUE(rig.WaitFor("/mac_recv", 1));
  EXPECT_EQ(ParseJson(rig.On("/mac_recv")[0].payload)["id"].asInt(), 2);

  EXPECT_EQ(rig.Stop(), 0);
  EXPECT_EQ(rig.Query("SELECT COUNT(*) FROM downlink_queue"), std::vector<std::string>{"0"});
  EXPECT_EQ(rig.Query("SELECT COUNT(*) FROM downlink_packets"), std::vector<std::string>{"4"});
}

TEST_F(Downlinks, WithoutRx1TheAnswerGoesInRx2AndAConfirmedDownlinkWaitsForItsAck) {
  rig.config["test"]["disableRxWindow1"] = true;
  ASSERT_TRUE(Start());
  rig.application().Publish("lora/" + device.devEui + "/down", R"({"data":"qg==","port":2,"ack":true})");
  ASSERT_TRUE(rig.WaitFor("/down_queued", 1)) << rig.Log();

  rig.Push(e2e::DeviceUplink(device, 1, 10, "00"), R"({"tmst":3000000})");
  const Json::Value txpk = rig.NextTxpk(4000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  // RX2, two seconds after the uplink.
  ExpectMembers(txpk, R"({"tmst": 5000000, "freq": 869.525, "datr": "SF12BW125"})");
  ExpectMembers(e2e::ReadDownlink(device, txpk),
                R"({"micOk": true, "type": "Confirmed Data Down", "payload": "aa"})");

  // The device's ACK clears the record: "packet_ack", then "cleared", and the row goes.
  rig.Push(e2e::DeviceUplink(device, 2, 10, "00", false, R"({"ACK":true})"), R"({"tmst":9000000})");
  ASSERT_TRUE(rig.WaitFor("/packet_ack", 1)) << rig.Log();
  ASSERT_TRUE(rig.WaitFor("/cleared", 1));
  EXPECT_EQ(rig.Stop(), 0);
  EXPECT_EQ(rig.Query("SELECT COUNT(*) FROM downlink_queue"), std::vector<std::string>{"0"});
}

// Eleven uplinks at SF12 with a 10 dB SNR and the ADR bit: the server asks the device for DR5 at
// 14 dBm, and lora-packet finds the LinkADRReq in the answer's FOpts.
TEST_F(Downlinks, AdaptiveDataRateAsksForTheMedianDatarateAtLowerPower) {
  ASSERT_TRUE(Start());
  Json::Value request;
  for (unsigned fcnt = 1; fcnt <= 11 && request.isNull(); ++fcnt) {
    rig.Push(e2e::DeviceUplink(device, fcnt, 10, "00", false, R"({"ADR":true})"),
             "{\"tmst\":" + std::to_string(fcnt * 3000000) + R"(,"lsnr":10.0,"datr":"SF12BW125"})");
    const Json::Value txpk = rig.NextTxpk(1500);
    if (txpk.isObject()) request = e2e::ReadDownlink(device, txpk);
  }
  ASSERT_TRUE(request.isObject()) << "no LinkADRReq after eleven uplinks\n" << rig.Log();
  EXPECT_TRUE(request["micOk"].asBool()) << request;
  const std::string fopts = request["FOpts"].asString();
  ASSERT_GE(fopts.size(), 4u) << request;
  EXPECT_EQ(fopts.substr(0, 4), "0351") << fopts;  // LinkADRReq, DR5, TXPower index 1 (14 dBm)
}

}  // namespace
