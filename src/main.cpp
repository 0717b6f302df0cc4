// vallorin: LoRaWAN network server running on the gateway.
#include <malloc.h>

#include "NetworkServer.h"

int main(int argc, char** argv) {
  // glibc gives each new thread an arena of its own, up to eight per core; the packet workers
  // then each keep a high-water mark of freed blocks. Two arenas serve a two-core gateway and
  // hold some 1.5 MB less at 10 000 devices.
  mallopt(M_ARENA_MAX, 2);
  // Never destroyed: the server's detached threads may still use it while the process exits.
  static NetworkServer* server = new NetworkServer;
  return server->Run(argc, argv);
}
