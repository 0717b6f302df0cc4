// An attacker on the air or on the network: captured frames played again, forged MICs, a join
// request repeated, and frames of the downlink direction pushed into the upstream port by a
// third party. Each is refused, shows in the counters and reaches no application.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ForwarderRecords.h"
#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

TEST(Forgeries, ReplaysForgedMicsAndWrongDirectionFramesAreRefusedCountedAndNeverPublished) {
  NetworkRig rig;
  SeededSession device;
  rig.Seed({device});
  ASSERT_TRUE(rig.Start());
  const std::string up = "lora/" + device.devEui + "/up";
  std::vector<std::vector<uint8_t>> heard;  // what an eavesdropper recorded
  for (unsigned fcnt = 1; fcnt <= 3; ++fcnt) {
    heard.push_back(e2e::DeviceUplink(device, fcnt, 10, "0" + std::to_string(fcnt)));
    rig.Push(heard.back());
  }
  ASSERT_TRUE(rig.WaitFor(up, 3)) << rig.Log();

  // Played again: an older frame, then the last one; a new counter with a forged MIC.
  rig.Push(heard[1]);
  rig.Push(heard[2]);
  std::vector<uint8_t> forged = e2e::DeviceUplink(device, 4, 10, "04");
  forged.back() ^= 0x01;
  rig.Push(forged);

  // A third party on another address sends what only a network server sends: a data downlink
  // the device's keys authenticate, and a join accept.
  e2e::UdpPeer intruder;
  const auto upstream = static_cast<uint16_t>(rig.config["udp"]["upstreamPort"].asUInt());
  const std::vector<uint8_t> downlink = e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Down","DevAddr":"26011234","FCnt":4,"FPort":1,)"
      R"("payloadHex":"aa"},"keys":{"AppSKey":")" + device.appSKey + R"(","NwkSKey":")" +
      device.nwkSKey + R"("}})");
  const std::vector<uint8_t> joinAccept = {0x20, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  for (const auto& frame : {downlink, joinAccept}) {
    intruder.send(upstream, testsupport::ForwarderDatagram(
                                2, 9, 0, NetworkRig::kGatewayEui,
                                testsupport::PushDataJson({testsupport::RxpkRecord(frame)})));
  }

  // Joins: accepted once; the same request again, and one with a forged MIC, get nothing.
  rig.Push(e2e::JoinRequest("0a0b"), R"({"tmst":1000000})");
  ASSERT_TRUE(rig.NextTxpk(8000).isObject()) << rig.Log();
  rig.Push(e2e::JoinRequest("0a0b"), R"({"tmst":9000000})");
  std::vector<uint8_t> forgedJoin = e2e::JoinRequest("0c0d");
  forgedJoin.back() ^= 0x80;
  rig.Push(forgedJoin, R"({"tmst":10000000})");
  EXPECT_TRUE(rig.NextTxpk(6500).isNull()) << "a repeated or forged join was answered";
  EXPECT_EQ(rig.Count("Tossing join request with duplicate nonce"), 1u);

  // The device is untouched: its next confirmed uplink is published and its ACK goes to the
  // real forwarder, never to the intruder.
  rig.Push(e2e::DeviceUplink(device, 5, 10, "05", true), R"({"tmst":20000000})");
  const Json::Value ack = rig.NextTxpk(4000);
  ASSERT_TRUE(ack.isObject()) << rig.Log();
  EXPECT_EQ(e2e::ReadDownlink(device, ack)["FCtrl"].asString().substr(0, 2), "20");  // ACK bit
  std::vector<uint8_t> datagram;
  while (intruder.receive(datagram, 200)) EXPECT_NE(datagram[3], 3) << "PULL_RESP to the intruder";

  ASSERT_TRUE(rig.WaitFor(up, 4));
  std::vector<unsigned> published;
  for (const auto& m : rig.On(up)) published.push_back(ParseJson(m.payload)["seqn"].asUInt());
  EXPECT_EQ(published, (std::vector<unsigned>{1, 2, 3, 5}));
  EXPECT_EQ(rig.On("/joined").size(), 1u);

  const Json::Value stats = ParseJson(rig.Command("stats", 2000));
  e2e::ExpectMembers(stats, R"({"rx_mic_fails": 1, "rx_join_dups": 1, "rx_joins_ok": 1,
                                 "rx_joins_nok_mic": 1})");
  const Json::Value gateway = ParseJson(rig.Command("gateway json", 2000))[0];
  // Refused by MIC: the older frame and the forgery. Heard: the device's 5 new counters (one
  // forged), 2 replays, 2 wrong-way frames, 3 joins; accepted: the 4 genuine frames and the repeat
  // of the last, which is never published again.
  e2e::ExpectMembers(gateway, R"({"mic_fails": 1, "uplinks_nok_mic": 2, "uplinks": 12,
                                   "uplinks_ok": 5})");
  EXPECT_EQ(rig.Stop(), 0);
}

}  // namespace
