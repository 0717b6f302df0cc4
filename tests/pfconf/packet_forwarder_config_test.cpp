// The packet forwarder's global_conf.json per region, held against the channel frequencies of the
// regional plans typed in from the published numbers, not computed the way the writer does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "PacketForwarderConfig.h"
#include "Settings.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

uint32_t Hz(double mhz) { return static_cast<uint32_t>(std::llround(mhz * 1e6)); }

Json::Value Parse(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
    ADD_FAILURE() << errors << "\n" << text;
  }
  return value;
}

// One call of the writer in a folder of its own: templates in templates/ and opt/, output in out/.
struct Writer {
  TempDir dir;
  Settings settings;
  Json::Value config;

  explicit Writer(const std::string& lora, int mode = 1) {
    settings.paths.templateDir = dir.file("templates/");
    settings.paths.templateFallbackDir = dir.file("opt");  // no trailing slash on purpose
    for (const char* sub : {"templates", "opt", "out"}) mkdir(dir.file(sub).c_str(), 0755);
    config["lora"] = Parse(lora);
    config["network"]["public"] = mode;
    config["udp"]["upstreamPort"] = 11780;
    config["udp"]["downstreamPort"] = 11782;
  }
  bool write(const std::string& band, const std::string& eui2 = "",
             const std::string& eui1 = "00-80-00-00-A0-00-0f-4d") {
    return WritePacketForwarderConfiguration(config, settings, band, dir.file("out"), eui1, eui2);
  }
  std::string text(int card) const {
    return ReadFile(dir.file("out/" + std::to_string(card) + "/global_conf.json"));
  }
  Json::Value card(int n) const { return Parse(text(n)); }
};

uint32_t ChannelHz(const Json::Value& sx, const Json::Value& channel) {
  const Json::Value& radio = sx["radio_" + std::to_string(channel["radio"].asInt())];
  return static_cast<uint32_t>(radio["freq"].asInt64() + channel["if"].asInt64());
}

