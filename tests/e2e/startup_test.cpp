// Start-up as an operator sees it: the real binary, its standard streams, exit status and log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Harness.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"

using e2e::BaseConfig;
using e2e::EffectiveConfig;
using e2e::RunBinary;
using e2e::ServerProcess;
using e2e::WriteConfig;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Starts the server on the configuration, waits for it to finish start-up, stops it with SIGTERM
// and returns its log. The exit status must be 0.
struct StartedRun {
  std::string log;
  Json::Value effective;
  std::string err;
  int status;
};

StartedRun StartAndStop(const TempDir& dir, const Json::Value& config,
                        std::vector<std::string> extra = {}) {
  std::string path = WriteConfig(dir.path(), config);
  std::vector<std::string> args = {"-c", path};
  args.insert(args.end(), extra.begin(), extra.end());
  ServerProcess server(dir.path());
  server.start(args);
  std::string logPath = config["log"]["path"].asString();
  bool started = server.waitFor("Start GatewayReceive thread", 10000, logPath);
  StartedRun run;
  run.status = server.stop(SIGTERM, 5000);
  // Lines from before the logger is set up go to standard output.
  run.log = server.out() + ReadFile(logPath);
  run.err = server.err();
  run.effective = EffectiveConfig(run.log);
  EXPECT_TRUE(started) << run.log << run.err;
  return run;
}

// Runs a configuration that start-up must refuse; returns the log and standard streams.
e2e::ExitResult Refused(const TempDir& dir, const Json::Value& config) {
  std::string path = WriteConfig(dir.path(), config);
  e2e::ExitResult result = RunBinary({"-c", path}, dir.path());
  result.out += ReadFile(config["log"]["path"].asString());
  return result;
}

}  // namespace

