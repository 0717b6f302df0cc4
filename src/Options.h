// The command line. It is scanned twice: the first pass (before the configuration file is read)
// handles only --version, -c, -l, -help and --help; the second pass applies every option, in
// argument order, by writing configuration keys.
//
// Every argument that begins with "-" is an option; the leading "-" is dropped and the rest is
// compared with the names below (so long options carry two dashes on the command line). An option
// that takes a value reads the following argument, and the scan still visits that argument: it is
// skipped because it does not begin with "-".
#pragma once

#include <json/json.h>

#include <string>

#include "Settings.h"

struct CommandLine {
  std::string configPath = "./vallorin.conf";
  std::string logFile;  // -l; empty when not given
  std::string loraPath;
  std::string card1Eui;
  std::string card2Eui;
  bool disableJoinRx1 = false;
  bool disableJoinRx2 = false;
  bool disableRx1 = false;
  bool disableRx2 = false;
  bool disableDutyCycle = false;
  // --check-config: validate, print the effective configuration, exit 0 or 1; nothing is opened,
  // bound or written.
  bool checkConfig = false;
  bool failed = false;  // an unrecognised option or a missing value: exit with status 1
};

enum class FirstPass { Continue, ExitSuccess, ExitFailure };

// --version and --help print to standard output and end the process successfully. --check-config
// is noted here, so that the check controls its output before the file is read.
FirstPass ScanFirstPass(int argc, char** argv, CommandLine& line);

// Applies every option to the document and the settings (card texts). Complaints go to standard
// error; the scan always completes. Returns false when the process must exit with status 1.
bool ApplyOptions(int argc, char** argv, Json::Value& config, Settings& settings, CommandLine& line);

std::string UsageText(const std::string& version);
