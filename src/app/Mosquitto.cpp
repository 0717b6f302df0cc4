#include "app/Mosquitto.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "support/Logger.h"

MosquittoLibrary::MosquittoLibrary() { mosqpp::lib_init(); }
MosquittoLibrary::~MosquittoLibrary() { mosqpp::lib_cleanup(); }

MqttOptions MqttOptions::FromConfig(const Json::Value& config, const std::string& gatewaySerial) {
  MqttOptions options;
  const Json::Value& mqtt = config["mqtt"];
  if (mqtt["host"].isString()) options.host = mqtt["host"].asString();
  if (mqtt["port"].isInt()) options.port = mqtt["port"].asInt();
  if (mqtt.isMember("username") && mqtt.isMember("password")) {
    options.useCredentials = true;
    options.username = mqtt["username"].isString() ? mqtt["username"].asString() : "";
    options.password = mqtt["password"].isString() ? mqtt["password"].asString() : "";
  }
  // QoS 1 unless the operator asks for another level the protocol has.
  const Json::Value& qos = mqtt["qos"];
  if (qos.isInt() && qos.asInt() >= 0 && qos.asInt() <= 2) options.publishQos = qos.asInt();
  const Json::Value& eui = config["network"]["eui"];
  options.clientId = (eui.isString() ? eui.asString() : std::string()) + gatewaySerial;
  return options;
}

bool MqttOptions::Enabled(const Json::Value& config) {
  const Json::Value& enabled = config["mqtt"]["enabled"];
  return enabled.isBool() && enabled.asBool();
}

Mosquitto::Mosquitto(const MqttOptions& options, MessageHandler handler)
    : mosqpp::mosquittopp(options.clientId.empty() ? nullptr : options.clientId.c_str(), true),
      options_(options),
      handler_(std::move(handler)) {
  if (options_.useCredentials) {
    username_pw_set(options_.username.c_str(), options_.password.c_str());
  }
  // Publish() and the destructor call in from other threads while the network thread runs.
  threaded_set(true);
  max_inflight_messages_set(options_.maxInflight);
  network_.Start([this] { networkLoop(); }, kStackSize, "mqtt-net");
}

Mosquitto::~Mosquitto() {
  {
    // Set under the lock: a rest() between its look at the flag and its sleep would miss the
    // wake-up and sleep out its retry time.
    MutexLock lock(mutex_);
    stopping_.store(true);
  }
  changed_.notify_all();
  // Disconnecting ends the loop's wait on the socket; the thread is joined, never cancelled in
  // the middle of a callback.
  disconnect();
  network_.Join();
}

