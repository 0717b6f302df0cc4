// The start-up steps around the channel plan: resolution, regional defaults and plan limits.
#include <gtest/gtest.h>

#include <string>

#include "PlanTestSupport.h"
#include "Settings.h"
#include "TestSupport.h"
#include "lora/ChannelPlanSetup.h"

namespace {

using plantest::ParseJson;

// jsoncpp keeps signed and unsigned numbers apart in ==; the configuration does not care.
::testing::AssertionResult SameValue(const Json::Value& actual, const Json::Value& expected) {
  bool same = actual.isNumeric() && expected.isNumeric()
                  ? actual.isIntegral() && actual.asInt64() == expected.asInt64()
                  : actual == expected;
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << actual.toStyledString() << " is not " << expected.toStyledString();
}

TEST(ResolveChannelPlan, ChoosesTheRegion) {
  struct Case {
    const char* name;
    const char* config;
    const char* band;  // nullptr: start-up stops
    const char* error;
  };
  const Case cases[] = {
      {"no lora section", "{}", nullptr, "Must supply region frequency band and channel plan."},
      {"neither key", R"({"lora": {}})", nullptr,
       "Must supply region frequency band and channel plan."},
      {"lora not an object", R"({"lora": "EU868"})", nullptr,
       "Must supply region frequency band and channel plan."},
      {"unknown band", R"({"lora": {"frequencyBand": "CN470"}})", nullptr,
       "Unsupported channel plan CN470."},
      {"unknown plan, no band", R"({"lora": {"channelPlan": "eu868"}})", nullptr,
       "Unsupported channel plan ."},
      {"legacy 915", R"({"lora": {"frequencyBand": "915"}})", "US915", nullptr},
      {"legacy 868", R"({"lora": {"frequencyBand": "868"}})", "EU868", nullptr},
      {"plan wins over band", R"({"lora": {"channelPlan": "AU915", "frequencyBand": "868"}})",
       "AU915", nullptr},
      {"unknown plan leaves band", R"({"lora": {"channelPlan": "XX", "frequencyBand": "KR920"}})",
       "KR920", nullptr},
      {"AS923", R"({"lora": {"channelPlan": "AS923"}})", "AS923", nullptr},
      {"IN865", R"({"lora": {"frequencyBand": "IN865"}})", "IN865", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value config = ParseJson(c.config);
    Settings settings;
    testsupport::LogCapture log;
    auto plan = ResolveChannelPlan(config, settings);
    if (c.band == nullptr) {
      EXPECT_EQ(plan, nullptr);
      EXPECT_EQ(log.count(c.error), 1u) << log.dump();
      continue;
    }
    ASSERT_NE(plan, nullptr) << log.dump();
    EXPECT_STREQ(plan->name(), c.band);
    EXPECT_EQ(config["lora"]["frequencyBand"].asString(), c.band);
  }
}

TEST(ResolveChannelPlan, WideBandPlansTakeTheSubBand) {
  for (const char* region : {"US915", "AU915"}) {
    SCOPED_TRACE(region);
    Json::Value config;
    config["lora"]["channelPlan"] = region;
    config["lora"]["frequencySubBand"] = 2;
    Settings settings;
    auto plan = ResolveChannelPlan(config, settings);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(plan->subBand(), 2);
    EXPECT_EQ(plan->channelMaskWord(0), 0x0000FF00u);
    EXPECT_EQ(plan->channelMaskWord(2), 0x0002u);
  }
}

TEST(ResolveChannelPlan, AS923UplinkDwellTime) {
  struct Case {
    const char* name;
    const char* lora;
    Json::Value minDatarate, maxDatarate;
    int planMinDatarate;
  };
  const Case cases[] = {
      {"both missing", R"({"dwelltimeUp": 1})", 2, 2, 2},
      {"both low", R"({"dwelltimeUp": 1, "minDatarate": 1, "maxDatarate": 1})", 2, 2, 2},
      {"max kept", R"({"dwelltimeUp": 1, "minDatarate": 0, "maxDatarate": 5})", 2, 5, 2},
      // The plan's own lower bound is DR2 under uplink dwell time, whatever is configured.
      {"min kept", R"({"dwelltimeUp": 1, "minDatarate": 3, "maxDatarate": 5})", 3, 5, 2},
      {"no dwell time", R"({"dwelltimeUp": 0, "minDatarate": 1})", 1, Json::Value(), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value config;
    config["lora"] = ParseJson(c.lora);
    config["lora"]["channelPlan"] = "AS923";
    Settings settings;
    auto plan = ResolveChannelPlan(config, settings);
    ASSERT_NE(plan, nullptr);
    EXPECT_EQ(config["lora"]["minDatarate"], c.minDatarate);
    EXPECT_EQ(config["lora"]["maxDatarate"], c.maxDatarate);
    EXPECT_EQ(plan->minDatarate(), c.planMinDatarate);
  }
}

TEST(ResolveChannelPlan, DwellTimeRuleIsAS923Only) {
  Json::Value config = ParseJson(R"({"lora": {"channelPlan": "EU868", "dwelltimeUp": 1}})");
  Settings settings;
  ASSERT_NE(ResolveChannelPlan(config, settings), nullptr);
  EXPECT_FALSE(config["lora"].isMember("minDatarate"));
  EXPECT_FALSE(config["lora"].isMember("maxDatarate"));
}

// Resolves the plan of the lora object and applies the regional defaults to it.
struct Started {
  Json::Value config;
  Settings settings;
  std::unique_ptr<Lora::ChannelPlan> plan;
};

std::unique_ptr<Started> Start(const std::string& configJson) {
  auto s = std::make_unique<Started>();
  s->config = ParseJson(configJson);
  s->plan = ResolveChannelPlan(s->config, s->settings);
  EXPECT_NE(s->plan, nullptr) << configJson;
  if (s->plan != nullptr) ApplyRegionalDefaults(s->config, s->settings, *s->plan);
  return s;
}

TEST(ApplyRegionalDefaults, Rx2FrequencyByPlanAndMode) {
  struct Case {
    const char* name;
    const char* config;
    Json::Value rx2Frequency;  // null: left unset
  };
  const Case cases[] = {
      {"US public", R"({"lora": {"channelPlan": "US915", "frequencySubBand": 3}})", 923300000},
      {"US private ZEV", R"({"lora": {"channelPlan": "US915", "frequencySubBand": 3},
                            "network": {"public": 0}})",
       924500000},
      {"US private LoRaWAN", R"({"lora": {"channelPlan": "US915", "frequencySubBand": 3},
                                "network": {"public": 2}})",
       923300000},
      {"AU private ZEV", R"({"lora": {"channelPlan": "AU915", "frequencySubBand": 2},
                            "network": {"public": false}})",
       923900000},
      {"EU", R"({"lora": {"channelPlan": "EU868"}})", 869525000},
      {"AS", R"({"lora": {"channelPlan": "AS923"}})", 923200000},
      {"KR", R"({"lora": {"channelPlan": "KR920"}})", 921900000},
      {"IN keeps its own", R"({"lora": {"channelPlan": "IN865"}})", Json::Value()},
      {"configured kept", R"({"lora": {"channelPlan": "EU868", "rx2Frequency": 869100000}})",
       869100000},
      {"zero reset", R"({"lora": {"channelPlan": "EU868", "rx2Frequency": 0}})", 869525000},
      {"negative reset", R"({"lora": {"channelPlan": "KR920", "rx2Frequency": -1}})", 921900000},
      {"text reset", R"({"lora": {"channelPlan": "AS923", "rx2Frequency": "923.2"}})", 923200000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Start(c.config);
    EXPECT_TRUE(SameValue(s->config["lora"]["rx2Frequency"], c.rx2Frequency));
  }
}

