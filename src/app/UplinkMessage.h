// The "up" message of one accepted data uplink: its JSON, and its three publications on
// DEVEUI/up, APPEUI/DEVEUI/up and APPEUI/DEVEUI/PORT/up. Uplink processing hands over what it
// knows; how the JSON is laid out is the application interface's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lora/Eui.h"
#include "lora/Frame.h"

class AppMessageQueue;

struct UplinkMessage {
  const Lora::ReceivedFrame* frame = nullptr;  // its rxpk text and header fields
  const Lora::EUI* devEui = nullptr;
  const Lora::EUI* appEui = nullptr;
  const uint8_t* payload = nullptr;  // the decrypted FRMPayload
  size_t payloadLength = 0;
  int port = 1;       // the FPort, or 1 when the frame has none
  uint32_t seqn = 0;  // the device's full up counter
};

// Publishes the message three times and returns its JSON (the management report reuses it).
std::string PostUplink(AppMessageQueue& messages, const UplinkMessage& uplink);
