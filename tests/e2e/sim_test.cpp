// vallorin-sim: its device-side frames against lora-packet, and a short run against the real
// server and broker.
#include <gtest/gtest.h>

#include <sstream>

#include "NetworkRig.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "sim/SimFrames.h"

namespace e2e {
namespace {

Lora::CypherKey Key(const std::string& hex) {
  uint8_t bytes[16];
  HexToBytes(hex.c_str(), bytes, 16, false);
  return Lora::CypherKey(bytes);
}

const std::string kNwk = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kApp = "000102030405060708090a0b0c0d0e0f";

TEST(SimFrames, AgreeWithLoraPacket) {
  {
    SCOPED_TRACE("confirmed uplink with FOpts, the ACK and the class B bit, byte for byte");
    // DevAddr, FCnt, confirmed, ACK, ADR, FPort, FOpts, payload, class B (lora-packet's name for
    // that bit is the downlink one, FPending).
    const Sim::Uplink up{0x26011234, 0x2a, true, true, false, 7, {0x02},
                         {0xde, 0xad, 0xbe, 0xef, 0x01}, true};
    EXPECT_EQ(Hex(Sim::BuildUplink(up, Key(kNwk), Key(kApp))),
              Hex(LoraPacket(R"({"fields":{"MType":"Confirmed Data Up","DevAddr":"26011234",)"
                             R"("FCnt":42,"FCtrl":{"ACK":true,"FPending":true},"FOpts":"02","FPort":7,)"
                             R"("payloadHex":"deadbeef01"},"keys":{"AppSKey":")" + kApp +
                             R"(","NwkSKey":")" + kNwk + R"("}})")));
  }
  {
    SCOPED_TRACE("uplink past 16 bits of FCnt: the MIC covers the full counter");
    const Sim::Uplink up{0x26011234, 0x10005, false, false, false, 1, {}, {0x11, 0x22}};
    const Json::Value read = LoraDevice(R"({"mode":"down","phy":")" +
                                        Hex(Sim::BuildUplink(up, Key(kNwk), Key(kApp))) +
                                        R"(","AppSKey":")" + kApp + R"(","NwkSKey":")" + kNwk +
                                        R"(","fcntMsb":"0100"})");  // block order: LE
    ExpectMembers(read, R"({"micOk": true, "FCnt": 5, "payload": "1122"})");
  }
  {
    SCOPED_TRACE("join request");
    EXPECT_EQ(
        Hex(Sim::BuildJoinRequest(0x70b3d57ed0000001ull, 0x0080000000b10003ull, 0x0a0b, Key(kNwk))),
        Hex(JoinRequest("0a0b", "0080000000b10003", "70b3d57ed0000001", kNwk)));
  }
  {
    SCOPED_TRACE("confirmed downlink read, and refused with one byte changed");
    Sim::Bytes phy = LoraPacket(
        R"({"fields":{"MType":"Confirmed Data Down","DevAddr":"26011234","FCnt":9,)"
        R"("FCtrl":{"ACK":true},"FPort":2,"payloadHex":"a1b2c3"},"keys":{"AppSKey":")" + kApp +
        R"(","NwkSKey":")" + kNwk + R"("}})");
    const Sim::Downlink down = Sim::ReadDownlink(phy, Key(kNwk), Key(kApp));
    EXPECT_TRUE(down.valid) << down.fault;
    EXPECT_TRUE(down.confirmed);
    EXPECT_TRUE(down.ack);
    EXPECT_EQ(down.fcnt, 9);
    EXPECT_EQ(down.port, 2);
    EXPECT_EQ(Hex(down.payload), "a1b2c3");
    phy[phy.size() - 6] ^= 0x01;
    EXPECT_EQ(Sim::ReadDownlink(phy, Key(kNwk), Key(kApp)).fault, "MIC mismatch");
  }
  {
    SCOPED_TRACE("class B ping offsets, in a 128 s and an 8 s beacon period");
    for (const uint32_t beaconTime : {0u, 1796834123u, 0xFFFFFFF0u}) {
      for (const uint32_t period : {4096u, 96u}) {
        const Json::Value slot = LoraDevice(R"({"mode":"pingslot","beaconTime":)" +
                                            std::to_string(beaconTime) +
                                            R"(,"DevAddr":"26011234","period":)" +
                                            std::to_string(period) + "}");
        EXPECT_EQ(Sim::PingOffset(beaconTime, 0x26011234, period), slot["offset"].asUInt())
            << beaconTime << " " << period;
      }
    }
    EXPECT_EQ(Sim::PingSlots(128), 4096u);
  }
  {
    SCOPED_TRACE("join accept: address and session keys as lora-packet derives them");
    const Sim::Bytes phy = LoraPacket(
        R"({"fields":{"MType":"Join Accept","AppNonce":"a1a2a3","NetID":"000013",)"
        R"("DevAddr":"26012345","DLSettings":0,"RxDelay":1},"keys":{"AppKey":")" + kNwk + R"("}})");
    const Json::Value device = ReadJoinAccept(Hex(phy), kNwk, "0a0b");
    const Sim::JoinAccept ja = Sim::ReadJoinAccept(phy, Key(kNwk), 0x0a0b);
    ASSERT_TRUE(ja.valid) << ja.fault;
    EXPECT_EQ(ja.devAddr, 0x26012345u);
    EXPECT_EQ(ja.netId, 0x13u);
    EXPECT_EQ(ja.nwkSKey.text(), device["NwkSKey"].asString());
    EXPECT_EQ(ja.appSKey.text(), device["AppSKey"].asString());
  }
}

