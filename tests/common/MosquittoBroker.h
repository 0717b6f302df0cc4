// A real mosquitto broker for one test, on a free loopback port, with its configuration and
// persistence in a temporary folder. Stop() and Start() again keep the port and the saved
// sessions, so a test can take the broker away and bring it back.
//
// MqttProbe is the application side: a plain client that subscribes to one pattern and keeps
// every message it receives, in order.
#pragma once

#include <mosquittopp.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

class MosquittoBroker {
 public:
  // Starts it. `extraConfig` follows the loopback listener every test broker has (more
  // listeners, a bridge); `globalConfig` precedes it, for options that must come before any
  // listener.
  explicit MosquittoBroker(const std::string& extraConfig = "", const std::string& globalConfig = "");
  ~MosquittoBroker();
  MosquittoBroker(const MosquittoBroker&) = delete;
  MosquittoBroker& operator=(const MosquittoBroker&) = delete;

  // True once the broker accepts connections (waits at most 10 s).
  bool Start();
  // SIGTERM and wait: the broker saves its sessions on the way out.
  void Stop();
  // SIGKILL and wait: a crash, nothing saved since the last autosave.
  void Kill();
  // The broker's own log (every run so far).
  std::string log() const;
  // Stops, takes these lines after the listener instead, and starts again on the same port.
  bool Reconfigure(const std::string& extraConfig);
  bool running() const { return pid_ > 0; }
  uint16_t port() const { return port_; }

 private:
  void WriteConfig(const std::string& extraConfig);
  void End(int signal);

  TempDir dir_;
  std::string globalConfig_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int holder_ = -1;  // keeps the port while the broker is stopped
};

class MqttProbe : public mosqpp::mosquittopp {
 public:
  struct Message {
    std::string topic;
    std::string payload;
  };

  // A persistent session (clean session off) keeps its subscription and the messages published
  // while it is away, across a broker restart.
  MqttProbe(uint16_t port, const std::string& subscription, const std::string& clientId);
  ~MqttProbe() override;

  // Waits until the subscription is granted (at most timeoutMs).
  bool WaitSubscribed(int timeoutMs);
  std::vector<Message> messages() const;
  // The messages whose topic ends in the suffix, and a bounded wait for at least `count` of them.
  std::vector<Message> ending(const std::string& suffix) const;
  bool WaitForEnding(const std::string& suffix, size_t count, int timeoutMs) const;
  bool Publish(const std::string& topic, const std::string& payload);

 private:
  void on_connect(int rc) override;
  void on_subscribe(int, int, const int*) override;
  void on_message(const struct mosquitto_message* message) override;

  const std::string subscription_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool subscribed_ = false;
  std::vector<Message> messages_;
};

}  // namespace testsupport
