// The publishing and application-data threads against a real broker and real loopback sockets.
#include "app/AppPublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppRig.h"
#include "MosquittoBroker.h"
#include "TestSupport.h"
#include "app/AppDataReceiver.h"
#include "app/Mosquitto.h"
#include "gateway/UdpSocket.h"

using testsupport::AppRig;
using testsupport::LogCapture;
using testsupport::MosquittoBroker;

namespace {

constexpr const char* kPublisherEui = "00-80-00-00-00-00-e1-9c";
constexpr int kWaitMs = 20000;

template <typename Predicate>
bool WaitFor(Predicate done, int timeoutMs = kWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The application listening on the up port.
struct UpPort {
  UpPort() { EXPECT_TRUE(socket.open(0, false)); }
  // The next datagram, or "" after the deadline (at least one 100 ms wait).
  std::string Next(int timeoutMs = kWaitMs) {
    uint8_t buffer[16384];
    ssize_t n = -1;
    sockaddr_in peer{};
    WaitFor([&] { return (n = socket.receive(peer, buffer, sizeof buffer)) >= 0; }, timeoutMs);
    return n < 0 ? "" : std::string(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
  }
  UdpSocket socket;
};

MqttOptions Options(const MosquittoBroker& broker, const char* clientId) {
  MqttOptions options;
  options.clientId = clientId;
  options.port = broker.port();
  return options;
}

TEST(AppPublisher, UpPortDatagramsWithoutMqtt) {
  UpPort up;
  AppMessageQueue queue;
  AppPublisherLinks links;
  links.messages = &queue;
  links.appPortUp = up.socket.localPort();
  AppPublisher publisher(links);
  ASSERT_EQ(publisher.Start(), 0);

  queue.postAppMessage(kPublisherEui, "up", R"({"fcnt":1})");
  const uint8_t withZero[] = {'a', 'b', 0, 'c'};
  queue.postAppMessage(kPublisherEui, "packet_recv", withZero, sizeof withZero);
  queue.postAppMessage(kPublisherEui, "cleared", "");
  const std::vector<std::string> expected = {
      std::string("lora/") + kPublisherEui + "/up {\"fcnt\":1}", "\r\n",
      std::string("lora/") + kPublisherEui + "/packet_recv ab",  "\r\n",
      std::string("lora/") + kPublisherEui + "/cleared ",        "\r\n"};
  for (const std::string& datagram : expected) EXPECT_EQ(up.Next(), datagram);

  // Too long for one datagram: the event cannot go, its line end still does.
  LogCapture capture;
  queue.postAppMessage(kPublisherEui, "up", std::string(70000, 'x'));
  EXPECT_EQ(up.Next(), "\r\n");
  EXPECT_TRUE(capture.contains("UDP message send on socket failed"));

  // While nobody is on the port its events are not sent at all; an application that binds it
  // hears the next one, whole.
  const uint16_t port = up.socket.localPort();
  up.socket.close();
  for (int i = 0; i < 3; ++i) queue.postAppMessage(kPublisherEui, "up", "{}");
  ASSERT_TRUE(WaitFor([&] { return queue.size() == 0; }));
  ASSERT_TRUE(up.socket.open(port, false));
  // Past the time an answer given before the bind is believed.
  std::this_thread::sleep_for(std::chrono::microseconds(AppPublisher::kListenerAnswerUs * 4));
  queue.postAppMessage(kPublisherEui, "cleared", "");
  // A slow thread may have asked about the last "up" only after the port was bound.
  const std::string skipped = std::string("lora/") + kPublisherEui + "/up {}";
  std::string next;
  do next = up.Next();
  while (next == skipped || next == "\r\n");
  EXPECT_EQ(next, std::string("lora/") + kPublisherEui + "/cleared ");
  EXPECT_EQ(up.Next(), "\r\n");
  publisher.Stop();
}

// Enabled but not connected yet: the event waits in the queue and the up port hears nothing of
// it until the broker answers; then it reaches both.
TEST(AppPublisher, EventsWaitForTheBroker) {
  LogCapture capture;
  MosquittoBroker broker;
  broker.Stop();
  UpPort up;
  AppMessageQueue queue;
  Mosquitto client(Options(broker, "server-away"), [](const std::string&, const std::string&) {});
  // Not what Publish answers: while the library's first connection attempt is still pending, it
  // queues a message on the socket it has and reports it sent.
  EXPECT_FALSE(client.connected());
  AppPublisherLinks links;
  links.messages = &queue;
  links.mqtt = &client;
  links.appPortUp = up.socket.localPort();
  links.disconnectedPauseMs = 100;
  AppPublisher publisher(links);
  queue.postAppMessage(kPublisherEui, "up", "{}");
  ASSERT_EQ(publisher.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return capture.count("MQTT disconnected.") >= 2; }));
  EXPECT_EQ(queue.size(), 1u);
  EXPECT_EQ(up.Next(0), "");

  ASSERT_TRUE(broker.Start());
  EXPECT_EQ(up.Next(), std::string("lora/") + kPublisherEui + "/up {}");
  EXPECT_TRUE(client.connected());
  EXPECT_EQ(up.Next(), "\r\n");

  // A topic no broker takes is refused for good; the up port still hears the event.
  queue.postAppMessage("00-80+00", "up", "{}");
  EXPECT_EQ(up.Next(), "lora/00-80+00/up {}");
  EXPECT_EQ(up.Next(), "\r\n");
  EXPECT_TRUE(capture.contains("MQTT - publish on lora/00-80+00/up refused"));
  publisher.Stop();
}

// The command level of an inbound topic is matched in any case, so the broker must hand on
// every spelling of it, and none of the server's own events.
TEST(Mosquitto, InboundCommandsInAnyCaseReachTheHandler) {
  MosquittoBroker broker;
  std::mutex mutex;
  std::vector<std::string> topics;
  Mosquitto client(Options(broker, "server-inbound"),
                   [&](const std::string& topic, const std::string&) {
                     std::lock_guard<std::mutex> lock(mutex);
                     topics.push_back(topic);
                   });
  testsupport::MqttProbe application(broker.port(), "lora/none", "application");
  ASSERT_TRUE(application.WaitSubscribed(kWaitMs));
  const std::string device = std::string("lora/") + kPublisherEui;
  // Published again until heard: the server's subscriptions may still be on their way.
  EXPECT_TRUE(WaitFor([&] {
    application.Publish(device + "/DOWN", "{}");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(topics.begin(), topics.end(), device + "/DOWN") != topics.end();
  }));
  int mid = 0;
  ASSERT_EQ(client.Publish(device + "/up", "{}", &mid), Mosquitto::PublishResult::kSent);
  for (const char* command : {"cLeAr", "Up", "down"}) {
    application.Publish(device + "/" + command, "{}");
  }
  EXPECT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return std::find(topics.begin(), topics.end(), device + "/down") != topics.end();
  }));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_NE(std::find(topics.begin(), topics.end(), device + "/cLeAr"), topics.end());
  for (const char* other : {"/up", "/Up"}) {
    EXPECT_EQ(std::find(topics.begin(), topics.end(), device + other), topics.end()) << other;
  }
}

