// A device's uplinks as an application sees them: the real binary, a real mosquitto broker on
// loopback, the application UDP ports, and frames built by an independent LoRaWAN
// implementation (lora-packet) so that our decoder is never checked against our own encoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

using e2e::Pause;

class DeviceUplinks : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.config["lora"]["deviceQueueSize"] = 2;
    rig.config["udp"]["appPortUp"] = application.port();
    rig.Seed({device});
    ASSERT_TRUE(rig.Start());
  }
  // An uplink of the device on port 10 (or, given another key, a forgery).
  std::vector<uint8_t> Uplink(unsigned fcnt, const std::string& payloadHex,
                              const std::string& nwkSKey = "") {
    SeededSession sender = device;
    if (!nwkSKey.empty()) sender.nwkSKey = nwkSKey;
    return e2e::DeviceUplink(sender, fcnt, 10, payloadHex);
  }

  SeededSession device;
  const std::string kDevEui = device.devEui;
  const std::string kAppEui = device.appEui;
  e2e::UdpPeer application;  // the application up port
  NetworkRig rig;
};

TEST_F(DeviceUplinks, PublishedOnAllThreeTopicsAndTheUpPortAndDownlinksQueuedFromBoth) {
  rig.Push(Uplink(1, "68656c6c6f"));  // "hello"
  ASSERT_TRUE(rig.WaitFor("/up", 3)) << rig.Log();
  const auto up = rig.On("/up");
  ASSERT_EQ(up.size(), 3u);
  EXPECT_EQ(up[0].topic, "lora/" + kDevEui + "/up");
  EXPECT_EQ(up[1].topic, "lora/" + kAppEui + "/" + kDevEui + "/up");
  EXPECT_EQ(up[2].topic, "lora/" + kAppEui + "/" + kDevEui + "/10/up");
  const Json::Value json = ParseJson(up[0].payload);
  // The other members of the event are its unit test's.
  // mhdr: MHDR, DevAddr, FCtrl, FCnt.
  e2e::ExpectMembers(json, R"({"data": "aGVsbG8=", "mhdr": "4034120126000100"})");
  EXPECT_EQ(up[1].payload, up[0].payload);
  EXPECT_EQ(up[2].payload, up[0].payload);

  // The up port gets every event as the topic, a blank and the payload, then CR LF.
  std::vector<std::string> datagrams;
  std::vector<uint8_t> datagram;
  while (application.receive(datagram, 500)) datagrams.emplace_back(datagram.begin(), datagram.end());
  const auto first =
      std::find(datagrams.begin(), datagrams.end(), "lora/" + kDevEui + "/up " + up[0].payload);
  ASSERT_LT(first + 1, datagrams.end()) << datagrams.size() << " datagrams";
  EXPECT_EQ(first[1], "\r\n");

  // Downlinks from both transports are queued until the queue is full.
  const std::string down = "lora/" + kDevEui + "/down";
  rig.application().Publish(down, R"({"data":"AQID","port":5})");
  ASSERT_TRUE(rig.WaitFor("/down_queued", 1)) << rig.Log();

  // The UDP down port takes the same message text after the topic and a blank.
  const std::string text = down + R"( {"data":"BAU=","port":6})";
  application.send(static_cast<uint16_t>(rig.config["udp"]["appPortDown"].asUInt()),
                   std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_TRUE(rig.WaitFor("/down_queued", 2)) << rig.Log();

  rig.application().Publish(down, R"({"data":"Bg==","port":7})");  // the queue holds two
  ASSERT_TRUE(rig.WaitFor("/down_dropped", 1));
  ASSERT_TRUE(rig.WaitFor("/queue_full", 1));

  EXPECT_EQ(rig.Stop(), 0);
  EXPECT_EQ(rig.Query("SELECT up_counter FROM sessions WHERE dev_addr = " +
                      std::to_string(device.devAddr)),
            std::vector<std::string>{"1"});
  EXPECT_EQ(rig.Query("SELECT COUNT(*) FROM uplink_packets WHERE message_type != 0"),
            std::vector<std::string>{"1"});
  EXPECT_EQ(rig.Query("SELECT port FROM downlink_queue ORDER BY id"),
            (std::vector<std::string>{"5", "6"}));
}

TEST_F(DeviceUplinks, RefusedUplinksAreLoggedCountedAndNeverPublished) {
  rig.Push(Uplink(1, "01"));
  ASSERT_TRUE(rig.WaitFor("/up", 3));
  // An unknown address is the gateway link's test and the uplink handler's.
  rig.Push(Uplink(2, "01", std::string(32, '0')));  // forged MIC
  ASSERT_TRUE(rig.WaitForLog("|DROP-PKT|"));
  rig.Push(Uplink(0, "01"));  // older than the last: read as a roll-over, too far ahead
  rig.Push(Uplink(1 + 16385, "01"));
  ASSERT_TRUE(rig.WaitForLog("MAX_FCNT_GAP exceeded diff: 16385"));
  EXPECT_TRUE(rig.WaitForLog("MAX_FCNT_GAP exceeded diff: 65535"));
  Pause(300);
  EXPECT_EQ(rig.On("/up").size(), 3u) << "a refused uplink was published";
  rig.Push(Uplink(1 + 16384, "02"));  // exactly the largest gap allowed
  ASSERT_TRUE(rig.WaitFor("/up", 6));
  EXPECT_EQ(ParseJson(rig.On("/up")[3].payload)["seqn"].asUInt(), 16385u);

  EXPECT_EQ(rig.Stop(), 0);
  EXPECT_EQ(rig.Query("SELECT mic_fails FROM network_statistics"),
            std::vector<std::string>{"1"});
}

}  // namespace
