#include "gateway/UdpSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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

TEST(UdpSocket, LoopbackDatagramsBothWays) {
  UdpSocket server, client;
  ASSERT_TRUE(server.open(0, false));
  ASSERT_TRUE(client.open(0, false));
  const uint8_t hello[] = {2, 0x12, 0x34, 2};
  ASSERT_TRUE(client.send(UdpSocket::LoopbackAddress(server.localPort()), hello, sizeof hello));

  sockaddr_in peer{};
  uint8_t buffer[16];
  ASSERT_EQ(server.receive(peer, buffer, sizeof buffer), 4);
  EXPECT_EQ(ntohs(peer.sin_port), client.localPort());
  EXPECT_EQ(UdpSocket::PeerText(peer), "127.0.0.1:" + std::to_string(client.localPort()));
  // The answer leaves through the same socket while nobody else is reading it.
  ASSERT_TRUE(server.send(peer, buffer, 4));
  ASSERT_EQ(client.receive(peer, buffer, sizeof buffer), 4);
}

TEST(UdpSocket, IdleReceiveTimesOutWithErrorText) {
  UdpSocket socket;
  ASSERT_TRUE(socket.open(0, false));
  sockaddr_in peer{};
  uint8_t buffer[8];
  auto before = std::chrono::steady_clock::now();
  EXPECT_LT(socket.receive(peer, buffer, sizeof buffer), 0);
  auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(socket.errorText(), "Unable to receive datagram");
  EXPECT_EQ(socket.errorNumber(), EAGAIN);
  // Bounded, not timed: the receive timeout must exist at all (a blocking socket would hang).
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(UdpSocket, SecondOpenOnTakenPortFailsWithBindError) {
  UdpSocket first, second;
  ASSERT_TRUE(first.open(0, false));
  EXPECT_FALSE(second.open(first.localPort(), false));
  EXPECT_EQ(second.errorText(), "Unable to bind socket");
  EXPECT_EQ(second.errorNumber(), 0);
}

TEST(UdpSocket, SendWhileAnotherThreadWaitsInReceive) {
  UdpSocket server, client;
  ASSERT_TRUE(server.open(0, false));
  ASSERT_TRUE(client.open(0, false));
  std::atomic<bool> received{false};
  std::thread reader([&] {
    sockaddr_in peer{};
    uint8_t buffer[8];
    for (int i = 0; i < 50 && !received; ++i) {
      if (server.receive(peer, buffer, sizeof buffer) > 0) received = true;
    }
  });
  // Sending from the server socket must not wait for the reader's receive lock.
  const uint8_t ping[] = {1};
  EXPECT_TRUE(server.send(UdpSocket::LoopbackAddress(client.localPort()), ping, 1));
  EXPECT_TRUE(client.send(UdpSocket::LoopbackAddress(server.localPort()), ping, 1));
  reader.join();
  EXPECT_TRUE(received);
}

TEST(UdpSocket, LoopbackBindIgnoresTheLanAddress) {
  uint32_t lan = LanAddress();
  if (lan == 0) GTEST_SKIP() << "no LAN address on this machine";
  UdpSocket server, client;
  ASSERT_TRUE(server.open(0, false));
  ASSERT_TRUE(client.open(0, true));
  sockaddr_in toLan = UdpSocket::LoopbackAddress(server.localPort());
  toLan.sin_addr.s_addr = htonl(lan);
  const uint8_t byte[] = {7};
  client.send(toLan, byte, 1);  // may fail or be dropped: nobody listens there
  sockaddr_in peer{};
  uint8_t buffer[4];
  EXPECT_LT(server.receive(peer, buffer, sizeof buffer), 0);
  ASSERT_TRUE(client.send(UdpSocket::LoopbackAddress(server.localPort()), byte, 1));
  EXPECT_EQ(server.receive(peer, buffer, sizeof buffer), 1);
}

TEST(UdpSocket, ParseAddress) {
  uint32_t value = 1;
  EXPECT_TRUE(UdpSocket::ParseAddress("10.0.0.1", value));
  EXPECT_EQ(value, 0x0A000001u);
  EXPECT_TRUE(UdpSocket::ParseAddress("192.168.1.254", value));
  EXPECT_EQ(value, 0xC0A801FEu);
  EXPECT_FALSE(UdpSocket::ParseAddress("10.0.1", value));
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(UdpSocket::ParseAddress("", value));
  EXPECT_FALSE(UdpSocket::ParseAddress(nullptr, value));
  EXPECT_FALSE(UdpSocket::ParseAddress("a.b.c.d", value));
}
