// The inbound application path: topics, downlink JSON checks, and what a refusal leaves behind.
#include "app/AppDownlink.h"

#include <gtest/gtest.h>

#include <string>

#include "AppRig.h"
#include "TestSupport.h"

using testsupport::AppRig;
using testsupport::LogCapture;

namespace {

constexpr const char* kDownlinkEui = "00-80-00-00-00-00-e1-9c";
const std::string kTopic = "lora/008000000000e19c/down";

std::string Base64Of(size_t bytes) {
  // 3 zero bytes per "AAAA"; sizes used here are multiples of 3 or end in a short group.
  std::string text(bytes / 3 * 4, 'A');
  if (bytes % 3 == 1) text += "AA==";
  if (bytes % 3 == 2) text += "AAA=";
  return text;
}

class AppDownlinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.devices.Add(kDownlinkEui);
    capture_.clear();
  }
  testsupport::FakeDevices::Device& device() { return rig_.devices.At(kDownlinkEui); }

  LogCapture capture_;
  AppRig rig_;
};

TEST(AppDownlinkText, TopicEuisAreSixteenDigitsWithSeparatorsOnlyBetweenBytes) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"008000000000E19C", true},        {"00-80-00-00-00-00-e1-9c", true},
      {"00:80:00:00:00:00:e1:9c", true}, {"0080-0000-0000-e19c", true},
      {"008000000000e19c0", false},      {"08000000000e19c", false},
      {"008000000000e19c-", false},      {"0-080000000000e19c", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Lora::EUI eui;
    EXPECT_EQ(AppDownlinkText::ParseEui(c.text, eui), c.ok);
    if (c.ok) {
      EXPECT_EQ(eui.text(), kDownlinkEui);
    }
  }
}

TEST(AppDownlinkText, Base64IsStrict) {
  // The published test vectors, padded and unpadded, then texts an encoder never writes.
  const std::pair<const char*, const char*> good[] = {
      {"", ""},         {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"},
      {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"}, {"Zg", "f"}, {"Zm8", "fo"},
  };
  for (const auto& [text, plain] : good) {
    SCOPED_TRACE(text);
    std::string out;
    ASSERT_TRUE(AppDownlinkText::DecodeBase64(text, out));
    EXPECT_EQ(out, plain);
  }
  for (const char* bad : {"Z", "Zg=", "Zg===", "Z===", "Zh==", "Zm9=", "Zm9v!", "Zm 9v",
                          "Zg==Zg==", "=Zg=", "Zm9v\n", "Zm9-", "Zm9_"}) {
    SCOPED_TRACE(bad);
    std::string out;
    EXPECT_FALSE(AppDownlinkText::DecodeBase64(bad, out));
  }
}

TEST(AppDownlinkText, JsonIsBoundedAndStrict) {
  Json::Value value;
  EXPECT_TRUE(AppDownlinkText::ParseJson(R"({"data":"AQ==","port":2})", value));
  EXPECT_FALSE(AppDownlinkText::ParseJson(R"({"data":"AQ=="} trailing)", value));
  EXPECT_FALSE(AppDownlinkText::ParseJson(R"({"data":"AQ==","data":"Ag=="})", value));
  EXPECT_FALSE(AppDownlinkText::ParseJson(std::string(5000, '[') + std::string(5000, ']'), value));
  EXPECT_FALSE(AppDownlinkText::ParseJson(std::string("{\"data\":\"A\0\"}", 13), value));
  EXPECT_TRUE(AppDownlinkText::ParseJson(std::string("{\"data\":\"AQ==\"}\n\0\0", 18), value));
}

// A "deveui" of another device in the message does not move the row or the echo to it.
TEST_F(AppDownlinkTest, AcceptedDownlinkIsStoredQueuedAndEchoedCompleted) {
  rig_.downlinks.handleAppTopic("lora/00:80:00:00:00:00:E1:9C/DOWN",
                                R"({"data":"AQID","port":"5","rx_wnd":3,"ack":true,"priority":2,)"
                                R"("deveui":"0000000000000001"})");
  ASSERT_EQ(device().queue.size(), 1u) << capture_.dump();
  const Lora::FrameApplicationData& record = device().queue[0];
  EXPECT_EQ(record.size(), 3u);
  EXPECT_EQ(record.port, 5);
  EXPECT_EQ(record.ack, 1);
  EXPECT_EQ(record.attempts, 8);  // no "ack_retries"
  EXPECT_EQ(record.rxWindow, 0);  // 3 is no window

  const auto rows = rig_.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, record.id);
  EXPECT_EQ(rows[0].deviceEui, kDownlinkEui);
  EXPECT_EQ(rows[0].port, 5u);
  EXPECT_EQ(rows[0].priority, 2u);
  EXPECT_EQ(rows[0].dataSize, 3u);

  const auto events = rig_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0],
            std::string(kDownlinkEui) + "/down_queued " +
                R"({"ack":true,"data":"AQID","data_size":3,"deveui":"008000000000e19c",)" +
                R"("id":)" + std::to_string(record.id) + R"(,"port":5,"priority":2,"rx_wnd":3})");
  EXPECT_TRUE(capture_.contains("ED:00-80-00-00-00-00-e1-9c|QUEUE|Created downlink record ID:"));
}

