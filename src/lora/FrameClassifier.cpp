#include "lora/FrameClassifier.h"

#include "lora/Eui.h"
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
  LOG_DEBUG("GW:%s|FRAME-RX|TYPE: %s", EUI::FromValue(frame.gatewayEui).text().c_str(),
            MessageTypeName(frame.MType()));
}

void CountOnGateway(const ReceivedFrame& frame, const FrameRoutes& routes) {
  if (routes.countUplink) routes.countUplink(frame.gatewayEui);
}

void Route(ReceivedFrame& frame, const std::function<void(ReceivedFrame&)>& route) {
  if (route) {
    route(frame);
  } else {
    LOG_DEBUG("GW:%s|FRAME-RX|No handler for %s, frame not processed",
              EUI::FromValue(frame.gatewayEui).text().c_str(), MessageTypeName(frame.MType()));
  }
}

void Dispatch(ReceivedFrame& frame, const FrameRoutes& routes) {
  switch (frame.MType()) {
    case kUnconfirmedUp:
    case kConfirmedUp:
      Route(frame, routes.dispatchUplink);
      return;
    case kJoinRequest:
      Route(frame, routes.handleJoinRequest);
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
  CountOnGateway(frame, routes);
  Dispatch(frame, routes);
}

}  // namespace Lora
