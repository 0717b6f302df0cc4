// Start-up as an operator sees it: the real binary, its standard streams, exit status and log.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "ForwarderRecords.h"
#include "Harness.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"

using e2e::BaseConfig;
using e2e::ExpectMembers;
// Read as the harness reads the logged configuration, so that large numbers get the same JSON
// type on both sides of a comparison.
using e2e::ParseJson;
using e2e::RunBinary;
using e2e::StartAndStop;
using e2e::WriteConfig;
using std::filesystem::exists;
using testsupport::Contains;
using testsupport::ReadFile;
using testsupport::TempDir;

TEST(Startup, VersionAndHelpExitBeforeReadingTheFile) {
  TempDir dir;
  auto version = RunBinary({"-c", "/nonexistent.conf", "--debug", "--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "ZEV Network Server - Version 2.0.19\r\n");

  for (const char* help : {"--help", "-help"}) {
    SCOPED_TRACE(help);
    auto usage = RunBinary({help}, dir.path());
    EXPECT_EQ(usage.status, 0);
    const char* start = "Kestrawin Lora Network Server v2.0.19\n\nUsage: vallorin [-l log-file]";
    EXPECT_EQ(usage.out.rfind(start, 0), 0u) << usage.out;
    for (const char* line :
         {"\nvallorin --version\nvallorin --help\n\n -c : provide path to config file to load\n",
          "\n\n** Options for testing purposes **\n"}) {
      EXPECT_TRUE(Contains(usage.out, line)) << line;
    }
    EXPECT_EQ(usage.out.back(), '\n');
  }
}

TEST(Startup, MissingOrBrokenConfigurationFileExitsWithOne) {
  TempDir dir;
  auto missing = RunBinary({}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(Contains(missing.out, "Configuration file not found [./vallorin.conf]")) << missing.out;

  // With -l the complaint goes to that file.
  auto logged = RunBinary({"-l", dir.file("early.log"), "-c", dir.file("none.conf")}, dir.path());
  EXPECT_EQ(logged.status, 1);
  EXPECT_TRUE(Contains(ReadFile(dir.file("early.log")),
                  "Configuration file not found [" + dir.file("none.conf") + "]"));

  // A working configuration with anything but padding after it is refused as a whole, and so is
  // nesting deeper than any configuration (what else the reader refuses is its unit test's).
  const std::string good = testsupport::CompactJson(e2e::BaseConfig(dir.path()));
  for (const std::string& text : {std::string("{\"log\": "), std::string("[1, 2]"), good + " x",
                                  "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}"}) {
    SCOPED_TRACE(text.substr(0, 40));
    testsupport::WriteFile(dir.file("bad.conf"), text);
    auto bad = RunBinary({"-c", dir.file("bad.conf")}, dir.path());
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(Contains(
        bad.out, "Failed to parse config file [" + dir.file("bad.conf") + "], invalid JSON"))
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
  EXPECT_TRUE(Contains(unknown.err, "Unrecognized parameter --bogus\n")) << unknown.err;
  EXPECT_TRUE(Contains(unknown.err, "Unrecognized parameter -x\n"));

  // An option that needs a value, given last.
  auto noValue = RunBinary({"-c", path, "--db"}, dir.path());
  EXPECT_EQ(noValue.status, 1);
  EXPECT_TRUE(Contains(noValue.err, "Missing value for option --db")) << noValue.err;
  EXPECT_EQ(RunBinary({"-c"}, dir.path()).status, 1);

  // -p with a value that is not a number is reported and start-up goes on.
  auto run = StartAndStop(dir.path(), config, {"-p", "x"});
  EXPECT_TRUE(Contains(run.err, "Invalid setting for print level 'x'")) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(Startup, EffectiveConfigurationKeyRulesAndLogLines) {
  const std::string huge(100000, 'A');
  struct Case {
    std::string patch;
    std::vector<std::string> options;
    const char* effective;  // members the logged configuration must hold
    std::vector<std::string> lines, absent;
  };
  const Case cases[] = {
      {"{}", {},
       R"({"lora": {"rx1Delay": 1, "joinDelay": 5, "netID": "000000", "ADRStep": 30,
                    "beaconPower": 27, "joinByteOrder": "LSB", "dutyCyclePeriod": 60},
           "network": {"vendorId": "008000", "eui": "0011223344556677", "public": 1},
           "test": {"disableDutyCycle": false}, "whitelist": {"enabled": true}})",
       {"Lora Network Server started, Version: 2.0.19 GwSerial: TEST-SERIAL",
        "Devices leases expire 86400000 ms after last contact", "Shutdown signal received 15",
        "Program closed"},
       // Reading a key never adds it: nothing in the document is null.
       {": null"}},
      {R"({"test": {"disableRxWindow1": false}, "network": {"public": true}})",
       {"--min-dr", "2", "--max-dr", "4", "--net-id", "0000002A", "--network-lead-time", "251",
        "--beacon-interval", "128", "--leasetime", "2", "--disable-rx1", "--disable-duty-cycle"},
       R"({"lora": {"minDatarate": 2, "maxDatarate": 4, "netID": "0000002A",
                    "networkLeadTime": 251, "beaconInterval": 128},
           "network": {"public": 1},
           "test": {"disableRxWindow1": false, "disableDutyCycle": true, "disableRxJoin1": false}})",
       {"Devices leases expire 120000 ms after last contact"},
       {"below the minimum", "Invalid NetID"}},
      {R"({"lora": {"maxDatarate": 1, "minDatarate": 3, "netID": "2A", "networkLeadTime": 250,
                    "beaconInterval": 7},
           "network": {"leasetime": 0, "eui": "00-80-00-00-00-00-00-01", "public": false,
                       "key": "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F"}})", {},
       R"({"lora": {"minDatarate": 1, "maxDatarate": 3, "netID": "000000", "networkLeadTime": 250,
                    "beaconInterval": 0, "joinDelay": 1},
           "network": {"eui": "0080000000000001", "key": "000102030405060708090a0b0c0d0e0f",
                       "public": 0}})",
       {"Invalid NetID, must be valid hex string. Changing to '000000'",
        "Configured network-lead-time is below the minimum, setting to 250 ms.",
        "Invalid beacon interval, must be a factor of the number of seconds in a day. Beacon is "
        "disabled.",
        "Devices leases will not expire.",
        "Network Mode Private ZEV, Join Delay is not configured, setting Join Delay to 1 second"},
       {}},
      {R"({"lora": {"netID": "00002A", "beaconInterval": null, "beaconPower": 30,
                    "beaconDelay": 51}, "network": {"public": null}})", {},
       R"({"lora": {"netID": "00002A", "beaconPower": 27, "beaconDelay": 50},
           "network": {"public": 1}})",
       {"Setting for beacon interval not found. Beacon is disabled.",
        "Invalid beacon power, cannot be greater than 27. Changing to 27.",
        "Invalid beacon delay, cannot be greater than 50 ms. Changing to 50.",
        "Setting to Public LoRaWAN Network Mode"},
       {"Invalid NetID"}},
      // The clamps themselves are the configuration's unit test; here they are reached through
      // the file and the command line, down to the lease line: the largest lease that fits, not
      // 8384 ms after a wrap.
      {R"({"network": {"leasetime": 307445734561826}})",
       {"--max-device-queue-size", "70000", "-p", "99999999999", "--device-lost-time",
        "9223372036854775807", "--backup-interval", "99999999999999999999"},
       R"({"network": {"leasetime": 307445734561825},
           "lora": {"deviceQueueSize": 65535, "deviceLostTime": 9223372036854775},
           "log": {"level": 2147483647}, "backupInterval": 18446744073709551})",
       {"Devices leases expire 18446744073709500000 ms after last contact",
        "Invalid ['log']['level'] setting 99999999999, using 2147483647"}, {}},
      // Texts far longer than any key takes.
      {R"({"lora": {"netID": ")" + huge + R"("}, "network": {"baseKey": ")" + huge + R"("}})",
       {"--passphrase", huge}, "{}", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.patch.substr(0, 80));
    TempDir dir;
    auto run = StartAndStop(dir.path(), BaseConfig(dir.path(), c.patch.c_str()), c.options);
    EXPECT_EQ(run.status, 0) << run.out;
    ExpectMembers(e2e::EffectiveConfig(run.out), ParseJson(c.effective));
    for (const std::string& line : c.lines) EXPECT_TRUE(Contains(run.out, line)) << line;
    for (const std::string& text : c.absent) EXPECT_FALSE(Contains(run.out, text)) << text;
  }
}

