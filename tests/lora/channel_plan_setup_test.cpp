// The start-up steps around the channel plan: resolution, regional defaults and plan limits.
#include <gtest/gtest.h>

#include <string>

#include "PlanTestSupport.h"
#include "Settings.h"
#include "TestSupport.h"
#include "lora/ChannelPlanSetup.h"

namespace {

using plantest::ParseJson;

// Runs the steps in start-up order on a whole configuration document.
std::unique_ptr<plantest::TestPlan> Start(const std::string& configJson, Json::Value network = {}) {
  auto s = std::make_unique<plantest::TestPlan>();
  s->config = ParseJson(configJson);
  if (!network.isNull()) s->config["network"]["public"] = network;
  s->plan = ResolveChannelPlan(s->config, s->settings);
  if (s->plan == nullptr) return s;
  ApplyRegionalDefaults(s->config, s->settings, *s->plan);
  s->plan->refreshDatarateBounds();  // start-up validates the datarate keys in between
  ApplyPlanLimits(s->config, *s->plan);
  return s;
}

// A document whose "lora" object is {"channelPlan": <afterChannelPlan>}.
std::string Lora(const std::string& afterChannelPlan) {
  return R"({"lora": {"channelPlan": )" + afterChannelPlan + "}}";
}

TEST(ResolveChannelPlan, ChoosesTheRegionOrStops) {
  // The band the plan resolves to, or the error start-up stops with.
  const char* none = "Must supply region frequency band and channel plan.";
  const std::pair<const char*, const char*> cases[] = {
      {"{}", none},
      {R"({"lora": "EU868"})", none},
      {R"({"lora": {"frequencyBand": "CN470"}})", "Unsupported channel plan CN470."},
      {R"({"lora": {"channelPlan": "eu868"}})", "Unsupported channel plan ."},
      {R"({"lora": {"frequencyBand": "915"}})", "US915"},
      {R"({"lora": {"channelPlan": "AU915", "frequencyBand": "868"}})", "AU915"},
      {R"({"lora": {"channelPlan": "XX", "frequencyBand": "KR920"}})", "KR920"},
  };
  for (const auto& [config, answer] : cases) {
    testsupport::LogCapture log;
    auto s = Start(config);
    if (s->plan == nullptr) {
      EXPECT_EQ(log.count(answer), 1u) << config << log.dump();
    } else {
      EXPECT_STREQ(s->plan->name(), answer) << config;
      EXPECT_EQ(s->config["lora"]["frequencyBand"].asString(), answer) << config;
    }
  }
}

TEST(ChannelPlanStartUp, WritesTheRegionalValuesBack) {
  struct Case {
    const char* lora;                     // after "channelPlan":
    const char* expected;                 // keys "lora" ends up with; null: left unset
    Json::Value network = Json::Value();  // "network"."public"
  };
  // The wide plans' RX2 follows the sub-band on a private network ("public" 0 or false), not on a
  // private one using the public channels (2). Uplink dwell time keeps AS923 at DR2 or above.
  const Case cases[] = {
      {R"("US915", "frequencySubBand": 3)", R"("rx2Frequency": 923300000, "rx2Datarate": 8)"},
      {R"("US915", "frequencySubBand": 3)", R"("rx2Frequency": 924500000)", 0},
      {R"("US915", "frequencySubBand": 3)", R"("rx2Frequency": 923300000)", 2},
      {R"("AU915", "frequencySubBand": 2)", R"("rx2Frequency": 923900000)", false},
      {R"("EU868")", R"("rx2Frequency": 869525000, "lbtThreshold": null, "rx2Datarate": 0)"},
      {R"("IN865")", R"("rx2Frequency": null)"},
      {R"("KR920", "rx2Frequency": -1, "lbtThreshold": -70, "rx2Datarate": 6)",
       R"("rx2Frequency": 921900000, "lbtThreshold": -70, "rx2Datarate": 5)"},
      {R"("AS923", "rx2Frequency": "923.2")", R"("rx2Frequency": 923200000)"},
      {R"("KR920", "lbtEnabled": "yes", "sxOffset": "x")",
       R"("lbtEnabled": false, "lbtSxOffset": -24, "lbtScanTime": 5000, "sxOffset": -162)"},
      {R"("EU868", "rx1DatarateOffset": 9, "rx2Datarate": 9)",
       R"("rx1DatarateOffset": 5, "rx2Datarate": 7)"},
      {R"("US915", "rx1DatarateOffset": 5, "rx2Datarate": 3)",
       R"("rx1DatarateOffset": 3, "rx2Datarate": 8)"},
      {R"("US915", "rx1DatarateOffset": "2", "rx2Datarate": 15)",
       R"("rx1DatarateOffset": 0, "rx2Datarate": 13)"},
      {R"("AS923", "rx1DatarateOffset": 7, "dwelltimeDown": 1)",
       R"("rx1DatarateOffset": 7, "rx2Datarate": 2)"},
      // Without the key the dwell-time limit holds: RX2 must not stay on DR0, which carries nothing.
      {R"("AS923")", R"("rx2Datarate": 2)"},
      {R"("AS923", "dwelltimeDown": 0)", R"("rx2Datarate": 0)"},
      {R"("AS923", "dwelltimeUp": 1)", R"("minDatarate": 2, "maxDatarate": 2)"},
      {R"("AS923", "dwelltimeUp": 1, "minDatarate": 3, "maxDatarate": 5)",
       R"("minDatarate": 3, "maxDatarate": 5)"},
      {R"("EU868", "dwelltimeUp": 1)", R"("minDatarate": null, "maxDatarate": null)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lora) + " public " + c.network.toStyledString());
    auto s = Start(Lora(c.lora), c.network);
    ASSERT_NE(s->plan, nullptr);
    Json::Value expected = ParseJson(std::string("{") + c.expected + "}");
    // Compared as text: jsoncpp keeps signed and unsigned numbers apart in ==.
    for (const std::string& key : expected.getMemberNames()) {
      EXPECT_EQ(s->config["lora"][key].toStyledString(), expected[key].toStyledString()) << key;
    }
  }
}

TEST(ChannelPlanStartUp, ChannelMaskAndDatarateBounds) {
  const std::pair<const char*, uint32_t> masks[] = {
      {R"("EU868", "channelMask": "00FF")", 0x00FF},
      {R"("EU868", "channelMask": 255)", 0x0007},
      {R"("US915", "frequencySubBand": 4)", 0xFF000000},
  };
  for (const auto& [lora, word0] : masks) {
    auto s = Start(Lora(lora));
    ASSERT_NE(s->plan, nullptr);
    EXPECT_EQ(s->plan->channelMaskWord(0), word0) << lora;
  }
  // The plan's own lower bound is DR2 under uplink dwell time, whatever is configured.
  auto as = Start(Lora(R"("AS923", "dwelltimeUp": 1, "minDatarate": 3, "maxDatarate": 5)"));
  ASSERT_NE(as->plan, nullptr);
  EXPECT_EQ(as->plan->minDatarate(), 2);
}

TEST(ApplyRegionalDefaults, FrequencyOffsets) {
  testsupport::LogCapture log;
  auto missing = Start(Lora(R"("EU868")"));
  EXPECT_EQ(missing->settings.frequencyOffsetDR6, -200000);
  EXPECT_EQ(missing->settings.frequencyOffsetDR7, 300000);
  auto valid =
      Start(Lora(R"("EU868", "frequencyOffsetDR6": 100000, "frequencyOffsetDR7": -500000)"));
  EXPECT_EQ(valid->settings.frequencyOffsetDR6, 100000);
  EXPECT_EQ(valid->settings.frequencyOffsetDR7, -500000);
  EXPECT_FALSE(log.contains("offset, using default")) << log.dump();

  auto invalid = Start(Lora(R"("EU868", "frequencyOffsetDR6": 600000, "frequencyOffsetDR7": "x")"));
  EXPECT_EQ(invalid->settings.frequencyOffsetDR6, -200000);
  EXPECT_EQ(invalid->settings.frequencyOffsetDR7, 300000);
  EXPECT_EQ(log.count("Invalid DR6 offset, using default -200000"), 1u) << log.dump();
  EXPECT_EQ(log.count("Invalid DR7 offset, using default 300000"), 1u) << log.dump();
}

}  // namespace
