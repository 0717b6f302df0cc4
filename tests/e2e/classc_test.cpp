// Class B and class C devices as they see the network: the real binary, a real mosquitto broker
// on loopback, uplinks built and downlinks read by lora-packet. A downlink queued over MQTT for a
// class C device reaches the gateway for immediate transmission on RX2 without waiting for an
// uplink; a confirmed one is sent again until it is acknowledged or its attempts run out. A class
// B device's downlink is timed on its ping slot after the beacon, as the device computes it.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::ExpectMembers;
using e2e::ParseJson;

namespace {

int64_t ClockMs(clockid_t id) {
  timespec now{};
  clock_gettime(id, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The beacon clock of the server: TAI, in ms.
int64_t TaiMs() { return ClockMs(CLOCK_TAI); }

class ClassCDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.config["lora"]["classCAckTimeout"] = 1500;
    if (beaconSeconds > 0) rig.config["lora"]["beaconInterval"] = beaconSeconds;
    device.deviceClass = seededClass;
    rig.Seed({device});
    ASSERT_TRUE(rig.Start());
    // The way back to the device is known only once a gateway has heard it.
    Push(Uplink(1, false, seededClass == "A"));
    ASSERT_TRUE(rig.WaitFor("/10/up", 1)) << rig.Log();
  }

  // An uplink of the device built by lora-packet; `ack` sets FCtrl ACK, `classB` the class B bit
  // (lora-packet's name for it is the downlink one, FPending).
  std::vector<uint8_t> Uplink(unsigned fcnt, bool ack = false, bool classB = false) const {
    return e2e::DeviceUplink(device, fcnt, 10, "01", false,
                             std::string(R"({"ACK":)") + (ack ? "true" : "false") +
                                 R"(,"FPending":)" + (classB ? "true" : "false") + "}");
  }
  void Push(const std::vector<uint8_t>& frame, uint32_t tmst = 1000000) {
    rig.Push(frame, R"({"tmst":)" + std::to_string(tmst) + "}");
  }
  void Queue(const std::string& json) {
    rig.application().Publish("lora/" + device.devEui + "/down", json);
  }
  Json::Value Read(const Json::Value& txpk) const { return e2e::ReadDownlink(device, txpk); }

  std::string seededClass = "C";
  int beaconSeconds = 0;  // 0: no beacon
  e2e::SeededSession device;
  e2e::NetworkRig rig;
};

TEST_F(ClassCDevice, DownlinksGoAtOnceOnRx2AndConfirmedOnesUntilAckedOrOutOfAttempts) {
  Queue(R"({"data":"AQID","port":5})");
  const Json::Value immediate = rig.NextTxpk(3000);
  ASSERT_TRUE(immediate.isObject()) << rig.Log();
  ExpectMembers(immediate, R"({"imme": true, "tmst": null, "datr": "SF12BW125", "freq": 869.525})");
  ExpectMembers(Read(immediate), R"({"micOk": true, "type": "Unconfirmed Data Down",
                                "DevAddr": "26011234", "FPort": 5, "payload": "010203"})");

  // A confirmed one is sent until its attempts run out or an ACK stops it.
  Queue(R"({"data":"BAU=","port":6,"ack":true,"ack_retries":2})");
  int previousFCnt = -1;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const Json::Value txpk = rig.NextTxpk(4000);
    ASSERT_TRUE(txpk.isObject()) << rig.Log();
    EXPECT_TRUE(txpk["imme"].asBool());
    const Json::Value read = Read(txpk);
    ExpectMembers(read, R"({"micOk": true, "type": "Confirmed Data Down", "payload": "0405"})");
    EXPECT_NE(previousFCnt, read["FCnt"].asInt()) << "every transmission has its own counter";
    previousFCnt = read["FCnt"].asInt();
  }
  ASSERT_TRUE(rig.WaitFor("/packet_drop", 1, 4000)) << rig.Log();
  EXPECT_EQ(102, ParseJson(rig.On("/packet_drop")[0].payload)["code"].asInt());
  EXPECT_TRUE(rig.NextTxpk(2000).isNull()) << "no third attempt";

  // Built beforehand, the acknowledgement reaches the server well before a retry would be due.
  const std::vector<uint8_t> acknowledging = Uplink(2, true);
  Queue(R"({"data":"Bw==","port":7,"ack":true})");
  ASSERT_TRUE(rig.NextTxpk(3000).isObject()) << rig.Log();
  Push(acknowledging);
  ASSERT_TRUE(rig.WaitFor("/packet_ack", 1)) << rig.Log();
  EXPECT_TRUE(rig.NextTxpk(2500).isNull()) << "acknowledged, it is not sent again";
}

