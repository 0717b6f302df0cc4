// Asks the kernel whether a datagram from one local UDP address to another would be taken by a
// socket right now, without sending one. A datagram to a loopback port nobody has bound costs the
// sender its own delivery plus an ICMP "port unreachable" built, routed and delivered back, all
// on the sending thread; the question costs one netlink round trip, less than half of that.
//
// The answer is the kernel's own socket lookup for that pair of addresses, so it agrees with
// where the datagram would go: a listener on 0.0.0.0 or on 127.0.0.1, one connected to another
// peer (it would not get the datagram), a reuseport group. A kernel built without socket
// diagnostics, or a sandbox that forbids the netlink socket, answers kUnknown, and the caller
// sends as it always did.
#pragma once

#include <netinet/in.h>

#include <cstdint>

class UdpListenerProbe {
 public:
  enum class Answer { kListening, kNobody, kUnknown };

  UdpListenerProbe() = default;
  ~UdpListenerProbe();
  UdpListenerProbe(const UdpListenerProbe&) = delete;
  UdpListenerProbe& operator=(const UdpListenerProbe&) = delete;

  // Opens the netlink socket and checks the kernel's answers on the caller's own bound socket,
  // which must be found: a kernel without UDP diagnostics says "no such socket" to every question,
  // and must not be taken at its word. False (and kUnknown from then on) when it cannot answer.
  bool open(const sockaddr_in& self);
  void close();
  bool usable() const { return descriptor_ != -1; }

  // Whether a datagram sent from `from` to `to` would be received now.
  Answer ask(const sockaddr_in& from, const sockaddr_in& to);

 private:
  int descriptor_ = -1;
  uint32_t sequence_ = 0;
};
