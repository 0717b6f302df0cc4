// The class B beacon: once per beacon interval, in the network's slot of it, a beacon frame is
// sent through the packet forwarder for immediate transmission, and the air time before the next
// one is reserved in the transmit schedule so no downlink collides with it.
//
// The beacon's Time field carries TAI seconds counted from 1970 (the system's TAI clock), and
// NetID is 3 bytes: devices built for the LoRaWAN 1.0.3 beacon, which carries GPS seconds and a
// different layout, will not lock onto it. Ping slots hash this Time field in seconds.
//
// Runs on its own thread; the last-beacon time is the only state others read (atomically).
#pragma once

#include <json/json.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/AppThread.h"

class GatewayMemoryList;
class UdpSocket;
namespace Lora {
class ChannelPlan;
}

// The two beacon layouts:
//
//   17 bytes (all plans but US915/AU915)      19 bytes (US915, AU915)
//   | 0..2  NetID (LSB first)                 | 0..2   NetID (LSB first)
//   | 3..6  Time (LE)                         | 3..6   Time (LE)
//   | 7     CRC1 low byte, over 0..6          | 7..8   CRC1 over 0..6 (LE)
//   | 8     InfoDesc 0                        | 9      InfoDesc 0
//   | 9..14 0xFF x 6                          | 10..15 0xFF x 6
//   | 15..16 CRC2 over 8..14 (LE)             | 16     0
//                                             | 17..18 CRC2 over 9..15 (LE)
class BeaconFrame {
 public:
  BeaconFrame(uint32_t netId, bool wideBand);
  // Writes the Time field and its CRC.
  void setTime(uint32_t seconds);
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return size_; }

 private:
  std::array<uint8_t, 19> bytes_{};
  size_t size_;
  bool wideBand_;
};

struct BeaconLinks {  // filled by the server once, constant afterwards
  const Json::Value* config = nullptr;  // "lora": beaconInterval, beaconPower, ...
  const Lora::ChannelPlan* plan = nullptr;
  GatewayMemoryList* gateways = nullptr;  // protocol version and EUI of the first gateway
  UdpSocket* downstream = nullptr;
  std::function<sockaddr_in()> forwarderAddress;  // where PULL_RESP datagrams go
  // Holds the air time of the next beacon: DevAddr 0xFFFFFFFF, the gateway, due, 200 ms.
  std::function<void(uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs)> reserve;
  // Clocks, replaceable by tests: TAI seconds and nanoseconds, and the monotonic ms clock.
  std::function<void(int64_t& seconds, int64_t& nanoseconds)> taiClock;
  std::function<uint64_t()> monotonicMs;
};

class Beacon {
 public:
  static constexpr uint32_t kReservationMs = 200;
  static constexpr uint32_t kStackSize = 16384;

  explicit Beacon(const BeaconLinks& links);
  ~Beacon() { Stop(); }
  Beacon(const Beacon&) = delete;
  Beacon& operator=(const Beacon&) = delete;

  // 0 when the beacon is disabled.
  uint32_t intervalSeconds() const { return interval_; }
  // The "txpk" object without "data"/"size"; what every beacon carries.
  const Json::Value& txpk() const { return txpk_; }
  // Milliseconds from a beacon-clock instant to the network's next slot (plus "beaconDelay").
  int64_t WaitMs(int64_t seconds, int64_t nanoseconds) const;
  // One beacon now: the datagram to the forwarder and the last-beacon time. Returns the datagram.
  std::string SendBeacon();
  // Holds the next beacon's air time in the transmit schedule; returns the ms until its slot.
  int64_t ReserveNext();
  // Beacon time (ms, TAI seconds mod 10000) of the last beacon; read by BeaconTimingAns.
  int64_t lastBeaconMs() const { return lastBeaconMs_.load(); }
  // The Time field (whole TAI seconds) of the last beacon; what class B ping slots hash.
  int64_t lastBeaconSeconds() const { return lastBeaconSeconds_.load(); }
  // Beacon time now, on the beacon clock.
  int64_t nowMs() const;

  // The thread: returns when the beacon is disabled or Stop() is called.
  int Start();
  void Stop();
  void Run();

 private:
  void Clock(int64_t& seconds, int64_t& nanoseconds) const;
  // Sleeps up to ms in 100 ms steps; false when stopping.
  bool Sleep(int64_t ms);

  const BeaconLinks links_;
  uint32_t interval_ = 0;
  uint32_t netId_ = 0;
  int64_t delayMs_ = 0;
  bool wideBand_ = false;
  BeaconFrame frame_;
  Json::Value txpk_;
  std::atomic<int64_t> lastBeaconMs_{0};
  std::atomic<int64_t> lastBeaconSeconds_{0};
  std::atomic<bool> stop_{false};
  AppThread thread_;
};
