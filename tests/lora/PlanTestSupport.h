// Builds a channel plan of a named region on a configuration given as JSON text, keeping the
// document and settings that the plan refers to alive beside it.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>
#include <string>

#include "Settings.h"
#include "TestSupport.h"
#include "lora/ChannelPlans.h"

namespace plantest {

inline Json::Value ParseJson(const std::string& text) {
  Json::Value value = testsupport::ParseJson(text);
  if (value.isNull()) ADD_FAILURE() << "bad test JSON: " << text;
  return value;
}

struct TestPlan {
  Json::Value config;
  Settings settings;
  std::unique_ptr<Lora::ChannelPlan> plan;
};

// loraJson is the text of the "lora" object; networkMode sets "network"."public" when >= 0.
inline std::unique_ptr<TestPlan> MakePlan(const std::string& region,
                                          const std::string& loraJson = "{}",
                                          int networkMode = -1) {
  auto test = std::make_unique<TestPlan>();
  test->config["lora"] = ParseJson(loraJson);
  if (networkMode >= 0) test->config["network"]["public"] = networkMode;
  const Json::Value& c = test->config;
  const Settings& s = test->settings;
  if (region == "AS923") test->plan = std::make_unique<Lora::ChannelPlan_AS923>(c, s);
  if (region == "AU915") test->plan = std::make_unique<Lora::ChannelPlan_AU915>(c, s);
  if (region == "EU868") test->plan = std::make_unique<Lora::ChannelPlan_EU868>(c, s);
  if (region == "IN865") test->plan = std::make_unique<Lora::ChannelPlan_IN865>(c, s);
  if (region == "KR920") test->plan = std::make_unique<Lora::ChannelPlan_KR920>(c, s);
  if (region == "US915") test->plan = std::make_unique<Lora::ChannelPlan_US915>(c, s);
  EXPECT_NE(test->plan, nullptr) << region;
  return test;
}

}  // namespace plantest
