// One end-device with an active session: identity, session keys, frame counters, timing, class,
// link statistics and its transmit controller. Made by the join procedure or restored from the
// database, owned by the DeviceList, keyed there by DevAddr.
//
// Every field is guarded by the device's own mutex (mutex()); whoever reads or changes a device
// holds it, taken through the device list (list -> device). Counter and key changes are written
// through to the database at once; a failed write is logged by the database and does not undo
// the change in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Database/DbTime.h"
#include "downlink/DeviceTransmitController.h"
#include "lora/Eui.h"
#include "lora/Frame.h"
#include "support/BinarySearchVector.h"
#include "support/Mutex.h"

class AppMessageQueue;
class DownlinkScheduler;
class GatewayMemoryList;
class LoraDatabase;
class NetworkStatistics;
struct Settings;

// What a device and its list reach; filled once by the owner, constant while threads run. Any
// pointer but settings may be null in tests that do not observe that collaborator.
struct DeviceLinks {
  LoraDatabase* database = nullptr;     // session rows, counters, queue rows
  AppMessageQueue* messages = nullptr;  // every device event leaves through here
  NetworkStatistics* statistics = nullptr;
  GatewayMemoryList* gateways = nullptr;  // per-gateway MIC failure counts
  const Settings* settings = nullptr;
  // Windows, gateway choice, duty cycle and hand-over of downlinks; null: the device never sends.
  DownlinkScheduler* scheduler = nullptr;
  // The management agent's downlink report, from the "packet_sent" JSON; empty: none.
  std::function<void(const std::string& sentJson, uint64_t gatewayEui)> reportDownlink;
};

// Sample count, minimum, maximum and running mean of one signal measure. The mean is cumulative
// for the first 1000 samples and then behaves as a moving mean over about the last 1000.
struct SignalStatistics {
  static constexpr int16_t kMaxSamples = 1000;

  int16_t count = 0;
  int16_t minimum = 0;
  int16_t maximum = 0;
  int16_t average = 0;

  void Add(int16_t value);
};

class Device : public BinarySearchVector::ElementTemplate<unsigned int> {
 public:
  static constexpr uint32_t kExpiredCounter = 0xFFFFFFFF;
  static constexpr uint32_t kMaxFCntGap = 0x4000;
  enum Class : uint32_t { kClassA = 0, kClassB = 1, kClassC = 2 };

  // A device with both counters 0; createdMs is the owner's clock at creation. The links are
  // shared by every device of a list and must outlive the device.
  Device(uint32_t devAddr, const DeviceLinks& links, uint64_t createdMs);
  ~Device() override;

  Mutex& mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }

  uint32_t devAddr() const { return key(); }
  // "26:01:1b:d4": the DevAddr form of the device log lines.
  std::string devAddrText(char separator = ':') const;

  // --- counters, each written through to the session row
  // The next down counter, incremented unless the session is expired; stores the value returned.
  uint32_t TakeDownCounter();
  void SetDownCounter(uint32_t value);
  void ResetDownCounter();
  void SetUpCounter(uint32_t value);
  void ResetUpCounter();
  void SaveSessionKeys();
  // Both counters become kExpiredCounter: every later uplink is refused as expired.
  void ExpireSession();
  bool IsExpired() const {
    return upCounter == kExpiredCounter || nextDownCounter == kExpiredCounter;
  }

  // 1 is class B, 2 class C, anything else class A. Publishes "class", logs and stores the letter
  // whether or not the class changed.
  void SetClass(uint32_t deviceClass);
  // "A", "B" or "C".
  const char* ClassLetter() const;

  // Hands a downlink to the transmit controller's queue; false when it was refused. A class B or
  // C device outside a class A exchange gets a lone record scheduled at once.
  bool Enqueue(const Lora::FrameApplicationData& payload);
  // The front record of a class B or C device outside a class A exchange, scheduled in its next
  // ping slot or for immediate transmission; false when it was not scheduled.
  bool ScheduleSendApplication();

  // The uplink acceptance test: counter reconstruction with the MIC check. On success the
  // reconstructed counter is in `counter`; a frame that is not a duplicate then becomes the last
  // accepted uplink (up counter, last uplink time, uplink seen). A duplicate changes nothing.
  bool CheckFrame(const Lora::ReceivedFrame& frame, bool duplicate, uint32_t& counter);
  // The counter reconstruction alone; see CheckFrame.
  bool CheckCounter(const Lora::ReceivedFrame& frame, bool duplicate, uint32_t& counter);
  // The frame's MIC under NwkSKey with `counter`; with sequenceTest a counter below the up counter
  // fails first. A MIC mismatch counts against the receiving gateway and "rx_mic_fails".
  bool CheckMic(const Lora::ReceivedFrame& frame, uint32_t counter, bool sequenceTest);

  const DeviceLinks& links() const { return links_; }

  // --- state (guarded by mutex_)
  Lora::EUI joinEui;
  Lora::EUI appEui;
  Lora::EUI devEui;
  uint32_t netId = 0;
  Lora::CypherKey nwkSKey;
  Lora::CypherKey appSKey;
  SqlDb::Timestamp sessionCreated{};
  uint32_t nextDownCounter = 0;
  uint32_t upCounter = 0;
  uint64_t lastUplinkMs = 0;  // monotonic ms of the last accepted uplink
  const uint64_t createdMs;   // monotonic ms when this object was made
  bool uplinkSeen = false;
  DeviceTransmitController transmitController;
  uint32_t receivedCount = 0;
  uint32_t missedCount = 0;
  SignalStatistics rssi;
  SignalStatistics snr;  // centibels
  uint32_t deviceClass = kClassA;
  // The last DevStatusAns: battery as sent (255: unknown) and the margin byte times ten.
  uint8_t battery = 255;
  int32_t statusMargin = 0;
  bool answerPending = false;

 private:
  bool LazyCounterSearch(const Lora::ReceivedFrame& frame, uint32_t& counter);

  const DeviceLinks& links_;  // the owner's: a copy in each device was 80 bytes of 10 000
  Mutex mutex_;  // guards every field above; taken after the device list's mutex
};
