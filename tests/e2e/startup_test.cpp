// Start-up as an operator sees it: the real binary, its standard streams, exit status and log.
#include <gtest/gtest.h>
#include <sys/stat.h>


#include "ForwarderRecords.h"
#include "Harness.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"

using e2e::BaseConfig;
using e2e::RunBinary;
using e2e::WriteConfig;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Read as the harness reads the logged configuration, so that large numbers get the same JSON
// type on both sides of a comparison.
using e2e::ParseJson;
using testsupport::Contains;

// The working configuration of `dir` with the patch laid over it: objects are merged member by
// member, a null removes the member, anything else replaces it.
void Patch(Json::Value& config, const Json::Value& patch) {
  for (const std::string& name : patch.getMemberNames()) {
    if (patch[name].isNull())
      config.removeMember(name);
    else if (patch[name].isObject() && config[name].isObject())
      Patch(config[name], patch[name]);
    else
      config[name] = patch[name];
  }
}
Json::Value Config(const TempDir& dir, const char* patch) {
  Json::Value config = BaseConfig(dir.path());
  Patch(config, ParseJson(patch));
  return config;
}

// Starts the server on the configuration, waits for the end of start-up and stops it with
// SIGTERM. `out` holds standard output (the lines from before the logger is set up), then the log.
e2e::ExitResult StartAndStop(const TempDir& dir, const Json::Value& config,
                             std::vector<std::string> options = {}, bool asNobody = false) {
  options.insert(options.begin(), {"-c", WriteConfig(dir.path(), config)});
  e2e::ServerProcess server(dir.path());
  server.start(options, asNobody);
  const std::string logPath = config["log"]["path"].asString();
  const bool started = server.waitFor("Start GatewayReceive thread", 10000, logPath);
  const int status = server.stop(SIGTERM, 5000);
  e2e::ExitResult run{status, server.out() + ReadFile(logPath), server.err()};
  EXPECT_TRUE(started) << run.out << run.err;
  return run;
}

}  // namespace

using e2e::ExpectMembers;

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

  for (const char* text : {"{\"log\": ", "[1, 2]", "\x01\xff\xfe"}) {
    SCOPED_TRACE(text);
    testsupport::WriteFile(dir.file("bad.conf"), text);
    auto bad = RunBinary({"-c", dir.file("bad.conf")}, dir.path());
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(
        Contains(bad.out, "Failed to parse config file [" + dir.file("bad.conf") + "], invalid JSON") ||
        Contains(bad.out, "must be a JSON object"))
        << bad.out;
  }

  // A working configuration with anything but padding after it is refused as a whole; padding
  // and comments are an operator's right.
  const std::string good = testsupport::CompactJson(e2e::BaseConfig(dir.path()));
  for (const std::string& tail : {std::string("{}"), std::string(" x"), std::string("\0{}", 3)}) {
    SCOPED_TRACE(tail);
    testsupport::WriteFile(dir.file("tail.conf"), good + tail);
    auto bad = RunBinary({"-c", dir.file("tail.conf")}, dir.path());
    EXPECT_EQ(bad.status, 1);
    EXPECT_TRUE(Contains(bad.out, "Failed to parse config file [" + dir.file("tail.conf") +
                                 "], invalid JSON")) << bad.out;
  }
  const std::string nested = "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  testsupport::WriteFile(dir.file("deep.conf"), nested);
  auto deep = RunBinary({"-c", dir.file("deep.conf")}, dir.path());
  EXPECT_EQ(deep.status, 1);
  EXPECT_TRUE(Contains(deep.out, "invalid JSON")) << deep.out;
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
  auto run = StartAndStop(dir, config, {"-p", "x"});
  EXPECT_TRUE(Contains(run.err, "Invalid setting for print level 'x'")) << run.err;
  EXPECT_EQ(run.status, 0);
}

