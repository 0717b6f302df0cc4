// vallorin: LoRaWAN network server running on the gateway.
#include "NetworkServer.h"

int main(int argc, char** argv) {
  static NetworkServer server;
  return server.Run(argc, argv);
}
