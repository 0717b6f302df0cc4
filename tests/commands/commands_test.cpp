// The command language over real collaborators: tokenizing and dispatch, include files, the
// error replies, the device, session and queue commands. Hostile words are the database's test
// (every statement; the commands build no SQL of their own) and the exposure test's (through the
// binary).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <tuple>
#include <vector>

#include "CommandRig.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"
#include "support/Logger.h"

using commandtest::CommandRig;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

const std::string kEui = "00-80-00-00-00-00-e1-9c";
const std::string kKeyA = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kKeyB = "000102030405060708090a0b0c0d0e0f";
const std::string kOk = "{\"status\":\"success\"}\n";

std::string SessionJson(const std::string& devAddr = "26011234", const std::string& eui = kEui) {
  return R"({"deveui":")" + eui + R"(","appeui":"70-b3-d5-7e-d0-00-00-01","dev_addr":")" + devAddr +
         R"(","net_id":"000013","app_senc_key":")" + kKeyB + R"(","fnwk_sint_key":")" + kKeyA +
         R"("})";
}

class Commands : public ::testing::Test {
 protected:
  void AddDevice(const std::string& eui = kEui) {
    ASSERT_EQ(rig.Run("device add {\"deveui\":\"" + eui + "\"}"), kOk);
  }
  void AddSession(const std::string& devAddr = "26011234", const std::string& eui = kEui) {
    ASSERT_EQ(rig.Run("session add " + SessionJson(devAddr, eui)), kOk);
  }
  int64_t Rows(const char* table) {
    SqlDb::Client rows(rig.database->GetConnection());
    rig.database->GetConnection().Execute(rows, std::string("SELECT count(*) FROM ") + table + ";",
                                          true);
    return rows.Next() ? std::stoll(rows.Value(0)) : -1;
  }

  TempDir dir;
  LogCapture quiet{10};
  CommandRig rig{dir.path()};
};

TEST(CommandTokenizer, SplitsAtWhiteSpaceRunsKeepsQuotesAndDropsComments) {
  using W = std::deque<std::string>;
  EXPECT_EQ(CommandParser::Tokenize("  device\t\tlist  json \r\n"), (W{"device", "list", "json"}));
  EXPECT_EQ(CommandParser::Tokenize("a \"b c\" d"), (W{"a", "\"b", "c\"", "d"}));
  EXPECT_EQ(CommandParser::Tokenize("device add {} #comment words"), (W{"device", "add", "{}"}));
  EXPECT_EQ(CommandParser::Tokenize("a b#c d"), (W{"a", "b#c", "d"}));  // only a word's start
  EXPECT_EQ(CommandParser::Tokenize("# all comment"), W{});
  EXPECT_EQ(CommandParser::Tokenize(std::string("a\0b c", 5)), (W{std::string("a\0b", 3), "c"}));
}

TEST_F(Commands, DispatchIsExactAndNamesTheOffendingWord) {
  EXPECT_NE(rig.Run("help").find("ZEV Lora Server Command Help"), std::string::npos);
  EXPECT_EQ(rig.syntaxErrors, 0);
  EXPECT_EQ(rig.Run("device frobnicate x"),
            "Syntax error in command \"device frobnicate x\"\nWord 2\n");
  EXPECT_EQ(rig.Run("device list xml"), "Syntax error in command \"device list xml\"\nWord 3\n");
  EXPECT_EQ(rig.syntaxErrors, 2);
  // Every alias reaches the same lister.
  const std::string devices = rig.Run("device");
  for (const char* alias : {"node", "nodes", "devices", "device list"}) {
    EXPECT_EQ(rig.Run(alias), devices) << alias;
  }
  for (const char* list : {"packets up json", "sessions json", "gateways json"}) {
    EXPECT_EQ(rig.Run(list), "[]\n") << list;
  }
  // The console half of the log mode follows the command; the rest of the mode stays.
  EXPECT_EQ(rig.Run("debug display"), "OK\r\n");
  EXPECT_EQ(ZEV::Logger::printMode(), ZEV::Logger::STDOUT);
  EXPECT_EQ(rig.Run("print console off"), "OK\r\n");
  EXPECT_EQ(ZEV::Logger::printMode(), ZEV::Logger::NONE);
  EXPECT_EQ(rig.Run("debug warning"), "OK\r\n");
  EXPECT_EQ(ZEV::Logger::printLevel(), ZEV::Logger::PrintLevel::WARNING_LEVEL);
  rig.Run("debug display maybe");
  EXPECT_EQ(rig.syntaxErrors, 3);
  rig.Run("quit");
  EXPECT_TRUE(rig.quit);
}

