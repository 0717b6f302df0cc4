// The packet forwarder's global_conf.json for the regions and radio-1 boundaries the end-to-end
// test does not run (it has US915, AU915, EU868 near 869 MHz and AS923), held against channel
// frequencies typed in from the published regional plans.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "PacketForwarderConfig.h"
#include "Settings.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::WriteFile;

uint32_t Hz(double mhz) { return static_cast<uint32_t>(std::llround(mhz * 1e6)); }

// One call of the writer in a folder of its own: templates in templates/ and opt/, output in out/.
struct Writer {
  testsupport::TempDir dir;
  Settings settings;
  Json::Value config;

  explicit Writer(const std::string& lora, int mode = 1) {
    settings.paths.templateDir = dir.file("templates/");
    settings.paths.templateFallbackDir = dir.file("opt");  // no trailing slash on purpose
    for (const char* sub : {"templates", "opt", "out"}) mkdir(dir.file(sub).c_str(), 0755);
    config["lora"] = testsupport::ParseJson(lora);
    config["network"]["public"] = mode;
  }
  bool write(const std::string& band, const std::string& eui2 = "",
             const std::string& eui1 = "00-80-00-00-A0-00-0f-4d") {
    return WritePacketForwarderConfiguration(config, settings, band, dir.file("out"), eui1, eui2);
  }
  std::string text(int card) const {
    return testsupport::ReadFile(dir.file("out/" + std::to_string(card) + "/global_conf.json"));
  }
  Json::Value sx() const { return testsupport::ParseJson(text(1))["SX1301_conf"]; }
};

TEST(PacketForwarderConfig, RadiosAndChannelsPerRegion) {
  struct Case {
    const char* band;
    const char* lora;
    double radio0, radio1;  // MHz; radio1 0: switched off with its channels, with a warning
    // MHz, 0: disabled; the eight multi-SF channels, then the standard LoRa and the FSK channel.
    double channels[10];
  };
  // clang-format off
  const Case cases[] = {
      {"AU915", R"({"frequencySubBand": 5})", 922.0, 922.8,
       {921.6, 921.8, 922.0, 922.2, 922.4, 922.6, 922.8, 923.0, 922.3, 0}},
      {"EU868", R"({"frequencyEU": 867600000})", 868.5, 0, {868.1, 868.3, 868.5, 0, 0, 0, 0, 0, 868.3, 868.8}},
      {"EU868", R"({"frequencyEU": 869600000})", 868.5, 0, {868.1, 868.3, 868.5, 0, 0, 0, 0, 0, 868.3, 868.8}},
      {"KR920", R"({"frequencyKR": 921300000})", 922.5, 921.3,
       {922.1, 922.3, 922.5, 920.9, 921.1, 921.3, 921.5, 921.7, 0, 0}},
      {"KR920", R"({"frequencyKR": 922800000})", 922.5, 0, {922.1, 922.3, 922.5, 0, 0, 0, 0, 0, 0, 0}},
      {"IN865", "{}", 865.2, 866.385,
       {865.0625, 865.4025, 865.2325, 865.985, 866.185, 866.385, 866.585, 866.785, 865.2, 866.685}},
      // FSK sits on radio 1 here and goes with it.
      {"IN865", R"({"frequencyIN": 867500000})", 865.2, 0,
       {865.0625, 865.4025, 865.2325, 0, 0, 0, 0, 0, 865.2, 0}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.band) + c.lora);
    Writer w(c.lora);
    LogCapture log;
    ASSERT_TRUE(w.write(c.band)) << log.dump();
    const Json::Value sx = w.sx();
    const Json::Value& map = w.config["packetForwarders"][0]["channels"];
    ASSERT_EQ(map.size(), 9u);
    EXPECT_EQ(log.count("Invalid frequency for radio 1, only radio 0 will be enabled"),
              c.radio1 == 0 ? 1u : 0u);
    EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), Hz(c.radio0));
    EXPECT_EQ(sx["radio_1"]["enable"].asBool() ? sx["radio_1"]["freq"].asUInt() : 0, Hz(c.radio1));
    for (unsigned i = 0; i < 10; ++i) {
      const Json::Value& channel = sx[i < 8    ? "chan_multiSF_" + std::to_string(i)
                                      : i == 8 ? "chan_Lora_std"
                                               : "chan_FSK"];
      const Json::Value& radio = sx["radio_" + std::to_string(channel["radio"].asInt())];
      const uint32_t hz = Hz(c.channels[i]);
      EXPECT_EQ(channel["enable"].asBool() ? radio["freq"].asUInt() + channel["if"].asInt() : 0, hz)
          << i;
      EXPECT_EQ(map[i]["enabled"].asBool() ? map[i]["frequency"].asUInt() : 0, i < 9 ? hz : 0) << i;
    }
  }
}