// The simulator's report line on standard output.
Json::Value RunSim(NetworkRig& rig, const std::vector<std::string>& scenario) {
  const Json::Value& c = rig.config;
  std::vector<std::string> args = {
      "--load",
      "--upstream-port", c["udp"]["upstreamPort"].asString(),
      "--downstream-port", c["udp"]["downstreamPort"].asString(),
      "--command-port", c["udp"]["commandPort"].asString(),
      "--mqtt-port", std::to_string(rig.broker().port()),
      "--network-key", c["network"]["key"].asString(), "--join-eui", c["network"]["eui"].asString(),
      "--net-id", c["lora"]["netID"].asString(), "--join-delay", "1"};
  args.insert(args.end(), scenario.begin(), scenario.end());
  testsupport::TempDir dir;
  const ExitResult run = RunBinary(args, dir.path(), 60000, VALLORIN_SIM);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  return ParseJson(run.out);
}

// What the server decided about each downlink, to tell a lost one's cause.
std::string SchedulingLines(const std::string& log) {
  std::istringstream lines(log);
  std::string out;
  for (std::string line; std::getline(lines, line);) {
    for (const char* mark : {"SCHED-", "PKT-DROP", "tossing", "Join Request", "TransmitQueue b"}) {
      if (line.find(mark) != std::string::npos) {
        out += line + "\n";
        break;
      }
    }
  }
  return out;
}

