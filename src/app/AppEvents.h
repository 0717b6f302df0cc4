// Every application event the server publishes is built here, one small function each, and handed
// to the one sink (AppMessageQueue). MQTT, the UDP up port and any later consumer read the same
// stream, so nobody formats an event twice.
//
// Device events go out on "lora/" + the device EUI text ("00-80-00-...") + "/" + the event name.
// Safe from any thread; the queue's lock is the only one taken.
#pragma once

#include <cstdint>
#include <string>

#include "lora/Eui.h"

class AppMessageQueue;

class AppEvents {
 public:
  explicit AppEvents(AppMessageQueue& queue) : queue_(queue) {}

  // "class": {"class":"A"} ("B" for 1, "C" for 2, "A" for anything else).
  void Class(const Lora::EUI& devEui, unsigned deviceClass);
  // "queue_full": empty payload.
  void QueueFull(const Lora::EUI& devEui);
  // "cleared": empty payload.
  void Cleared(const Lora::EUI& devEui);
  // "packet_recv": the receiving gateway's rxpk object as compact JSON text.
  void PacketRecv(const Lora::EUI& devEui, const std::string& rxpk);
  // "packet_missed": {"count":N}.
  void PacketMissed(const Lora::EUI& devEui, uint32_t count);
  // "packet_ack": {"seqn":S, "id": I} (the spacing is the one applications already parse).
  void PacketAck(const Lora::EUI& devEui, uint32_t seqn, uint32_t id);
  // "packet_drop": {"code":C,"message":"..."}; 101 when a confirmed uplink's ACK fits neither
  // window, 102 when a confirmed downlink ran out of attempts.
  void PacketDrop(const Lora::EUI& devEui, int code);
  // "down_queued" / "down_dropped": the downlink JSON text, on the EUI text given.
  void DownQueued(const std::string& eui, const std::string& json);
  void DownDropped(const std::string& eui, const std::string& json);

  // Any other event with a ready payload (the uplink JSON, "joined", "packet_sent", ...).
  void Post(const std::string& eui, const char* event, const std::string& payload);

  AppMessageQueue& queue() { return queue_; }

 private:
  AppMessageQueue& queue_;
};
