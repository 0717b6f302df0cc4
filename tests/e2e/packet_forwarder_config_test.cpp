// The packet forwarder files as the real binary writes them with --lora-path and --lora-eui,
// compared member by member with the regional channel frequencies typed in here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "Harness.h"
#include "TestSupport.h"

using e2e::ExpectMembers;
using e2e::ParseJson;
using testsupport::Contains;
using testsupport::ReadFile;

namespace {

// A folder with the example template in templates/ and an empty lora/ for the output; run()
// starts the server with card 1 in lora/, then `options`, stops it and keeps what it wrote.
struct CardFolder {
  testsupport::TempDir dir;
  Json::Value config = e2e::BaseConfig(dir.path());
  std::string log;
  Json::Value effective, card1, card2;

  CardFolder() {
    mkdir(dir.file("templates").c_str(), 0755);
    mkdir(dir.file("lora").c_str(), 0755);
    const std::string example = VALLORIN_SOURCE_DIR + std::string("/examples/global_conf.json");
    testsupport::WriteFile(dir.file("templates/global_conf.json"), ReadFile(example));
  }
  void run(const std::vector<std::string>& options) {
    std::vector<std::string> args = {"--lora-path", dir.file("lora"), "--lora-eui",
                                     "00-80-00-00-A0-00-0F-4D"};
    args.insert(args.end(), options.begin(), options.end());
    const e2e::ExitResult result = e2e::StartAndStop(dir.path(), config, args);
    EXPECT_EQ(result.status, 0);
    log = result.out;
    effective = e2e::EffectiveConfig(log);
    EXPECT_TRUE(effective.isObject()) << log;
    card1 = ParseJson(ReadFile(dir.file("lora/1/global_conf.json")));
    card2 = ParseJson(ReadFile(dir.file("lora/2/global_conf.json")));
  }
  const Json::Value& sx() const { return card1["SX1301_conf"]; }

  // The eight multi-SF channels, then the standard LoRa and the FSK channel (MHz, 0: disabled),
  // in the file and, but for FSK, in the logged channel map.
  void expectChannels(const std::vector<double>& mhz) const {
    const Json::Value& map = effective["packetForwarders"][0]["channels"];
    ASSERT_EQ(map.size(), 9u) << log;
    for (unsigned i = 0; i < 10; ++i) {
      const Json::Value& channel = sx()[i < 8    ? "chan_multiSF_" + std::to_string(i)
                                        : i == 8 ? "chan_Lora_std"
                                                 : "chan_FSK"];
      const Json::Value& radio = sx()["radio_" + std::to_string(channel["radio"].asInt())];
      const auto hz = static_cast<int64_t>(std::llround(mhz[i] * 1e6));
      EXPECT_EQ(channel["enable"].asBool() ? radio["freq"].asInt64() + channel["if"].asInt64() : 0,
                hz)
          << i;
      EXPECT_EQ(map[i]["enabled"].asBool() ? map[i]["frequency"].asInt64() : 0, i < 9 ? hz : 0)
          << i;
    }
  }
};
}  // namespace