TEST(Startup, MissingLogSectionStaysMissing) {
  TempDir dir;
  const std::string path = WriteConfig(dir.path(), BaseConfig(dir.path(), R"({"log": null})"));

  // The missing path is reported with the document as read: reading a key must not add it.
  e2e::ServerProcess bare(dir.path());
  bare.start({"-c", path});
  EXPECT_TRUE(bare.waitFor("['log']['path'] not found in config: \r\n{", 10000)) << bare.out();
  EXPECT_EQ(bare.stop(SIGTERM, 5000), 0);
  EXPECT_FALSE(Contains(bare.out(), "null")) << bare.out();
}

TEST(Startup, NetworkIdentityIsGeneratedOrRefused) {
  {
    TempDir dir;
    // 255 characters is the longest pass phrase the key generator takes whole.
    Json::Value config = BaseConfig(dir.path(), R"({"network": {"eui": null, "key": null, "name": "123456789"}})");
    config["network"]["passphrase"] = std::string(255, 'p');
    auto run = StartAndStop(dir.path(), config);
    EXPECT_EQ(run.status, 0);
    const Json::Value network = e2e::EffectiveConfig(run.out)["network"];
    // CRC-64 of "123456789", the catalogue check value.
    EXPECT_EQ(network["eui"].asString(), "e9c6d914c4b8d9ca");
    EXPECT_EQ(network["key"].asString().size(), 32u);
    EXPECT_TRUE(Contains(run.out, "Generating Network Id..."));
    EXPECT_TRUE(Contains(run.out, "Generating Network Key..."));
  }
  const std::pair<const char*, const char*> refusals[] = {
      {R"({"network": {"eui": "00-11-22-33-44-55-66-77-88"}})",
       "Invalid network eui, must be 16 hex chars [00-11-22-33-44-55-66-77-88]"},
      {R"({"network": {"eui": null}})", "Must supply network eui or name"},
      {R"({"network": {"eui": null, "name": "short"}})",
       "Network name must be at least 8 characters in length"},
      {R"({"network": {"key": "0011"}})", "Invalid network key, must be 32 hex chars [0011]"},
      {R"({"network": {"key": null}})", "Must supply network key or passphrase"},
      // A present key of another type is named, not taken as missing.
      {R"({"network": {"eui": 12345}})",
       "Invalid ['network']['eui'] setting, must be a text, not a number"},
      {R"({"network": {"key": null, "passphrase": {"text": "a pass phrase"}}})",
       "Invalid ['network']['passphrase'] setting, must be a text, not an object"},
      {R"({"network": {"key": null, "passphrase": "256 characters"}})",
       "Network passphrase must be at most 255 characters in length"},
      {R"({"udp": "1780"})", "Configuration section 'udp' must be a JSON object"},
  };
  for (const auto& [patch, message] : refusals) {
    SCOPED_TRACE(message);
    TempDir dir;
    Json::Value config = BaseConfig(dir.path(), patch);
    if (Contains(patch, "256 characters")) config["network"]["passphrase"] = std::string(256, 'p');
    // With the card options a refused configuration must not leave packet-forwarder files behind.
    auto result = RunBinary({"-c", WriteConfig(dir.path(), config), "--lora-path", dir.path(),
                             "--lora-eui", "00-80-00-00-a0-00-0f-4d"},
                            dir.path());
    const std::string log = result.out + ReadFile(config["log"]["path"].asString());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(log, message)) << log;
    EXPECT_FALSE(Contains(log, "Start GatewayReceive thread"));
    EXPECT_FALSE(exists(dir.file("1/global_conf.json"))) << log;
  }
}