TEST(AppDataReceiver, DatagramLengthsAndPayloadlessTopics) {
  LogCapture capture;
  AppRig rig;
  rig.devices.Add(kPublisherEui);
  AppDataReceiver receiver({&rig.downlinks, 0});
  ASSERT_EQ(receiver.Start(), 0);
  UdpSocket application;
  ASSERT_TRUE(application.open(0, false));
  auto send = [&](const std::string& text) {
    application.send(UdpSocket::LoopbackAddress(receiver.localPort()),
                     reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  // Both name a too-short EUI; only the 21-byte one reaches the topic handler.
  send("lora/008000000/clear");
  send("lora/0080000000/clear");
  ASSERT_TRUE(WaitFor([&] { return capture.contains("Device EUI not found in message topic"); }));
  send("lora/008000000000e19c/down");
  ASSERT_TRUE(WaitFor(
      [&] { return capture.contains("Dropping downstream message - Unable parse text as JSON"); }));
  receiver.Stop();
  EXPECT_EQ(capture.count("Device EUI not found in message topic"), 1u);
}

TEST(MqttOptions, FromConfiguration) {
  Json::Value config;
  config["network"]["eui"] = "00-11-22-33-44-55-66-77";
  config["mqtt"]["username"] = "app";
  config["mqtt"]["qos"] = 3;  // no such level
  MqttOptions options = MqttOptions::FromConfig(config, "18374568");
  EXPECT_EQ(options.clientId, "00-11-22-33-44-55-66-7718374568");  // one per gateway
  EXPECT_FALSE(options.useCredentials);  // a user name alone is not a login
  EXPECT_EQ(options.publishQos, 1);
  config["mqtt"]["password"] = "secret";
  config["mqtt"]["qos"] = 2;
  options = MqttOptions::FromConfig(config, "");
  EXPECT_TRUE(options.useCredentials);
  EXPECT_EQ(options.publishQos, 2);
  config["mqtt"]["enabled"] = "true";
  EXPECT_FALSE(MqttOptions::Enabled(config));
  config["mqtt"]["enabled"] = true;
  EXPECT_TRUE(MqttOptions::Enabled(config));
}

}  // namespace