// A device whose uplinks carry the class B bit, with a beacon every 8 s: 96 ping slots of 30 ms
// after the first 2120 ms of each period.
class ClassBDevice : public ClassCDevice {
 protected:
  void SetUp() override {
    seededClass = "A";
    beaconSeconds = 8;
    ClassCDevice::SetUp();
  }
  // A beacon heard: its Time field and when it arrived on the beacon clock.
  struct Heard {
    uint32_t time;
    int64_t atMs;
  };
  // PULL_RESP datagrams until a downlink that is not a beacon; the beacons on the way are kept.
  Json::Value NextDownlink(int timeoutMs) {
    std::vector<uint8_t> datagram;
    const int64_t until = TaiMs() + timeoutMs;
    while (TaiMs() < until && rig.NextPullResp(datagram, static_cast<int>(until - TaiMs()))) {
      // The kernel's arrival time, moved to TAI: the test may be slow to get to the datagram.
      const int64_t taiAheadMs = TaiMs() - ClockMs(CLOCK_REALTIME);
      const int64_t atMs = rig.PullRespArrivalRealtimeNs() / 1000000 + taiAheadMs;
      const Json::Value txpk = ParseJson(std::string(datagram.begin() + 4, datagram.end()))["txpk"];
      if (datagram[1] != 0xFF || datagram[2] != 0xFF) return txpk;
      const std::vector<uint8_t> beacon = e2e::FromBase64(txpk["data"].asString());
      if (beacon.size() < 7) continue;
      beacons.push_back({static_cast<uint32_t>(beacon[3] | beacon[4] << 8 | beacon[5] << 16 |
                                               static_cast<uint32_t>(beacon[6]) << 24),
                         atMs});
    }
    return Json::Value();
  }
  uint32_t PingOffset(uint32_t beaconTime) {
    const Json::Value slot =
        e2e::LoraDevice(R"({"mode":"pingslot","beaconTime":)" + std::to_string(beaconTime) +
                        R"(,"DevAddr":"26011234","period":96})");
    return slot["offset"].asUInt();
  }
  std::vector<Heard> beacons;
};

TEST_F(ClassBDevice, TheDownlinkIsTimedOnThePingSlotTheDeviceComputesFromTheBeacon) {
  ASSERT_TRUE(rig.WaitFor("/class", 1));
  EXPECT_EQ(ParseJson(rig.On("/class")[0].payload), ParseJson(R"({"class":"B"})"));
  // The first beacon sets the time the slots count from.
  ASSERT_TRUE(NextDownlink(10000).isNull() && !beacons.empty()) << rig.Log();

  const std::vector<uint8_t> uplink = Uplink(2, false, true);
  const uint32_t uplinkTmst = 50000000;
  const int64_t pushedMs = TaiMs();
  Push(uplink, uplinkTmst);
  ASSERT_TRUE(rig.WaitFor("/10/up", 2)) << rig.Log();
  // The server read its clock for the uplink somewhere in between.
  const int64_t handledWithinMs = TaiMs() - pushedMs;
  Queue(R"({"data":"AQID","port":5})");
  const Json::Value txpk = NextDownlink(12000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  EXPECT_FALSE(txpk.isMember("imme"));
  ExpectMembers(Read(txpk), R"({"micOk": true, "payload": "010203"})");

  // When the radio sends, on the beacon clock, by the gateway counter the uplink gave.
  const int64_t sentMs =
      pushedMs + (static_cast<int64_t>(txpk["tmst"].asUInt64()) - uplinkTmst) / 1000;
  int64_t nearest = INT64_MAX;
  ASSERT_LE(beacons.size(), 4u);
  for (const Heard& beacon : beacons) {
    for (uint32_t period = 0; period < 2; ++period) {
      const int64_t slotMs =
          beacon.atMs + period * 8000 + 2120 + 30 * PingOffset(beacon.time + period * 8);
      nearest = std::min<int64_t>(nearest, std::llabs(sentMs - slotMs));
    }
  }
  // Within one slot: the uplink's and the beacon's trips over loopback are all that separate the
  // test's clock readings from the server's, and on a loaded machine (sanitizers, parallel
  // tests) the uplink's handling may take longer than a slot.
  EXPECT_LT(nearest, 30 + handledWithinMs) << txpk << " uplink handled within " << handledWithinMs
                                           << " ms\n" << rig.Log();
}

}  // namespace
