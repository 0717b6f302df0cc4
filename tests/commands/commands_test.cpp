// The command language over real collaborators: tokenizing and dispatch, include files, the
// error replies, the device, session and queue commands. Hostile words are the database's test
// (every statement; the commands build no SQL of their own) and the exposure test's (through the
// binary).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "CommandRig.h"
#include "TestSupport.h"
#include "gateway/UdpSocket.h"
#include "support/JsonText.h"
#include "support/Logger.h"

using commandtest::CommandRig;
using testsupport::LogCapture;
using testsupport::TempDir;

namespace {

const std::string kEui = "00-80-00-00-00-00-e1-9c";
const std::string kKeyA = "2b7e151628aed2a6abf7158809cf4f3c";
const std::string kKeyB = "000102030405060708090a0b0c0d0e0f";

std::string SessionJson(const std::string& devAddr = "26011234", const std::string& eui = kEui) {
  return R"({"deveui":")" + eui + R"(","appeui":"70-b3-d5-7e-d0-00-00-01","dev_addr":")" + devAddr +
         R"(","net_id":"000013","app_senc_key":")" + kKeyB + R"(","fnwk_sint_key":")" + kKeyA +
         R"("})";
}

class Commands : public ::testing::Test {
 protected:
  void AddDevice(const std::string& eui = kEui) {
    ASSERT_EQ(rig.Run("device add {\"deveui\":\"" + eui + "\"}"), "{\"status\":\"success\"}\n");
  }
  void AddSession(const std::string& devAddr = "26011234", const std::string& eui = kEui) {
    ASSERT_EQ(rig.Run("session add " + SessionJson(devAddr, eui)), "{\"status\":\"success\"}\n");
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
  EXPECT_EQ(rig.Run("packets up json"), "[]\n");
  EXPECT_EQ(rig.Run("sessions json"), "[]\n");
  EXPECT_EQ(rig.Run("gateways json"), "[]\n");
  EXPECT_EQ(rig.Run("debug help"), "debug 'error|warning|info|debug|trace'\n");
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
  testsupport::WriteFile(dir.file("ok.txt"), "ping\n\n# a comment\nping\n");
  EXPECT_EQ(rig.Run("include ok.txt"),
            "ZEV ORBA Server is alive"
            "ZEV ORBA Server is alive"
            "OK\r\n");

  // The error names the operator's line, the file and the line number, never the file's text.
  testsupport::WriteFile(dir.file("bad.txt"), "ping\nping\nsecret-word here\nping\n");
  EXPECT_EQ(rig.Run("include bad.txt"),
            "ZEV ORBA Server is aliveZEV ORBA Server is alive"
            "Syntax error in command \"include bad.txt\"\nFile :bad.txt Line :3\nWord 1\n");

  EXPECT_EQ(rig.Run("include ../outside.txt"), "Unable to open include file \"../outside.txt\"\n");
  EXPECT_EQ(rig.Run("include /etc/passwd"), "Unable to open include file \"/etc/passwd\"\n");
  rig.Run("include");
  EXPECT_EQ(rig.syntaxErrors, 2);

  // A file that includes itself stops at the nesting limit instead of the stack's end.
  testsupport::WriteFile(dir.file("loop.txt"), "include loop.txt\n");
  const std::string looped = rig.Run("include loop.txt");
  EXPECT_NE(looped.find("Unable to open include file"), std::string::npos);
  EXPECT_EQ(rig.syntaxErrors, 2);
}

TEST_F(Commands, DeviceAddRefusesWhatIsNotADeviceAndIgnoresComments) {
  EXPECT_EQ(rig.RunJson("device add [1]")["message"],
            "Invalid json device configuration, object expected");
  EXPECT_EQ(rig.RunJson("device add {\"name\":\"x\"}")["message"],
            "Missing required field 'deveui'");
  EXPECT_EQ(rig.RunJson("device add {\"deveui\":\"0080000000000e19c\"}")["message"],
            "Failed to parse 'deveui'");
  EXPECT_EQ(rig.RunJson("device add {\"deveui\":\"00:80:00:00:00:00:e1:9c\"}")["message"],
            "Failed to parse 'deveui'");
  // The words after "#" are not part of the JSON.
  EXPECT_EQ(rig.Run("device add {\"deveui\":\"008000000000E19C\",\"name\":\"a b\"} #{broken"),
            "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.RunJson("device add {\"deveui\":\"" + kEui + "\"}")["message"],
            "Failed to create device, device with provided device EUI already exists");
  const Json::Value list = rig.RunJson("device list json");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]["deveui"], kEui);
  EXPECT_EQ(list[0]["name"], "a b");  // rejoined with single blanks
}