// Unusable ports, given in the file and on the command line, fall back to their fixed defaults;
// the upstream one is held here (or by someone else on the machine), so the bind fails whatever
// happens and the server must say so, exit with 1 and still shut down in order.
TEST(Startup, UnusablePortsFallBackAndAFailedBindShutsDownInOrder) {
  TempDir dir;
  const Json::Value config = BaseConfig(dir.path(), R"({"udp": {"orbaPort": 70000, "appPortDown": -1},
      "lora": {"rx1Delay": "one", "joinDelay": -3, "netID": [], "maxDatarate": "7"},
      "log": {"syslog": "on"}, "test": 3, "whitelist": "yes", "network": {"leasetime": -1}})");
  UdpSocket holder;
  holder.open(1780, false);
  // "abc" reads as 0, which would bind a port nobody knows.
  auto run = RunBinary({"-c", WriteConfig(dir.path(), config), "--up-port", "abc", "--down-port",
                        "0", "--app-port-up", "0", "--app-port-down", "x"},
                       dir.path());
  const std::string log = ReadFile(config["log"]["path"].asString());
  EXPECT_EQ(run.status, 1) << log;
  for (const char* line : {"Invalid ['udp']['upstreamPort'] setting, using 1780",
                           "Invalid ['udp']['downstreamPort'] setting, using 1782",
                           "Invalid ['udp']['appPortUp'] setting, using 1784",
                           "Invalid ['udp']['appPortDown'] setting, using 1786",
                           "Invalid ['udp']['orbaPort'] setting, using 1790"}) {
    EXPECT_TRUE(Contains(log, line)) << line << "\n" << log;
  }
  // No error number: the bind failure carries none.
  EXPECT_EQ(run.err.rfind("File src/", 0), 0u) << run.err;
  EXPECT_TRUE(Contains(run.err, " Line ")) << run.err;
  EXPECT_TRUE(Contains(run.err, ": Cannot open Upstream UDP socket.  Unable to bind socket\n"));
  EXPECT_FALSE(Contains(run.err, "Error #"));
  EXPECT_TRUE(Contains(log, "[ERROR] File src/")) << log;
  EXPECT_FALSE(Contains(log, "Start Time thread"));
  size_t at = 0;
  for (const char* line :
       {"Program closing", "Start DB Backup", "DB Backup complete", "Program closed"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << " in order in\n" << log;
  }
}