TEST(Startup, VersionAndHelpExitBeforeReadingTheFile) {
  TempDir dir;
  auto version = RunBinary({"-c", "/nonexistent.conf", "--debug", "--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "ZEV Network Server - Version 2.0.19\r\n");

  for (const char* help : {"--help", "-help"}) {
    SCOPED_TRACE(help);
    auto usage = RunBinary({help}, dir.path());
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.out.rfind("Kestrawin Lora Network Server v2.0.19\n\nUsage: vallorin [-l log-file]", 0), 0u)
        << usage.out;
    EXPECT_NE(usage.out.find("\nvallorin --version\nvallorin --help\n\n -c : provide path to config file to load\n"),
              std::string::npos);
    EXPECT_NE(usage.out.find(" --leasetime : set expiration of mote network addresses in minutes \n"),
              std::string::npos);
    EXPECT_NE(usage.out.find("\n\n** Options for testing purposes **\n"), std::string::npos);
    EXPECT_NE(usage.out.find(" --disable-duty-cycle : disable duty cycle\n"), std::string::npos);
    EXPECT_EQ(usage.out.back(), '\n');
  }
}

TEST(Startup, MissingOrBrokenConfigurationFileExitsWithOne) {
  TempDir dir;
  auto missing = RunBinary({}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("Configuration file not found [./vallorin.conf]"), std::string::npos)
      << missing.out;

  // With -l the complaint goes to that file.
  auto logged = RunBinary({"-l", dir.file("early.log"), "-c", dir.file("none.conf")}, dir.path());
  EXPECT_EQ(logged.status, 1);
  EXPECT_NE(ReadFile(dir.file("early.log")).find("Configuration file not found [" + dir.file("none.conf") + "]"),
            std::string::npos);

  for (const char* text : {"{\"log\": ", "[1, 2]", "", "{\"lora\": 5}", "\x01\xff\xfe"}) {
    SCOPED_TRACE(text);
    testsupport::WriteFile(dir.file("bad.conf"), text);
    auto bad = RunBinary({"-c", dir.file("bad.conf")}, dir.path());
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(bad.out.find("Failed to parse config file [" + dir.file("bad.conf") + "], invalid JSON") !=
                    std::string::npos ||
                bad.out.find("must be a JSON object") != std::string::npos)
        << bad.out;
  }
}

TEST(Startup, CommandLineComplaints) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  std::string path = WriteConfig(dir.path(), config);

  // Every unrecognised option is named, the scan completes, then the process ends with 1.
  auto unknown = RunBinary({"-c", path, "--bogus", "-x", "--debug"}, dir.path());
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("Unrecognized parameter --bogus\n"), std::string::npos) << unknown.err;
  EXPECT_NE(unknown.err.find("Unrecognized parameter -x\n"), std::string::npos);

  // An option that needs a value, given last.
  auto noValue = RunBinary({"-c", path, "--db"}, dir.path());
  EXPECT_EQ(noValue.status, 1);
  EXPECT_NE(noValue.err.find("Missing value for option --db"), std::string::npos) << noValue.err;
  auto noConfigValue = RunBinary({"-c"}, dir.path());
  EXPECT_EQ(noConfigValue.status, 1);

  // -p with a value that is not a number is reported and start-up goes on.
  auto run = StartAndStop(dir, config, {"-p", "x"});
  EXPECT_NE(run.err.find("Invalid setting for print level 'x'"), std::string::npos) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(Startup, StartsLogsEffectiveConfigurationAndStopsOnSigterm) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  auto run = StartAndStop(dir, config);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.log.find("Lora Network Server started, Version: 2.0.19 GwSerial: TEST-SERIAL"),
            std::string::npos);
  EXPECT_NE(run.log.find("Shutdown signal received 15"), std::string::npos);
  EXPECT_NE(run.log.find("Program closed"), std::string::npos);
  ASSERT_TRUE(run.effective.isObject()) << run.log;
  // Defaults written back into the document.
  const Json::Value& e = run.effective;
  EXPECT_EQ(e["udp"]["orbaPort"].asInt(), config["udp"]["orbaPort"].asInt());
  EXPECT_EQ(e["lora"]["rx1Delay"].asInt(), 1);
  EXPECT_EQ(e["lora"]["joinDelay"].asInt(), 5);
  EXPECT_EQ(e["lora"]["netID"].asString(), "000000");
  EXPECT_EQ(e["lora"]["ADRStep"].asInt(), 30);
  EXPECT_EQ(e["lora"]["beaconPower"].asInt(), 27);
  EXPECT_EQ(e["lora"]["joinByteOrder"].asString(), "LSB");
  EXPECT_EQ(e["lora"]["dutyCyclePeriod"].asInt(), 60);
  EXPECT_EQ(e["network"]["vendorId"].asString(), "008000");
  EXPECT_EQ(e["network"]["eui"].asString(), "0011223344556677");
  EXPECT_FALSE(e["test"]["disableDutyCycle"].asBool());
  EXPECT_TRUE(e["whitelist"]["enabled"].asBool());
  EXPECT_TRUE(e["whitelist"]["devices"].isArray());
  // Reading a key never adds it: nothing in the document is null.
  EXPECT_EQ(run.log.find(": null"), std::string::npos);
}

