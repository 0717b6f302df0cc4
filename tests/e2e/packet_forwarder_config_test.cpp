// The packet forwarder files as the real binary writes them with --lora-path and --lora-eui,
// compared member by member with the regional channel frequencies typed in here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <functional>
#include <sstream>

#include "Harness.h"
#include "TestSupport.h"

using e2e::BaseConfig;
using e2e::EffectiveConfig;
using e2e::ServerProcess;
using e2e::WriteConfig;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const char* const kEui = "00-80-00-00-A0-00-0F-4D";

uint32_t Hz(double mhz) { return static_cast<uint32_t>(std::llround(mhz * 1e6)); }

Json::Value ParseFile(const std::string& path) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(ReadFile(path));
  Json::parseFromStream(builder, in, &value, &errors);
  return value;
}

struct ServerRun {
  int status = -1;
  std::string log;
  Json::Value effective;
  Json::Value card1;
  Json::Value card2;
};

// A folder with the example template in templates/ and an empty lora/ for the output.
struct CardFolder {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  CardFolder() {
    mkdir(dir.file("templates").c_str(), 0755);
    mkdir(dir.file("lora").c_str(), 0755);
    testsupport::WriteFile(
        dir.file("templates/global_conf.json"),
        ReadFile(std::string(VALLORIN_SOURCE_DIR) + "/examples/global_conf.json"));
  }

  // Runs the server through start-up and stops it; or, when start-up refuses, waits for its exit.
  ServerRun run(std::vector<std::string> options, bool startsUp = true) {
    std::vector<std::string> args = {"-c", WriteConfig(dir.path(), config)};
    args.insert(args.end(), options.begin(), options.end());
    const std::string logPath = config["log"]["path"].asString();
    ServerProcess server(dir.path());
    server.start(args);
    ServerRun result;
    if (startsUp) {
      EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath));
      result.status = server.stop(SIGTERM, 5000);
    } else {
      result.status = server.wait(10000);
    }
    result.log = server.out() + ReadFile(logPath);
    result.effective = EffectiveConfig(result.log);
    result.card1 = ParseFile(dir.file("lora/1/global_conf.json"));
    result.card2 = ParseFile(dir.file("lora/2/global_conf.json"));
    return result;
  }
  std::vector<std::string> cardOptions() const {
    return {"--lora-path", dir.file("lora"), "--lora-eui", kEui};
  }
};

uint32_t ChannelHz(const Json::Value& sx, const Json::Value& channel) {
  const Json::Value& radio = sx["radio_" + std::to_string(channel["radio"].asInt())];
  return static_cast<uint32_t>(radio["freq"].asInt64() + channel["if"].asInt64());
}

// The eight multi-SF channels (MHz, 0 = disabled) in the file and in the logged channel map.
void ExpectMultiSf(const ServerRun& run, const std::vector<double>& mhz) {
  const Json::Value& sx = run.card1["SX1301_conf"];
  const Json::Value& map = run.effective["packetForwarders"][0]["channels"];
  ASSERT_EQ(map.size(), 9u) << run.log;
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const Json::Value& channel = sx["chan_multiSF_" + std::to_string(i)];
    EXPECT_EQ(channel["enable"].asBool(), mhz[i] != 0);
    EXPECT_EQ(map[i]["enabled"].asBool(), mhz[i] != 0);
    if (mhz[i] != 0) {
      EXPECT_EQ(ChannelHz(sx, channel), Hz(mhz[i]));
      EXPECT_EQ(map[i]["frequency"].asUInt(), Hz(mhz[i]));
    }
  }
}

bool Contains(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

}  // namespace

