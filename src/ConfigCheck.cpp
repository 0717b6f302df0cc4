// What an operator runs before a restart: the start-up validation on its own. Every warning and
// error goes to standard error, the effective configuration (defaults written in) to standard
// output, so `vallorin --check-config -c FILE > effective.json` keeps the document apart. Nothing
// outside the process changes: no socket is opened, the database is not touched, no log file or
// system-log line is written and the packet forwarder's files stay as they are.
#include <cstdio>

#include "Configuration.h"
#include "NetworkServer.h"
#include "support/Logger.h"

int NetworkServer::CheckConfiguration(int argc, char** argv) {
  // Warnings and errors only: the informational lines of start-up would repeat the document
  // printed below.
  ZEV::Logger::pinToStandardError(ZEV::Logger::PrintLevel::WARNING_LEVEL);
  bool valid = ReadConfigurationFile() && ApplyOptions(argc, argv, config, settings, commandLine);
  if (valid) {
    commandLine.loraPath.clear();  // a check never writes the packet forwarder's files
    try {
      valid = ValidateConfiguration();
    } catch (const Json::Exception& e) {
      LOG_ERROR("Invalid configuration: %s", e.what());
      valid = false;
    }
  }
  if (valid) {
    const std::string document = Configuration::StyledJson(config);
    fputs(document.c_str(), stdout);
    fflush(stdout);
  }
  fprintf(stderr, "Configuration %s: %s\n", valid ? "valid" : "not valid",
          commandLine.configPath.c_str());
  return valid ? 0 : 1;
}