TEST_F(AppDownlinkTest, EdgeSizesAndDefaults) {
  rig_.downlinks.handleAppTopic(kTopic, R"({"data":""})");
  rig_.downlinks.handleAppTopic(kTopic,
                                R"({"data":")" + Base64Of(242) + R"(","port":0,"ack_retries":0})");
  ASSERT_EQ(device().queue.size(), 2u) << capture_.dump();
  EXPECT_EQ(device().queue[0].size(), 0u);
  EXPECT_EQ(device().queue[0].port, 1);
  EXPECT_EQ(device().queue[1].size(), 242u);
  EXPECT_EQ(device().queue[1].port, 0);
  EXPECT_EQ(device().queue[1].attempts, 0);
  EXPECT_TRUE(capture_.contains("|QUEUE-TX|MAC Command: "));
}

// Every refusal: its line, "down_dropped" on the device's topic, no row, nothing queued.
TEST_F(AppDownlinkTest, RefusedDownlinksLeaveNothingBehind) {
  struct Case {
    const char* payload;
    const char* line;
  };
  const std::string tooLong = R"({"data":")" + Base64Of(243) + R"("})";
  const std::string huge = R"({"data":"AQ==","pad":")" + std::string(16384, 'x') + R"("})";
  const Case cases[] = {
      {huge.c_str(), "Dropping downstream message - message of 16408 bytes is too long"},
      {"{\"data\":", "Dropping downstream message - Unable parse text as JSON"},
      {"[1,2]", "Dropping downstream message - 'data' member not found in json"},
      {"\"text\"", "Dropping downstream message - 'data' member not found in json"},
      {R"({"data":7})", "Dropping downstream message - 'data' member not found in json"},
      {R"({"data":"AQ!D"})", "Dropping downstream message - Unable parse 'data' as base64"},
      {tooLong.c_str(), "Cannot queue packet of 243 bytes, too long"},
      {R"({"data":"AQ==","port":224})", "'port' must be a whole number from 0 to 223"},
      {R"({"data":"AQ==","port":1.5})", "'port' must be a whole number from 0 to 223"},
      {R"({"data":"AQ==","port":"0x10"})", "'port' must be a whole number from 0 to 223"},
      {R"({"data":"AQ==","ack_retries":9})", "'ack_retries' must be a whole number from 0 to 8"},
      {R"({"data":"AQ==","ack_retries":"3"})", "'ack_retries' must be a whole number from 0 to 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.payload).substr(0, 60));
    capture_.clear();
    rig_.downlinks.HandleInbound("Test exception : ", kTopic, c.payload);
    EXPECT_TRUE(capture_.contains(c.line)) << capture_.dump();
    const auto events = rig_.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].rfind(std::string(kDownlinkEui) + "/down_dropped ", 0), 0u) << events[0];
  }
  EXPECT_TRUE(device().queue.empty());
  EXPECT_TRUE(rig_.Rows().empty());
}

