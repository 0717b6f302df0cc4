// One IPv4 datagram socket: the gateway upstream and downstream ports, the application ports and the
// command port each have one, owned by the server state and reopened by the threads that use them.
//
// receive() and send() hold different locks, so a thread may wait in receive() (at most 100 ms at a
// time) while others send on the same socket; this is how acknowledgements and PULL_RESP leave
// through the downstream socket while the downstream thread reads it. No operation throws; callers
// that need a failure to be fatal build an Exception from errorText() and errorNumber().
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "support/Mutex.h"

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to 127.0.0.1 (or 0.0.0.0 when allowPublic) on the port, with a 100 ms receive timeout.
  // Port 0 binds an ephemeral port (tests). A failed bind leaves the descriptor open, as the
  // caller may still want its error; a later open() or close() releases it.
  bool open(uint16_t port, bool allowPublic);
  void close();
  bool isOpen() const { return descriptor_.load() != -1; }

  // One datagram of at most capacity bytes; the sender is stored in peer, and in arrivalUs the
  // MonotonicUs() time at which it reached the socket. Negative on failure, including the 100 ms
  // timeout.
  ssize_t receive(sockaddr_in& peer, uint8_t* buffer, size_t capacity,
                  int64_t* arrivalUs = nullptr);
  // True when the whole datagram left.
  bool send(const sockaddr_in& peer, const uint8_t* data, size_t length);

  std::string errorText() const;
  int errorNumber() const;
  // The port actually bound (useful after open(0, ...)); 0 when closed.
  uint16_t localPort() const;

  // "%u.%u.%u.%u": four decimal fields, the first most significant. Fewer fields: false and 0.
  static bool ParseAddress(const char* text, uint32_t& value);
  // "a.b.c.d:port", the form log lines use for a peer.
  static std::string PeerText(const sockaddr_in& peer);
  static sockaddr_in LoopbackAddress(uint16_t port);
  // The monotonic time (MonotonicUs) at which a datagram read with recvmsg arrived, from its
  // SO_TIMESTAMPNS stamp; now when it carries none.
  static int64_t ArrivalUs(msghdr& message);

 private:
  void setError(const char* text, int number);

  std::atomic<int> descriptor_{-1};
  Mutex receiveMutex_;   // serialises receive()
  Mutex transmitMutex_;  // serialises send()
  mutable Mutex errorMutex_;  // leaf: the last failure, written by whichever side failed
  std::string errorText_ GUARDED_BY(errorMutex_);
  int errorNumber_ GUARDED_BY(errorMutex_) = 0;
};
