// vallorin --check-config: the start-up validation an operator runs before a restart. It must give
// the verdict of a real start (exit 0 or 1) while leaving the machine as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "Harness.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"

using e2e::BaseConfig;
using e2e::ParseJson;
using e2e::RunBinary;
using e2e::WriteConfig;
using std::filesystem::exists;
using testsupport::Contains;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(CheckConfig, ValidFilePrintsTheEffectiveDocumentAndTouchesNothing) {
  TempDir dir;
  // Three warnings: the lead time is raised to 250, the power lowered to 27, the beacon off.
  const Json::Value config = BaseConfig(
      dir.path(), R"({"lora": {"networkLeadTime": 100, "beaconPower": 40, "beaconInterval": null}})");
  const std::string path = WriteConfig(dir.path(), config);
  // A real start with these options would write the packet forwarder's file from this template.
  mkdir(dir.file("templates").c_str(), 0777);
  mkdir(dir.file("lora").c_str(), 0777);
  testsupport::WriteFile(dir.file("templates/global_conf.json"),
                         ReadFile(std::string(VALLORIN_SOURCE_DIR) + "/examples/global_conf.json"));

  // Every port of the configuration is taken: a check that bound one would not pass, and one
  // that only tested the upstream port (as start-up does) would fail on it.
  std::vector<std::unique_ptr<UdpSocket>> ports;
  for (const char* port : {"upstreamPort", "downstreamPort", "appPortUp", "appPortDown", "commandPort"}) {
    ports.push_back(std::make_unique<UdpSocket>());
    ASSERT_TRUE(ports.back()->open(config["udp"][port].asUInt(), false)) << port;
  }

  auto run = RunBinary({"--check-config", "-c", path, "-l", dir.file("other.log"), "--lora-path",
                        dir.file("lora"), "--lora-eui", "00-80-00-00-a0-00-0f-4d"},
                       dir.path());
  EXPECT_EQ(run.status, 0) << run.err;

  // Standard output is the document alone, with the defaults and corrections written in and the
  // options (the card's EUI) applied.
  const Json::Value effective = ParseJson(run.out);
  e2e::ExpectMembers(effective, R"({"network": {"eui": "0011223344556677"},
      "lora": {"networkLeadTime": 250, "beaconPower": 27, "rx2Frequency": 869525000,
               "eui_1": "00-80-00-00-a0-00-0f-4d"}})");
  EXPECT_FALSE(effective.isMember("packetForwarders"));  // recorded only when the files are written

  // Every warning, and the verdict last.
  for (const char* line : {"[WARNING] Configured network-lead-time is below the minimum",
                           "[WARNING] Invalid beacon power, cannot be greater than 27",
                           "[WARNING] Setting for beacon interval not found. Beacon is disabled.",
                           "Configuration valid: "}) {
    EXPECT_TRUE(Contains(run.err, line)) << line << "\n" << run.err;
  }
  EXPECT_FALSE(Contains(run.err, "[INFO]")) << run.err;

  // Nothing was created: no database (flash or run-time copy), no log file, no forwarder file.
  for (const char* file : {"flash/vallorin.db", "run", "vallorin.log", "other.log", "lora/1"}) {
    EXPECT_FALSE(exists(dir.file(file))) << file;
  }
}

// A refusal from the first reading of the document and one from the channel plan's set-up.
TEST(CheckConfig, RefusalsOfStartUpExitWithOne) {
  TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {R"({"lora": {"frequencyBand": null}})", "Must supply region frequency band and channel plan."},
      {R"({"udp": 5})", "must be a JSON object"},
  };
  for (const auto& [patch, expected] : cases) {
    SCOPED_TRACE(patch);
    auto run = RunBinary(
        {"--check-config", "-c", WriteConfig(dir.path(), BaseConfig(dir.path(), patch))}, dir.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, expected)) << run.err;
    EXPECT_TRUE(Contains(run.err, "Configuration not valid: ")) << run.err;
    EXPECT_EQ(run.out, "");  // no document for a configuration that would not start
  }

  // The file itself, and the command line.
  testsupport::WriteFile(dir.file("broken.conf"), "{\"lora\": ");
  auto broken = RunBinary({"--check-config", "-c", dir.file("broken.conf")}, dir.path());
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(Contains(broken.err, "invalid JSON")) << broken.err;
  auto missing = RunBinary({"-c", dir.file("none.conf"), "--check-config"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.err, "Configuration file not found [" + dir.file("none.conf") + "]"));
  auto option = RunBinary(
      {"--check-config", "-c", WriteConfig(dir.path(), BaseConfig(dir.path())), "--no-such"},
      dir.path());
  EXPECT_EQ(option.status, 1);
  EXPECT_TRUE(Contains(option.err, "Unrecognized parameter --no-such")) << option.err;

  EXPECT_FALSE(exists(dir.file("flash/vallorin.db")));
  EXPECT_FALSE(exists(dir.file("run")));
}