TEST(PacketForwarderFiles, RadiosAndChannelsPerRegionFromTheExampleTemplate) {
  struct Case {
    const char* lora;  // laid over the configuration's "lora" section
    std::vector<std::string> options;
    const char* line;               // in the log ("" for none)
    std::vector<double> channels;   // as expectChannels() takes them; empty: not checked
    const char* card1;              // members of card 1's file
    const char* card2;              // members of card 2's file ("" for none)
    const char* effective = "{}";   // members of the logged configuration
  };
  const Case cases[] = {
      // tx_lut_15 and the radio type are the template's.
      {R"({"frequencyBand": "US915"})", {"--subband", "2"}, "",
       {903.9, 904.1, 904.3, 904.5, 904.7, 904.9, 905.1, 905.3, 904.6, 0},
       R"({"SX1301_conf": {"lorawan_public": true, "clksrc": 0,
           "radio_0": {"enable": true, "freq": 904300000, "tx_freq_min": 902000000,
                       "tx_freq_max": 928000000, "type": "SX1257", "tx_notch_freq": null},
           "radio_1": {"enable": true, "freq": 905100000},
           "chan_Lora_std": {"spread_factor": 8, "bandwidth": 500000}, "tx_lut_15": {"rf_power": 27}},
         "gateway_conf": {"gateway_ID": "00800000a0000f4d", "server_address": "127.0.0.1",
                          "synch_word": 52, "spi_device": null}})",
       ""},
      // The single-rate channels sit at radio 0 plus the configured DR6 and DR7 offsets.
      {R"({"frequencyEU": 869300000, "frequencyOffsetDR6": -100000, "frequencyOffsetDR7": 200000})",
       {}, "", {868.1, 868.3, 868.5, 868.8, 869.0, 869.525, 869.8, 0, 868.4, 868.7},
       R"({"SX1301_conf": {"radio_1": {"enable": true, "freq": 869400000},
           "radio_0": {"freq": 868500000, "tx_notch_freq": 129000, "tx_freq_min": 863000000,
                       "tx_freq_max": 870000000},
           "chan_Lora_std": {"spread_factor": 7, "bandwidth": 250000},
           "chan_FSK": {"datarate": 50000, "bandwidth": 125000, "freq_deviation": 25000}}})",
       ""},
      // The default RX2 frequency, 923.2 MHz, is already listed.
      {R"({"frequencyBand": "AS923", "frequencyAS": 923000000, "lbtEnabled": true})", {},
       "Invalid frequency for radio 1, only radio 0 will be enabled",
       {923.2, 923.4, 923.6, 0, 0, 0, 0, 0, 923.4, 923.9},
       R"({"SX1301_conf": {"radio_0": {"enable": true, "freq": 923600000},
           "radio_1": {"enable": false},
           "lbt_cfg": {"enable": true, "rssi_target": -80, "sx127x_rssi_offset": -24,
                       "chan_cfg": [{"freq_hz": 923200000, "scan_time_us": 5000},
                                    {"freq_hz": 923400000, "scan_time_us": 5000},
                                    {"freq_hz": 923600000, "scan_time_us": 5000}]}}})",
       ""},
      {R"({"frequencyBand": "US915"})", {"--subband", "9"},
       "Invalid ['lora']['frequencySubBand'] setting 9, using sub-band 1",
       {902.3, 902.5, 902.7, 902.9, 903.1, 903.3, 903.5, 903.7, 903.0, 0}, "{}", "",
       R"({"lora": {"frequencySubBand": 1}})"},
      {R"({"frequencyBand": "AU915"})",
       {"--subband", "2", "--lora-eui-2", "00800000A0000F4E", "--subband-2", "3", "--private-lorawan"},
       "", {},
       R"({"SX1301_conf": {"radio_0": {"freq": 917200000}, "lorawan_public": false},
         "gateway_conf": {"spi_device": "/dev/spidev32766.2", "synch_word": 18}})",
       R"({"SX1301_conf": {"radio_0": {"freq": 918800000}, "radio_1": {"freq": 919600000},
           "lorawan_public": false},
         "gateway_conf": {"spi_device": "/dev/spidev32765.2", "synch_word": 18,
                          "gateway_ID": "00800000a0000f4e"}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lora + (c.options.empty() ? "" : " " + c.options[0] + " " + c.options[1]));
    CardFolder s;
    const Json::Value lora = ParseJson(c.lora);
    for (const std::string& name : lora.getMemberNames()) s.config["lora"][name] = lora[name];
    s.run(c.options);
    EXPECT_TRUE(Contains(s.log, "Loaded default global_conf.json from " + s.dir.file("templates/")));
    EXPECT_EQ(ReadFile(s.dir.file("lora/1/global_conf.json")).rfind("/* Packet forwarder", 0), 0u);
    EXPECT_TRUE(Contains(s.log, c.line)) << c.line;
    ExpectMembers(s.effective, c.effective);
    if (!c.channels.empty()) s.expectChannels(c.channels);
    ExpectMembers(s.card1, c.card1);
    if (*c.card2) ExpectMembers(s.card2, c.card2);
    EXPECT_EQ(s.card1["gateway_conf"]["serv_port_up"], s.config["udp"]["upstreamPort"]);
    EXPECT_EQ(s.card1["gateway_conf"]["serv_port_down"], s.config["udp"]["downstreamPort"]);
  }
}

TEST(PacketForwarderFiles, BadInputNeverStopsTheServer) {
  // A template that is not JSON: the fallback folder's is used, comment and all. A second card
  // with a bad EUI gets no file.
  CardFolder bad;
  mkdir(bad.dir.file("opt").c_str(), 0755);
  testsupport::WriteFile(bad.dir.file("templates/global_conf.json"), "{\"SX1301_conf\": {");
  testsupport::WriteFile(bad.dir.file("opt/global_conf.json"),
                         "// lab\n{\"SX1301_conf\": {\"tx_lut_0\": {\"rf_power\": -6}}}");
  bad.run({"--lora-eui-2", "not-an-eui"});
  const std::string failed = "Failed to load default global_conf.json from ";
  EXPECT_TRUE(Contains(bad.log, failed + bad.dir.file("templates/")));
  EXPECT_TRUE(Contains(bad.log, "Loaded default global_conf.json from " + bad.dir.file("opt/")));
  EXPECT_TRUE(Contains(bad.log, "Invalid EUI of LoRa card 2 [not-an-eui]"));
  ExpectMembers(bad.card1, R"({"SX1301_conf": {"radio_0": {"freq": 868500000},
      "tx_lut_0": {"rf_power": -6}}, "gateway_conf": {"gateway_ID": "00800000a0000f4d"}})");
  EXPECT_EQ(ReadFile(bad.dir.file("lora/1/global_conf.json")).rfind("// lab\n", 0), 0u);
  EXPECT_TRUE(bad.card2.isNull());

  // An output folder that cannot hold the files: not reported, start-up goes on.
  CardFolder unwritable;
  testsupport::WriteFile(unwritable.dir.file("not-a-folder"), "x");
  unwritable.run({"--lora-path", unwritable.dir.file("not-a-folder")});
  EXPECT_TRUE(Contains(unwritable.log, "Write global_conf.json card 1"));
  EXPECT_EQ(unwritable.effective["packetForwarders"][0]["channels"].size(), 9u);
}