TEST(Startup, KeyRulesAndDefaults) {
  struct Case {
    const char* name;
    std::function<void(Json::Value&)> edit;
    std::vector<std::string> options;
    std::function<void(const Json::Value& effective, const std::string& log)> check;
  };
  const Case cases[] = {
      {"datarate options", [](Json::Value&) {}, {"--min-dr", "2", "--max-dr", "4"},
       [](const Json::Value& e, const std::string&) {
         EXPECT_EQ(e["lora"]["minDatarate"].asInt(), 2);
         EXPECT_EQ(e["lora"]["maxDatarate"].asInt(), 4);
       }},
      {"datarates swapped",
       [](Json::Value& c) {
         c["lora"]["maxDatarate"] = 1;
         c["lora"]["minDatarate"] = 3;
       },
       {},
       [](const Json::Value& e, const std::string&) {
         EXPECT_EQ(e["lora"]["minDatarate"].asInt(), 1);
         EXPECT_EQ(e["lora"]["maxDatarate"].asInt(), 3);
       }},
      {"netID six digits", [](Json::Value& c) { c["lora"]["netID"] = "00002A"; }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_EQ(e["lora"]["netID"].asString(), "00002A");
         EXPECT_EQ(log.find("Invalid NetID"), std::string::npos);
       }},
      {"netID too short", [](Json::Value& c) { c["lora"]["netID"] = "2A"; }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_EQ(e["lora"]["netID"].asString(), "000000");
         EXPECT_NE(log.find("Invalid NetID, must be valid hex string. Changing to '000000'"),
                   std::string::npos);
       }},
      {"netID eight digits", [](Json::Value&) {}, {"--net-id", "0000002A"},
       [](const Json::Value& e, const std::string&) {
         EXPECT_EQ(e["lora"]["netID"].asString(), "0000002A");
       }},
      {"lead time at minimum", [](Json::Value& c) { c["lora"]["networkLeadTime"] = 250; }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_NE(log.find("Configured network-lead-time is below the minimum, setting to 250 ms."),
                   std::string::npos);
         EXPECT_EQ(e["lora"]["networkLeadTime"].asInt(), 250);
       }},
      {"lead time above minimum", [](Json::Value&) {}, {"--network-lead-time", "251"},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_EQ(log.find("below the minimum"), std::string::npos);
         EXPECT_EQ(e["lora"]["networkLeadTime"].asInt(), 251);
       }},
      {"beacon interval not a divisor", [](Json::Value& c) { c["lora"]["beaconInterval"] = 7; }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_NE(log.find("Invalid beacon interval, must be a factor of the number of seconds in "
                            "a day. Beacon is disabled."),
                   std::string::npos);
         EXPECT_EQ(e["lora"]["beaconInterval"].asInt(), 0);
       }},
      {"beacon interval divisor", [](Json::Value&) {}, {"--beacon-interval", "128"},
       [](const Json::Value& e, const std::string&) {
         EXPECT_EQ(e["lora"]["beaconInterval"].asInt(), 128);
       }},
      {"beacon interval missing, power and delay too high",
       [](Json::Value& c) {
         c["lora"].removeMember("beaconInterval");
         c["lora"]["beaconPower"] = 30;
         c["lora"]["beaconDelay"] = 51;
       },
       {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_NE(log.find("Setting for beacon interval not found. Beacon is disabled."),
                   std::string::npos);
         EXPECT_NE(log.find("Invalid beacon power, cannot be greater than 27. Changing to 27."),
                   std::string::npos);
         EXPECT_NE(log.find("Invalid beacon delay, cannot be greater than 50 ms. Changing to 50."),
                   std::string::npos);
         EXPECT_EQ(e["lora"]["beaconPower"].asInt(), 27);
         EXPECT_EQ(e["lora"]["beaconDelay"].asInt(), 50);
       }},
      {"lease never expires", [](Json::Value& c) { c["network"]["leasetime"] = 0; }, {},
       [](const Json::Value&, const std::string& log) {
         EXPECT_NE(log.find("Devices leases will not expire."), std::string::npos);
       }},
      {"lease default", [](Json::Value&) {}, {},
       [](const Json::Value&, const std::string& log) {
         EXPECT_NE(log.find("Devices leases expire 86400000 ms after last contact"), std::string::npos);
       }},
      {"lease option", [](Json::Value&) {}, {"--leasetime", "2"},
       [](const Json::Value&, const std::string& log) {
         EXPECT_NE(log.find("Devices leases expire 120000 ms after last contact"), std::string::npos);
       }},
      {"network eui and key cleaned",
       [](Json::Value& c) {
         c["network"]["eui"] = "00-80-00-00-00-00-00-01";
         c["network"]["key"] = "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F";
       },
       {},
       [](const Json::Value& e, const std::string&) {
         EXPECT_EQ(e["network"]["eui"].asString(), "0080000000000001");
         EXPECT_EQ(e["network"]["key"].asString(), "000102030405060708090a0b0c0d0e0f");
       }},
      {"public true", [](Json::Value& c) { c["network"]["public"] = true; }, {},
       [](const Json::Value& e, const std::string&) { EXPECT_EQ(e["network"]["public"].asInt(), 1); }},
      {"public false gives private ZEV with a one second join delay",
       [](Json::Value& c) { c["network"]["public"] = false; }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_EQ(e["network"]["public"].asInt(), 0);
         EXPECT_EQ(e["lora"]["joinDelay"].asInt(), 1);
         EXPECT_NE(log.find("Network Mode Private ZEV, Join Delay is not configured, setting Join "
                            "Delay to 1 second"),
                   std::string::npos);
       }},
      {"mode missing", [](Json::Value& c) { c["network"].removeMember("public"); }, {},
       [](const Json::Value& e, const std::string& log) {
         EXPECT_NE(log.find("Setting to Public LoRaWAN Network Mode"), std::string::npos);
         EXPECT_EQ(e["network"]["public"].asInt(), 1);
       }},
      {"disable options fill the test section unless the file sets them",
       [](Json::Value& c) { c["test"]["disableRxWindow1"] = false; },
       {"--disable-rx1", "--disable-duty-cycle"},
       [](const Json::Value& e, const std::string&) {
         EXPECT_FALSE(e["test"]["disableRxWindow1"].asBool());
         EXPECT_TRUE(e["test"]["disableDutyCycle"].asBool());
         EXPECT_FALSE(e["test"]["disableRxJoin1"].asBool());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Json::Value config = BaseConfig(dir.path());
    c.edit(config);
    auto run = StartAndStop(dir, config, c.options);
    EXPECT_EQ(run.status, 0);
    ASSERT_TRUE(run.effective.isObject()) << run.log;
    c.check(run.effective, run.log);
  }
}

