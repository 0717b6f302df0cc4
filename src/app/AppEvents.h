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

// What the "up" event says about one accepted data uplink, as plain values so that uplink
// processing can fill it from whatever it holds the device and frame in.
struct UplinkRecord {
  std::string rxpk;   // the receiving gateway's "rxpk" object, compact JSON text
  bool fsk = false;   // an FSK uplink: "datr", "fdev" and "lsnr" are fixed
  uint16_t fcnt = 0;  // FCnt from the frame header
  uint8_t fctrl = 0;
  int port = 1;                     // the FPort, 1 when the frame carries none
  const uint8_t* header = nullptr;  // the first 8 bytes of the PHYPayload (MHDR .. FCnt)
  const uint8_t* fopts = nullptr;
  size_t foptsLength = 0;
  const uint8_t* payload = nullptr;  // decrypted application payload
  size_t payloadLength = 0;
  std::string appEui;  // EUI texts as the device holds them
  std::string devEui;
  uint64_t gatewayEui = 0;
  int64_t seqn = 0;     // the reconstructed 32-bit up counter
  std::string nowTime;  // "time" when the gateway gave none; empty: the real-time clock
};

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
  // "mac_recv": {"id":CID,"data":"hex","appeui":...,"deveui":...,"gweui":...} for one uplink MAC
  // command; "data" (the bytes after the CID) only when the command has any.
  void MacRecv(const Lora::EUI& appEui, const Lora::EUI& devEui, uint64_t gatewayEui, uint8_t cid,
               const uint8_t* payload, size_t length);
  // "down_queued" / "down_dropped": the downlink JSON text, on the EUI text given.
  void DownQueued(const std::string& eui, const std::string& json);
  void DownDropped(const std::string& eui, const std::string& json);

  // "up": the uplink JSON on lora/DEVEUI/up, lora/APPEUI/DEVEUI/up and
  // lora/APPEUI/DEVEUI/PORT/up, the same payload on all three.
  // Returns the JSON, which the management report reuses.
  std::string Up(const UplinkRecord& uplink);
  // The rxpk members in the gateway's order (those replaced below left out), then "fdev",
  // "datr", "lsnr" for FSK, "fcnt", "cls", "port", "mhdr", "opts", "size", "data", "appeui",
  // "deveui", "ack", "adr", "gweui", "seqn", and "time" when the rxpk had none.
  static std::string UplinkJson(const UplinkRecord& uplink);
  // The real-time clock as the packet forwarder writes "time": "2026-01-31T16:21:17.528002Z".
  static std::string UtcTimeText();

  // Any other event with a ready payload (the uplink JSON, "joined", "packet_sent", ...).
  void Post(const std::string& eui, const char* event, const std::string& payload);

  AppMessageQueue& queue() { return queue_; }

 private:
  AppMessageQueue& queue_;
};
