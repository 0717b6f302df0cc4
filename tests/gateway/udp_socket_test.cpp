#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "gateway/UdpListenerProbe.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"

namespace {

// A non-loopback IPv4 address of this machine, or 0 when it has none.
uint32_t LanAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  uint32_t found = 0;
  for (ifaddrs* i = list; i != nullptr && found == 0; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    if ((address >> 24) != 127) found = address;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

// A receive window counts from the uplink's arrival, not from when a busy reader got to it.
TEST(UdpSocket, LoopbackDatagramsBothWaysKeepTheirArrivalTimeThenAnIdleReceiveGivesUp) {
  UdpSocket server, client;
  ASSERT_TRUE(server.open(0, false));
  ASSERT_TRUE(client.open(0, false));
  UdpSocket second;
  EXPECT_FALSE(second.open(server.localPort(), false));
  const uint8_t hello[] = {2, 0x12, 0x34, 2};
  sockaddr_in peer{};
  uint8_t buffer[16];
  // The kernel turns stamping on a moment after the first socket on the machine asks for it;
  // until then a datagram is dated when it is read. So a few tries, each waiting 40 ms unread.
  bool kept = false;
  for (int attempt = 0; attempt < 10 && !kept; ++attempt) {
    const int64_t beforeUs = MonotonicUs();
    ASSERT_TRUE(client.send(UdpSocket::LoopbackAddress(server.localPort()), hello, sizeof hello));
    const int64_t sentUs = MonotonicUs();
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    int64_t arrivalUs = 0;
    ASSERT_EQ(server.receive(peer, buffer, sizeof buffer, &arrivalUs), 4);
    // Loopback delivers within the send. A reader preempted between its two clock readings
    // dates the datagram earlier, never later, so only the upper bound is tight.
    EXPECT_GT(arrivalUs, beforeUs - 1000000);
    kept = arrivalUs <= sentUs + 2000;
  }
  EXPECT_TRUE(kept) << "every datagram was dated when it was read";
  EXPECT_EQ(UdpSocket::PeerText(peer), "127.0.0.1:" + std::to_string(client.localPort()));
  ASSERT_TRUE(server.send(peer, buffer, 4));  // the answer leaves through the same socket
  ASSERT_EQ(client.receive(peer, buffer, sizeof buffer), 4);

  EXPECT_LT(server.receive(peer, buffer, sizeof buffer), 0);
  EXPECT_EQ(server.errorText(), "Unable to receive datagram");
}

TEST(UdpSocket, OnlyAPublicBindIsReachableOnTheLanAddress) {
  const uint32_t lan = LanAddress();
  if (lan == 0) GTEST_SKIP() << "no LAN address on this machine";
  UdpSocket loopback, open, client;
  ASSERT_TRUE(loopback.open(0, false));
  ASSERT_TRUE(open.open(0, true));
  ASSERT_TRUE(client.open(0, true));
  sockaddr_in peer{};
  uint8_t byte[1] = {7};
  for (UdpSocket* server : {&loopback, &open}) {
    sockaddr_in toLan = UdpSocket::LoopbackAddress(server->localPort());
    toLan.sin_addr.s_addr = htonl(lan);
    client.send(toLan, byte, 1);  // may fail or be dropped for the loopback one
    EXPECT_EQ(server->receive(peer, byte, 1) == 1, server == &open);
  }
}

// The probe must agree with where a datagram would go, or the up port's application misses events.
TEST(UdpListenerProbe, FindsTheSocketADatagramWouldReachAndNoOther) {
  using Answer = UdpListenerProbe::Answer;
  UdpSocket sender, loopback, any;
  ASSERT_TRUE(sender.open(0, false));
  ASSERT_TRUE(loopback.open(0, false));
  ASSERT_TRUE(any.open(0, true));
  const sockaddr_in from = UdpSocket::LoopbackAddress(sender.localPort());
  UdpListenerProbe probe;
  EXPECT_EQ(probe.ask(from, from), Answer::kUnknown);
  ASSERT_TRUE(probe.open(from));
  EXPECT_EQ(probe.ask(from, UdpSocket::LoopbackAddress(loopback.localPort())), Answer::kListening);
  EXPECT_EQ(probe.ask(from, UdpSocket::LoopbackAddress(any.localPort())), Answer::kListening);

  // Bound there but connected to another peer: the kernel would not hand it our datagram.
  const int connected = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in own = UdpSocket::LoopbackAddress(0);
  socklen_t size = sizeof own;
  ASSERT_EQ(bind(connected, reinterpret_cast<sockaddr*>(&own), sizeof own), 0);
  ASSERT_EQ(getsockname(connected, reinterpret_cast<sockaddr*>(&own), &size), 0);
  const sockaddr_in elsewhere = UdpSocket::LoopbackAddress(loopback.localPort());
  ASSERT_EQ(connect(connected, reinterpret_cast<const sockaddr*>(&elsewhere), sizeof elsewhere), 0);
  EXPECT_EQ(probe.ask(from, own), Answer::kNobody);
  EXPECT_EQ(probe.ask(elsewhere, own), Answer::kListening);
  close(connected);

  const uint16_t closed = loopback.localPort();
  loopback.close();
  EXPECT_EQ(probe.ask(from, UdpSocket::LoopbackAddress(closed)), Answer::kNobody);
}
