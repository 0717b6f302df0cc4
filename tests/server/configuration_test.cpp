// Numeric keys at the edges of where the server keeps them: the document after the clamp, the
// warning, and the settings derived from it.
#include <gtest/gtest.h>

#include "../lora/PlanTestSupport.h"
#include "Configuration.h"
#include "TestSupport.h"

using plantest::ParseJson;

TEST(Configuration, ClampNumbersAtTheEdgesOfEachRange) {
  struct Case {
    const char* section;  // nullptr: top level
    const char* key;
    const char* given;
    const char* after;  // the document's value afterwards
  };
  const Case cases[] = {
      {"network", "leasetime", "307445734561825", "307445734561825"},  // the largest that fits
      {"network", "leasetime", "307445734561826", "307445734561825"},
      {"network", "leasetime", "-1", "1440"},  // unsigned: the default, not 0 ("never")
      {"lora", "deviceQueueSize", "65536", "65535"},
      {"lora", "deviceQueueSize", "1.5", "1.5"},      // not an integer: the key's own rule
      {"lora", "deviceQueueSize", "\"70000\"", "\"70000\""},
      {"lora", "deviceResetTime", "9223372036854776", "9223372036854775"},
      {"lora", "antennaGain", "-129", "-128"},  // signed: the lowest value
      {"lora", "maxTxPower", "128", "127"},
      {"log", "level", "-2147483649", "-2147483648"},
      {"lora", "classCAckTimeout", "-1e30", "-9223372036854775808"},
      {nullptr, "backupInterval", "18446744073709552", "18446744073709551"},
      {nullptr, "trimRows", "4294967296", "4294967295"},
      {nullptr, "trimInterval", "-5", "600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.given);
    Json::Value config(Json::objectValue);
    Json::Value& section = c.section != nullptr ? config[c.section] : config;
    section[c.key] = ParseJson(c.given);
    testsupport::LogCapture capture;
    Configuration::ClampNumbers(config);
    const Json::Value& after = c.section != nullptr ? config[c.section] : config;
    EXPECT_EQ(after[c.key], ParseJson(c.after));
    const bool changed = std::string(c.given) != c.after;
    EXPECT_EQ(capture.count("Invalid "), changed ? 1u : 0u) << capture.dump();
    if (changed) {
      EXPECT_TRUE(capture.contains(std::string("['") + c.key + "'] setting ")) << capture.dump();
      EXPECT_TRUE(capture.contains(std::string(", using ") + c.after)) << capture.dump();
    }
  }

  // Reading never adds a key or a section.
  Json::Value empty(Json::objectValue);
  Configuration::ClampNumbers(empty);
  EXPECT_EQ(empty, Json::Value(Json::objectValue));
}

// The settings follow the clamped document: no wrap, no sign change, no overflow of the sum.
TEST(Configuration, SettingsFromClampedNumbersDoNotWrap) {
  Json::Value config = ParseJson(R"({
      "network": {"leasetime": 1e30},
      "lora": {"deviceQueueSize": 70000, "deviceResetTime": 18446744073709551615,
               "deviceLostTime": 9223372036854775807, "antennaGain": 2147483647,
               "maxTxPower": 2147483647}})");
  testsupport::LogCapture capture;
  Configuration::ClampNumbers(config);
  Settings settings;
  Configuration::ApplyTimingKeys(config, settings);
  Configuration::ApplyDeviceKeys(config, settings);
  EXPECT_EQ(settings.deviceLeaseTimeMs, UINT64_MAX / 60000 * 60000);
  EXPECT_EQ(settings.deviceQueueSize, 65535);
  EXPECT_EQ(settings.deviceResetTimeMs, INT64_MAX / 1000 * 1000);
  EXPECT_EQ(settings.deviceLostTimeMs, INT64_MAX / 1000 * 1000);
  EXPECT_EQ(settings.antennaGain, 127);
  EXPECT_EQ(settings.maxTxPower, 254);
  EXPECT_EQ(capture.count("Invalid "), 6u) << capture.dump();
}

TEST(Configuration, OnlyABooleanFalseRelaxesTheCounterGapRule) {
  const std::pair<const char*, bool> cases[] = {
      {R"({"lora": {}})", true},
      {R"({"lora": {"enableStrictCounterValidation": "false"}})", true},
      {R"({"lora": {"enableStrictCounterValidation": 0}})", true},
      {R"({"lora": {"enableStrictCounterValidation": false}})", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    Json::Value config = ParseJson(c.first);
    Settings settings;
    testsupport::LogCapture capture;
    Configuration::ApplyTimingKeys(config, settings);
    EXPECT_EQ(c.second, settings.strictCounterValidation);
  }
}

TEST(Configuration, TheTestSwitchesAndAZeroRx1DelayReachTheSchedulingSettings) {
  Json::Value config = ParseJson(R"({"lora":{"rx1Delay":0},"test":{"disableDutyCycle":true}})");
  Settings settings;
  CommandLine line;
  line.disableRx2 = true;
  testsupport::LogCapture capture;
  Configuration::ValidateModeAndDelays(config, settings);
  Configuration::ApplyTestAndWhitelist(config, line);
  Configuration::ApplyDeviceKeys(config, settings);
  EXPECT_EQ(1000u, settings.rx1DelayMs) << "devices read RxDelay 0 as 1 s";
  EXPECT_EQ(1000000u, settings.rx1DelayUs);
  EXPECT_FALSE(settings.disableRxWindow1);
  EXPECT_TRUE(settings.disableRxWindow2);
  EXPECT_TRUE(settings.disableDutyCycle);
}
