#include "lora/FrameClassifier.h"

#include "devices/Join.h"
#include "devices/Uplink.h"
#include "gateway/Gateway.h"
#include "gateway/GatewayMemoryList.h"
#include "support/Logger.h"

namespace Lora {

namespace {

using Reject = ReceivedFrame::MessageRejectException;

// FOptsLen is taken from byte 5 whatever the type: a join request always passes (23 >= 8 + 15),
// and the MIC is not part of this test; the MIC check guards its own bytes.
void CheckLength(const ReceivedFrame& frame) {
  if (frame.size() < kFOptsOffset + frame.FOptsLen()) {
    throw Reject("Frame too short ", static_cast<uint16_t>(frame.size()), frame);
  }
}

void CheckVersion(const ReceivedFrame& frame) {
  if (frame.Major() != 0) {
    throw Reject("Incorrect version ", static_cast<uint16_t>(frame.Major()), frame);
  }
}

void LogType(const ReceivedFrame& frame) {
  LOG_DEBUG("GW:%s|FRAME-RX|TYPE: %s", Gateway::EuiText(frame.gatewayEui).c_str(),
            MessageTypeName(frame.MType()));
}

void CountOnGateway(const ReceivedFrame& frame, GatewayMemoryList* gateways) {
  if (gateways == nullptr) return;
  if (auto gateway = gateways->find(frame.gatewayEui)) gateway->count(Gateway::Counter::uplinks);
}

void Dispatch(ReceivedFrame& frame, const FrameRoutes& routes) {
  switch (frame.MType()) {
    case kUnconfirmedUp:
    case kConfirmedUp:
      if (routes.dispatchUplink) {
        routes.dispatchUplink(frame);
      } else {
        DispatchUplink(frame);
      }
      return;
    case kJoinRequest:
      if (routes.handleJoinRequest) {
        routes.handleJoinRequest(frame);
      } else {
        handleJoinRequest(frame);
      }
      return;
    default:
      throw Reject("Unexpected message type", static_cast<uint16_t>(frame.MType()), frame);
  }
}

}  // namespace

void ClassifyFrame(ReceivedFrame& frame, const FrameRoutes& routes) {
  CheckLength(frame);
  CheckVersion(frame);
  LogType(frame);
  CountOnGateway(frame, routes.gateways);
  Dispatch(frame, routes);
}

}  // namespace Lora
