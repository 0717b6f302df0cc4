// vallorin-sim: packet forwarders and end-devices for trying a vallorin server without radios.
#include <cstdio>
#include <string>
#include <vector>

#include "sim/Simulator.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "-h" || a == "--help") {
      fputs(Sim::Usage().c_str(), stdout);
      return 0;
    }
  }
  Sim::Options options;
  std::string error;
  if (!Sim::ParseArguments(args, options, error)) {
    fprintf(stderr, "vallorin-sim: %s\n\n%s", error.c_str(), Sim::Usage().c_str());
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return Sim::Run(options);
}
