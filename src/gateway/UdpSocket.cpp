#include "gateway/UdpSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lora/Bytes.h"

UdpSocket::~UdpSocket() { close(); }

bool UdpSocket::open(uint16_t port, bool allowPublic) {
  close();
  char hostName[256];
  int result = gethostname(hostName, sizeof hostName);
  if (result != 0) {
    setError("Unable to read host name", result);
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd == -1) return false;
  descriptor_.store(fd);

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(allowPublic ? INADDR_ANY : INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    setError("Unable to bind socket", 0);
    return false;
  }
  timeval timeout{0, 100000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    perror("Error");
  }
  // The kernel's stamp of each datagram's arrival: a reader woken late still knows when it came.
  const int stamp = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &stamp, sizeof stamp);
  return descriptor_.load() != -1;
}

void UdpSocket::close() {
  int fd = descriptor_.exchange(-1);
  if (fd != -1) ::close(fd);
}

// The monotonic time of a datagram's arrival from the kernel's wall-clock stamp: its age now,
// taken from the monotonic clock now. A stamp that is missing, in the future or older than a
// second (the wall clock was set meanwhile) counts as arriving now.
int64_t UdpSocket::ArrivalUs(msghdr& message) {
  // The two clocks are read back to back: the stamp's age is measured on the wall clock and
  // taken from the monotonic one, and a pause between the readings would date the datagram
  // earlier by as long (class B frames are timed from these stamps).
  const int64_t nowUs = MonotonicUs();
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    const int64_t ageUs = (static_cast<int64_t>(wall.tv_sec) - stamp.tv_sec) * 1000000 +
                          (wall.tv_nsec - stamp.tv_nsec) / 1000;
    return ageUs >= 0 && ageUs < 1000000 ? nowUs - ageUs : nowUs;
  }
  return nowUs;
}

ssize_t UdpSocket::receive(sockaddr_in& peer, uint8_t* buffer, size_t capacity,
                           int64_t* arrivalUs) {
  MutexLock guard(receiveMutex_);
  while (true) {
    iovec data{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = &peer;
    message.msg_namelen = sizeof peer;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n = recvmsg(descriptor_.load(), &message, 0);
    if (n >= 0) {
      if (arrivalUs != nullptr) *arrivalUs = ArrivalUs(message);
      return n;
    }
    if (errno == ECONNRESET) continue;
    setError("Unable to receive datagram", errno);
    return n;
  }
}

bool UdpSocket::send(const sockaddr_in& peer, const uint8_t* data, size_t length) {
  MutexLock guard(transmitMutex_);
  ssize_t n = sendto(descriptor_.load(), data, length, 0, reinterpret_cast<const sockaddr*>(&peer),
                     sizeof peer);
  if (n < 0 || static_cast<size_t>(n) != length) {
    setError("Unable to transmit datagram", errno);
    return false;
  }
  return true;
}

std::string UdpSocket::errorText() const {
  MutexLock guard(errorMutex_);
  return errorText_;
}

int UdpSocket::errorNumber() const {
  MutexLock guard(errorMutex_);
  return errorNumber_;
}

uint16_t UdpSocket::localPort() const {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  int fd = descriptor_.load();
  if (fd == -1 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

void UdpSocket::setError(const char* text, int number) {
  MutexLock guard(errorMutex_);
  errorText_ = text;
  errorNumber_ = number;
}

bool UdpSocket::ParseAddress(const char* text, uint32_t& value) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (text == nullptr || sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) < 4) {
    value = 0;
    return false;
  }
  value = ((a & 0xFF) << 24) | ((b & 0xFF) << 16) | ((c & 0xFF) << 8) | (d & 0xFF);
  return true;
}

std::string UdpSocket::PeerText(const sockaddr_in& peer) {
  char address[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  return std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
}

sockaddr_in UdpSocket::LoopbackAddress(uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return peer;
}
