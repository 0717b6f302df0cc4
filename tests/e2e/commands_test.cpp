// The operator's command interface of the real binary: the UDP command port driven by
// vallorin-cli and by raw datagrams, the console transport on standard input, a real broker for
// the events commands cause, and frames built by lora-packet for the device a command activated.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::BaseConfig;
using e2e::ParseJson;
using e2e::ServerProcess;
using e2e::WriteConfig;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const e2e::SeededSession kDevice;
const std::string kDevEui = kDevice.devEui;
const std::string kSuccess = "{\"status\":\"success\"}\n";

using e2e::Pause;

std::string SessionAdd() {
  return R"(session add {"deveui":")" + kDevEui +
         R"(","appeui":"70-b3-d5-7e-d0-00-00-01","dev_addr":"26011234","net_id":"000013","app_senc_key":")" +
         kDevice.appSKey + R"(","fnwk_sint_key":")" + kDevice.nwkSKey + R"("})";
}

std::vector<uint8_t> Uplink(unsigned fcnt) { return e2e::DeviceUplink(kDevice, fcnt, 10, "68656c6c6f"); }

class CommandPort : public ::testing::Test {
 protected:
  void SetUp() override {
    port = static_cast<uint16_t>(rig.config["udp"]["commandPort"].asUInt());
    ASSERT_TRUE(rig.Start());
    // The port is bound by the command thread; ping until it answers.
    bool alive = false;
    for (int i = 0; i < 50 && !alive; ++i)
      alive = rig.Command("ping") == "ZEV ORBA Server is alive";
    ASSERT_TRUE(alive) << rig.Log();
  }

  // vallorin-cli with these words.
  e2e::ExitResult Cli(std::vector<std::string> words) {
    words.insert(words.begin(), {"-p", std::to_string(port), "-t", "3000"});
    return e2e::RunBinary(words, dir.path(), 10000, VALLORIN_CLI);
  }

  TempDir dir;  // the command line client's output
  e2e::NetworkRig rig;
  uint16_t port = 0;
};

