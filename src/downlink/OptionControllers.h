// The MAC commands of one end-device: one controller per command the server may put into the
// device's next downlink (answers to the device's requests and the server's own requests), the
// adaptive-data-rate decision with its uplink history, and the parser of the device's uplink
// commands that sets those controllers pending.
//
// One MacControllers lives in each device's transmit controller. Everything here runs on the
// thread that handles the device's uplink or builds its downlink, under the device's mutex; the
// links it keeps are constant while threads run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lora/DataRecord.h"

namespace Lora {
class ChannelPlan;
class ReceivedFrame;
class EUI;
}  // namespace Lora
class AppEvents;
struct Settings;
namespace Json {
class Value;
}

// CIDs of the commands the server sends or answers.
namespace MacCid {
constexpr uint8_t kLinkCheck = 0x02;
constexpr uint8_t kLinkAdr = 0x03;
constexpr uint8_t kDevStatus = 0x06;
constexpr uint8_t kNewChannel = 0x07;
constexpr uint8_t kDeviceTime = 0x0D;
constexpr uint8_t kPingSlotInfo = 0x10;
constexpr uint8_t kBeaconTiming = 0x12;
constexpr uint8_t kLinkTest = 0x80;     // proprietary link test: echoes the uplink's RSSI and SNR
constexpr uint8_t kDeviceClass = 0x81;  // proprietary: the device reports its class
}  // namespace MacCid

// One downlink MAC command: its bytes (CID first) and whether it goes with the next downlink.
class OptionController {
 public:
  // Two LinkADRReq blocks (the wide-band plans send a channel block after the 500 kHz one).
  static constexpr unsigned short kMaxCommandLength = 10;
  using Command = DataRecordVL<unsigned short, kMaxCommandLength>;

  // A command of `length` bytes (CID included), payload zero until prepare() fills it.
  OptionController(uint8_t cid, size_t length);
  virtual ~OptionController();
  // Fills the payload just before the command is appended to a downlink.
  virtual void prepare();
  // Milliseconds from now until the downlink carrying the command has been sent.
  virtual void setTime(int64_t ms);

  uint8_t cid() const { return command.data[0]; }
  size_t length() const { return command.size(); }

  bool pending = false;
  Command command;
};

// LinkCheckAns: the best demodulation margin of the asking frame and how many gateways heard it.
class LinkCheckController : public OptionController {
 public:
  LinkCheckController();
  void prepare() override;
  // A LinkCheckReq in frame `counter` with `marginTenths` (dB x 10) at one gateway.
  void Request(uint32_t counter, int32_t marginTenths);

  uint32_t counter = 0;
  int32_t bestMarginTenths = 0;
  uint32_t receptions = 0;
};

// The proprietary link test answer: the RSSI and SNR the asking uplink arrived with.
class PingController : public OptionController {
 public:
  PingController();
  void prepare() override;

  int16_t rssi = 0;
  int16_t snrTenths = 0;
};

// NewChannelReq for channel 8, the DR7 channel above the band centre.
class ChannelController : public OptionController {
 public:
  explicit ChannelController(int32_t frequencyOffsetDR7Hz = 300000);
  void prepare() override;

 private:
  int32_t frequencyOffsetDR7Hz_;
};

// DevStatusReq: CID only.
class DeviceStatusRequester : public OptionController {
 public:
  DeviceStatusRequester();
};

// PingSlotInfoAns: CID only, the acknowledgement of a PingSlotInfoReq.
class PingSlotInfoController : public OptionController {
 public:
  PingSlotInfoController();
};

struct MacLinks;

// Where the class B beacon stands. Both times are milliseconds on the beacon clock.
struct BeaconClock {
  std::function<int64_t()> nowMs;         // null: the GPS clock of MacLinks
  std::function<int64_t()> lastBeaconMs;  // null: the last whole beacon interval of the GPS time
  // The last beacon's Time field in seconds, what class B ping slots hash; null: no beacon runs,
  // and no class B downlink can be timed.
  std::function<int64_t()> lastBeaconSeconds;
  uint32_t intervalSeconds = 128;
};

// BeaconTimingAns: the delay, counted from the end of the downlink that carries it, until the
// next beacon, in 30 ms units; channel 0.
class BeaconTimingController : public OptionController {
 public:
  // The links' beacon clock, else their system clock as GPS time; links must outlive the
  // controller.
  explicit BeaconTimingController(const MacLinks* links);
  void setTime(int64_t ms) override;
  void prepare() override;

 private:
  const MacLinks* links_;
  int64_t downlinkEndMs_ = 0;
};

