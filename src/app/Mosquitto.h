// The MQTT client: one per process, created at start-up when "mqtt"."enabled" is true.
//
// A network thread of its own connects, reconnects after a broker outage (also when the broker
// was not there at start-up, which the library's own loop thread never retries) and delivers
// inbound messages; every callback below runs on that thread. The publishing thread only calls
// Publish() and reads connected(). Inbound messages are handed to the handler given at
// construction, which must stay valid until the client is destroyed (the destructor stops the
// network thread before it returns).
#pragma once

#include <json/json.h>
#include <mosquittopp.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "app/AppThread.h"
#include "support/Mutex.h"

struct MqttOptions {
  std::string clientId;
  std::string host = "127.0.0.1";
  int port = 1883;
  bool useCredentials = false;  // both "username" and "password" were given
  std::string username;
  std::string password;
  int keepAliveSeconds = 60;
  int publishQos = 1;  // "mqtt"."qos" (0..2)
  int subscribeQos = 2;
  unsigned maxInflight = 20;  // QoS 1 and 2 messages the library keeps in flight at once

  // From "mqtt" (host, port, username, password, qos) and the client id: the network EUI followed
  // by the gateway serial, so that gateways sharing one broker never take each other's session.
  static MqttOptions FromConfig(const Json::Value& config, const std::string& gatewaySerial);
  // "mqtt"."enabled" is present and true.
  static bool Enabled(const Json::Value& config);
};

// Holds the library initialised for as long as a client exists: a base listed before the client
// base, so it is set up before and torn down after it.
class MosquittoLibrary {
 protected:
  MosquittoLibrary();
  ~MosquittoLibrary();
};

class Mosquitto : private MosquittoLibrary, public mosqpp::mosquittopp {
 public:
  using MessageHandler = std::function<void(const std::string& topic, const std::string& payload)>;

  enum class PublishResult {
    kSent,     // handed to the library
    kRetry,    // no connection (or it has just dropped): try again after reconnecting
    kRefused,  // the broker could never take it (bad topic, oversized payload): drop it
  };

  // Starts the library thread and the first connection attempt; a broker that does not answer
  // is not an error here, the library keeps trying and on_connect reports the outcome.
  Mosquitto(const MqttOptions& options, MessageHandler handler);
  ~Mosquitto() override;
  Mosquitto(const Mosquitto&) = delete;
  Mosquitto& operator=(const Mosquitto&) = delete;

  bool connected() const { return connected_.load(); }
  // Counts accepted connections; a change tells the publisher that the connection its
  // unacknowledged messages went out on is gone, even when a new one is already up.
  uint64_t connections() const { return connections_.load(); }
  // Waits up to timeoutMs for the connection; true when connected.
  bool WaitConnected(uint64_t timeoutMs) EXCLUDES(mutex_);

  // Hands the message to the library; mid receives its message id when sent.
  PublishResult Publish(const std::string& topic, const std::string& payload, int* mid = nullptr);
  // Message ids the broker has acknowledged since the last call, oldest first.
  std::vector<int> TakeAcknowledged() EXCLUDES(mutex_);
  // Waits up to timeoutMs for an acknowledgement (or a change of connection).
  void WaitAcknowledged(uint64_t timeoutMs) EXCLUDES(mutex_);

  // Inbound topics: "lora/+/" and every spelling of "down" and "clear", since the handler takes
  // the command in any case and the broker matches case by case. Not "lora/+/+": the broker
  // would hand the server back two of its own four events per uplink, and at a thousand
  // uplinks a second that put some 20 ms on every "up" an application waits for.
  static std::vector<std::string> InboundTopics();
  // Pauses between connection attempts: doubling from the first to the last.
  static constexpr uint32_t kFirstRetryMs = 1000;
  static constexpr uint32_t kLastRetryMs = 30000;
  static constexpr uint32_t kStackSize = 16384;

 private:
  void on_connect(int rc) override;
  void on_disconnect(int rc) override;
  void on_publish(int mid) override EXCLUDES(mutex_);
  void on_message(const struct mosquitto_message* message) override;
  void on_subscribe(int mid, int qosCount, const int* grantedQos) override;
  void on_error() override;

  void setConnected(bool value) EXCLUDES(mutex_);
  void networkLoop();
  // Sleeps up to ms unless the client is being destroyed.
  void rest(uint32_t ms) EXCLUDES(mutex_);

  // Constant after construction.
  const MqttOptions options_;
  const MessageHandler handler_;

  // Written by the library thread, read by the publishing thread.
  std::atomic<bool> connected_{false};
  std::atomic<uint64_t> connections_{0};
  Mutex mutex_;  // leaf: the acknowledgements, and the waits on changed_
  CondVar changed_;
  std::vector<int> acknowledged_ GUARDED_BY(mutex_);
  std::atomic<bool> stopping_{false};
  AppThread network_;
};
