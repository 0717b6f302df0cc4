// vallorin: LoRaWAN network server running on the gateway.
#include "NetworkServer.h"

int main(int argc, char** argv) {
  // Never destroyed: the server's detached threads may still use it while the process exits.
  static NetworkServer* server = new NetworkServer;
  return server->Run(argc, argv);
}