// 922.5 MHz is both radio 0's third channel and radio 1's first: it is listed once, and RX2 last.
TEST(PacketForwarderConfig, ListenBeforeTalkChannelsAreListedOnce) {
  LogCapture quiet;
  Writer w(R"({"rx2Frequency": 921900000, "lbtEnabled": true, "lbtScanTime": 128,
               "lbtSxOffset": -20, "lbtThreshold": -75})");
  ASSERT_TRUE(w.write("KR920"));
  const Json::Value written = w.sx()["lbt_cfg"];
  EXPECT_EQ(written["sx127x_rssi_offset"].asInt(), -20);
  EXPECT_EQ(written["rssi_target"].asInt(), -75);
  const std::vector<double> channels = {922.1, 922.3, 922.5, 922.7, 922.9, 923.1, 923.3, 921.9};
  ASSERT_EQ(written["chan_cfg"].size(), channels.size());
  for (unsigned i = 0; i < channels.size(); ++i) {
    EXPECT_EQ(written["chan_cfg"][i]["freq_hz"].asUInt(), Hz(channels[i])) << i;
    EXPECT_EQ(written["chan_cfg"][i]["scan_time_us"].asInt(), 128);
  }
}

TEST(PacketForwarderConfig, SyncWordFollowsTheNetworkMode) {
  LogCapture quiet;
  // Network mode, "lora" section, then lorawan_public, synch_word and the mode written back.
  for (const auto& [mode, lora, lorawanPublic, syncWord, modeAfter] :
       {std::tuple(2, "{}", false, 18, 2), std::tuple(2, R"({"syncWord": 52})", true, 52, 1),
        std::tuple(1, R"({"syncWord": 18})", true, 18, 1),
        std::tuple(0, R"({"syncWord": -52})", false, 18, 0)}) {
    Writer w(lora, mode);
    ASSERT_TRUE(w.write("EU868"));
    const Json::Value card = testsupport::ParseJson(w.text(1));
    EXPECT_EQ(card["SX1301_conf"]["lorawan_public"].asBool(), lorawanPublic) << lora;
    EXPECT_EQ(card["gateway_conf"]["synch_word"].asInt(), syncWord) << lora;
    EXPECT_EQ(w.config["network"]["public"].asInt(), modeAfter) << lora;
  }
}

TEST(PacketForwarderConfig, BadInput) {
  LogCapture log;
  // Templates too deep to read or with members of the wrong type: the file is written regardless.
  for (const std::string& garbage : {std::string(5000, '[') + std::string(5000, ']'),
                                     std::string(R"({"SX1301_conf": [1], "gateway_conf": 7})")}) {
    Writer w(R"({"frequencySubBand": 1})");
    WriteFile(w.dir.file("templates/global_conf.json"), garbage);
    ASSERT_TRUE(w.write("US915"));
    EXPECT_EQ(w.sx()["radio_0"]["freq"].asUInt(), Hz(902.7));
  }
  Writer plan("{}");
  EXPECT_FALSE(plan.write("CN470"));
  EXPECT_EQ(log.count("Unsupported channel plan CN470."), 1u);
  EXPECT_FALSE(plan.config.isMember("packetForwarders"));
  for (const char* eui : {"", "0080", "00800000a0000f4dff", "zz800000a0000f4d"}) {
    Writer w("{}");
    EXPECT_FALSE(w.write("EU868", "", eui));
    EXPECT_EQ(log.count("Invalid EUI of LoRa card 1 [" + std::string(eui) + "]"), 1u) << eui;
    EXPECT_EQ(w.text(1), "");
  }
}

}  // namespace