TEST(Startup, EffectiveConfigurationKeyRulesAndLogLines) {
  struct Case {
    const char* patch;
    std::vector<std::string> options;
    const char* effective;  // members the logged configuration must hold
    std::vector<std::string> lines, absent;
  };
  const Case cases[] = {
      {"{}",
       {},
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
                       "key": "00:01:02:03:04:05:06:07:08:09:0A:0B:0C:0D:0E:0F"}})",
       {},
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
                    "beaconDelay": 51}, "network": {"public": null}})",
       {},
       R"({"lora": {"netID": "00002A", "beaconPower": 27, "beaconDelay": 50},
           "network": {"public": 1}})",
       {"Setting for beacon interval not found. Beacon is disabled.",
        "Invalid beacon power, cannot be greater than 27. Changing to 27.",
        "Invalid beacon delay, cannot be greater than 50 ms. Changing to 50.",
        "Setting to Public LoRaWAN Network Mode"},
       {"Invalid NetID"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.patch);
    TempDir dir;
    auto run = StartAndStop(dir, Config(dir, c.patch), c.options);
    EXPECT_EQ(run.status, 0) << run.out;
    ExpectMembers(e2e::EffectiveConfig(run.out), ParseJson(c.effective));
    for (const std::string& line : c.lines) EXPECT_TRUE(Contains(run.out, line)) << line;
    for (const std::string& text : c.absent) EXPECT_FALSE(Contains(run.out, text)) << text;
  }
}

TEST(Startup, MissingLogSectionStaysMissing) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  config.removeMember("log");
  const std::string path = WriteConfig(dir.path(), config);

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
    Json::Value config = Config(dir, R"({"network": {"eui": null, "key": null, "name": "123456789"}})");
    config["network"]["passphrase"] = std::string(255, 'p');
    auto run = StartAndStop(dir, config);
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
    Json::Value config = Config(dir, patch);
    if (Contains(patch, "256 characters")) config["network"]["passphrase"] = std::string(256, 'p');
    // With the card options a refused configuration must not leave packet-forwarder files behind.
    auto result = RunBinary({"-c", WriteConfig(dir.path(), config), "--lora-path", dir.path(),
                             "--lora-eui", "00-80-00-00-a0-00-0f-4d"},
                            dir.path());
    const std::string log = result.out + ReadFile(config["log"]["path"].asString());
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Contains(log, message)) << log;
    EXPECT_FALSE(Contains(log, "Start GatewayReceive thread"));
    struct stat written;
    EXPECT_NE(stat(dir.file("1/global_conf.json").c_str(), &written), 0) << log;
  }
}

// Unusable ports, given in the file and on the command line, fall back to their fixed defaults;
// the upstream one is held here (or by someone else on the machine), so the bind fails whatever
// happens and the server must say so, exit with 1 and still shut down in order.
TEST(Startup, UnusablePortsFallBackAndAFailedBindShutsDownInOrder) {
  TempDir dir;
  const Json::Value config = Config(dir, R"({"udp": {"orbaPort": 70000, "appPortDown": -1},
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

  const std::string huge(100000, 'A');
  TempDir hugeDir;
  Json::Value hugeConfig = BaseConfig(hugeDir.path());
  hugeConfig["lora"]["netID"] = huge;
  hugeConfig["network"]["baseKey"] = huge;
  EXPECT_EQ(StartAndStop(hugeDir, hugeConfig, {"--passphrase", huge}).status, 0);
}

TEST(Startup, RunsWithoutRootInsideATemporaryFolder) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  for (const std::string& folder : {dir.path(), dir.file("flash")}) chmod(folder.c_str(), 0777);
  EXPECT_EQ(StartAndStop(dir, config, {}, /*asNobody=*/true).status, 0);
}

// The clamps themselves are the configuration's unit test; here they are reached through the file
// and the command line, down to the lease line.
TEST(Startup, NumbersBeyondTheirDestinationAreClamped) {
  TempDir dir;
  auto run = StartAndStop(dir, Config(dir, R"({"network": {"leasetime": 307445734561826}})"),
                          {"--max-device-queue-size", "70000", "-p", "99999999999",
                           "--device-lost-time", "9223372036854775807", "--backup-interval",
                           "99999999999999999999"});
  EXPECT_EQ(run.status, 0) << run.out;
  ExpectMembers(e2e::EffectiveConfig(run.out), ParseJson(R"({"network": {"leasetime": 307445734561825},
      "lora": {"deviceQueueSize": 65535, "deviceLostTime": 9223372036854775},
      "log": {"level": 2147483647}, "backupInterval": 18446744073709551})"));
  // The largest lease that fits, not 8384 ms after a wrap.
  EXPECT_TRUE(Contains(run.out, "Devices leases expire 18446744073709500000 ms after last contact"));
  EXPECT_TRUE(Contains(run.out, "Invalid ['log']['level'] setting 99999999999, using 2147483647"));
}