TEST(ApplyRegionalDefaults, FrequencyOffsets) {
  struct Case {
    const char* name;
    const char* lora;
    int32_t dr6, dr7;
    const char* warning;
  };
  const Case cases[] = {
      {"missing", "{}", -200000, 300000, nullptr},
      {"in range", R"({"frequencyOffsetDR6": 100000, "frequencyOffsetDR7": -500000})", 100000,
       -500000, nullptr},
      {"DR6 too far", R"({"frequencyOffsetDR6": 600000})", -200000, 300000,
       "Invalid DR6 offset, using default -200000"},
      {"DR7 not a number", R"({"frequencyOffsetDR7": "x"})", -200000, 300000,
       "Invalid DR7 offset, using default 300000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value config;
    config["lora"] = ParseJson(c.lora);
    config["lora"]["channelPlan"] = "EU868";
    Settings settings;
    auto plan = ResolveChannelPlan(config, settings);
    ASSERT_NE(plan, nullptr);
    testsupport::LogCapture log;
    ApplyRegionalDefaults(config, settings, *plan);
    EXPECT_EQ(settings.frequencyOffsetDR6, c.dr6);
    EXPECT_EQ(settings.frequencyOffsetDR7, c.dr7);
    EXPECT_EQ(log.count("offset, using default"), c.warning == nullptr ? 0u : 1u) << log.dump();
    if (c.warning != nullptr) {
      EXPECT_TRUE(log.contains(c.warning)) << log.dump();
    }
  }
}

TEST(ApplyRegionalDefaults, ListenBeforeTalkAndRadioOffsets) {
  struct Case {
    const char* name;
    const char* config;
    Json::Value lbtThreshold;
  };
  const Case cases[] = {
      {"KR", R"({"lora": {"channelPlan": "KR920"}})", -65},
      {"AS", R"({"lora": {"channelPlan": "AS923"}})", -80},
      {"EU untouched", R"({"lora": {"channelPlan": "EU868"}})", Json::Value()},
      {"KR configured", R"({"lora": {"channelPlan": "KR920", "lbtThreshold": -70}})", -70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = Start(c.config);
    const Json::Value& lora = s->config["lora"];
    EXPECT_EQ(lora["lbtThreshold"], c.lbtThreshold);
    EXPECT_EQ(lora["lbtEnabled"], false);
    EXPECT_EQ(lora["lbtSxOffset"], -24);
    EXPECT_EQ(lora["lbtScanTime"], 5000);
    EXPECT_EQ(lora["sxOffset"], -162);
  }

  auto kept = Start(R"({"lora": {"channelPlan": "EU868", "lbtEnabled": true, "lbtSxOffset": -20,
                                 "lbtScanTime": 128, "sxOffset": "x"}})");
  EXPECT_EQ(kept->config["lora"]["lbtEnabled"], true);
  EXPECT_EQ(kept->config["lora"]["lbtSxOffset"], -20);
  EXPECT_EQ(kept->config["lora"]["lbtScanTime"], 128);
  EXPECT_EQ(kept->config["lora"]["sxOffset"], -162);

  auto notBoolean = Start(R"({"lora": {"channelPlan": "KR920", "lbtEnabled": "yes"}})");
  EXPECT_EQ(notBoolean->config["lora"]["lbtEnabled"], false);
}

