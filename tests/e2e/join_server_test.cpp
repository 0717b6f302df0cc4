// Joins the server hands to a remote join server over HTTPS: a small server of the test's own with
// a self-signed certificate given through the CA file, answering with a join accept lora-packet
// built. The accept must reach the device unchanged and its keys must carry the next uplink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::FromBase64;
using e2e::Hex;
using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

const std::string kAppKey = "2b7e151628aed2a6abf7158809cf4f3c";  // only the join server knows it

// join_server.py in a folder of its own, which holds its certificate, the answer it gives and
// the requests it was sent; it is killed with the test.
class JoinServer {
 public:
  JoinServer() {
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout " +
        dir.file("key.pem") + " -out " + certificate() + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) ADD_FAILURE() << "openssl could not make a certificate";
    process_.setProgram(VALLORIN_SOURCE_DIR "/tests/e2e/join_server.py");
    process_.start({dir.path(), certificate(), dir.file("key.pem")});
    // It prints its port once it listens.
    if (process_.waitFor("\n", 10000)) port = std::atoi(process_.out().c_str());
  }
  void Answer(const std::string& json) { testsupport::WriteFile(dir.file("answer.json"), json); }
  void Delay(double seconds) { testsupport::WriteFile(dir.file("delay"), std::to_string(seconds)); }
  // The request bodies that carried a join request (the start-up warm-up sends an empty one).
  std::vector<Json::Value> JoinRequests() const {
    std::vector<Json::Value> out;
    for (int i = 1; i < 20; ++i) {
      const Json::Value body = ParseJson(testsupport::ReadFile(dir.file("request-" + std::to_string(i) + ".json")));
      if (body.isMember("PHYPayload")) out.push_back(body);
    }
    return out;
  }
  std::string url() const { return "https://127.0.0.1:" + std::to_string(port) + "/join"; }
  std::string certificate() const { return dir.file("cert.pem"); }

  testsupport::TempDir dir;
  int port = 0;

 private:
  e2e::ServerProcess process_{dir.path()};
};

std::vector<uint8_t> JoinRequest(const std::string& nonce) {
  return e2e::JoinRequest(nonce, "0080000000000007", "70b3d57ed0000001", kAppKey);
}

TEST(RemoteJoin, TheJoinServersAcceptGoesOutUnchangedAndItsKeysCarryTheNextUplink) {
  JoinServer joinServer;
  ASSERT_GT(joinServer.port, 0);
  // The stored session makes the address the server proposes, and so the accept, predictable.
  SeededSession known;
  known.devAddr = 0x26012345;
  known.devEui = "00-80-00-00-00-00-00-07";
  NetworkRig rig;
  rig.config["whitelist"]["enabled"] = false;
  rig.config["whitelist"]["devices"] = Json::Value(Json::arrayValue);
  rig.config["network"]["joinServer"] = joinServer.url();
  rig.config["paths"]["caFile"] = joinServer.certificate();
  rig.Seed({known});

  const std::string accept = Hex(e2e::LoraPacket(
      R"({"fields":{"MType":"Join Accept","AppNonce":"a1a2a3","NetID":"000013",)"
      R"("DevAddr":"26012345","DLSettings":0,"RxDelay":1},"keys":{"AppKey":")" + kAppKey + R"("}})"));
  const Json::Value keys = e2e::ReadJoinAccept(accept, kAppKey, "0102");
  joinServer.Answer(R"({"Result":{"ResultCode":"Success"},"PHYPayload":")" + accept +
                    R"(","NwkSKey":{"AESKey":")" + keys["NwkSKey"].asString() +
                    R"("},"AppSKey":{"AESKey":")" + keys["AppSKey"].asString() + R"("}})");
  ASSERT_TRUE(rig.Start());

  rig.Push(JoinRequest("0102"), R"({"tmst":1000000})");
  const Json::Value txpk = rig.NextTxpk(8000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  EXPECT_EQ(Hex(FromBase64(txpk["data"].asString())), accept);
  ASSERT_EQ(joinServer.JoinRequests().size(), 1u);
  const Json::Value body = joinServer.JoinRequests()[0];
  e2e::ExpectMembers(body, R"({"DevAddr": "26012345", "MACVersion": "1.0.2"})");
  ASSERT_TRUE(rig.WaitFor("/joined", 1));
  EXPECT_EQ(rig.On("/joined")[0].payload, R"({"remote_js":true})");

  SeededSession joined = known;
  joined.nwkSKey = keys["NwkSKey"].asString();
  joined.appSKey = keys["AppSKey"].asString();
  rig.Push(e2e::DeviceUplink(joined, 1, 4, "beef"), R"({"tmst":9000000})");
  ASSERT_TRUE(rig.WaitFor("/4/up", 1)) << rig.Log();

  // An answer later than the join window allows is dropped and said so.
  joinServer.Delay(6.0);
  rig.Push(JoinRequest("0103"), R"({"tmst":20000000})");
  ASSERT_TRUE(rig.WaitFor("/down_dropped", 1, 10000)) << rig.Log();
  EXPECT_NE(rig.On("/down_dropped")[0].payload.find("Join Response too late, "), std::string::npos);
  EXPECT_TRUE(rig.WaitForLog("|TOO-LATE|Join Response too late"));
}

}  // namespace
