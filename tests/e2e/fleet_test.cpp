// A fleet as operators set it up from the shipped examples: the gateway's broker bridges to a
// central broker over TLS with its own credentials, and an application on the central broker
// sees the gateway's uplinks under gateways/<gateway>/ and steers its devices from there. The
// bridge and central configurations are the example files with only host, ports and paths
// replaced, so the test breaks when the examples do.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::SeededSession;
using testsupport::MosquittoBroker;
using testsupport::MqttProbe;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Example(const std::string& name,
                    const std::vector<std::pair<std::string, std::string>>& replacements) {
  std::string text = ReadFile(std::string(VALLORIN_SOURCE_DIR) + "/examples/fleet/" + name);
  for (const auto& [from, to] : replacements) {
    const size_t at = text.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << name << " no longer has \"" << from << "\"";
      continue;
    }
    text.replace(at, from.size(), to);
  }
  return text;
}

// A CA and a certificate for the central broker valid for 127.0.0.1, made the way an operator
// would with openssl.
bool MakeCertificates(const TempDir& dir) {
  WriteFile(dir.file("san.ext"), "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
  const std::string d = dir.path() + "/";
  const std::string script =
      "cd " + d + " && "
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
      "-subj /CN=fleet-test-ca -keyout ca.key -out ca.crt && "
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-subj /CN=127.0.0.1 -keyout central.key -out central.csr && "
      "openssl x509 -req -in central.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
      "-extfile san.ext -out central.crt && "
      "mosquitto_passwd -c -b gateways.passwd gw-0001 fleet-secret";
  return std::system(("(" + script + ") >" + d + "certs.log 2>&1").c_str()) == 0;
}

TEST(Fleet, TheCentralBrokerSeesTheGatewayAndReachesItsDevices) {
  TempDir certs;
  ASSERT_TRUE(MakeCertificates(certs)) << ReadFile(certs.file("certs.log"));

  // The central broker: the example's TLS listener for gateways on a free port, the test's
  // loopback listener standing in for the example's application listener.
  const uint16_t tlsPort = testsupport::FreePort();
  const std::string central = Example(
      "central.conf", {{"per_listener_settings true\n", ""},
                       {"listener 8883", "listener " + std::to_string(tlsPort) + " 127.0.0.1"},
                       {"/etc/mosquitto/certs/central.crt", certs.file("central.crt")},
                       {"/etc/mosquitto/certs/central.key", certs.file("central.key")},
                       {"/etc/mosquitto/gateways.passwd", certs.file("gateways.passwd")},
                       {"/etc/mosquitto/gateways.acl",
                        std::string(VALLORIN_SOURCE_DIR) + "/examples/fleet/gateways.acl"},
                       {"listener 1883 127.0.0.1\nallow_anonymous true\n", ""}});
  MosquittoBroker centralBroker(central, "per_listener_settings true");
  ASSERT_TRUE(centralBroker.running());
  MqttProbe application(centralBroker.port(), "gateways/#", "central-application");
  ASSERT_TRUE(application.WaitSubscribed(5000));

  NetworkRig rig;
  const std::string bridge = Example(
      "gateway-bridge.conf",
      {{"listener 1883 127.0.0.1\n", ""},
       {"central.example.net:8883", "127.0.0.1:" + std::to_string(tlsPort)},
       {"change-this-password", "fleet-secret"},
       {"/etc/mosquitto/ca_certificates/central-ca.crt", certs.file("ca.crt")}});
  ASSERT_TRUE(rig.broker().Reconfigure(bridge));
  // The bridge announces itself on its notification topic once the central broker took it in.
  ASSERT_TRUE(application.WaitForEnding("gw-0001/bridge/state", 1, 5000)) << ReadFile(certs.file("certs.log"));

  SeededSession device;
  rig.Seed({device});
  ASSERT_TRUE(rig.Start());
  const std::string prefix = "gateways/gw-0001/lora/" + device.devEui;

  rig.Push(e2e::DeviceUplink(device, 1, 10, "c0ffee"), R"({"tmst":3000000})");
  ASSERT_TRUE(application.WaitForEnding(prefix + "/up", 1, 5000)) << rig.Log();
  const Json::Value up = e2e::ParseJson(application.ending(prefix + "/up")[0].payload);
  e2e::ExpectMembers(up, R"({"data": "wP/u", "gweui": "01-02-03-04-05-06-07-08"})");

  // A downlink published centrally for this gateway is queued by its server and goes out in RX1
  // of the next uplink; lora-packet reads it.
  ASSERT_TRUE(application.Publish(prefix + "/down", R"({"data":"AQID","port":7})"));
  ASSERT_TRUE(application.WaitForEnding(prefix + "/down_queued", 1, 5000)) << rig.Log();
  rig.Push(e2e::DeviceUplink(device, 2, 10, "00"), R"({"tmst":9000000})");
  const Json::Value txpk = rig.NextTxpk(3000);
  ASSERT_TRUE(txpk.isObject()) << rig.Log();
  e2e::ExpectMembers(e2e::ReadDownlink(device, txpk),
                     R"({"micOk": true, "FPort": 7, "payload": "010203"})");
  ASSERT_TRUE(application.WaitForEnding(prefix + "/packet_sent", 1, 5000));

  // The downlink that came in over the bridge is not sent back out and queued a second time.
  EXPECT_EQ(application.ending("/down").size(), 1u);
  EXPECT_EQ(application.ending("/down_queued").size(), 1u);
  EXPECT_EQ(rig.Stop(), 0);
}

}  // namespace