TEST_F(Commands, SessionAddActivatesTheDeviceAtOnce) {
  EXPECT_EQ(rig.RunJson("session add " + SessionJson())["message"], "device not found");
  AddDevice();
  AddSession();
  EXPECT_TRUE(rig.devices->HasDevice(0x26011234));
  // Activating is no lost device found again: the operator sees no error for it.
  EXPECT_FALSE(quiet.contains("not found in memory"));
  EXPECT_EQ(rig.RunJson("session add " + SessionJson())["message"],
            "Failed to create session, session for provided device EUI already exists");
  // Another device may not take an address in use, nor a key of zeros.
  AddDevice("00-80-00-00-00-00-e1-9d");
  EXPECT_EQ(
      rig.RunJson("session add " + SessionJson("26011234", "00-80-00-00-00-00-e1-9d"))["status"],
      "fail");
  std::string zero = SessionJson("26011235", "00-80-00-00-00-00-e1-9d");
  zero.replace(zero.find(kKeyA), 32, std::string(32, '0'));
  EXPECT_EQ(rig.RunJson("session add " + zero)["status"], "fail");
  EXPECT_FALSE(rig.devices->HasDevice(0x26011235));
  // Nor one a restart would not restore (another NwkID).
  EXPECT_EQ(
      rig.RunJson("session add " + SessionJson("48011235", "00-80-00-00-00-00-e1-9d"))["message"],
      "Failed to create session, address outside the network's range");

  const Json::Value sessions = rig.RunJson("session list json");
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0]["dev_addr"], "26011234");

  // session delete leaves the end-device; device delete takes everything.
  EXPECT_EQ(rig.Run("session delete " + kEui), "{\"status\":\"success\"}\n");
  EXPECT_FALSE(rig.devices->HasDevice(0x26011234));
  EXPECT_EQ(Rows("sessions"), 0);
  EXPECT_EQ(Rows("end_devices"), 2);
  EXPECT_EQ(rig.RunJson("session delete " + kEui)["message"],
            "Device session" + kEui + " not found");
  EXPECT_EQ(rig.Run("device delete " + kEui), "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.RunJson("device delete " + kEui)["message"], "Device " + kEui + " does not exist");
  EXPECT_EQ(Rows("end_devices"), 1);
  EXPECT_EQ(rig.Run("device delete"), "usage: device delete <DEV-EUI>\n");
  EXPECT_EQ(rig.Run("gateway delete"), "usage: gateways delete <GW-EUI>\n");
}