TEST(PacketForwarderFiles, Us915SubBand2FromTheExampleTemplate) {
  CardFolder s;
  s.config["lora"]["frequencyBand"] = "US915";
  std::vector<std::string> options = s.cardOptions();
  options.insert(options.end(), {"--subband", "2"});
  ServerRun run = s.run(options);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(
      Contains(run.log, "Loaded default global_conf.json from " + s.dir.file("templates/")));
  EXPECT_TRUE(Contains(run.log, "Setup for global_conf.json for US915"));
  EXPECT_TRUE(Contains(run.log, "Write global_conf.json card 1"));
  EXPECT_FALSE(Contains(run.log, "card 2"));

  const Json::Value& sx = run.card1["SX1301_conf"];
  EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), Hz(904.3));
  EXPECT_EQ(sx["radio_1"]["freq"].asUInt(), Hz(905.1));
  EXPECT_TRUE(sx["radio_1"]["enable"].asBool());
  EXPECT_EQ(sx["radio_0"]["tx_freq_min"].asUInt(), Hz(902));
  EXPECT_EQ(sx["radio_0"]["tx_freq_max"].asUInt(), Hz(928));
  EXPECT_FALSE(sx["radio_0"].isMember("tx_notch_freq"));
  ExpectMultiSf(run, {903.9, 904.1, 904.3, 904.5, 904.7, 904.9, 905.1, 905.3});
  EXPECT_EQ(ChannelHz(sx, sx["chan_Lora_std"]), Hz(904.6));
  EXPECT_EQ(sx["chan_Lora_std"]["spread_factor"].asInt(), 8);
  EXPECT_EQ(sx["chan_Lora_std"]["bandwidth"].asInt(), 500000);
  EXPECT_EQ(run.effective["packetForwarders"][0]["channels"][8]["frequency"].asUInt(), Hz(904.6));
  EXPECT_FALSE(sx["chan_FSK"]["enable"].asBool());
  EXPECT_TRUE(sx["lorawan_public"].asBool());
  EXPECT_EQ(sx["clksrc"].asInt(), 0);

  const Json::Value& gw = run.card1["gateway_conf"];
  EXPECT_EQ(gw["gateway_ID"].asString(), "00800000a0000f4d");
  EXPECT_EQ(gw["serv_port_up"].asInt(), s.config["udp"]["upstreamPort"].asInt());
  EXPECT_EQ(gw["serv_port_down"].asInt(), s.config["udp"]["downstreamPort"].asInt());
  EXPECT_EQ(gw["server_address"].asString(), "127.0.0.1");
  EXPECT_EQ(gw["synch_word"].asInt(), 52);
  EXPECT_FALSE(gw.isMember("spi_device"));

  // What the server does not decide comes from the template.
  EXPECT_EQ(sx["radio_0"]["type"].asString(), "SX1257");
  EXPECT_EQ(sx["tx_lut_15"]["rf_power"].asInt(), 27);
  EXPECT_TRUE(sx.isMember("antenna_gain"));
  EXPECT_EQ(
      ReadFile(s.dir.file("lora/1/global_conf.json")).rfind("/* Packet forwarder template", 0), 0u);
}