TEST_F(Commands, IncludeRunsEachLineAndReportsItsFileAndLine) {
  const std::string alive = "ZEV ORBA Server is alive";
  testsupport::WriteFile(dir.file("ok.txt"), "ping\n\n# a comment\nping\n");
  EXPECT_EQ(rig.Run("include ok.txt"), alive + alive + "OK\r\n");
  // The error names the operator's line, the file and the line number, never the file's text.
  testsupport::WriteFile(dir.file("bad.txt"), "ping\nping\nsecret-word here\nping\n");
  EXPECT_EQ(rig.Run("include bad.txt"),
            alive + alive +
                "Syntax error in command \"include bad.txt\"\nFile :bad.txt Line :3\nWord 1\n");
  EXPECT_EQ(rig.Run("include ../outside.txt"), "Unable to open include file \"../outside.txt\"\n");
  EXPECT_EQ(rig.Run("include /etc/passwd"), "Unable to open include file \"/etc/passwd\"\n");
  rig.Run("include");
  EXPECT_EQ(rig.syntaxErrors, 2);
  // A file that includes itself stops at the nesting limit instead of the stack's end.
  testsupport::WriteFile(dir.file("loop.txt"), "include loop.txt\n");
  EXPECT_NE(rig.Run("include loop.txt").find("Unable to open include file"), std::string::npos);
  EXPECT_EQ(rig.syntaxErrors, 2);
}

TEST_F(Commands, DeviceAddRefusesWhatIsNotADeviceAndIgnoresComments) {
  const std::pair<const char*, const char*> refusals[] = {
      {"[1]", "Invalid json device configuration, object expected"},
      {R"({"name":"x"})", "Missing required field 'deveui'"},
      {R"({"deveui":"0080000000000e19c"})", "Failed to parse 'deveui'"},
      {R"({"deveui":"00:80:00:00:00:00:e1:9c"})", "Failed to parse 'deveui'"},
  };
  for (const auto& [json, message] : refusals) {
    EXPECT_EQ(rig.RunJson(std::string("device add ") + json)["message"], message) << json;
  }
  // The words after "#" are not part of the JSON.
  EXPECT_EQ(rig.Run(R"(device add {"deveui":"008000000000E19C","name":"a b"} #{broken)"), kOk);
  EXPECT_EQ(rig.RunJson("device add {\"deveui\":\"" + kEui + "\"}")["message"],
            "Failed to create device, device with provided device EUI already exists");
  const Json::Value list = rig.RunJson("device list json");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["deveui"], kEui);
  EXPECT_EQ(list[0]["name"], "a b");  // rejoined with single blanks
}

