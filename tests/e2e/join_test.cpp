// Over-the-air activation as a device sees it: the join request and the first uplink built by
// lora-packet, the join accept read back by lora-packet from the PULL_RESP the gateway gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::FromBase64;
using e2e::Hex;
using e2e::NetworkRig;
using e2e::ParseJson;

namespace {

const std::string kJoinNetworkKey = "000102030405060708090a0b0c0d0e0f";

// lora-packet's reading of the join accept in the txpk, for the request with the nonce.
Json::Value Accept(const Json::Value& txpk, const std::string& nonce) {
  return e2e::ReadJoinAccept(Hex(FromBase64(txpk["data"].asString())), kJoinNetworkKey, nonce);
}

TEST(OverTheAir, JoinAcceptInRx1OpensASessionTheFirstUplinkUses) {
  NetworkRig rig;
  ASSERT_TRUE(rig.Start());
  rig.Push(e2e::JoinRequest("0a0b"), R"({"tmst":1000000})");
  const Json::Value txpk = rig.NextTxpk(8000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  e2e::ExpectMembers(txpk, R"({"tmst": 6000000, "size": 33})");  // EU868 sends its CFList
  const Json::Value opened = Accept(txpk, "0a0b");
  e2e::ExpectMembers(opened, R"({"micOk": true, "NetID": "000013"})");
  const std::string devAddr = opened["DevAddr"].asString();
  ASSERT_EQ(devAddr.size(), 8u);
  EXPECT_EQ(std::stoul(devAddr, nullptr, 16) >> 25, 0x13u) << devAddr;
  ASSERT_TRUE(rig.WaitFor("/joined", 1));
  EXPECT_EQ(rig.On("/joined")[0].payload, R"({"remote_js":false})");

  // The keys lora-packet derived authenticate the first uplink.
  const std::vector<uint8_t> uplink = e2e::LoraPacket(
      R"({"fields":{"MType":"Unconfirmed Data Up","DevAddr":")" + devAddr +
      R"(","FCnt":1,"FPort":3,"payloadHex":"cafe"},"keys":{"AppSKey":")" +
      opened["AppSKey"].asString() + R"(","NwkSKey":")" + opened["NwkSKey"].asString() + R"("}})");
  rig.Push(uplink, R"({"tmst":9000000})");
  ASSERT_TRUE(rig.WaitFor("/3/up", 1)) << rig.Log();
  EXPECT_EQ(ParseJson(rig.On("/3/up")[0].payload)["data"].asString(), "yv4=");
  // A repeated nonce is the forgery test's and the join handler's.
}

// Without the first join window the accept goes one second later in RX2; a re-join keeps the
// address the database holds.
TEST(OverTheAir, WithoutTheFirstWindowTheAcceptGoesInRx2AndARejoinKeepsTheAddress) {
  NetworkRig rig;
  rig.config["test"]["disableRxJoin1"] = true;
  ASSERT_TRUE(rig.Start());
  auto join = [&](const std::string& nonce, unsigned tmst) {
    rig.Push(e2e::JoinRequest(nonce), "{\"tmst\":" + std::to_string(tmst) + "}");
    const Json::Value txpk = rig.NextTxpk(9000);
    EXPECT_EQ(txpk["tmst"].asUInt(), tmst + 6000000u) << rig.Log();
    return Accept(txpk, nonce);
  };
  const Json::Value first = join("0001", 1000000);
  EXPECT_TRUE(first["micOk"].asBool()) << first;
  const Json::Value again = join("0002", 20000000);
  EXPECT_TRUE(again["micOk"].asBool()) << again;
  EXPECT_EQ(again["DevAddr"], first["DevAddr"]);
  EXPECT_NE(again["NwkSKey"], first["NwkSKey"]);
}

}  // namespace