TEST(PacketForwarderFiles, RegionsSubBandsAndSecondCard) {
  struct Case {
    const char* name;
    std::function<void(Json::Value&)> edit;
    std::vector<std::string> options;
    std::function<void(const ServerRun&)> check;
  };
  const Case cases[] = {
      {"EU868 radio 1 placed at 869.4 MHz",
       [](Json::Value& c) { c["lora"]["frequencyEU"] = 869300000; },
       {},
       [](const ServerRun& run) {
         const Json::Value& sx = run.card1["SX1301_conf"];
         EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), Hz(868.5));
         EXPECT_EQ(sx["radio_1"]["freq"].asUInt(), Hz(869.4));
         ExpectMultiSf(run, {868.1, 868.3, 868.5, 868.8, 869.0, 869.525, 869.8, 0});
         EXPECT_EQ(ChannelHz(sx, sx["chan_Lora_std"]), Hz(868.3));
         EXPECT_EQ(ChannelHz(sx, sx["chan_FSK"]), Hz(868.8));
         EXPECT_EQ(sx["radio_0"]["tx_notch_freq"].asInt(), 129000);
         EXPECT_EQ(sx["radio_0"]["tx_freq_max"].asUInt(), Hz(870));
         EXPECT_FALSE(Contains(run.log, "Invalid frequency for radio 1"));
       }},
      {"AS923 radio 1 between the ranges, with LBT",
       [](Json::Value& c) {
         c["lora"]["frequencyBand"] = "AS923";
         c["lora"]["frequencyAS"] = 923000000;
         c["lora"]["lbtEnabled"] = true;
       },
       {},
       [](const ServerRun& run) {
         const Json::Value& sx = run.card1["SX1301_conf"];
         EXPECT_TRUE(
             Contains(run.log, "Invalid frequency for radio 1, only radio 0 will be enabled"));
         EXPECT_TRUE(Contains(run.log, "LBT is enabled"));
         EXPECT_EQ(sx["radio_0"]["freq"].asUInt(), Hz(923.6));
         EXPECT_FALSE(sx["radio_1"]["enable"].asBool());
         ExpectMultiSf(run, {923.2, 923.4, 923.6, 0, 0, 0, 0, 0});
         for (int i = 3; i < 8; ++i) {
           EXPECT_FALSE(run.effective["packetForwarders"][0]["channels"][i].isMember("frequency"));
         }
         // The default AS923 RX2 frequency is already a listed channel.
         const Json::Value& lbt = sx["lbt_cfg"];
         EXPECT_TRUE(lbt["enable"].asBool());
         EXPECT_EQ(lbt["rssi_target"].asInt(), -80);
         EXPECT_EQ(lbt["sx127x_rssi_offset"].asInt(), -24);
         ASSERT_EQ(lbt["chan_cfg"].size(), 3u);
         EXPECT_EQ(lbt["chan_cfg"][2]["freq_hz"].asUInt(), Hz(923.6));
         EXPECT_EQ(lbt["chan_cfg"][2]["scan_time_us"].asInt(), 5000);
       }},
      {"US915 without a sub-band",
       [](Json::Value& c) { c["lora"]["frequencyBand"] = "US915"; },
       {},
       [](const ServerRun& run) {
         EXPECT_TRUE(Contains(
             run.log,
             "Setting ['lora']['frequencySubBand'] not found in config, using sub-band 1"));
         EXPECT_EQ(run.effective["lora"]["frequencySubBand"].asInt(), 1);
         EXPECT_EQ(run.card1["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(902.7));
       }},
      {"US915 sub-band 9",
       [](Json::Value& c) { c["lora"]["frequencyBand"] = "US915"; },
       {"--subband", "9"},
       [](const ServerRun& run) {
         EXPECT_TRUE(
             Contains(run.log, "Invalid ['lora']['frequencySubBand'] setting 9, using sub-band 1"));
         EXPECT_EQ(run.effective["lora"]["frequencySubBand"].asInt(), 1);
         ExpectMultiSf(run, {902.3, 902.5, 902.7, 902.9, 903.1, 903.3, 903.5, 903.7});
       }},
      {"AU915 with a second card on sub-band 3, private network",
       [](Json::Value& c) { c["lora"]["frequencyBand"] = "AU915"; },
       {"--subband", "2", "--lora-eui-2", "00800000A0000F4E", "--subband-2", "3",
        "--private-lorawan"},
       [](const ServerRun& run) {
         EXPECT_TRUE(Contains(run.log, "Write global_conf.json card 2"));
         EXPECT_EQ(run.card1["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(917.2));
         EXPECT_EQ(run.card2["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(918.8));
         EXPECT_EQ(run.card2["SX1301_conf"]["radio_1"]["freq"].asUInt(), Hz(919.6));
         EXPECT_EQ(run.card1["gateway_conf"]["spi_device"].asString(), "/dev/spidev32766.2");
         EXPECT_EQ(run.card2["gateway_conf"]["spi_device"].asString(), "/dev/spidev32765.2");
         EXPECT_EQ(run.card2["gateway_conf"]["gateway_ID"].asString(), "00800000a0000f4e");
         for (const Json::Value* card : {&run.card1, &run.card2}) {
           EXPECT_FALSE((*card)["SX1301_conf"]["lorawan_public"].asBool());
           EXPECT_EQ((*card)["gateway_conf"]["synch_word"].asInt(), 18);
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CardFolder s;
    c.edit(s.config);
    std::vector<std::string> options = s.cardOptions();
    options.insert(options.end(), c.options.begin(), c.options.end());
    ServerRun run = s.run(options);
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(run.effective.isObject()) << run.log;
    c.check(run);
  }
}

TEST(PacketForwarderFiles, BadInputNeverStopsTheServer) {
  {
    // Neither template readable: both failures are logged and the file is built from nothing.
    CardFolder s;
    testsupport::WriteFile(s.dir.file("templates/global_conf.json"), "{\"SX1301_conf\": {");
    ServerRun run = s.run(s.cardOptions());
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(
        run.log, "Failed to load default global_conf.json from " + s.dir.file("templates/")));
    EXPECT_TRUE(
        Contains(run.log, "Failed to load default global_conf.json from " + s.dir.file("opt/")));
    EXPECT_EQ(run.card1["SX1301_conf"]["radio_0"]["freq"].asUInt(), Hz(868.5));
    EXPECT_EQ(run.card1["gateway_conf"]["gateway_ID"].asString(), "00800000a0000f4d");
    EXPECT_FALSE(run.card1["SX1301_conf"].isMember("tx_lut_0"));
  }
  {
    // An output folder that cannot hold the files: not reported, start-up goes on.
    CardFolder s;
    testsupport::WriteFile(s.dir.file("not-a-folder"), "x");
    ServerRun run = s.run({"--lora-path", s.dir.file("not-a-folder"), "--lora-eui", kEui});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.log, "Write global_conf.json card 1"));
    EXPECT_EQ(run.effective["packetForwarders"][0]["channels"].size(), 9u);
  }
  {
    // Without the card EUI nothing is written.
    CardFolder s;
    ServerRun run = s.run({"--lora-path", s.dir.file("lora")});
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(Contains(run.log, "Setup for global_conf.json"));
    EXPECT_FALSE(run.effective.isMember("packetForwarders"));
    EXPECT_TRUE(run.card1.isNull());
  }
  {
    // An unknown region stops start-up before anything is written.
    CardFolder s;
    s.config["lora"]["frequencyBand"] = "XX999";
    ServerRun run = s.run(s.cardOptions(), /*startsUp=*/false);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.log, "Unsupported channel plan XX999."));
    struct stat ignored;
    EXPECT_NE(stat(s.dir.file("lora/1").c_str(), &ignored), 0);
  }
}