// Lines logged before the logger knows its outputs (network mode, join delay, NetID) stay on
// standard output and are written into the log file too, once, before the lines that follow.
TEST(Startup, EarlyLinesReachTheConfiguredLog) {
  for (bool console : {false, true}) {
    SCOPED_TRACE(console);
    TempDir dir;
    Json::Value config = Config(dir, R"({"lora": {"netID": "2A"}, "network": {"public": null}})");
    config["log"]["console"] = console;
    const std::string logPath = config["log"]["path"].asString();
    e2e::ServerProcess server(dir.path());
    server.start({"-c", WriteConfig(dir.path(), config)});
    EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, logPath));
    EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
    const std::string log = ReadFile(logPath);
    const std::string out = server.out();
    const std::string started = "Lora Network Server started";
    for (const char* early :
         {"Setting to Public LoRaWAN Network Mode",
          "Network Mode Public LoRaWAN, Join Delay is not configured, setting Join Delay to 5 seconds",
          "Invalid NetID, must be valid hex string. Changing to '000000'"}) {
      SCOPED_TRACE(early);
      size_t at = log.find(early);
      EXPECT_NE(at, std::string::npos) << log;
      EXPECT_LT(at, log.find(started));
      EXPECT_EQ(log.find(early, at + 1), std::string::npos) << "twice in the log";
      at = out.find(early);
      EXPECT_NE(at, std::string::npos) << out;
      EXPECT_EQ(out.find(early, at + 1), std::string::npos) << "twice on standard output";
    }
  }
}

TEST(Startup, UnopenableLogFileFallsBackToStandardError) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  const std::string logPath = dir.file("no-such-folder/vallorin.log");
  config["log"]["path"] = logPath;
  e2e::ServerProcess server(dir.path());
  server.start({"-c", WriteConfig(dir.path(), config)});
  const std::string errPath = dir.file("stderr.txt");
  EXPECT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, errPath)) << server.err();
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  const std::string err = server.err();
  const std::string why =
      "Unable to open log file " + logPath + " (No such file or directory), logging to standard "
      "error instead";
  EXPECT_TRUE(Contains(err, why)) << err;
  EXPECT_EQ(err.find(why), err.rfind(why)) << "said more than once";
  // The early lines too, and the end of the run.
  for (const char* line : {"Join Delay is not configured", "Lora Network Server started",
                           "Network Server Config", "Program closed"}) {
    EXPECT_TRUE(Contains(err, line)) << line;
  }
}

// The device-id path is the operator's and may hold any character: it is read, never handed to a
// shell.
TEST(Startup, DeviceIdPathIsReadNotRunThroughAShell) {
  TempDir dir;
  mkdir(dir.file("a folder").c_str(), 0755);
  const std::string idPath =
      dir.file("a folder/dev id;touch pwned1 $(touch pwned2) `touch pwned3` it's");
  testsupport::WriteFile(idPath, "  SERIAL-7\n");
  Json::Value config = BaseConfig(dir.path());
  config["paths"]["deviceIdFile"] = idPath;
  auto run = StartAndStop(dir, config);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(Contains(run.out, "Lora Network Server started, Version: 2.0.19 GwSerial: SERIAL-7\n"))
      << run.out;
  for (const char* name : {"pwned1", "pwned2", "pwned3"}) {
    struct stat ran;
    EXPECT_NE(stat(dir.file(name).c_str(), &ran), 0) << name;
  }
}

// The database as an operator meets it: a first start in a folder that does not exist yet is
// clean (no error line at all) and leaves its file there; a folder that cannot exist stops
// start-up with a line saying so, instead of running on a copy nothing will ever save.
TEST(Startup, DatabaseFolderIsMadeOrStartUpStops) {
  TempDir dir;
  Json::Value config = BaseConfig(dir.path());
  config["db"] = dir.file("data/new/vallorin.db");
  auto run = StartAndStop(dir, config);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_FALSE(Contains(run.out, "[ERROR]")) << run.out;
  EXPECT_FALSE(Contains(run.out, "no such table")) << run.out;
  struct stat info {};
  EXPECT_EQ(stat(dir.file("data/new/vallorin.db").c_str(), &info), 0);

  TempDir other;
  config = BaseConfig(other.path());
  testsupport::WriteFile(other.file("plain"), "not a folder");
  config["db"] = other.file("plain/vallorin.db");
  auto refused = RunBinary({"-c", WriteConfig(other.path(), config)}, other.path());
  const std::string log = ReadFile(config["log"]["path"].asString());
  EXPECT_EQ(refused.status, 1) << log;
  EXPECT_TRUE(Contains(log, "Cannot create the database folder '" + other.file("plain") + "'")) << log;
  EXPECT_FALSE(Contains(log, "Start GatewayReceive thread")) << log;
}