// DeviceTimeAns: the GPS time (leap seconds applied) at which the asking uplink ended, whole
// seconds and 1/256 s fractions. The answer describes the uplink, so setTime() changes nothing.
class DeviceTimeReqController : public OptionController {
 public:
  DeviceTimeReqController();
  void prepare() override;
  // The device asked; unixMs is the system time at the end of its uplink.
  void Request(int64_t unixMs);

  int64_t requestUnixMs = 0;
};

// GPS time from the system (Unix) time: the epoch of 1980-01-06 and the leap seconds inserted
// since. Milliseconds in, milliseconds out.
int64_t UnixToGpsMs(int64_t unixMs);
// Leap seconds between GPS and UTC at a Unix time.
int32_t GpsLeapSeconds(int64_t unixSeconds);

// The ADR parameters, read once from the plan and the "lora" configuration.
struct AdrConfig {
  int32_t stepTenths = 30;     // "ADRStep": dB x 10 per datarate
  int32_t offsetTenths = 200;  // 150 for the US band
  int8_t minDatarate = 0;
  int8_t maxDatarate = 5;  // already within the plan's maxDatarate

  // "ADRStep" (1-999, else 30), "minDatarate", "maxDatarate" of `lora`, bounded by the plan.
  static AdrConfig From(const Lora::ChannelPlan& plan, const std::string& frequencyBand,
                        int64_t adrStep);
  // The datarate an SNR supports, on the ADR's own scale.
  int8_t datarateForSnr(int32_t snrTenths) const;
};

// The datarates of a device's last uplinks, one entry per frame counter. Entries always cover
// consecutive counters (frames nobody heard are filled in), so only the newest counter is kept
// and the datarates sit in a ring inside the object: a heap block per device cost more than the
// entries themselves.
class AdrHistory {
 public:
  static constexpr int32_t kMissingSnr = -32768;
  static constexpr int32_t kLostFrameSnr = -250;  // -25.0 dB: a frame nobody heard
  static constexpr int kDatarates = 16;
  static constexpr uint16_t kMaxWindow = 16;

  // A window above kMaxWindow is kept at kMaxWindow.
  explicit AdrHistory(uint16_t window = 11) : window(std::min(window, kMaxWindow)) {}

  // One reception of frame `frameCounter`. A counter the history has not reached yet fills the
  // frames missed in between as lost; one that went backwards or jumped a window starts over.
  void add(uint32_t frameCounter, int32_t snrTenths, const AdrConfig& config);
  // The datarate at least half the window (plus one) supports, counted from highestDatarate down.
  int8_t medianDatarate(int8_t highestDatarate) const;
  void clear();

  // Entries, oldest (0) to newest (size() - 1).
  size_t size() const { return size_; }
  uint32_t frameCounter(size_t i) const {
    return newestCounter_ - static_cast<uint32_t>(size_ - 1 - i);
  }
  uint8_t datarate(size_t i) const { return rates_[(oldest_ + i) % kMaxWindow]; }

  const uint16_t window;
  // Entries per datarate; never above the entries' count, so 16 bits are room enough.
  uint16_t counts[kDatarates] = {};
  int32_t averageSnr = 0;  // dB x 10
  int32_t lastSnr = 0;     // dB x 10

 private:
  void addOne(uint32_t frameCounter, int32_t snrTenths, const AdrConfig& config);
  uint8_t& newestRate() { return rates_[(oldest_ + size_ - 1) % kMaxWindow]; }

  uint32_t newestCounter_ = 0;
  uint8_t oldest_ = 0;  // ring index of entry 0
  uint8_t size_ = 0;
  uint8_t rates_[kMaxWindow] = {};
};

// LinkADRReq: moves the device to the datarate its recent SNRs support and lowers its power
// while the link has margin. Its pending flag is not used: shouldSend() decides from the history
// every time a downlink is built.
class AdaptiveDataRateController : public OptionController {
 public:
  // plan must outlive the controller.
  AdaptiveDataRateController(const Lora::ChannelPlan* plan, const AdrConfig& config);

  // After each uplink data frame; frameCounter is the 16-bit FCnt as sent.
  void update(uint32_t frameCounter, bool adrBit, int8_t datarate, int32_t snrTenths);
  // Every uplink of the device.
  void countUplink();
  bool shouldSend(bool force) const;
  void prepare() override;
  int8_t datarateForSnr(int32_t snrTenths) const { return config_.datarateForSnr(snrTenths); }

