// The 127.0.0.1 address of a port (0: any free one) for the tests' own sockets: tests only ever
// talk over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace testsupport {

inline sockaddr_in Loopback(uint16_t port = 0) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace testsupport