TEST(ApplyPlanLimits, DatarateOffsetsAndRx2Datarate) {
  struct Case {
    const char* name;
    const char* lora;
    int rx1Offset, rx2Datarate;
  };
  const Case cases[] = {
      {"EU missing", R"({"channelPlan": "EU868"})", 0, 0},
      {"EU capped", R"({"channelPlan": "EU868", "rx1DatarateOffset": 9, "rx2Datarate": 9})", 5, 7},
      {"EU kept", R"({"channelPlan": "EU868", "rx1DatarateOffset": 2, "rx2Datarate": 3})", 2, 3},
      {"EU negative offset", R"({"channelPlan": "EU868", "rx1DatarateOffset": -2})", 0, 0},
      {"US capped at 3", R"({"channelPlan": "US915", "rx1DatarateOffset": 5})", 3, 8},
      {"US RX2 raised into the 500 kHz range", R"({"channelPlan": "US915", "rx2Datarate": 3})", 0,
       8},
      {"US RX2 above 13", R"({"channelPlan": "US915", "rx2Datarate": 15})", 0, 13},
      {"AU capped at 5", R"({"channelPlan": "AU915", "rx1DatarateOffset": 7})", 5, 8},
      {"AS offset 7 kept", R"({"channelPlan": "AS923", "rx1DatarateOffset": 7})", 7, 0},
      {"AS dwell time RX2", R"({"channelPlan": "AS923", "dwelltimeDown": 1})", 0, 2},
      {"KR RX2 above 5", R"({"channelPlan": "KR920", "rx2Datarate": 6})", 0, 5},
      {"not numbers", R"({"channelPlan": "EU868", "rx1DatarateOffset": "2", "rx2Datarate": []})", 0,
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value config;
    config["lora"] = ParseJson(c.lora);
    Settings settings;
    auto plan = ResolveChannelPlan(config, settings);
    ASSERT_NE(plan, nullptr);
    ApplyPlanLimits(config, *plan);
    EXPECT_EQ(config["lora"]["rx1DatarateOffset"], c.rx1Offset);
    EXPECT_EQ(config["lora"]["rx2Datarate"], c.rx2Datarate);
  }
}

TEST(ApplyPlanLimits, ChannelMask) {
  struct Case {
    const char* name;
    const char* lora;
    uint32_t word0;
  };
  const Case cases[] = {
      {"text", R"({"channelPlan": "EU868", "channelMask": "00FF"})", 0x00FF},
      {"missing", R"({"channelPlan": "EU868"})", 0x0007},
      {"empty", R"({"channelPlan": "EU868", "channelMask": ""})", 0x0007},
      {"not text", R"({"channelPlan": "EU868", "channelMask": 255})", 0x0007},
      {"US sub-band", R"({"channelPlan": "US915", "frequencySubBand": 4})", 0xFF000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value config;
    config["lora"] = ParseJson(c.lora);
    Settings settings;
    auto plan = ResolveChannelPlan(config, settings);
    ASSERT_NE(plan, nullptr);
    ApplyPlanLimits(config, *plan);
    EXPECT_EQ(plan->channelMaskWord(0), c.word0);
  }
}

}  // namespace
