// The broker as it fails in the field: killed in the middle of a stream of uplinks and started
// again on the same port, and a broker that refuses the server's credentials.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::ParseJson;
using e2e::SeededSession;

namespace {

using e2e::Pause;

using testsupport::Occurrences;

// Uplinks of 25 devices keep coming at 100 a second while the broker dies without saving
// anything and comes back 1.5 s later. The application must see every one, each device's in
// order; QoS 1 allows repeats. Each device sends every 250 ms: two frames of one device much
// closer than that (which no class A device sends) may be taken by two packet workers in the
// opposite order, and the older is then refused as a replay.
TEST(BrokerFaults, AKilledBrokerLosesAndReordersNoUplink) {
  constexpr unsigned kDevices = 25, kEach = 16, kKillAt = 100, kBackAt = 250;
  NetworkRig rig;
  // The broker's sessions reach its file every second, so the application's subscription
  // survives the crash as it would on a broker that saves its state.
  ASSERT_TRUE(rig.broker().Reconfigure("autosave_interval 1\n"));
  std::vector<SeededSession> devices(kDevices);
  std::vector<std::vector<std::vector<uint8_t>>> frames;
  for (unsigned d = 0; d < kDevices; ++d) {
    devices[d].devAddr += d;
    char eui[24];
    std::snprintf(eui, sizeof eui, "00-80-00-00-00-00-e1-%02x", d);
    devices[d].devEui = eui;
    frames.push_back(e2e::DeviceUplinks(devices[d], 1, kEach, 7, "0102"));
    ASSERT_EQ(frames.back().size(), kEach);
  }
  rig.Seed(devices);
  ASSERT_TRUE(rig.Start());
  Pause(1500);  // one autosave after the subscriptions
  for (unsigned i = 0; i < kDevices * kEach; ++i) {
    if (i == kKillAt) rig.broker().Kill();
    if (i == kBackAt) {
      ASSERT_TRUE(rig.broker().Start());
    }
    rig.Push(frames[i % kDevices][i / kDevices], "{\"tmst\":" + std::to_string(i * 10000u) + "}");
    Pause(10);
  }
  // Done when every device's last uplink is in (its third topic ends in the port).
  auto lastOnesIn = [&] {
    size_t n = 0;
    for (const auto& m : rig.On("/7/up")) n += ParseJson(m.payload)["seqn"].asUInt() == kEach;
    return n >= kDevices;
  };
  for (int i = 0; i < 600 && !lastOnesIn(); ++i) Pause(100);
  for (const SeededSession& device : devices) {
    SCOPED_TRACE(device.devEui);
    const std::string topic = "lora/" + device.devEui + "/up";
    unsigned last = 0;
    for (const auto& m : rig.On(topic)) {
      const unsigned seqn = ParseJson(m.payload)["seqn"].asUInt();
      if (seqn > last) {
        EXPECT_EQ(seqn, last + 1) << "missing or out of order";
        last = seqn;
      }  // else a repeat of one already seen
    }
    EXPECT_EQ(last, kEach);
  }
  EXPECT_GE(rig.Count("MQTT - connected with server"), 2u) << "the outage was never seen";
  EXPECT_EQ(rig.Stop(), 0);
  EXPECT_EQ(rig.Query("SELECT DISTINCT up_counter FROM sessions"),
            std::vector<std::string>{std::to_string(kEach)});
}

// Every refusal is one error line and one connection the broker saw; the pauses between them
// double, so a wrong password costs a handful of lines, not a flood.
TEST(BrokerFaults, RefusedCredentialsAreLoggedOncePerAttemptWithGrowingPauses) {
  testsupport::TempDir dir;
  const std::string passwords = dir.file("passwd");
  ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " gateway right >/dev/null").c_str()), 0);
  testsupport::MosquittoBroker broker("allow_anonymous false\npassword_file " + passwords + "\n");
  Json::Value config = e2e::BaseConfig(
      dir.path(), R"({"mqtt": {"enabled": true, "username": "gateway", "password": "wrong"}})");
  config["mqtt"]["port"] = broker.port();
  const std::string log = config["log"]["path"].asString();
  e2e::ServerProcess server(dir.path());
  server.start({"-c", e2e::WriteConfig(dir.path(), config)});
  ASSERT_TRUE(server.waitFor("Start GatewayReceive thread", 10000, log)) << server.out();
  Pause(8000);  // attempts at about 0, 1, 3 and 7 s
  EXPECT_EQ(server.stop(SIGTERM, 5000), 0);
  const std::string text = testsupport::ReadFile(log);
  const size_t refusals = Occurrences(text, "MQTT - Impossible to connect with server(5)");
  const size_t attempts = Occurrences(broker.log(), "not authorised");
  EXPECT_GE(refusals, 2u) << "no retry";
  EXPECT_LE(refusals, 5u) << text;
  EXPECT_EQ(refusals, attempts) << broker.log();
}

}  // namespace