// Lines logged before the logger knows its outputs (network mode, join delay, NetID) stay on
// standard output and reach the log too, once, before the lines that follow: the log file, with
// the console or without, and standard error when the file cannot be opened.
TEST(Startup, EarlyLinesReachTheLogWhereverItGoes) {
  for (const std::string where : {"file", "file and console", "unopenable file"}) {
    SCOPED_TRACE(where);
    TempDir dir;
    Json::Value config = BaseConfig(dir.path(), R"({"lora": {"netID": "2A"}, "network": {"public": null}})");
    config["log"]["console"] = Contains(where, "console");
    const bool unopenable = Contains(where, "unopenable");
    if (unopenable) config["log"]["path"] = dir.file("no-such-folder/vallorin.log");
    const std::string logPath =
        unopenable ? dir.file("stderr.txt") : config["log"]["path"].asString();
    e2e::ServerProcess server(dir.path());
    server.start({"-c", WriteConfig(dir.path(), config)});
    EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath));
    EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
    const std::string log = ReadFile(logPath);
    const std::string out = server.out();
    for (const char* early :
         {"Setting to Public LoRaWAN Network Mode",
          "Network Mode Public LoRaWAN, Join Delay is not configured, setting Join Delay to 5 seconds",
          "Invalid NetID, must be valid hex string. Changing to '000000'"}) {
      SCOPED_TRACE(early);
      size_t at = log.find(early);
      EXPECT_NE(at, std::string::npos) << log;
      EXPECT_LT(at, log.find("Lora Network Server started"));
      EXPECT_EQ(log.find(early, at + 1), std::string::npos) << "twice in the log";
      at = out.find(early);
      EXPECT_NE(at, std::string::npos) << out;
      EXPECT_EQ(out.find(early, at + 1), std::string::npos) << "twice on standard output";
    }
    for (const char* line : {"Network Server Config", "Program closed"}) {
      EXPECT_TRUE(Contains(log, line)) << line;
    }
    const std::string why = "Unable to open log file " + config["log"]["path"].asString() +
                            " (No such file or directory), logging to standard error instead";
    EXPECT_EQ(testsupport::Occurrences(log, why), unopenable ? 1u : 0u) << log;
  }
}

// A first start by an unprivileged account, as a packaged service runs it: the database folder
// does not exist yet and the device-id path holds characters a shell would act on. The start is
// clean (no error line at all), leaves the database in its new folder and reads the id file
// without handing its path to a shell.
TEST(Startup, AFirstStartWithoutRootMakesTheDatabaseFolderAndReadsTheIdFile) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  chmod(dir.path().c_str(), 0777);
  mkdir(dir.file("a folder").c_str(), 0755);
  const std::string idPath =
      dir.file("a folder/dev id;touch pwned1 $(touch pwned2) `touch pwned3` it's");
  testsupport::WriteFile(idPath, "  SERIAL-7\n");
  config["paths"]["deviceIdFile"] = idPath;
  config["db"] = dir.file("data/new/vallorin.db");
  auto run = StartAndStop(dir.path(), config, {}, SIGTERM, /*asNobody=*/true);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_FALSE(Contains(run.out, "[ERROR]")) << run.out;
  EXPECT_FALSE(Contains(run.out, "no such table"));
  EXPECT_TRUE(
      Contains(run.out, "Lora Network Server started, Version: 2.0.19 GwSerial: SERIAL-7\n"));
  EXPECT_TRUE(exists(dir.file("data/new/vallorin.db")));
  for (const char* name : {"pwned1", "pwned2", "pwned3"})
    EXPECT_FALSE(exists(dir.file(name))) << name;
}

// A database folder that cannot exist stops start-up with a line saying so, instead of running on
// a copy nothing will ever save.
TEST(Startup, ADatabaseFolderThatCannotBeMadeStopsStartUp) {
  TempDir other;
  Json::Value config = BaseConfig(other.path());
  testsupport::WriteFile(other.file("plain"), "not a folder");
  config["db"] = other.file("plain/vallorin.db");
  auto refused = RunBinary({"-c", WriteConfig(other.path(), config)}, other.path());
  const std::string log = ReadFile(config["log"]["path"].asString());
  EXPECT_EQ(refused.status, 1) << log;
  EXPECT_TRUE(Contains(log, "Cannot create the database folder '" + other.file("plain") + "'")) << log;
  EXPECT_FALSE(Contains(log, "Start GatewayReceive thread")) << log;
}