  // A LinkADRAns that refused part of a request: ADR stays off for the device until Restart().
  void Refused(uint8_t status, const std::string& devEuiText);
  // A new session: ADR may ask again.
  void Restart() { stopped_ = false; }
  bool stopped() const { return stopped_; }

  // For a frame that was built but not sent: undo what prepare() changed.
  struct Saved {
    int8_t deviceTxPower;
    uint16_t uplinksSinceCommand;
  };
  Saved save() const { return {deviceTxPower, uplinksSinceCommand}; }
  void restore(const Saved& saved);

  int8_t targetDatarate = -1;
  int8_t deviceTxPower = 14;  // dBm
  int8_t lastUplinkDatarate = 12;
  AdrHistory history{11};
  uint16_t uplinksSinceCommand = 65535;
  bool lastAdrBit = false;

 private:
  bool canLowerPower(int8_t median) const;

  const Lora::ChannelPlan* plan_;
  AdrConfig config_;
  bool stopped_ = false;
};

// What the controllers reach; filled by the owner, constant while threads run.
struct MacLinks {
  // The links of a running server: the plan, "frequencyBand", "ADRStep" and "beaconInterval" of
  // `lora`, the DR7 offset of the settings; real-time clocks. plan must outlive the links.
  static MacLinks From(const Lora::ChannelPlan& plan, const Json::Value& lora,
                       const Settings& settings);

  const Lora::ChannelPlan* plan = nullptr;  // required
  AdrConfig adr;
  int32_t frequencyOffsetDR7Hz = 300000;
  // System (Unix) time in ms; null: the real-time clock.
  std::function<int64_t()> unixNowMs;
  BeaconClock beacon;

  // unixNowMs, else the real-time clock.
  int64_t UnixNowMs() const;
};

// What the uplink parser may change or report outside the controllers, given by the uplink side.
struct MacUplinkContext {
  const Lora::EUI* appEui = nullptr;
  const Lora::EUI* devEui = nullptr;
  uint64_t gatewayEui = 0;
  AppEvents* events = nullptr;  // "mac_recv"; null: not published
  // DevStatusAns: the battery byte as sent and the margin byte times ten.
  std::function<void(uint8_t battery, int32_t marginTenths)> deviceStatus;
  // The proprietary class report: 0 A, 1 B, 2 C.
  std::function<void(uint32_t deviceClass)> deviceClass;
};

// What a downlink offers the controllers when they are appended.
struct MacAppendContext {
  const char* devEuiText = "";  // for the log lines
  // Milliseconds from now until the downlink ends: the window's delay plus its air time.
  int64_t downlinkEndMs = 0;
};

// The seven controllers of a device (plus the PingSlotInfo acknowledgement) in downlink order.
struct MacControllers {
  // Keeps links by reference: they must outlive the controllers (the server owns one set).
  explicit MacControllers(const MacLinks& links);
  MacControllers(const MacControllers&) = delete;
  MacControllers& operator=(const MacControllers&) = delete;

  // Appends every pending controller that still fits `room`, in downlink order, and clears its
  // pending flag; a controller that does not fit stays pending. Returns the bytes written.
  size_t AppendPending(uint8_t* out, size_t room, const MacAppendContext& context);
  // The commands placed by the last AppendPending go back to their controllers (frame not sent).
  void GiveBack();
  // Whether a downlink is worth sending for the commands alone: anything pending but a device
  // status request on its own.
  bool AnyPendingForAnswer() const;

  // Walks the uplink's MAC commands CID by CID; an unknown CID ends the walk.
  void parseMacCommands(const Lora::ReceivedFrame& frame, const uint8_t* bytes, size_t length,
                        const MacUplinkContext& context);

  // A new session (join, reset): ADR may ask again after a refusal.
  void SessionStarted();
  // The system time in ms: MacLinks' clock, else the real-time clock.
  int64_t unixNowMs() const;

  const MacLinks& links;
  LinkCheckController linkCheck;
  PingController ping;
  ChannelController channel;
  AdaptiveDataRateController adr;
  DeviceStatusRequester deviceStatus;
  BeaconTimingController beaconTiming;
  DeviceTimeReqController deviceTime;
  PingSlotInfoController pingSlotInfo;

 private:
  uint32_t lastPlaced_ = 0;  // bit i: controller i of the downlink order
  AdaptiveDataRateController::Saved adrSaved_{};
};

// The demodulation margin of an uplink in dB x 10: its SNR above what its spreading factor and
// bandwidth need.
int32_t LinkMarginTenths(int32_t snrTenths, uint32_t spreadingFactor, uint32_t bandwidthKhz);
