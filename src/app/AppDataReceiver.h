// The application data thread: reads the UDP application down port (loopback) and hands each
// datagram, "TOPIC PAYLOAD", to the same inbound path as the broker's messages.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/AppThread.h"
#include "gateway/UdpSocket.h"

class AppDownlink;

struct AppDataReceiverLinks {
  AppDownlink* downlinks = nullptr;
  uint16_t appPortDown = 1786;  // "udp"."appPortDown"; 0 binds an ephemeral port (tests)
};

class AppDataReceiver {
 public:
  static constexpr uint32_t kStackSize = 16384;
  static constexpr size_t kMaxDatagram = 16384;
  // Shorter datagrams cannot hold a topic with a 16-digit EUI: "lora/" + 16 + "/down".
  static constexpr size_t kMinDatagram = 21;

  explicit AppDataReceiver(const AppDataReceiverLinks& links) : links_(links) {}
  ~AppDataReceiver() { Stop(); }
  AppDataReceiver(const AppDataReceiver&) = delete;
  AppDataReceiver& operator=(const AppDataReceiver&) = delete;

  // Opens the port (a failure is logged and retried by the thread) and starts the thread; the
  // result of pthread_create.
  int Start();
  // Ends the loop (within one 100 ms receive time-out) and waits for it.
  void Stop();
  // The thread body; returns once Stop() is called or the process stop flag is set.
  void Run();

  // The port bound by Start() or the loop's last open; 0 while closed.
  uint16_t localPort() const { return socket_.localPort(); }

  // One datagram: cut at its first space into topic and payload (no space: empty payload).
  void HandleDatagram(const uint8_t* data, size_t length);

 private:
  bool stopping() const;
  bool openSocket();

  const AppDataReceiverLinks links_;
  UdpSocket socket_;  // read by the application data thread alone
  std::atomic<bool> stop_{false};
  AppThread thread_;
};
