// The process-wide server state: owns the configuration document, the derived settings and every
// shared object of the running server. Created by main(), filled by the start-up sequence, and
// alive until the process exits.
#pragma once

#include <json/json.h>

#include "Settings.h"

class NetworkServer {
 public:
  // Runs the whole process: start-up, the gateway receive loop, shutdown. Returns the exit status.
  int Run(int argc, char** argv);

  Json::Value config{Json::objectValue};
  Settings settings;
};