TEST(Startup, MissingLogSectionStaysMissing) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  config.removeMember("log");
  std::string path = WriteConfig(dir.path(), config);

  // With -l the file is not looked up; the logged document must be the file's, not a "log": null.
  {
    ServerProcess server(dir.path());
    std::string logPath = dir.file("given.log");
    server.start({"-c", path, "-l", logPath});
    // No level is configured, so the last line to wait for is an info line.
    EXPECT_TRUE(server.waitFor("Devices leases expire", 10000, logPath)) << ReadFile(logPath);
    EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
    std::string log = ReadFile(logPath);
    Json::Value effective = EffectiveConfig(log);
    ASSERT_TRUE(effective.isObject()) << log;
    EXPECT_FALSE(effective.isMember("log")) << log;
    EXPECT_EQ(log.find(": null"), std::string::npos) << log;
  }
  // Without -l the missing path is reported with the document as read.
  {
    ServerProcess server(dir.path());
    server.start({"-c", path});
    EXPECT_TRUE(server.waitFor("['log']['path'] not found in config: \r\n{", 10000))
        << server.out();
    EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
    EXPECT_EQ(server.out().find("null"), std::string::npos) << server.out();
  }
}

TEST(Startup, NetworkIdentityIsGeneratedOrRefused) {
  {
    TempDir dir;
    Json::Value config = BaseConfig(dir.path());
    config["network"].removeMember("eui");
    config["network"].removeMember("key");
    config["network"]["name"] = "123456789";
    config["network"]["passphrase"] = "a pass phrase";
    auto run = StartAndStop(dir, config);
    EXPECT_EQ(run.status, 0);
    // CRC-64 of "123456789", the catalogue check value.
    EXPECT_EQ(run.effective["network"]["eui"].asString(), "e9c6d914c4b8d9ca");
    EXPECT_EQ(run.effective["network"]["key"].asString().size(), 32u);
    EXPECT_NE(run.log.find("Generating Network Id..."), std::string::npos);
    EXPECT_NE(run.log.find("Generating Network Key..."), std::string::npos);
  }
  struct Refusal {
    const char* name;
    std::function<void(Json::Value&)> edit;
    const char* message;
  };
  const Refusal refusals[] = {
      {"eui too long", [](Json::Value& c) { c["network"]["eui"] = "00-11-22-33-44-55-66-77-88"; },
       "Invalid network eui, must be 16 hex chars [00-11-22-33-44-55-66-77-88]"},
      {"no eui and no name", [](Json::Value& c) { c["network"].removeMember("eui"); },
       "Must supply network eui or name"},
      {"short name",
       [](Json::Value& c) {
         c["network"].removeMember("eui");
         c["network"]["name"] = "short";
       },
       "Network name must be at least 8 characters in length"},
      {"key too short", [](Json::Value& c) { c["network"]["key"] = "0011"; },
       "Invalid network key, must be 32 hex chars [0011]"},
      {"no key and no passphrase", [](Json::Value& c) { c["network"].removeMember("key"); },
       "Must supply network key or passphrase"},
      {"short passphrase",
       [](Json::Value& c) {
         c["network"].removeMember("key");
         c["network"]["passphrase"] = "1234567";
       },
       "Network passphrase must be at least 8 characters in length"},
      {"no band", [](Json::Value& c) { c["lora"].removeMember("frequencyBand"); },
       "Must supply region frequency band and channel plan."},
      {"unknown band", [](Json::Value& c) { c["lora"]["frequencyBand"] = "XX999"; },
       "Unsupported channel plan XX999."},
      {"section of the wrong type", [](Json::Value& c) { c["udp"] = "1780"; },
       "Configuration section 'udp' must be a JSON object"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    TempDir dir;
    Json::Value config = BaseConfig(dir.path());
    r.edit(config);
    auto result = Refused(dir, config);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(r.message), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Start GatewayReceive thread"), std::string::npos);
  }
}

TEST(Startup, WrongTypesAndHugeTextsNeverCrash) {
  const std::string huge(100000, 'A');
  const std::function<void(Json::Value&)> edits[] = {
      [](Json::Value& c) { c["udp"]["upstreamPort"] = "abc"; },
      [](Json::Value& c) { c["lora"]["rx1Delay"] = "one"; },
      [](Json::Value& c) { c["lora"]["joinDelay"] = -3; },
      [](Json::Value& c) { c["lora"]["netID"] = Json::Value(Json::arrayValue); },
      [&](Json::Value& c) { c["lora"]["netID"] = huge; },
      [](Json::Value& c) { c["lora"]["maxDatarate"] = "7"; },
      [](Json::Value& c) { c["log"]["syslog"] = "on"; },
      [](Json::Value& c) { c["test"] = 3; },
      [](Json::Value& c) { c["whitelist"] = "yes"; },
      [&](Json::Value& c) { c["network"]["baseKey"] = huge; },
      [](Json::Value& c) { c["network"]["leasetime"] = -1; },
  };
  int index = 0;
  for (const auto& edit : edits) {
    SCOPED_TRACE(index++);
    TempDir dir;
    Json::Value config = BaseConfig(dir.path());
    edit(config);
    auto run = StartAndStop(dir, config, {"--passphrase", huge});
    EXPECT_EQ(run.status, 0) << run.log;
  }
}

TEST(Startup, TakenUpstreamPortIsReportedAndShutsDownInOrder) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  UdpSocket holder;
  ASSERT_TRUE(holder.open(0, false));
  config["udp"]["upstreamPort"] = holder.localPort();
  std::string path = WriteConfig(dir.path(), config);

  auto result = RunBinary({"-c", path}, dir.path());
  std::string log = ReadFile(config["log"]["path"].asString());
  EXPECT_EQ(result.status, 0) << log;
  // No error number: the bind failure carries none.
  const std::string message = "Cannot open Upstream UDP socket.  Unable to bind socket";
  EXPECT_EQ(result.err.rfind("File src/", 0), 0u) << result.err;
  EXPECT_NE(result.err.find(" Line "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(": " + message + "\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("Error #"), std::string::npos) << result.err;
  EXPECT_NE(log.find("[ERROR] File src/"), std::string::npos) << log;
  // The shutdown still runs: statistics, backup, closing lines.
  size_t closing = log.find("Program closing");
  size_t backup = log.find("Start DB Backup");
  size_t closed = log.find("Program closed");
  ASSERT_NE(closing, std::string::npos) << log;
  EXPECT_LT(closing, backup);
  EXPECT_LT(backup, log.find("DB Backup complete"));
  EXPECT_LT(log.find("DB Backup complete"), closed);
  EXPECT_NE(closed, std::string::npos);
  EXPECT_EQ(log.find("Start Time thread"), std::string::npos);
}

TEST(Startup, RunsWithoutRootInsideATemporaryFolder) {
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  Json::Value config = BaseConfig(dir.path());
  chmod((dir.path() + "/flash").c_str(), 0777);
  std::string path = WriteConfig(dir.path(), config);
  chmod(path.c_str(), 0644);
  ServerProcess server(dir.path());
  server.start({"-c", path}, /*asNobody=*/true);
  EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, config["log"]["path"].asString()))
      << ReadFile(config["log"]["path"].asString()) << server.err();
  EXPECT_EQ(server.stop(), 0);
}