TEST(SimRun, EveryUplinkPublishedAndEveryDownlinkDecrypts) {
  NetworkRig rig;
  rig.config["lora"]["joinDelay"] = 1;
  // Devices of their own keys: two listed in the whitelist, the rest derived from the base key.
  const char* const kDeviceKey = "2b7e151628aed2a6abf7158809cf4f3c";
  const char* const kBaseKey = "000102030405060708090A0B0C0D0E0F";
  rig.config["whitelist"]["enabled"] = true;
  for (const char* eui : {"00-80-00-00-00-c3-00-00", "00-80-00-00-00-c3-00-01"}) {
    Json::Value entry;
    entry["deveui"] = eui;
    entry["appkey"] = kDeviceKey;
    rig.config["whitelist"]["devices"].append(entry);
  }
  rig.config["network"]["baseKey"] = kBaseKey;
  rig.config["network"]["salt"] = "line 7";
  ASSERT_TRUE(rig.Start());
  {
    SCOPED_TRACE("personalised devices, two gateways hearing each uplink, confirmed and queued");
    const Json::Value r = RunSim(rig, {"--abp", "--devices", "20", "--gateways", "2", "--hear", "2",
                                       "--rate", "20", "--duration", "2", "--confirmed", "50",
                                       "--downlinks", "50", "--udp-app", "--app-port-up",
                                       rig.config["udp"]["appPortUp"].asString()});
    EXPECT_GT(r["uplinks_sent"].asUInt(), 0u);
    EXPECT_EQ(r["lost"].asUInt(), 0u) << r;
    // The UDP application hears each uplink once on the device's topic, every event closed by its
    // line end, whichever of the two gateways the server kept.
    EXPECT_EQ(r["udp_app"]["up"].asUInt(), r["uplinks_published"].asUInt()) << r;
    EXPECT_EQ(r["udp_app"]["line_ends"].asUInt(), r["udp_app"]["events"].asUInt()) << r;
    EXPECT_EQ(r["downlinks"]["bad"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["rf_errors"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["fcnt_errors"].asUInt(), 0u) << r;
    // Not asserted here: the answers lie close together, and on a loaded machine the time from
    // an uplink's tmst to its handling by the server can vary by more than the padding between
    // two answers. The load runs count them on a quiet machine.
    EXPECT_GT(r["downlinks"]["data"].asUInt(), 0u) << r;
    EXPECT_GT(r["downlinks"]["acks"].asUInt(), 0u) << r;
    // The server's threads are told apart by name, numbered siblings counted together.
    const Json::Value& threads = r["server"]["threads_us_per_uplink"];
    for (const char* name : {"pkt-worker", "publisher", "mqtt-net", "downstream", "commands"}) {
      EXPECT_TRUE(threads.isMember(name)) << name << " in " << threads;
    }
    EXPECT_FALSE(threads.isMember("pkt-worker-0")) << threads;
  }
  {
    SCOPED_TRACE("class C devices whose counters roll over 16 bits");
    // The uplinks are matched by the whole counter the server reports, so one it worked out
    // wrong after 65535 counts as lost. A gateway of its own, as below.
    const Json::Value r = RunSim(rig, {"--abp", "--class", "C", "--devices", "2", "--dev-eui",
                                       "0080000000c20000", "--dev-addr", "00200000",
                                       "--gateway-eui", "0080000000a30000", "--fcnt-start",
                                       "65535", "--rate", "2", "--duration", "5", "--downlinks",
                                       "100"});
    // A device sends again only after its receive windows: one uplink in 2 s each.
    EXPECT_GE(r["uplinks_sent"].asUInt(), 4u) << r;
    EXPECT_EQ(r["lost"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
    EXPECT_GT(r["downlinks"]["class_c"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
    EXPECT_EQ(r["downlinks"]["late"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
    EXPECT_EQ(r["downlinks"]["bad"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["rf_errors"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["fcnt_errors"].asUInt(), 0u) << r;
  }
  for (const std::vector<std::string>& keys :
       {std::vector<std::string>{"--app-key", kDeviceKey, "--dev-eui", "0080000000c30000"},
        std::vector<std::string>{"--zero-touch", "--base-key", kBaseKey, "--salt", "line 7",
                                 "--dev-eui", "0080000000c40000"}}) {
    SCOPED_TRACE("devices that join with a key of their own: " + keys[0]);
    // The simulator is given a wrong network key: only the device's own key can join it.
    std::vector<std::string> scenario = {"--devices", "2", "--gateway-eui", "0080000000a40000",
                                         "--join-rate", "4", "--rate", "2", "--duration", "2",
                                         "--network-key", "ffffffffffffffffffffffffffffffff"};
    scenario.insert(scenario.end(), keys.begin(), keys.end());
    const Json::Value r = RunSim(rig, scenario);
    EXPECT_EQ(r["joins"]["devices_joined"].asUInt(), 2u) << r << SchedulingLines(rig.Log());
    EXPECT_EQ(r["lost"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["bad"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["rf_errors"].asUInt(), 0u) << r;
  }
  {
    SCOPED_TRACE("devices that join, then send");
    // A gateway of its own: the first phase's RX2 answers hold its gateways' air for over a
    // second after that phase ends. Accepts 250 ms apart each fit RX1 (121 ms on air plus the
    // padding), so none waits on another's RX2 and none is dropped without a retry in this run.
    const Json::Value r = RunSim(rig, {"--devices", "3", "--dev-eui", "0080000000c10000",
                                       "--gateway-eui", "0080000000a20000", "--join-rate", "4",
                                       "--rate", "3", "--duration", "2"});
    EXPECT_EQ(r["joins"]["devices_joined"].asUInt(), 3u) << r << SchedulingLines(rig.Log());
    EXPECT_EQ(r["downlinks"]["bad"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["rf_errors"].asUInt(), 0u) << r;
    EXPECT_EQ(r["downlinks"]["collisions"].asUInt(), 0u) << "a gateway sends one frame at a time" << r;
    EXPECT_EQ(r["lost"].asUInt(), 0u) << r;
  }
}

TEST(SimRun, ClassBDevicesTakeTheirDownlinksOnThePingSlotsTheBeaconGivesThem) {
  NetworkRig rig;
  rig.config["lora"]["beaconInterval"] = 8;
  ASSERT_TRUE(rig.Start());
  // Each device speaks every 10 s, longer than a beacon period: a downlink queued after one
  // uplink's answer has a ping slot before the next uplink could carry it.
  const Json::Value r = RunSim(rig, {"--abp", "--class", "B", "--beacon-interval", "8", "--devices",
                                     "2", "--interval", "10", "--duration", "24", "--downlinks",
                                     "100"});
  EXPECT_GT(r["downlinks"]["beacons"].asUInt(), 0u) << r;
  EXPECT_GT(r["downlinks"]["class_b"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
  EXPECT_EQ(r["downlinks"]["off_slot"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
  EXPECT_EQ(r["downlinks"]["late"].asUInt(), 0u) << r << SchedulingLines(rig.Log());
  EXPECT_EQ(r["lost"].asUInt(), 0u) << r;
  EXPECT_EQ(r["downlinks"]["bad"].asUInt(), 0u) << r;
  EXPECT_EQ(r["downlinks"]["rf_errors"].asUInt(), 0u) << r;
}

}  // namespace
}  // namespace e2e
