// The first look at every received frame: length and version checks, the gateway's frame count,
// and the hand-over by message type to uplink dispatch or the join procedure.
//
// Called by the packet-forwarder protocol on a packet-worker thread, once per decoded "rxpk"
// record. Any refusal is a Lora::ReceivedFrame::MessageRejectException that ends the handling of
// that one frame; the caller logs it and goes on with the next record.
#pragma once

#include <functional>

#include "lora/Frame.h"

namespace Lora {

// Where classified frames go, installed by the owner of the subsystems behind them (the server,
// or a test with its own). An empty route drops the frame with a debug line: this layer knows
// nothing of gateways, devices or joins.
struct FrameRoutes {
  std::function<void(uint64_t gatewayEui)> countUplink;   // one more frame heard by the gateway
  std::function<void(ReceivedFrame&)> dispatchUplink;     // MType 2 and 4
  std::function<void(ReceivedFrame&)> handleJoinRequest;  // MType 0
};

// In this order: "Frame too short " (detail: length) when the frame cannot hold the data header
// and its FOpts; "Incorrect version " (detail: Major) when Major is not 0; a debug TYPE line;
// one more received frame on the registered gateway; then dispatch by MType, anything but 0, 2
// and 4 refused as "Unexpected message type" (detail: MType) after it has been counted.
void ClassifyFrame(ReceivedFrame& frame, const FrameRoutes& routes);

}  // namespace Lora