// The port's own replies (a full receive buffer, a document in pieces); then the device a command
// activated is served, and after quit, which ends the command port and nothing else, its uplinks
// still flow.
TEST_F(CommandPort, RepliesInPiecesADeviceItActivatesAndUplinksThatFlowAfterQuit) {
  // The error replies themselves are the command set's unit test; the port answers and carries on.
  EXPECT_EQ(rig.Command(""), "");
  EXPECT_EQ(rig.Command("   \n"), "");
  // A datagram that fills the whole receive buffer is read to its last byte and no further.
  std::string full = "ping";
  full.resize(2000, ' ');
  EXPECT_EQ(rig.Command(full), "ZEV ORBA Server is alive");
  EXPECT_NE(rig.Command(std::string(2000, '\xff')).find("Syntax error in command"),
            std::string::npos);
  // The configuration arrives in pieces of at most 1024 bytes that join into the whole document.
  size_t pieces = 0, largest = 0;
  const Json::Value shown = ParseJson(rig.Command("config", 200, &pieces, &largest));
  EXPECT_GT(pieces, 1u);
  EXPECT_LE(largest, 1024u);
  EXPECT_EQ(shown["udp"]["commandPort"].asUInt(), port) << shown;
  const e2e::ExitResult joined = Cli({"config"});
  EXPECT_EQ(joined.status, 0);
  EXPECT_EQ(ParseJson(joined.out), shown);

  const std::string device = "{\"deveui\":\"" + kDevEui + "\"}";
  for (const std::vector<std::string>& words : {std::vector<std::string>{"device", "add", device},
                                                std::vector<std::string>{SessionAdd()}}) {
    const e2e::ExitResult done = Cli(words);
    EXPECT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(done.out, kSuccess);
  }

  rig.Push(Uplink(1));
  ASSERT_TRUE(rig.WaitFor("/up", 1)) << rig.Log();
  EXPECT_EQ(ParseJson(rig.On("/up")[0].payload)["data"], "aGVsbG8=");

  // An empty frame queued by command waits for the device's next uplink.
  const Json::Value queued =
      ParseJson(rig.Command("packet queue add {\"deveui\":\"" + kDevEui + "\",\"data\":\"\"}"));
  EXPECT_EQ(queued["status"], "success");
  ASSERT_EQ(ParseJson(rig.Command("packet queue json")).size(), 1u);

  EXPECT_EQ(Cli({"device", "update", kDevEui, "class", "c"}).status, 0);
  ASSERT_TRUE(rig.WaitFor("/class", 1));
  EXPECT_EQ(rig.On("/class")[0].topic, "lora/" + kDevEui + "/class");
  EXPECT_EQ(ParseJson(rig.On("/class")[0].payload), ParseJson("{\"class\":\"C\"}"));
  // Class C, the device listens all the time: what was queued goes out at once.
  const Json::Value txpk = rig.NextTxpk(3000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  EXPECT_TRUE(txpk["imme"].asBool());
  // Its row goes once the frame is on its way, a moment after the gateway has it.
  size_t left = 1;
  for (int i = 0; i < 50 && left > 0; ++i) {
    Pause(20);
    left = ParseJson(rig.Command("packet queue json")).size();
  }
  EXPECT_EQ(left, 0u);

  const std::string zeros(32, '0');
  const e2e::ExitResult refused = Cli({"device", "update", kDevEui, "nskey", zeros});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(ParseJson(refused.out)["message"],
            "Invalid device setting 'nskey' value '" + zeros + "'");

  // Lists, and the gateway the forwarder announced; the statistics are the forgery test's.
  EXPECT_NE(rig.Command("device").find(kDevEui), std::string::npos);
  EXPECT_NE(rig.Command("gateway").find("01-02-03-04-05-06-07-08"), std::string::npos);
  EXPECT_EQ(Cli({"HELP"}).status, 2);
  EXPECT_EQ(Cli({"help"}).status, 0);

  const std::string first = rig.Command("packet recent");
  EXPECT_EQ(first.front(), '[');
  EXPECT_NE(first, "[]");
  EXPECT_EQ(rig.Command("packet recent"), "[]");

  EXPECT_EQ(Cli({"quit"}).status, 0);
  EXPECT_EQ(rig.Command("ping", 500), "");
  EXPECT_EQ(Cli({"ping"}).status, 1);
  rig.Push(Uplink(2));
  EXPECT_TRUE(rig.WaitFor("/up", 2)) << rig.Log();
  EXPECT_TRUE(rig.running());
}

TEST(CommandConsole, TheSameCommandsOnStandardInput) {
  TempDir dir;
  const Json::Value config = BaseConfig(dir.path(), R"({"log": {"console": true},
      "lora": {"netID": "000013"}, "addressRange": {"start": "00000001", "end": "01FFFFFE"}})");
  const std::string input = dir.file("input.txt");
  testsupport::WriteFile(input,
                         "ping\n"
                         "device add {\"deveui\":\"" +
                             kDevEui + "\"} # comment\n" + SessionAdd() +
                             "\n"
                             "HELP\n"
                             "session list json\n"
                             "quit\n"
                             "ping\n");
  ServerProcess server(dir.path());
  server.setInput(input);
  server.start({"-c", WriteConfig(dir.path(), config)});
  ASSERT_TRUE(server.waitFor("\"dev_addr\":\"26011234\"", 10000)) << server.out();
  const std::string out = server.out();
  EXPECT_NE(out.find("ZEV ORBA Server is alive"), std::string::npos);
  // Log lines share standard output with the replies; both successes are there.
  const size_t firstSuccess = out.find(kSuccess);
  ASSERT_NE(firstSuccess, std::string::npos);
  EXPECT_NE(out.find(kSuccess, firstSuccess + 1), std::string::npos);
  EXPECT_NE(out.find("Syntax error in command \"HELP\""), std::string::npos);
  EXPECT_NE(ReadFile(config["log"]["path"].asString()).find("Console command syntax error"),
            std::string::npos);
  // After quit the line after it is never read, and the server runs on.
  Pause(300);
  const std::string after = server.out();
  EXPECT_EQ(after.find("ZEV ORBA Server is alive"), after.rfind("ZEV ORBA Server is alive"));
  EXPECT_TRUE(server.running());
  server.stop(SIGTERM, 5000);
}

}  // namespace