TEST_F(Commands, SessionAddActivatesTheDeviceAtOnce) {
  const std::string other = "00-80-00-00-00-00-e1-9d";
  auto add = [&](const std::string& json) { return rig.RunJson("session add " + json); };
  EXPECT_EQ(add(SessionJson())["message"], "device not found");
  AddDevice();
  AddSession();
  EXPECT_TRUE(rig.devices->HasDevice(0x26011234));
  // Activating is no lost device found again: the operator sees no error for it.
  EXPECT_FALSE(quiet.contains("not found in memory"));
  EXPECT_EQ(add(SessionJson())["message"],
            "Failed to create session, session for provided device EUI already exists");
  // Another device may not take an address in use, nor a key of zeros, nor an address a restart
  // would not restore (another NwkID).
  AddDevice(other);
  EXPECT_EQ(add(SessionJson("26011234", other))["status"], "fail");
  std::string zero = SessionJson("26011235", other);
  zero.replace(zero.find(kKeyA), 32, std::string(32, '0'));
  EXPECT_EQ(add(zero)["status"], "fail");
  EXPECT_FALSE(rig.devices->HasDevice(0x26011235));
  EXPECT_EQ(add(SessionJson("48011235", other))["message"],
            "Failed to create session, address outside the network's range");
  const Json::Value sessions = rig.RunJson("session list json");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["dev_addr"], "26011234");

  // session delete leaves the end-device; device delete takes everything.
  EXPECT_EQ(rig.Run("session delete " + kEui), kOk);
  EXPECT_FALSE(rig.devices->HasDevice(0x26011234));
  EXPECT_EQ(Rows("sessions"), 0);
  EXPECT_EQ(Rows("end_devices"), 2);
  EXPECT_EQ(rig.RunJson("session delete " + kEui)["message"],
            "Device session" + kEui + " not found");
  EXPECT_EQ(rig.Run("device delete " + kEui), kOk);
  EXPECT_EQ(rig.RunJson("device delete " + kEui)["message"], "Device " + kEui + " does not exist");
  EXPECT_EQ(Rows("end_devices"), 1);
  EXPECT_EQ(rig.Run("device delete"), "usage: device delete <DEV-EUI>\n");
  EXPECT_EQ(rig.Run("gateway delete"), "usage: gateways delete <GW-EUI>\n");
}

TEST_F(Commands, DeviceUpdateChangesTheDeviceInMemoryAndInStorage) {
  AddDevice();
  AddSession();
  const std::string update = "device update " + kEui;
  EXPECT_EQ(rig.RunJson(update + " dskey 00112233")["status"], "fail");
  EXPECT_EQ(rig.RunJson(update + " ulc 12x")["status"], "fail");
  EXPECT_EQ(rig.Run(update + " nskey " + kKeyB), kOk);
  EXPECT_EQ(rig.Run(update + " ulc 41"), kOk);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->nwkSKey.text(), kKeyB);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->upCounter, 41u);
  EXPECT_EQ(rig.RunJson("session list json")[0]["up_counter"].asUInt(), 41u);
  EXPECT_EQ(rig.RunJson("device update 00-80-00-00-00-00-00-01 class c")["message"],
            "Device '00-80-00-00-00-00-00-01' not found");

  // The JSON form: documented columns only, the class upper-cased and applied.
  const std::string json = "device update {\"deveui\":\"" + kEui + "\",";
  EXPECT_EQ(rig.Run(json + R"("class":"b","name":"Pump 2"})"), kOk);
  EXPECT_EQ(rig.RunJson("device list json")[0]["name"], "Pump 2");
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->deviceClass, Device::kClassB);
  // Either form leaves the next downlink where a restart would put it: one past the stored counter.
  EXPECT_EQ(rig.Run(update + " dlc 20"), kOk);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->nextDownCounter, 21u);
  EXPECT_EQ(rig.Run(json + R"("nwk_down_counter":30})"), kOk);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->nextDownCounter, 31u);
  EXPECT_EQ(rig.RunJson(json + R"("bogus":1})")["message"],
            "No device setting provided, options are 'class' or device configuration as json");
  EXPECT_EQ(rig.RunJson(R"(device update {"name":"x"})")["message"],
            "'deveui' required to update device");

  // With reports on, the changed record goes to the management agent.
  rig.config["network"]["orbaEnabled"] = true;
  rig.settings.localCardEui = 0x0102030405060708ull;
  rig.settings.gatewaySerial = "GW-1";
  EXPECT_EQ(rig.Run(update + " name Pump_3"), kOk);
  std::vector<char> datagram(4096);
  sockaddr_in from{};
  const ssize_t n =
      rig.orbaListener.receive(from, reinterpret_cast<uint8_t*>(datagram.data()), datagram.size());
  ASSERT_GT(n, 0);
  const Json::Value report = testsupport::ParseJson(std::string(datagram.data(), n));
  EXPECT_EQ(report["path"], "m1/gateways/01-02-03-04-05-06-07-08/end_devices/" + kEui);
  EXPECT_EQ(report["method"], "PUT");
  EXPECT_EQ(report["request"]["data"]["attributes"]["name"], "Pump_3");
  EXPECT_EQ(report["request"]["data"]["attributes"]["trevant_serial"], "GW-1");

  EXPECT_EQ(rig.Run("device reset " + kEui), kOk);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->upCounter, 0u);
}

