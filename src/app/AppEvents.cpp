#include "app/AppEvents.h"

#include <cstdio>

#include "app/AppMessageQueue.h"

namespace {

char ClassLetter(unsigned deviceClass) {
  return deviceClass == 1 ? 'B' : deviceClass == 2 ? 'C' : 'A';
}

}  // namespace

void AppEvents::Class(const Lora::EUI& devEui, unsigned deviceClass) {
  char payload[16];
  std::snprintf(payload, sizeof payload, "{\"class\":\"%c\"}", ClassLetter(deviceClass));
  queue_.postAppMessage(devEui.text(), "class", payload);
}

void AppEvents::QueueFull(const Lora::EUI& devEui) {
  queue_.postAppMessage(devEui.text(), "queue_full", std::string());
}

void AppEvents::Cleared(const Lora::EUI& devEui) {
  queue_.postAppMessage(devEui.text(), "cleared", std::string());
}

void AppEvents::PacketRecv(const Lora::EUI& devEui, const std::string& rxpk) {
  queue_.postAppMessage(devEui.text(), "packet_recv", rxpk);
}

void AppEvents::PacketMissed(const Lora::EUI& devEui, uint32_t count) {
  char payload[32];
  std::snprintf(payload, sizeof payload, "{\"count\":%u}", count);
  queue_.postAppMessage(devEui.text(), "packet_missed", payload);
}

void AppEvents::PacketAck(const Lora::EUI& devEui, uint32_t seqn, uint32_t id) {
  char payload[64];
  std::snprintf(payload, sizeof payload, "{\"seqn\":%u, \"id\": %u}", seqn, id);
  queue_.postAppMessage(devEui.text(), "packet_ack", payload);
}

void AppEvents::PacketDrop(const Lora::EUI& devEui, int code) {
  const char* message = code == 101 ? "Downlink ACK could not be scheduled"
                                    : "Max retries exceeded for packet";
  char payload[96];
  std::snprintf(payload, sizeof payload, "{\"code\":%d,\"message\":\"%s\"}", code, message);
  queue_.postAppMessage(devEui.text(), "packet_drop", payload);
}

void AppEvents::DownQueued(const std::string& eui, const std::string& json) {
  queue_.postAppMessage(eui, "down_queued", json);
}

void AppEvents::DownDropped(const std::string& eui, const std::string& json) {
  queue_.postAppMessage(eui, "down_dropped", json);
}

void AppEvents::Post(const std::string& eui, const char* event, const std::string& payload) {
  queue_.postAppMessage(eui, event, payload);
}
