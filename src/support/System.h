// Shell commands (gateway serial at start-up, gateway information reports, the watchdog restart).
#pragma once

#include <string>

namespace ZEV {

class System {
 public:
  // Runs the command through the shell, waits for it, stores what it wrote on standard output and
  // returns its exit status (0 on success, -1 when it could not be started).
  static int cmd(const std::string& command, std::string& output);
};

}  // namespace ZEV