TEST_F(Commands, QueueAddGoesThroughTheApplicationPath) {
  const std::string dev = "\"deveui\":\"" + kEui + "\"";
  auto add = [&](const std::string& members) {
    return rig.RunJson("packet queue add {" + members + "}");
  };
  AddDevice();
  EXPECT_EQ(add(dev + ",\"data\":\"\"")["message"], "Failed to find device");  // no session yet
  AddSession();
  // A refused member is named under "data".
  const std::tuple<std::string, const char*, const char*> refusals[] = {
      {dev, "data", "Field 'data' is required"},
      {"\"data\":\"\"", "deveui", "Field 'deveui' is required"},
      {dev + R"(,"data":"","port":"2")", "port", "port must be an integer (0,223)"},
      {dev + R"(,"data":"","ack_retries":1.5)", "ack_retries",
       "ack_retries must be an integer (0,8)"},
  };
  for (const auto& [members, field, message] : refusals) {
    EXPECT_EQ(add(members)["data"][field], message) << members;
  }
  EXPECT_EQ(add(dev + R"(,"data":"!!")")["message"], "Failed to parse base64 'data' field.");
  EXPECT_EQ(rig.RunJson("packet queue add [1]")["message"],
            "Failed to parse json, object expected.");

  const Json::Value empty = add(R"("deveui":"008000000000e19c","data":"")");
  EXPECT_EQ(empty["status"], "success");
  const Json::Value queued = add(dev + R"(,"data":"AQID","port":7)");
  EXPECT_EQ(queued["status"], "success");
  const Json::Value queue = rig.RunJson("packet queue json");
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[0]["data_size"].asUInt(), 0u);
  EXPECT_EQ(queue[0]["id"].asUInt(), empty["id"].asUInt());
  EXPECT_EQ(queue[1]["data"], "AQID");
  EXPECT_EQ(queue[1]["port"].asUInt(), 7u);

  EXPECT_EQ(rig.RunJson("packet queue delete " + kEui + " x")["message"], "Failed to parse ID");
  EXPECT_EQ(rig.RunJson("packet queue delete nope")["message"], "Failed to parse deveui");
  EXPECT_EQ(rig.Run("packet queue delete " + kEui + " " + queued["id"].asString()), kOk);
  EXPECT_EQ(rig.RunJson("packet queue json").size(), 1u);
  {
    // The device's own queue lost the record too, so it can never still be sent.
    auto device = rig.devices->FindDevice(0x26011234);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->transmitController.QueueLength(), 1u);
    EXPECT_EQ(device->transmitController.Front().id, empty["id"].asUInt());
  }
  EXPECT_EQ(rig.Run("packet queue delete " + kEui), kOk);
  EXPECT_EQ(rig.Run("packet queue json"), "[]\n");
}

