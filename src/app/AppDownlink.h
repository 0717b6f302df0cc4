// Inbound application messages: the topics lora/DEVEUI/down and lora/DEVEUI/clear, whether they
// came from the broker (the MQTT library's thread), the UDP application down port, or a command
// that built its own downlink JSON.
//
// A downlink is read and checked completely before anything is stored or locked: the JSON is
// bounded (nesting, duplicate and trailing members refused), "data" must be strict Base64 of at
// most 242 bytes, "port" a whole number 0..223, "ack_retries" 0..8. Every refusal publishes
// "down_dropped" on the device's topic. Only then is the device locked, its queue checked, the
// row written and the record handed to the device's transmit queue.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "lora/Eui.h"
#include "lora/Frame.h"

class AppEvents;
class LoraDatabase;

// One device held locked for one downlink operation; the destructor releases the lock.
class DownlinkTarget {
 public:
  virtual ~DownlinkTarget() = default;
  // The device's EUI as it holds it: the topic of the events about it.
  virtual const Lora::EUI& eui() const = 0;
  // Records waiting in the device's application queue.
  virtual size_t QueuedCount() const = 0;
  // Hands the record (its id already set) to the device's transmit controller; false when the
  // controller refuses it.
  virtual bool Enqueue(const Lora::FrameApplicationData& record) = 0;
  // Empties the application queue and drops a frame built from it but not yet sent.
  virtual void ClearQueue() = 0;
};

// What the device list offers the inbound path; the server implements it over its device list.
class DownlinkSink {
 public:
  virtual ~DownlinkSink() = default;
  // Finds the device (the database first, then memory, restoring it when needed) and returns it
  // locked; null when there is no such device. Called with no other lock held.
  virtual std::unique_ptr<DownlinkTarget> Lock(const Lora::EUI& devEui) = 0;
};

// A downlink that was refused before anything was stored. what() is the text the caller logs (or
// the command interface replies with), e.g. "Device queue is full".
class DownlinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A downlink JSON read and checked, before any device is touched.
struct DownlinkRequest {
  Lora::FrameApplicationData record;  // payload, port, ack, attempts, window
  size_t decodedSize = 0;
};

namespace AppDownlinkText {
// Inbound topic EUIs: exactly 16 hex digits (either case), optionally with '-' or ':' between
// the bytes. False for anything else, including a 17th digit.
bool ParseEui(const std::string& text, Lora::EUI& out);
// Strict standard Base64 (RFC 4648, padding optional but only at the end). False on any
// character outside the alphabet, a lone final character, or non-zero padding bits.
bool DecodeBase64(const std::string& text, std::string& out);
// Parses outside JSON text with bounded nesting; trailing garbage and duplicate members fail.
bool ParseJson(const std::string& text, Json::Value& out);
}  // namespace AppDownlinkText

struct AppDownlinkLinks {
  AppEvents* events = nullptr;
  DownlinkSink* devices = nullptr;
  LoraDatabase* database = nullptr;
  size_t deviceQueueSize = 16;  // "deviceQueueSize"
};

class AppDownlink {
 public:
  explicit AppDownlink(const AppDownlinkLinks& links) : links_(links) {}

  // The common entry for inbound application messages. A DownlinkError or Exception raised
  // while handling it is logged at error level ("<prefix><description>", or the refusal text)
  // and goes no further: "Mosquitto Msg exception : " for the broker, "AppDataReceive Msg
  // exception : " for the UDP down port.
  void HandleInbound(const char* exceptionPrefix, const std::string& topic,
                     const std::string& payload);

  // lora/DEVEUI/down and lora/DEVEUI/clear; any other last level is ignored without a line.
  // Throws DownlinkError for a downlink refused by queueDownlinkJson.
  void handleAppTopic(const std::string& topic, const std::string& payload);

  // Checks and queues one downlink. With devEui null the JSON's "deveui" names the device
  // (commands). Returns true when queued (recordId set), false when it was dropped after the
  // device was found (the row could not be written, or the transmit controller refused it).
  // Throws DownlinkError for "Failed to find device", "Device queue is full", a bad "data" and
  // the range checks; each of those publishes "down_dropped" first when the device is known.
  bool queueDownlinkJson(const Lora::EUI* devEui, Json::Value& json, uint32_t* recordId = nullptr);

  // Reads and checks the JSON (filling in "data_size" and an integer "port"); throws
  // DownlinkError naming the first fault. Exposed for tests and the fuzzer.
  static DownlinkRequest ReadDownlink(Json::Value& json);

  // The prefixes of the two inbound transports' failure lines.
  static constexpr const char* kBrokerPrefix = "Mosquitto Msg exception : ";
  static constexpr const char* kDownPortPrefix = "AppDataReceive Msg exception : ";

  static constexpr size_t kMaxPayload = 242;
  // The largest downlink message read at all: what the UDP down port can carry. A real one is a
  // few hundred bytes; the broker would hand on anything up to its own limit.
  static constexpr size_t kMaxMessage = 16384;
  static constexpr unsigned kMaxPort = 223;
  static constexpr unsigned kMaxAttempts = 8;

 private:
  void handleDown(const Lora::EUI& eui, const std::string& payload);
  void handleClear(const Lora::EUI& eui);
  void dropped(const std::string& eui, const Json::Value& json);

  const AppDownlinkLinks links_;
};