void Mosquitto::rest(uint32_t ms) {
  MutexLock lock(mutex_);
  changed_.wait_for(mutex_, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

void Mosquitto::networkLoop() {
  bool linked = false;  // a socket to the broker exists (maybe not yet accepted)
  bool first = true;
  uint32_t retryMs = kFirstRetryMs;
  while (!stopping_.load()) {
    if (!linked) {
      // The asynchronous forms do not wait for TCP: a broker host that swallows packets must not
      // hold the thread (and a shutdown) for the system's connect time-out.
      const int rc =
          first ? connect_async(options_.host.c_str(), options_.port, options_.keepAliveSeconds)
                : reconnect_async();
      first = false;
      if (rc != MOSQ_ERR_SUCCESS) {
        LOG_DEBUG("MQTT - cannot reach %s:%d (%s), retrying in %u ms", options_.host.c_str(),
                  options_.port, mosqpp::strerror(rc), retryMs);
        rest(retryMs);
        retryMs = std::min(retryMs * 2, kLastRetryMs);
        continue;
      }
      linked = true;
    }
    const int rc = loop(100, 1);
    if (rc == MOSQ_ERR_SUCCESS) {
      if (connected_.load()) retryMs = kFirstRetryMs;
      continue;
    }
    // The library has told on_disconnect already when the connection was up.
    linked = false;
    setConnected(false);
    if (!stopping_.load()) rest(retryMs);
    retryMs = std::min(retryMs * 2, kLastRetryMs);
  }
}

bool Mosquitto::WaitConnected(uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  changed_.wait_for(mutex_, std::chrono::milliseconds(timeoutMs),
                    [this] { return connected_.load(); });
  return connected_.load();
}

void Mosquitto::WaitAcknowledged(uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  const uint64_t connections = connections_.load();
  changed_.wait_for(mutex_, std::chrono::milliseconds(timeoutMs),
                    [this, connections]() NO_THREAD_SAFETY_ANALYSIS {
                      return !acknowledged_.empty() || !connected_.load() ||
                             connections_.load() != connections;
                    });
}

std::vector<int> Mosquitto::TakeAcknowledged() {
  MutexLock lock(mutex_);
  std::vector<int> out;
  out.swap(acknowledged_);
  return out;
}

void Mosquitto::on_publish(int mid) {
  {
    MutexLock lock(mutex_);
    acknowledged_.push_back(mid);
  }
  changed_.notify_all();
}

void Mosquitto::setConnected(bool value) {
  {
    MutexLock lock(mutex_);
    if (value) connections_.fetch_add(1);
    connected_.store(value);
  }
  changed_.notify_all();
}

Mosquitto::PublishResult Mosquitto::Publish(const std::string& topic, const std::string& payload,
                                            int* mid) {
  const int rc = publish(mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                         options_.publishQos, false);
  switch (rc) {
    case MOSQ_ERR_SUCCESS:
      return PublishResult::kSent;
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
      LOG_ERROR("MQTT - publish on %s refused (%s)", topic.c_str(), mosqpp::strerror(rc));
      return PublishResult::kRefused;
    default:
      LOG_DEBUG("MQTT - publish on %s deferred (%s)", topic.c_str(), mosqpp::strerror(rc));
      return PublishResult::kRetry;
  }
}

std::vector<std::string> Mosquitto::InboundTopics() {
  std::vector<std::string> topics;
  for (const std::string command : {"down", "clear"}) {
    // Bit i of upper chooses the case of the command's letter i.
    for (unsigned upper = 0; upper < 1u << command.size(); ++upper) {
      std::string spelling = command;
      for (size_t i = 0; i < spelling.size(); ++i) {
        if ((upper >> i & 1) != 0) spelling[i] = static_cast<char>(std::toupper(spelling[i]));
      }
      topics.push_back("lora/+/" + spelling);
    }
  }
  return topics;
}

void Mosquitto::on_connect(int rc) {
  if (rc != 0) {
    LOG_ERROR("MQTT - Impossible to connect with server(%d)", rc);
    return;
  }
  LOG_TRACE("MQTT - connected with server");
  // A clean session forgets subscriptions, so every connection makes them again.
  for (const std::string& topic : InboundTopics()) {
    subscribe(nullptr, topic.c_str(), options_.subscribeQos);
  }
  setConnected(true);
}

void Mosquitto::on_disconnect(int rc) {
  LOG_TRACE("MQTT - disconnected (%d)", rc);
  setConnected(false);
}

void Mosquitto::on_message(const struct mosquitto_message* message) {
  if (message == nullptr || message->topic == nullptr) return;
  try {
    const std::string payload = message->payload != nullptr && message->payloadlen > 0
                                    ? std::string(static_cast<const char*>(message->payload),
                                                  static_cast<size_t>(message->payloadlen))
                                    : std::string();
    handler_(message->topic, payload);
  } catch (...) {
    // The handler reports its own failures; nothing may unwind into the library.
    LOG_ERROR("Mosquitto Msg exception : unexpected failure");
  }
}

void Mosquitto::on_subscribe(int mid, int qosCount, const int* grantedQos) {
  LOG_TRACE("MQTT - subscribed id: %d qos_count: %d granted_qos: %d", mid, qosCount,
            qosCount > 0 && grantedQos != nullptr ? grantedQos[0] : -1);
}

void Mosquitto::on_error() { LOG_ERROR("MQTT - error occured"); }