TEST_F(Commands, RecentListsDrainAndStatsReset) {
  rig.recentJoins.append("{\"a\":1}");
  rig.recentJoins.append("{\"b\":2}");
  EXPECT_EQ(rig.Run("join"), "[{\"a\":1},{\"b\":2}]");
  EXPECT_EQ(rig.Run("join"), "[]");

  AddDevice();
  AddSession();
  constexpr uint64_t kGateway = 0x0102030405060708ull;
  sockaddr_in sender = UdpSocket::LoopbackAddress(1782);
  rig.gateways->seen(kGateway, 2, &sender);
  rig.gateways->countChannel(kGateway, 3);
  rig.gateways->countCrcError(kGateway);
  rig.devices->FindDevice(0x26011234)->receivedCount = 9;
  rig.statistics.increment(NetworkStatistics::Counter::rx_pkts);
  EXPECT_NE(rig.Run("stats").find("\"rx_pkts\" : 1"), std::string::npos);
  EXPECT_EQ(rig.Run("stats reset"), "OK\r\n");
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::rx_pkts), 0u);
  EXPECT_EQ(rig.gateways->find(kGateway)->channelCount(3), 0u);
  EXPECT_EQ(rig.gateways->find(kGateway)->crcErrors(), 0u);
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->receivedCount, 0u);
}

TEST_F(Commands, KeygenNeedsTheNetworkSecretsAndBothEuis) {
  const Json::Value key = rig.RunJson("device keygen " + kEui + " 70-b3-d5-7e-d0-00-00-01");
  EXPECT_EQ(key["status"], "success");
  EXPECT_EQ(key["data"]["appkey"].asString().size(), 32u);
  EXPECT_EQ(rig.RunJson("device keygen zz")["message"], "Failed to parse Dev EUI");
  EXPECT_EQ(rig.RunJson("device keygen " + kEui + " zz")["message"], "Failed to parse App EUI");
  rig.config["network"].removeMember("salt");
  EXPECT_EQ(rig.RunJson("device keygen " + kEui)["message"], "Network salt is not set");
}

TEST_F(Commands, ListingsGoToFilesOnlyInsideTheFolder) {
  AddDevice();
  EXPECT_EQ(rig.Run("device list json file devices.json"), kOk);
  EXPECT_NE(testsupport::ReadFile(dir.file("devices.json")).find(kEui), std::string::npos);
  EXPECT_EQ(rig.RunJson("device list json file ../devices.json")["status"], "fail");
  EXPECT_EQ(rig.RunJson("session list json file /tmp/x.json")["status"], "fail");
  std::string out;
  EXPECT_TRUE(CommandSet::ResolvePath("/srv/lora/", "/srv/lora/a/b.json", out));
  EXPECT_EQ(out, "/srv/lora/a/b.json");
  EXPECT_FALSE(CommandSet::ResolvePath("/srv/lora", "/srv/loraX/b.json", out));
  EXPECT_FALSE(CommandSet::ResolvePath("/srv/lora", "a/../../b", out));
  EXPECT_FALSE(CommandSet::ResolvePath("", "b", out));
}

// Long texts leave in pieces (the command port's end-to-end test reads the configuration so); a
// list longer than one datagram is cut the same way.
TEST(CommandReplies, AListLongerThanADatagramLeavesInPiecesThatJoinIntoTheWhole) {
  UdpSocket server;
  UdpSocket client;
  ASSERT_TRUE(server.open(0, false));
  ASSERT_TRUE(client.open(0, false));
  ReplyChannel reply;
  reply.BeginUdp(&server, UdpSocket::LoopbackAddress(client.localPort()));
  const std::string list(ReplyChannel::kMaxDatagram + 1, 'x');
  reply.SendText(list);
  std::string all;
  std::vector<uint8_t> buffer(70000);
  sockaddr_in from{};
  size_t pieces = 0;
  for (ssize_t n; (n = client.receive(from, buffer.data(), buffer.size())) > 0; ++pieces) {
    EXPECT_LE(static_cast<size_t>(n), ReplyChannel::kPieceSize);
    all.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
  }
  EXPECT_EQ(all, list);
  EXPECT_GT(pieces, 1u);
  reply.End();
}

}  // namespace
