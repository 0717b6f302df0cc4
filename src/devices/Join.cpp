#include "devices/Join.h"

#include "gateway/Gateway.h"
#include "support/Logger.h"

void handleJoinRequest(Lora::ReceivedFrame& frame) {
  LOG_DEBUG("GW:%s|JOINREQ-RX|No join handler, request from %016llx not processed",
            Gateway::EuiText(frame.gatewayEui).c_str(),
            static_cast<unsigned long long>(frame.DevEui()));
}
