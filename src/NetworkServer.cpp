#include "NetworkServer.h"

#include "StopFlag.h"
#include "support/Logger.h"

int NetworkServer::Run(int, char**) {
  LOG_INFO("Lora Network Server started, Version: %s GwSerial: %s", settings.version.c_str(),
           settings.gatewaySerial.c_str());
  return 0;
}