TEST_F(AppDownlinkTest, AFullQueueAClearAndARefusalLeaveOnlyTheRowsOfWhatIsQueued) {
  for (int i = 0; i < 4; ++i) rig_.downlinks.handleAppTopic(kTopic, R"({"data":"AQ=="})");
  ASSERT_EQ(device().queue.size(), 4u);
  rig_.Events();
  rig_.downlinks.HandleInbound("Test exception : ", kTopic, R"({"data":"Ag=="})");
  auto events = rig_.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rfind(std::string(kDownlinkEui) + "/down_dropped {", 0), 0u) << events[0];
  EXPECT_EQ(events[1], std::string(kDownlinkEui) + "/queue_full ");
  EXPECT_TRUE(capture_.contains("Device queue is full"));
  EXPECT_EQ(rig_.Rows().size(), 4u);

  rig_.downlinks.handleAppTopic("lora/008000000000E19C/Clear", "ignored");
  EXPECT_EQ(device().clears, 1);
  EXPECT_TRUE(rig_.Rows().empty());
  EXPECT_EQ(rig_.Events(), std::vector<std::string>{std::string(kDownlinkEui) + "/cleared "});

  // The transmit controller says no: the row it had for a moment goes, its id in the event.
  device().refuse = true;
  EXPECT_NO_THROW(rig_.downlinks.handleAppTopic(kTopic, R"({"data":"AQ=="})"));
  EXPECT_TRUE(
      capture_.contains("ED:00-80-00-00-00-00-e1-9c|QUEUE-FULL|Dropping downstream message"));
  EXPECT_TRUE(rig_.Rows().empty());
  events = rig_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_NE(events[0].find("/down_dropped {"), std::string::npos);
  EXPECT_NE(events[0].find("\"id\":"), std::string::npos);
}

TEST_F(AppDownlinkTest, TopicsWithoutACommandOrAKnownDeviceQueueNothing) {
  rig_.downlinks.handleAppTopic("lora/008000000000e19c/up", R"({"data":"AQ=="})");
  rig_.downlinks.handleAppTopic("lora/008000000000e19c", R"({"data":"AQ=="})");
  rig_.downlinks.handleAppTopic("lora/008000000000e19c/down/extra", R"({"data":"AQ=="})");
  EXPECT_TRUE(capture_.lines().empty()) << capture_.dump();
  EXPECT_TRUE(rig_.Events().empty());

  rig_.downlinks.handleAppTopic("lora/0080e19c/down", R"({"data":"AQ=="})");
  EXPECT_TRUE(capture_.contains("Device EUI not found in message topic"));
  rig_.downlinks.handleAppTopic("lora/0080000000000e19cz/down", R"({"data":"AQ=="})");
  EXPECT_TRUE(capture_.contains("Device EUI could not be parsed"));
  EXPECT_TRUE(rig_.Events().empty());

  rig_.downlinks.handleAppTopic("lora/0000000000000001/down", R"({"data":"AQ=="})");
  EXPECT_TRUE(capture_.contains("Device '00-00-00-00-00-00-00-01' is not available"));
  const auto events = rig_.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind("00-00-00-00-00-00-00-01/down_dropped {", 0), 0u);
  rig_.downlinks.handleAppTopic("lora/0000000000000001/clear", "");
  EXPECT_TRUE(rig_.Events().empty());
  EXPECT_TRUE(rig_.Rows().empty());
  EXPECT_TRUE(device().queue.empty());

  // A command names the device in the JSON and is told why.
  Json::Value json;
  json["data"] = "AQ==";
  EXPECT_THROW(rig_.downlinks.queueDownlinkJson(nullptr, json), DownlinkError);
  json["deveui"] = "0000000000000001";
  EXPECT_THROW(rig_.downlinks.queueDownlinkJson(nullptr, json), DownlinkError);
  json["deveui"] = kDownlinkEui;
  uint32_t id = 0;
  EXPECT_TRUE(rig_.downlinks.queueDownlinkJson(nullptr, json, &id));
  EXPECT_EQ(id, device().queue.at(0).id);
}

}  // namespace
