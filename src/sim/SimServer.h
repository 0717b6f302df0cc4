// What the simulator reads about the server process from /proc: which process serves a UDP
// port, and its CPU time and memory.
#pragma once

#include <cstdint>

namespace Sim {

// The process with a socket bound to this local UDP port; 0 when none is visible.
int FindUdpPortOwner(uint16_t port);

struct ProcessUsage {
  bool ok = false;
  double cpuSeconds = 0;  // utime + stime
  long vmHwmKb = 0;       // peak resident size
  long vmRssKb = 0;
};

ProcessUsage ReadProcessUsage(int pid);

}  // namespace Sim