TEST(PacketForwarderConfig, RadiosAndChannelsPerRegion) {
  struct Case {
    const char* name;
    const char* band;
    const char* lora;
    double radio0, radio1;  // MHz; radio1 0: switched off with its channels
    double multiSf[8];      // MHz; 0: disabled
    double loraStd;         // MHz; 0: disabled
    int stdSf, stdBandwidth;
    double fsk;  // MHz; 0: disabled
    double txMin, txMax;
    bool notch;
  };
  // clang-format off
  const Case cases[] = {
      {"US915 sub-band 2", "US915", R"({"frequencySubBand": 2})", 904.3, 905.1,
       {903.9, 904.1, 904.3, 904.5, 904.7, 904.9, 905.1, 905.3}, 904.6, 8, 500000, 0, 902, 928, false},
      {"US915 sub-band 8", "US915", R"({"frequencySubBand": 8})", 913.9, 914.7,
       {913.5, 913.7, 913.9, 914.1, 914.3, 914.5, 914.7, 914.9}, 914.2, 8, 500000, 0, 902, 928, false},
      {"AU915 sub-band 1", "AU915", R"({"frequencySubBand": 1})", 915.6, 916.4,
       {915.2, 915.4, 915.6, 915.8, 916.0, 916.2, 916.4, 916.6}, 915.9, 8, 500000, 0, 915, 928, false},
      {"AU915 sub-band 5", "AU915", R"({"frequencySubBand": 5})", 922.0, 922.8,
       {921.6, 921.8, 922.0, 922.2, 922.4, 922.6, 922.8, 923.0}, 922.3, 8, 500000, 0, 915, 928, false},
      {"EU868 radio 1 in the lower band", "EU868", R"({"frequencyEU": 867100000})", 868.5, 867.1,
       {868.1, 868.3, 868.5, 866.7, 866.9, 867.1, 867.3, 867.5}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 lowest radio 1", "EU868", R"({"frequencyEU": 863500000})", 868.5, 863.5,
       {868.1, 868.3, 868.5, 863.1, 863.3, 863.5, 863.7, 863.9}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 869.3 placed at 869.4", "EU868", R"({"frequencyEU": 869300000})", 868.5, 869.4,
       {868.1, 868.3, 868.5, 868.8, 869.0, 869.525, 869.8, 0}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 default radio 1", "EU868", "{}", 868.5, 869.4,
       {868.1, 868.3, 868.5, 868.8, 869.0, 869.525, 869.8, 0}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 just above the lower band", "EU868", R"({"frequencyEU": 867600000})", 868.5, 0,
       {868.1, 868.3, 868.5, 0, 0, 0, 0, 0}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 above 869.5", "EU868", R"({"frequencyEU": 869600000})", 868.5, 0,
       {868.1, 868.3, 868.5, 0, 0, 0, 0, 0}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"EU868 radio 1 not a number", "EU868", R"({"frequencyEU": "867.1"})", 868.5, 0,
       {868.1, 868.3, 868.5, 0, 0, 0, 0, 0}, 868.3, 7, 250000, 868.8, 863, 870, true},
      {"AS923 default radio 1", "AS923", "{}", 923.6, 922.6,
       {923.2, 923.4, 923.6, 922.2, 922.4, 922.6, 922.8, 923.0}, 923.4, 7, 250000, 923.9, 920, 928, false},
      {"AS923 upper range", "AS923", R"({"frequencyAS": 924100000})", 923.6, 924.1,
       {923.2, 923.4, 923.6, 923.7, 923.9, 924.1, 924.3, 924.5}, 923.4, 7, 250000, 923.9, 920, 928, false},
      {"AS923 between the ranges", "AS923", R"({"frequencyAS": 923000000})", 923.6, 0,
       {923.2, 923.4, 923.6, 0, 0, 0, 0, 0}, 923.4, 7, 250000, 923.9, 920, 928, false},
      {"KR920 default radio 1", "KR920", "{}", 922.5, 922.9,
       {922.1, 922.3, 922.5, 922.5, 922.7, 922.9, 923.1, 923.3}, 0, 0, 0, 0, 920.9, 923.3, false},
      {"KR920 lowest radio 1", "KR920", R"({"frequencyKR": 921300000})", 922.5, 921.3,
       {922.1, 922.3, 922.5, 920.9, 921.1, 921.3, 921.5, 921.7}, 0, 0, 0, 0, 920.9, 923.3, false},
      {"KR920 922.8", "KR920", R"({"frequencyKR": 922800000})", 922.5, 0,
       {922.1, 922.3, 922.5, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 920.9, 923.3, false},
      {"IN865 default radio 1", "IN865", "{}", 865.2, 866.385,
       {865.0625, 865.4025, 865.2325, 865.985, 866.185, 866.385, 866.585, 866.785}, 865.2, 7, 250000,
       866.685, 865, 867, true},
      {"IN865 867.5, FSK goes with radio 1", "IN865", R"({"frequencyIN": 867500000})", 865.2, 0,
       {865.0625, 865.4025, 865.2325, 0, 0, 0, 0, 0}, 865.2, 7, 250000, 0, 865, 867, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w(c.lora);
    LogCapture log;
    ASSERT_TRUE(w.write(c.band)) << log.dump();
    const Json::Value sx = w.card(1)["SX1301_conf"];
    const Json::Value map = w.config["packetForwarders"];
    ASSERT_EQ(map.size(), 1u);
    const Json::Value& channels = map[0]["channels"];
    ASSERT_EQ(channels.size(), 9u);
    bool radio1On = c.radio1 != 0;
    EXPECT_EQ(log.count("Invalid frequency for radio 1, only radio 0 will be enabled"),
              radio1On ? 0u : 1u);

    EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), Hz(c.radio0));
    EXPECT_TRUE(sx["radio_0"]["enable"].asBool());
    EXPECT_TRUE(sx["radio_0"]["tx_enable"].asBool());
    EXPECT_EQ(sx["radio_0"]["tx_freq_min"].asUInt(), Hz(c.txMin));
    EXPECT_EQ(sx["radio_0"]["tx_freq_max"].asUInt(), Hz(c.txMax));
    EXPECT_EQ(sx["radio_0"]["tx_notch_freq"].asUInt(), c.notch ? 129000u : 0u);
    EXPECT_EQ(sx["radio_1"]["enable"].asBool(), radio1On);
    if (radio1On) {
      EXPECT_EQ(sx["radio_1"]["freq"].asUInt(), Hz(c.radio1));
    }
    EXPECT_FALSE(sx["radio_1"]["tx_enable"].asBool());
    for (const char* radio : {"radio_0", "radio_1"})
      EXPECT_EQ(sx[radio]["rssi_offset"].asInt(), -162);

    for (int i = 0; i < 8; ++i) {
      SCOPED_TRACE(i);
      const Json::Value& ch = sx["chan_multiSF_" + std::to_string(i)];
      bool on = c.multiSf[i] != 0;
      EXPECT_EQ(ch["enable"].asBool(), on);
      EXPECT_EQ(channels[i]["enabled"].asBool(), on);
      EXPECT_EQ(channels[i]["bandwidth"].asUInt(), 125000u);
      if (on) {
        EXPECT_EQ(ChannelHz(sx, ch), Hz(c.multiSf[i]));
        EXPECT_EQ(channels[i]["frequency"].asUInt(), Hz(c.multiSf[i]));
      }
      if (!radio1On && ch["radio"].asInt() == 1) {
        EXPECT_FALSE(channels[i].isMember("frequency"));
      }
    }
    EXPECT_EQ(sx["chan_Lora_std"]["enable"].asBool(), c.loraStd != 0);
    EXPECT_EQ(channels[8]["enabled"].asBool(), c.loraStd != 0);
    if (c.loraStd != 0) {
      EXPECT_EQ(ChannelHz(sx, sx["chan_Lora_std"]), Hz(c.loraStd));
      EXPECT_EQ(sx["chan_Lora_std"]["spread_factor"].asInt(), c.stdSf);
      EXPECT_EQ(sx["chan_Lora_std"]["bandwidth"].asInt(), c.stdBandwidth);
      EXPECT_EQ(channels[8]["frequency"].asUInt(), Hz(c.loraStd));
      EXPECT_EQ(channels[8]["bandwidth"].asInt(), c.stdBandwidth);
    }
    const Json::Value& fsk = sx["chan_FSK"];
    EXPECT_EQ(fsk["enable"].asBool(), c.fsk != 0);
    if (c.fsk != 0) {
      EXPECT_EQ(ChannelHz(sx, fsk), Hz(c.fsk));
      EXPECT_EQ(fsk["datarate"].asInt(), 50000);
      EXPECT_EQ(fsk["bandwidth"].asInt(), 125000);
      EXPECT_EQ(fsk["freq_deviation"].asInt(), 25000);
    }
    EXPECT_EQ(sx["clksrc"].asInt(), 0);
  }
}

