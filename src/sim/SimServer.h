// What the simulator reads about the server process from /proc: which process serves a UDP
// port, and its CPU time and memory.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace Sim {

// The process with a socket bound to this local UDP port; 0 when none is visible.
int FindUdpPortOwner(uint16_t port);

struct ProcessUsage {
  bool ok = false;
  double cpuSeconds = 0;  // utime + stime
  long vmHwmKb = 0;       // peak resident size
  long vmRssKb = 0;
  // CPU seconds by thread name, numbered siblings ("pkt-worker-0", "pkt-worker-1") summed under
  // the name without the number.
  std::map<std::string, double> threadCpuSeconds;
  uint64_t contextSwitches = 0;  // voluntary and involuntary, over all threads
};

ProcessUsage ReadProcessUsage(int pid);

}  // namespace Sim