TEST_F(Commands, DeviceUpdateChangesTheDeviceInMemoryAndInStorage) {
  AddDevice();
  AddSession();
  EXPECT_EQ(rig.RunJson("device update " + kEui + " dskey 00112233")["status"], "fail");
  EXPECT_EQ(rig.RunJson("device update " + kEui + " ulc 12x")["status"], "fail");
  EXPECT_EQ(rig.Run("device update " + kEui + " nskey " + kKeyB), "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.Run("device update " + kEui + " ulc 41"), "{\"status\":\"success\"}\n");
  {
    DeviceList::LockedDevice device = rig.devices->FindDevice(0x26011234);
    EXPECT_EQ(device->nwkSKey.text(), kKeyB);
    EXPECT_EQ(device->upCounter, 41u);
  }
  EXPECT_EQ(rig.RunJson("session list json")[0]["up_counter"].asUInt(), 41u);
  EXPECT_EQ(rig.RunJson("device update 00-80-00-00-00-00-00-01 class c")["message"],
            "Device '00-80-00-00-00-00-00-01' not found");

  // The JSON form: documented columns only, the class upper-cased and applied.
  EXPECT_EQ(
      rig.Run("device update {\"deveui\":\"" + kEui + "\",\"class\":\"b\",\"name\":\"Pump 2\"}"),
      "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.RunJson("device list json")[0]["name"], "Pump 2");
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->deviceClass, Device::kClassB);
  // Either form leaves the next downlink where a restart would put it: one past the stored counter.
  EXPECT_EQ(rig.Run("device update " + kEui + " dlc 20"), "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->nextDownCounter, 21u);
  EXPECT_EQ(rig.Run("device update {\"deveui\":\"" + kEui + "\",\"nwk_down_counter\":30}"),
            "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->nextDownCounter, 31u);
  EXPECT_EQ(rig.RunJson("device update {\"deveui\":\"" + kEui + "\",\"bogus\":1}")["message"],
            "No device setting provided, options are 'class' or device configuration as json");
  EXPECT_EQ(rig.RunJson("device update {\"name\":\"x\"}")["message"],
            "'deveui' required to update device");

  // With reports on, the changed record goes to the management agent.
  rig.config["network"]["orbaEnabled"] = true;
  rig.settings.localCardEui = 0x0102030405060708ull;
  rig.settings.gatewaySerial = "GW-1";
  EXPECT_EQ(rig.Run("device update " + kEui + " name Pump_3"), "{\"status\":\"success\"}\n");
  std::vector<uint8_t> datagram(4096);
  sockaddr_in from{};
  const ssize_t n = rig.orbaListener.receive(from, datagram.data(), datagram.size());
  ASSERT_GT(n, 0);
  Json::Value report;
  std::string errors;
  ASSERT_TRUE(JsonText::Parse(std::string(datagram.begin(), datagram.begin() + n), report, errors));
  EXPECT_EQ(report["path"], "m1/gateways/01-02-03-04-05-06-07-08/end_devices/" + kEui);
  EXPECT_EQ(report["method"], "PUT");
  EXPECT_EQ(report["request"]["data"]["attributes"]["name"], "Pump_3");
  EXPECT_EQ(report["request"]["data"]["attributes"]["trevant_serial"], "GW-1");

  EXPECT_EQ(rig.Run("device reset " + kEui), "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.devices->FindDevice(0x26011234)->upCounter, 0u);
}

TEST_F(Commands, QueueAddGoesThroughTheApplicationPath) {
  AddDevice();
  EXPECT_EQ(rig.RunJson("packet queue add {\"deveui\":\"" + kEui + "\",\"data\":\"\"}")["message"],
            "Failed to find device");  // no session yet
  AddSession();
  const Json::Value missing = rig.RunJson("packet queue add {\"deveui\":\"" + kEui + "\"}");
  EXPECT_EQ(missing["data"]["data"], "Field 'data' is required");
  EXPECT_EQ(rig.RunJson("packet queue add {\"data\":\"\"}")["data"]["deveui"],
            "Field 'deveui' is required");
  EXPECT_EQ(rig.RunJson("packet queue add {\"deveui\":\"" + kEui +
                        "\",\"data\":\"\",\"port\":\"2\"}")["data"]["port"],
            "port must be an integer (0,223)");
  EXPECT_EQ(rig.RunJson("packet queue add {\"deveui\":\"" + kEui +
                        "\",\"data\":\"\",\"ack_retries\":1.5}")["data"]["ack_retries"],
            "ack_retries must be an integer (0,8)");
  EXPECT_EQ(
      rig.RunJson("packet queue add {\"deveui\":\"" + kEui + "\",\"data\":\"!!\"}")["message"],
      "Failed to parse base64 'data' field.");
  EXPECT_EQ(rig.RunJson("packet queue add [1]")["message"],
            "Failed to parse json, object expected.");

  const Json::Value empty =
      rig.RunJson("packet queue add {\"deveui\":\"008000000000e19c\",\"data\":\"\"}");
  EXPECT_EQ(empty["status"], "success");
  const Json::Value queued =
      rig.RunJson("packet queue add {\"deveui\":\"" + kEui + "\",\"data\":\"AQID\",\"port\":7}");
  EXPECT_EQ(queued["status"], "success");
  const Json::Value queue = rig.RunJson("packet queue json");
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue[0]["data_size"].asUInt(), 0u);
  EXPECT_EQ(queue[0]["id"].asUInt(), empty["id"].asUInt());
  EXPECT_EQ(queue[1]["data"], "AQID");
  EXPECT_EQ(queue[1]["port"].asUInt(), 7u);

  EXPECT_EQ(rig.RunJson("packet queue delete " + kEui + " x")["message"], "Failed to parse ID");
  EXPECT_EQ(rig.RunJson("packet queue delete nope")["message"], "Failed to parse deveui");
  EXPECT_EQ(rig.Run("packet queue delete " + kEui + " " + queued["id"].asString()),
            "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.RunJson("packet queue json").size(), 1u);
  uint32_t devAddr = 0;
  ASSERT_TRUE(rig.database->GetAddressFromEui(kEui, devAddr));
  {
    // The device's own queue lost the record too, so it can never still be sent.
    auto device = rig.devices->FindDevice(devAddr);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->transmitController.QueueLength(), 1u);
    EXPECT_EQ(device->transmitController.Front().id, empty["id"].asUInt());
  }
  EXPECT_EQ(rig.Run("packet queue delete " + kEui), "{\"status\":\"success\"}\n");
  EXPECT_EQ(rig.Run("packet queue json"), "[]\n");
}

TEST_F(Commands, RecentListsDrainAndStatsReset) {
  rig.recentJoins.append("{\"a\":1}");
  rig.recentJoins.append("{\"b\":2}");
  EXPECT_EQ(rig.Run("join"), "[{\"a\":1},{\"b\":2}]");
  EXPECT_EQ(rig.Run("join"), "[]");

  AddDevice();
  AddSession();
  sockaddr_in sender = UdpSocket::LoopbackAddress(1782);
  rig.gateways->seen(0x0102030405060708ull, 2, &sender);
  rig.gateways->countChannel(0x0102030405060708ull, 3);
  rig.gateways->countCrcError(0x0102030405060708ull);
  rig.devices->FindDevice(0x26011234)->receivedCount = 9;
  rig.statistics.increment(NetworkStatistics::Counter::rx_pkts);
  EXPECT_NE(rig.Run("stats").find("\"rx_pkts\" : 1"), std::string::npos);
  EXPECT_EQ(rig.Run("stats reset"), "OK\r\n");
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::rx_pkts), 0u);
  EXPECT_EQ(rig.gateways->find(0x0102030405060708ull)->channelCount(3), 0u);
  EXPECT_EQ(rig.gateways->find(0x0102030405060708ull)->crcErrors(), 0u);
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
  EXPECT_EQ(rig.Run("device list json file devices.json"), "{\"status\":\"success\"}\n");
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