TEST(PacketForwarderConfig, SingleRateChannelsFollowTheDatarateOffsets) {
  LogCapture quiet;
  Writer w(R"({"frequencyEU": 867100000})");
  w.settings.frequencyOffsetDR6 = -100000;
  w.settings.frequencyOffsetDR7 = 200000;
  ASSERT_TRUE(w.write("EU868"));
  const Json::Value sx = w.card(1)["SX1301_conf"];
  EXPECT_EQ(ChannelHz(sx, sx["chan_Lora_std"]), Hz(868.4));
  EXPECT_EQ(ChannelHz(sx, sx["chan_FSK"]), Hz(868.7));
}

TEST(PacketForwarderConfig, ListenBeforeTalkChannels) {
  struct Case {
    const char* name;
    const char* band;
    const char* lora;
    std::vector<double> channels;  // MHz
  };
  const Case cases[] = {
      {"EU868: RX2 takes the last place",
       "EU868",
       R"({"frequencyEU": 867100000, "rx2Frequency": 869525000})",
       {868.1, 868.3, 868.5, 866.7, 866.9, 867.1, 867.3, 869.525}},
      {"EU868 at 869.4: RX2 after seven channels",
       "EU868",
       R"({"rx2Frequency": 869525000})",
       {868.1, 868.3, 868.5, 868.8, 869.0, 869.525, 869.8, 869.525}},
      {"EU868 without radio 1",
       "EU868",
       R"({"frequencyEU": 868000000, "rx2Frequency": 869525000})",
       {868.1, 868.3, 868.5, 869.525}},
      {"AS923 default RX2 is not listed",
       "AS923",
       R"({"rx2Frequency": 923200000})",
       {923.2, 923.4, 923.6, 922.2, 922.4, 922.6, 922.8, 923.0}},
      {"AS923 other RX2",
       "AS923",
       R"({"rx2Frequency": 921400000})",
       {923.2, 923.4, 923.6, 922.2, 922.4, 922.6, 922.8, 921.4}},
      {"AS923 without radio 1",
       "AS923",
       R"({"frequencyAS": 923000000, "rx2Frequency": 921400000})",
       {923.2, 923.4, 923.6, 921.4}},
      {"KR920 at 922.9 leaves out the doubled channel",
       "KR920",
       R"({"rx2Frequency": 921900000})",
       {922.1, 922.3, 922.5, 922.7, 922.9, 923.1, 923.3, 921.9}},
      {"KR920 at 921.4",
       "KR920",
       R"({"frequencyKR": 921400000, "rx2Frequency": 921900000})",
       {922.1, 922.3, 922.5, 921.0, 921.2, 921.4, 921.6, 921.9}},
      {"US915 has no list", "US915", R"({"frequencySubBand": 1})", {}},
      {"IN865 has no list", "IN865", "{}", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w(c.lora);
    w.config["lora"]["lbtEnabled"] = true;
    w.config["lora"]["lbtSxOffset"] = -20;
    w.config["lora"]["lbtThreshold"] = -75;
    w.config["lora"]["lbtScanTime"] = 128;
    LogCapture log;
    ASSERT_TRUE(w.write(c.band));
    EXPECT_EQ(log.count("LBT is enabled"), 1u);
    const Json::Value lbt = w.card(1)["SX1301_conf"]["lbt_cfg"];
    EXPECT_TRUE(lbt["enable"].asBool());
    EXPECT_EQ(lbt["sx127x_rssi_offset"].asInt(), -20);
    EXPECT_EQ(lbt["rssi_target"].asInt(), -75);
    ASSERT_TRUE(lbt["chan_cfg"].isArray());
    ASSERT_EQ(lbt["chan_cfg"].size(), c.channels.size());
    for (unsigned i = 0; i < c.channels.size(); ++i) {
      EXPECT_EQ(lbt["chan_cfg"][i]["freq_hz"].asUInt(), Hz(c.channels[i])) << i;
      EXPECT_EQ(lbt["chan_cfg"][i]["scan_time_us"].asInt(), 128);
    }
  }

  // Switched off, only the switch is written and the template's list stays.
  Writer off(R"({"lbtEnabled": false})");
  WriteFile(off.dir.file("templates/global_conf.json"),
            R"({"SX1301_conf": {"lbt_cfg": {"enable": true, "chan_cfg": [{"freq_hz": 1}]}}})");
  LogCapture log;
  ASSERT_TRUE(off.write("EU868"));
  const Json::Value lbt = off.card(1)["SX1301_conf"]["lbt_cfg"];
  EXPECT_FALSE(lbt["enable"].asBool());
  EXPECT_EQ(lbt["chan_cfg"][0]["freq_hz"].asInt(), 1);
  EXPECT_FALSE(log.contains("LBT is enabled"));
}

TEST(PacketForwarderConfig, NetworkModeGatewayConfAndSecondCard) {
  struct Case {
    int mode;
    const char* lora;
    bool lorawanPublic;
    int syncWord;
    int modeAfter;
  };
  LogCapture quiet;
  const Case cases[] = {
      {1, "{}", true, 52, 1},
      {0, "{}", false, 18, 0},
      {2, "{}", false, 18, 2},
      {2, R"({"syncWord": 52})", true, 52, 1},
      {1, R"({"syncWord": 18})", true, 18, 1},
      {0, R"({"syncWord": -52})", false, 18, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + c.lora);
    Writer w(c.lora, c.mode);
    ASSERT_TRUE(w.write("EU868"));
    const Json::Value card = w.card(1);
    EXPECT_EQ(card["SX1301_conf"]["lorawan_public"].asBool(), c.lorawanPublic);
    EXPECT_EQ(card["gateway_conf"]["synch_word"].asInt(), c.syncWord);
    EXPECT_EQ(w.config["network"]["public"].asInt(), c.modeAfter);
  }

  // One card: no SPI device is chosen for it.
  Writer single(R"({"frequencySubBand": 2})");
  ASSERT_TRUE(single.write("US915"));
  const Json::Value gw = single.card(1)["gateway_conf"];
  EXPECT_EQ(gw["gateway_ID"].asString(), "00800000a0000f4d");
  EXPECT_EQ(gw["server_address"].asString(), "127.0.0.1");
  EXPECT_EQ(gw["serv_port_up"].asInt(), 11780);
  EXPECT_EQ(gw["serv_port_down"].asInt(), 11782);
  EXPECT_EQ(gw["keepalive_interval"].asInt(), 10);
  EXPECT_EQ(gw["stat_interval"].asInt(), 20);
  EXPECT_EQ(gw["push_timeout_ms"].asInt(), 120);
  EXPECT_TRUE(gw["forward_crc_valid"].asBool());
  EXPECT_TRUE(gw["forward_crc_error"].asBool());
  EXPECT_FALSE(gw["forward_crc_disabled"].asBool());
  EXPECT_FALSE(gw.isMember("spi_device"));
  EXPECT_EQ(single.text(2), "");

  // Two cards: each its device and EUI; the second card of a wide-band plan its own sub-band.
  Writer two(R"({"frequencySubBand": 2, "frequencySubBand2": 3})");
  ASSERT_TRUE(two.write("US915", "00:80:00:00:A0:00:0F:4E"));
  const Json::Value card1 = two.card(1);
  const Json::Value card2 = two.card(2);
  EXPECT_EQ(card1["gateway_conf"]["spi_device"].asString(), "/dev/spidev32766.2");
  EXPECT_EQ(card2["gateway_conf"]["spi_device"].asString(), "/dev/spidev32765.2");
  EXPECT_EQ(card2["gateway_conf"]["gateway_ID"].asString(), "00800000a0000f4e");
  EXPECT_EQ(card1["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(904.3));
  EXPECT_EQ(card2["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(905.9));
  EXPECT_EQ(card2["SX1301_conf"]["radio_1"]["freq"].asUInt(), Hz(906.7));
  EXPECT_EQ(ChannelHz(card2["SX1301_conf"], card2["SX1301_conf"]["chan_multiSF_0"]), Hz(905.5));
  EXPECT_EQ(ChannelHz(card2["SX1301_conf"], card2["SX1301_conf"]["chan_Lora_std"]), Hz(906.2));
  // The channel map stays the first card's.
  EXPECT_EQ(two.config["packetForwarders"].size(), 1u);
  EXPECT_EQ(two.config["packetForwarders"][0]["channels"][0]["frequency"].asUInt(), Hz(903.9));
}

TEST(PacketForwarderConfig, SubBandsOutOfRangeBecomeOne) {
  struct Case {
    const char* lora;
    const char* warning;
  };
  const Case cases[] = {
      {"{}", "Setting ['lora']['frequencySubBand'] not found in config, using sub-band 1"},
      {R"({"frequencySubBand": 0})",
       "Invalid ['lora']['frequencySubBand'] setting 0, using sub-band 1"},
      {R"({"frequencySubBand": 9})",
       "Invalid ['lora']['frequencySubBand'] setting 9, using sub-band 1"},
      {R"({"frequencySubBand": -3})",
       "Invalid ['lora']['frequencySubBand'] setting -3, using sub-band 1"},
      {R"({"frequencySubBand": "2"})",
       "Invalid ['lora']['frequencySubBand'] setting 0, using sub-band 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lora);
    Writer w(c.lora);
    LogCapture log;
    ASSERT_TRUE(w.write("US915"));
    EXPECT_EQ(log.count(c.warning), 1u) << log.dump();
    EXPECT_EQ(w.config["lora"]["frequencySubBand"], Json::Value(1));
    EXPECT_EQ(w.card(1)["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(902.7));
  }
  Writer second(R"({"frequencySubBand": 4})");
  LogCapture log;
  ASSERT_TRUE(second.write("AU915", "0080000000000002"));
  EXPECT_TRUE(
      log.contains("Setting ['lora']['frequencySubBand2'] not found in config, using sub-band 1"));
  EXPECT_EQ(second.card(2)["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(915.6));
}

TEST(PacketForwarderConfig, TemplateIsKeptAndFallsBack) {
  const std::string kTemplate = R"(// the lab gateway
{
  "SX1301_conf": {
    "antenna_gain": 2,
    "radio_0": {"type": "SX1257", "tx_notch_freq": 140000, "freq": 1},
    "chan_Lora_std": {"spread_factor": 9, "bandwidth": 125000},
    "tx_lut_0": {"pa_gain": 0, "rf_power": -6}
  },
  "gateway_conf": {"gateway_ID": "AA555A0000000000", "spi_device": "/dev/spidev0.0", "gps_tty_path": "/dev/ttyS1"}
})";
  struct Case {
    const char* name;
    const char* primary;   // nullptr: missing file
    const char* fallback;  // nullptr: missing file
    std::vector<std::string> lines;
    bool fromTemplate;
  };
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const Case cases[] = {
      {"primary",
       kTemplate.c_str(),
       "not read",
       {"Loaded default global_conf.json from <t>"},
       true},
      {"primary missing",
       nullptr,
       kTemplate.c_str(),
       {"Failed to load default global_conf.json from <t>",
        "Loaded default global_conf.json from <o>"},
       true},
      {"primary not JSON",
       "SX1301_conf = {",
       kTemplate.c_str(),
       {"Failed to load default global_conf.json from <t>",
        "Loaded default global_conf.json from <o>"},
       true},
      {"neither",
       "[1, 2, 3]",
       "\x01\xff{",
       {"Failed to load default global_conf.json from <t>",
        "Failed to load default global_conf.json from <o>"},
       false},
      {"members of the wrong type",
       R"({"SX1301_conf": [1], "gateway_conf": 7})",
       nullptr,
       {"Loaded default global_conf.json from <t>"},
       false},
      {"nesting too deep",
       deep.c_str(),
       nullptr,
       {"Failed to load default global_conf.json from <t>"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer w(R"({"frequencySubBand": 1})");
    if (c.primary) WriteFile(w.dir.file("templates/global_conf.json"), c.primary);
    if (c.fallback) WriteFile(w.dir.file("opt/global_conf.json"), c.fallback);
    LogCapture log;
    ASSERT_TRUE(w.write("US915"));
    for (std::string line : c.lines) {
      line.replace(line.find('<'), 3,
                   line.find("<t>") != std::string::npos ? w.settings.paths.templateDir
                                                         : w.settings.paths.templateFallbackDir);
      EXPECT_EQ(log.count(line), 1u) << line << "\n" << log.dump();
    }
    const std::string text = w.text(1);
    const Json::Value card = Parse(text);
    // The members written are there whatever the template was.
    EXPECT_EQ(card["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(902.7));
    EXPECT_EQ(card["SX1301_conf"]["chan_Lora_std"]["spread_factor"].asInt(), 8);
    EXPECT_EQ(card["gateway_conf"]["gateway_ID"].asString(), "00800000a0000f4d");
    EXPECT_FALSE(card["SX1301_conf"]["radio_0"].isMember("tx_notch_freq"));
    EXPECT_EQ(card["SX1301_conf"]["antenna_gain"].isNull(), !c.fromTemplate);
    if (c.fromTemplate) {
      EXPECT_EQ(card["SX1301_conf"]["radio_0"]["type"].asString(), "SX1257");
      EXPECT_EQ(card["SX1301_conf"]["tx_lut_0"]["rf_power"].asInt(), -6);
      EXPECT_EQ(card["gateway_conf"]["gps_tty_path"].asString(), "/dev/ttyS1");
      EXPECT_EQ(card["gateway_conf"]["spi_device"].asString(), "/dev/spidev0.0");
      EXPECT_NE(text.find("// the lab gateway"), std::string::npos);
    }
    // Styled with tabs.
    EXPECT_NE(text.find("\n\t\"SX1301_conf\""), std::string::npos) << text;
    EXPECT_NE(text.find("\n\t\t\"radio_0\""), std::string::npos);
  }
}

TEST(PacketForwarderConfig, BadInputIsReportedWithoutFiles) {
  {
    Writer w("{}");
    LogCapture log;
    EXPECT_FALSE(w.write("CN470"));
    EXPECT_EQ(log.count("Unsupported channel plan CN470."), 1u);
    EXPECT_FALSE(w.config.isMember("packetForwarders"));
  }
  for (const char* eui : {"", "0080", "00800000a0000f4dff", "zz800000a0000f4d"}) {
    SCOPED_TRACE(eui);
    Writer w("{}");
    LogCapture log;
    EXPECT_FALSE(w.write("EU868", "", eui));
    EXPECT_EQ(log.count("Invalid EUI of LoRa card 1 [" + std::string(eui) + "]"), 1u) << log.dump();
    EXPECT_EQ(w.text(1), "");
  }
  {
    Writer w("{}");
    LogCapture log;
    EXPECT_FALSE(w.write("EU868", "not-an-eui"));
    EXPECT_EQ(log.count("Invalid EUI of LoRa card 2 [not-an-eui]"), 1u);
    EXPECT_NE(w.text(1), "");
    EXPECT_EQ(w.text(2), "");
  }
  // Files that cannot be written are not reported; the channel map is still recorded.
  TempDir dir;
  WriteFile(dir.file("plain-file"), "x");
  for (const std::string& path : {dir.file("plain-file"), dir.file("missing/folder")}) {
    SCOPED_TRACE(path);
    Writer w("{}");
    LogCapture log(20);
    EXPECT_FALSE(WritePacketForwarderConfiguration(w.config, w.settings, "EU868", path,
                                                   "0080000000000001", "0080000000000002"));
    EXPECT_EQ(log.dump(), "[WARNING] Failed to load default global_conf.json from " +
                              w.settings.paths.templateDir +
                              "\n[WARNING] Failed to load default global_conf.json from " +
                              w.settings.paths.templateFallbackDir + "\n");
    EXPECT_EQ(w.config["packetForwarders"][0]["channels"].size(), 9u);
  }
  // A second run replaces the file and leaves nothing else behind.
  LogCapture quiet;
  Writer w(R"({"frequencySubBand": 1})");
  ASSERT_TRUE(w.write("US915"));
  w.config["lora"]["frequencySubBand"] = 3;
  ASSERT_TRUE(w.write("US915"));
  EXPECT_EQ(w.card(1)["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(905.9));
  struct stat ignored;
  EXPECT_NE(stat(w.dir.file("out/1/global_conf.json.tmp").c_str(), &ignored), 0);
}

}  // namespace
