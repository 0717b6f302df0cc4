#include "devices/Uplink.h"

#include "gateway/Gateway.h"
#include "support/Logger.h"

void DispatchUplink(Lora::ReceivedFrame& frame) {
  LOG_DEBUG("GW:%s|PACKET-RX|No uplink handler, frame from %08x not processed",
            Gateway::EuiText(frame.gatewayEui).c_str(), frame.DevAddr());
}
