#include "downlink/OptionControllers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>

#include "Settings.h"
#include "app/AppEvents.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlan.h"
#include "lora/ConfigRead.h"
#include "lora/Eui.h"
#include "lora/Frame.h"
#include "support/Logger.h"

// ---- the base -------------------------------------------------------------------------------

OptionController::OptionController(uint8_t cid, size_t length) {
  uint8_t bytes[kMaxCommandLength] = {cid};
  command.assign(bytes, std::min<size_t>(length, kMaxCommandLength));
}

OptionController::~OptionController() = default;

void OptionController::prepare() {}

void OptionController::setTime(int64_t) {}

// ---- answers and requests -------------------------------------------------------------------

// LinkCheckAns:  CID | Margin (dB above the demodulation floor) | GwCnt
LinkCheckController::LinkCheckController() : OptionController(MacCid::kLinkCheck, 3) {}

void LinkCheckController::Request(uint32_t frameCounter, int32_t marginTenths) {
  if (receptions > 0 && frameCounter == counter) {
    ++receptions;
    bestMarginTenths = std::max(bestMarginTenths, marginTenths);
  } else {
    counter = frameCounter;
    bestMarginTenths = marginTenths;
    receptions = 1;
  }
  pending = true;
}

void LinkCheckController::prepare() {
  // 255 is reserved; a frame below the floor still arrived, so its margin reads 0.
  command.data[1] = static_cast<uint8_t>(std::clamp(bestMarginTenths / 10, 0, 254));
  command.data[2] = static_cast<uint8_t>(std::min<uint32_t>(receptions, 255));
}

// Link test answer:  CID | RSSI (2, LE) | SNR x 10 (2, LE)
PingController::PingController() : OptionController(MacCid::kLinkTest, 5) {}

void PingController::prepare() {
  const uint16_t r = static_cast<uint16_t>(rssi);
  const uint16_t s = static_cast<uint16_t>(snrTenths);
  command.data[1] = static_cast<uint8_t>(r);
  command.data[2] = static_cast<uint8_t>(r >> 8);
  command.data[3] = static_cast<uint8_t>(s);
  command.data[4] = static_cast<uint8_t>(s >> 8);
}

// NewChannelReq:  CID | ChIndex | Freq / 100 Hz (3, LE) | DrRange (max << 4 | min)
ChannelController::ChannelController(int32_t frequencyOffsetDR7Hz)
    : OptionController(MacCid::kNewChannel, 6), frequencyOffsetDR7Hz_(frequencyOffsetDR7Hz) {}

void ChannelController::prepare() {
  constexpr int64_t kBandCentreHz = 868500000;
  const uint32_t units = static_cast<uint32_t>((kBandCentreHz + frequencyOffsetDR7Hz_) / 100);
  command.data[1] = 8;
  command.data[2] = static_cast<uint8_t>(units);
  command.data[3] = static_cast<uint8_t>(units >> 8);
  command.data[4] = static_cast<uint8_t>(units >> 16);
  command.data[5] = 0x77;  // datarate 7 only
}

DeviceStatusRequester::DeviceStatusRequester() : OptionController(MacCid::kDevStatus, 1) {}

PingSlotInfoController::PingSlotInfoController() : OptionController(MacCid::kPingSlotInfo, 1) {}

// BeaconTimingAns:  CID | Delay in 30 ms (2, LE) | Channel
BeaconTimingController::BeaconTimingController(const MacLinks* links)
    : OptionController(MacCid::kBeaconTiming, 4), links_(links) {}

void BeaconTimingController::setTime(int64_t ms) { downlinkEndMs_ = ms; }

void BeaconTimingController::prepare() {
  const BeaconClock& beacon = links_->beacon;
  const int64_t intervalMs =
      1000 * static_cast<int64_t>(beacon.intervalSeconds != 0 ? beacon.intervalSeconds : 128);
  const int64_t now = beacon.nowMs ? beacon.nowMs() : UnixToGpsMs(links_->UnixNowMs());
  // Beacons go out at whole intervals of GPS time when no beacon thread says otherwise.
  const int64_t last = beacon.lastBeaconMs ? beacon.lastBeaconMs() : now - now % intervalMs;
  // The device starts counting when the downlink has reached it.
  const int64_t end = now + downlinkEndMs_;
  int64_t next = last + intervalMs;
  if (next <= end) next += ((end - next) / intervalMs + 1) * intervalMs;
  const int64_t units = std::min<int64_t>((next - end) / 30, 0xFFFF);
  command.data[1] = static_cast<uint8_t>(units);
  command.data[2] = static_cast<uint8_t>(units >> 8);
  command.data[3] = 0;  // the default beacon channel
}

// ---- device time ----------------------------------------------------------------------------

namespace {

constexpr int64_t kGpsEpochUnixSeconds = 315964800;  // 1980-01-06T00:00:00Z

// Unix times from which GPS runs one more second ahead of UTC.
constexpr int64_t kLeapSecondsFrom[] = {
    362793600,   // 1981-07-01
    394329600,   // 1982-07-01
    425865600,   // 1983-07-01
    489024000,   // 1985-07-01
    567993600,   // 1988-01-01
    631152000,   // 1990-01-01
    662688000,   // 1991-01-01
    709948800,   // 1992-07-01
    741484800,   // 1993-07-01
    773020800,   // 1994-07-01
    820454400,   // 1996-01-01
    867715200,   // 1997-07-01
    915148800,   // 1999-01-01
    1136073600,  // 2006-01-01
    1230768000,  // 2009-01-01
    1341100800,  // 2012-07-01
    1435708800,  // 2015-07-01
    1483228800,  // 2017-01-01
};

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

int32_t GpsLeapSeconds(int64_t unixSeconds) {
  return static_cast<int32_t>(
      std::upper_bound(std::begin(kLeapSecondsFrom), std::end(kLeapSecondsFrom), unixSeconds) -
      std::begin(kLeapSecondsFrom));
}

int64_t UnixToGpsMs(int64_t unixMs) {
  const int64_t seconds = FloorDiv(unixMs, 1000);
  return unixMs - kGpsEpochUnixSeconds * 1000 + GpsLeapSeconds(seconds) * int64_t{1000};
}

// DeviceTimeAns:  CID | GPS seconds (4, LE) | fraction in 1/256 s
DeviceTimeReqController::DeviceTimeReqController() : OptionController(MacCid::kDeviceTime, 6) {}

void DeviceTimeReqController::Request(int64_t unixMs) {
  requestUnixMs = unixMs;
  pending = true;
}

void DeviceTimeReqController::prepare() {
  const int64_t gpsMs = UnixToGpsMs(requestUnixMs);
  const uint32_t seconds = static_cast<uint32_t>(FloorDiv(gpsMs, 1000));
  const int64_t fractionMs = gpsMs - FloorDiv(gpsMs, 1000) * 1000;
  command.data[1] = static_cast<uint8_t>(seconds);
  command.data[2] = static_cast<uint8_t>(seconds >> 8);
  command.data[3] = static_cast<uint8_t>(seconds >> 16);
  command.data[4] = static_cast<uint8_t>(seconds >> 24);
  command.data[5] = static_cast<uint8_t>(fractionMs * 256 / 1000);
}

// ---- adaptive data rate ---------------------------------------------------------------------

AdrConfig AdrConfig::From(const Lora::ChannelPlan& plan, const std::string& frequencyBand,
                          int64_t adrStep) {
  AdrConfig config;
  config.stepTenths = adrStep >= 1 && adrStep <= 999 ? static_cast<int32_t>(adrStep) : 30;
  config.offsetTenths = frequencyBand == "US915" ? 150 : 200;
  config.minDatarate = plan.minDatarate();
  config.maxDatarate = plan.maxDatarate();
  return config;
}

int8_t AdrConfig::datarateForSnr(int32_t snrTenths) const {
  int64_t datarate = (static_cast<int64_t>(snrTenths) + offsetTenths) / std::max(stepTenths, 1);
  datarate = std::max<int64_t>(datarate, 0);
  datarate = std::min<int64_t>(datarate, maxDatarate);
  datarate = std::max<int64_t>(datarate, minDatarate);
  return static_cast<int8_t>(datarate);
}

void AdrHistory::clear() {
  size_ = 0;
  oldest_ = 0;
  std::fill(std::begin(counts), std::end(counts), 0);
}

void AdrHistory::add(uint32_t frameCounter, int32_t snrTenths, const AdrConfig& config) {
  if (size_ > 0) {
    const uint32_t newest = newestCounter_;
    if (frameCounter == newest) {
      // The same frame through another gateway: the history keeps its weakest reception, so a
      // second gateway never talks ADR into a rate the first could not hear.
      if (snrTenths == kMissingSnr) snrTenths = kLostFrameSnr;
      const int8_t d = config.datarateForSnr(snrTenths);
      lastSnr = snrTenths;
      const int32_t n = static_cast<int32_t>(size_);
      averageSnr = averageSnr - averageSnr / n + snrTenths / n;
      uint8_t& rate = newestRate();
      if (d < rate) {
        --counts[rate];
        rate = static_cast<uint8_t>(d);
        ++counts[rate];
      }
      return;
    }
    const uint32_t ahead = frameCounter - newest;  // unsigned: behind reads as far ahead
    if (ahead >= window) {
      // Backwards (a counter reset or wrap) or a jump past the window: the old entries say
      // nothing about the link now, the average included.
      clear();
    } else {
      // Frames nobody heard count as received at -25 dB, in counter order before this one.
      for (uint32_t missing = newest + 1; missing != frameCounter; ++missing) {
        addOne(missing, kLostFrameSnr, config);
      }
    }
  }
  addOne(frameCounter, snrTenths, config);
}

void AdrHistory::addOne(uint32_t frameCounter, int32_t snrTenths, const AdrConfig& config) {
  if (snrTenths == kMissingSnr) snrTenths = kLostFrameSnr;
  const int8_t d = config.datarateForSnr(snrTenths);
  lastSnr = snrTenths;
  const int32_t n = static_cast<int32_t>(size_);
  averageSnr = n == 0 ? snrTenths : averageSnr - averageSnr / n + snrTenths / n;
  if (window == 0) return;
  if (size_ == window) {
    --counts[rates_[oldest_]];
    oldest_ = static_cast<uint8_t>((oldest_ + 1) % kMaxWindow);
    --size_;
  }
  ++size_;
  newestCounter_ = frameCounter;
  newestRate() = static_cast<uint8_t>(d);
  ++counts[d];
}

int8_t AdrHistory::medianDatarate(int8_t highestDatarate) const {
  if (highestDatarate <= 0) return 0;
  const uint32_t needed = window / 2 + 1u;
  uint32_t sum = 0;
  for (int d = std::min<int>(highestDatarate, kDatarates - 1); d >= 0; --d) {
    sum += counts[d];
    if (sum >= needed) return static_cast<int8_t>(d);
  }
  return 0;
}

namespace {

// Both SNRs 3.0 dB or more above what the datarate needs: power can come down.
constexpr int32_t kPowerMarginTenths = 30;
// A reception this much better than the average means the device went back to full power or
// moved; start again from full power rather than trust the old average.
constexpr int32_t kSnrJumpTenths = 46;
constexpr int32_t kFskSnrTenths = 200;
// The history must stand mostly at one datarate before a move is worth asking for.
constexpr uint32_t kMedianSupport = 7;

size_t AdrCommandLength(const Lora::ChannelPlan* plan) {
  uint8_t blocks[Lora::ChannelPlan::kMaxLinkAdrBlocks * 3];
  const size_t count = plan != nullptr ? plan->fillLinkAdrBlocks(blocks) : 1;
  return 5 * std::clamp<size_t>(count, 1, Lora::ChannelPlan::kMaxLinkAdrBlocks);
}

}  // namespace

AdaptiveDataRateController::AdaptiveDataRateController(const Lora::ChannelPlan* plan,
                                                       const AdrConfig& config)
    : OptionController(MacCid::kLinkAdr, AdrCommandLength(plan)), plan_(plan), config_(config) {}

void AdaptiveDataRateController::update(uint32_t frameCounter, bool adrBit, int8_t datarate,
                                        int32_t snrTenths) {
  lastAdrBit = adrBit;
  lastUplinkDatarate = datarate;
  if (targetDatarate < 0) targetDatarate = config_.maxDatarate;
  if (plan_->datarateToSfBw(datarate).spreadingFactor == 13) snrTenths = kFskSnrTenths;
  history.add(frameCounter, snrTenths, config_);
  if (history.lastSnr - history.averageSnr >= kSnrJumpTenths || datarate < targetDatarate) {
    deviceTxPower = plan_->maxDeviceTxPower();
  }
}

void AdaptiveDataRateController::countUplink() {
  if (uplinksSinceCommand < 65535) ++uplinksSinceCommand;
}

bool AdaptiveDataRateController::canLowerPower(int8_t median) const {
  return history.lastSnr > kPowerMarginTenths && history.averageSnr > kPowerMarginTenths &&
         deviceTxPower > plan_->minDeviceTxPower() && median != 7;
}

bool AdaptiveDataRateController::shouldSend(bool force) const {
  if (stopped_ || !lastAdrBit) return false;
  const int8_t median = history.medianDatarate(plan_->maxDatarate());
  if (history.counts[median] < kMedianSupport) return false;
  if (canLowerPower(median)) return true;
  if (lastUplinkDatarate == median) return false;
  if (!force || uplinksSinceCommand < 8) return uplinksSinceCommand > 3;
  return true;
}

void AdaptiveDataRateController::prepare() {
  const int8_t median = history.medianDatarate(plan_->maxDatarate());
  uint8_t blocks[Lora::ChannelPlan::kMaxLinkAdrBlocks * 3] = {};
  const size_t count = std::min(plan_->fillLinkAdrBlocks(blocks), length() / 5);
  if (median == targetDatarate && canLowerPower(median)) {
    deviceTxPower = plan_->nextLowerTxPower(deviceTxPower);
  }
  const uint8_t datarateTxPower =
      static_cast<uint8_t>(median * 16 + (plan_->txPowerIndex(deviceTxPower) & 0x0F));
  // LinkADRReq:  CID | DataRate_TXPower | ChMask (2, LE) | Redundancy, once per channel block;
  // the device applies the block as one request.
  for (size_t i = 0; i < count; ++i) {
    uint8_t* at = command.data + 5 * i;
    at[0] = MacCid::kLinkAdr;
    at[1] = datarateTxPower;
    std::memcpy(at + 2, blocks + 3 * i, 3);
  }
  uplinksSinceCommand = 0;
}

void AdaptiveDataRateController::Refused(uint8_t status, const std::string& devEuiText) {
  if (stopped_) return;
  stopped_ = true;
  LOG_WARNING("ED:%s|MAC-COMMAND|LinkADRReq refused (status %02x), ADR off until the next join",
              devEuiText.c_str(), status);
}

void AdaptiveDataRateController::restore(const Saved& saved) {
  deviceTxPower = saved.deviceTxPower;
  uplinksSinceCommand = saved.uplinksSinceCommand;
}

// ---- the set of a device --------------------------------------------------------------------

namespace {

int64_t RealtimeMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

MacControllers::MacControllers(const MacLinks& links)
    : links(links),
      channel(links.frequencyOffsetDR7Hz),
      adr(links.plan, links.adr),
      beaconTiming(&links) {}

MacLinks MacLinks::From(const Lora::ChannelPlan& plan, const Json::Value& lora,
                        const Settings& settings) {
  MacLinks links;
  links.plan = &plan;
  links.adr = AdrConfig::From(plan, Lora::ConfigRead::Text(lora, "frequencyBand"),
                              Lora::ConfigRead::IntegerOr(lora, "ADRStep", 30));
  // The operator's bounds hold within the plan's: US915 and AU915 plans allow a datarate above
  // the configured "maxDatarate" (the 500 kHz one), which ADR must not ask for.
  const int64_t low = Lora::ConfigRead::IntegerOr(lora, "minDatarate", links.adr.minDatarate);
  const int64_t high = Lora::ConfigRead::IntegerOr(lora, "maxDatarate", links.adr.maxDatarate);
  links.adr.maxDatarate = static_cast<int8_t>(std::clamp<int64_t>(high, 0, links.adr.maxDatarate));
  links.adr.minDatarate =
      static_cast<int8_t>(std::clamp<int64_t>(low, links.adr.minDatarate, links.adr.maxDatarate));
  links.frequencyOffsetDR7Hz = settings.frequencyOffsetDR7;
  const int64_t interval = Lora::ConfigRead::IntegerOr(lora, "beaconInterval", 128);
  links.beacon.intervalSeconds =
      interval > 0 && interval <= 86400 ? static_cast<uint32_t>(interval) : 128;
  return links;
}

int64_t MacLinks::UnixNowMs() const { return unixNowMs ? unixNowMs() : RealtimeMs(); }

int64_t MacControllers::unixNowMs() const { return links.UnixNowMs(); }

namespace {

// Bits of MacControllers' placed mask, in downlink order.
enum Slot : uint32_t {
  kLinkCheckSlot,
  kPingSlot,
  kChannelSlot,
  kAdrSlot,
  kDeviceStatusSlot,
  kBeaconTimingSlot,
  kDeviceTimeSlot,
  kPingSlotInfoSlot,
  kSlotCount
};

}  // namespace

size_t MacControllers::AppendPending(uint8_t* out, size_t room, const MacAppendContext& context) {
  OptionController* const order[kSlotCount] = {
      &linkCheck, &ping, &channel, &adr, &deviceStatus, &beaconTiming, &deviceTime, &pingSlotInfo};
  lastPlaced_ = 0;
  adrSaved_ = adr.save();
  size_t written = 0;
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
    OptionController& controller = *order[slot];
    const bool wanted = slot == kAdrSlot ? adr.shouldSend(false) : controller.pending;
    if (!wanted || controller.length() > room - written) continue;
    controller.setTime(context.downlinkEndMs);
    controller.prepare();
    std::memcpy(out + written, controller.command.data, controller.length());
    controller.pending = false;
    lastPlaced_ |= 1u << slot;
    switch (slot) {
      case kLinkCheckSlot:
        LOG_TRACE("Link controller active");
        break;
      case kPingSlot:
        LOG_TRACE("Ping controller active");
        break;
      case kChannelSlot:
        LOG_TRACE("Channel controller active");
        break;
      case kAdrSlot: {
        const std::string hex = BytesToHex(controller.command.data, controller.length(), true, 0);
        LOG_INFO("ED:%s|MAC-COMMAND|ADR CMD %s", context.devEuiText, hex.c_str());
        break;
      }
      case kDeviceStatusSlot:
        LOG_TRACE("Device status requester");
        break;
      case kBeaconTimingSlot:
        LOG_TRACE("Beacon Timing Controller");
        break;
      default:
        break;
    }
    written += controller.length();
  }
  return written;
}

void MacControllers::GiveBack() {
  OptionController* const order[kSlotCount] = {
      &linkCheck, &ping, &channel, &adr, &deviceStatus, &beaconTiming, &deviceTime, &pingSlotInfo};
  for (uint32_t slot = 0; slot < kSlotCount; ++slot) {
    if ((lastPlaced_ & (1u << slot)) == 0) continue;
    // ADR decides afresh from its history; it only needs its state from before the build.
    if (slot == kAdrSlot) {
      adr.restore(adrSaved_);
    } else {
      order[slot]->pending = true;
    }
  }
  lastPlaced_ = 0;
}

bool MacControllers::AnyPendingForAnswer() const {
  // A status request is the server's own curiosity: it rides along but never costs a downlink.
  return linkCheck.pending || ping.pending || channel.pending || beaconTiming.pending ||
         deviceTime.pending || pingSlotInfo.pending || adr.shouldSend(false);
}

void MacControllers::SessionStarted() { adr.Restart(); }

// ---- the uplink's commands ------------------------------------------------------------------

int32_t LinkMarginTenths(int32_t snrTenths, uint32_t spreadingFactor, uint32_t bandwidthKhz) {
  int32_t required = -200;
  switch (spreadingFactor) {
    case 7:
      required = -75;
      break;
    case 8:
      required = -100;
      break;
    case 9:
      required = -125;
      break;
    case 10:
      required = -150;
      break;
    case 11:
      required = -175;
      break;
    case 12:
      required = -200;
      break;
    case 13:  // FSK
      required = 0;
      break;
    default:
      break;
  }
  if (bandwidthKhz == 500) required += 60;
  if (bandwidthKhz == 250) required += 30;
  return snrTenths - required;
}

namespace {

// Longer than any uplink waits for a worker; a larger gap means the reception time is not ours.
constexpr int64_t kMaxWaitMs = 10000;

using Action = void (*)(MacControllers&, const Lora::ReceivedFrame&, const uint8_t*,
                        const MacUplinkContext&);

struct UplinkCommand {
  uint8_t cid;
  uint8_t length;  // CID included
  Action apply;    // null: nothing to do but report it
};

void LinkCheckReq(MacControllers& mac, const Lora::ReceivedFrame& frame, const uint8_t*,
                  const MacUplinkContext&) {
  mac.linkCheck.Request(frame.FCnt(),
                        LinkMarginTenths(frame.snr, frame.spreadingFactor, frame.bandwidthKHz));
}

void LinkAdrAns(MacControllers& mac, const Lora::ReceivedFrame&, const uint8_t* command,
                const MacUplinkContext& context) {
  constexpr uint8_t kAllAccepted = 0x07;  // power, datarate and channel mask ACK
  if ((command[1] & kAllAccepted) == kAllAccepted) return;
  mac.adr.Refused(command[1], context.devEui != nullptr ? context.devEui->text() : std::string());
}

void DevStatusAns(MacControllers&, const Lora::ReceivedFrame&, const uint8_t* command,
                  const MacUplinkContext& context) {
  if (context.deviceStatus) context.deviceStatus(command[1], command[2] * 10);
}

void DeviceTimeReq(MacControllers& mac, const Lora::ReceivedFrame& frame, const uint8_t*,
                   const MacUplinkContext&) {
  // The uplink ended when the gateway handed it over, not when a worker got round to it.
  int64_t waitedMs = 0;
  if (frame.receptionTimeMs != 0) {
    waitedMs = std::clamp<int64_t>(MonotonicMs() - static_cast<int64_t>(frame.receptionTimeMs), 0,
                                   kMaxWaitMs);
  }
  mac.deviceTime.Request(mac.unixNowMs() - waitedMs);
}

void PingSlotInfoReq(MacControllers& mac, const Lora::ReceivedFrame&, const uint8_t*,
                     const MacUplinkContext&) {
  mac.pingSlotInfo.pending = true;
}

void BeaconTimingReq(MacControllers& mac, const Lora::ReceivedFrame&, const uint8_t*,
                     const MacUplinkContext&) {
  mac.beaconTiming.pending = true;
}

void LinkTestReq(MacControllers& mac, const Lora::ReceivedFrame& frame, const uint8_t*,
                 const MacUplinkContext&) {
  LOG_DEBUG("%d %02x %d %02x", frame.rssi, static_cast<uint16_t>(frame.rssi), frame.snr,
            static_cast<uint16_t>(frame.snr));
  mac.ping.rssi = frame.rssi;
  mac.ping.snrTenths = frame.snr;
  mac.ping.pending = true;
}

void DeviceClassReport(MacControllers&, const Lora::ReceivedFrame&, const uint8_t* command,
                       const MacUplinkContext& context) {
  if (context.deviceClass) context.deviceClass(command[1]);
}

// The uplink commands of LoRaWAN 1.0.x and the two proprietary ones.
constexpr UplinkCommand kUplinkCommands[] = {
    {0x02, 1, LinkCheckReq},     // LinkCheckReq
    {0x03, 2, LinkAdrAns},       // LinkADRAns: Status
    {0x04, 1, nullptr},          // DutyCycleAns
    {0x05, 2, nullptr},          // RXParamSetupAns: Status
    {0x06, 3, DevStatusAns},     // DevStatusAns: Battery, Margin
    {0x07, 2, nullptr},          // NewChannelAns: Status
    {0x08, 1, nullptr},          // RXTimingSetupAns
    {0x09, 1, nullptr},          // TxParamSetupAns
    {0x0A, 2, nullptr},          // DlChannelAns: Status
    {0x0D, 1, DeviceTimeReq},    // DeviceTimeReq
    {0x10, 2, PingSlotInfoReq},  // PingSlotInfoReq: Periodicity
    {0x11, 2, nullptr},          // PingSlotChannelAns: Status
    {0x12, 1, BeaconTimingReq},  // BeaconTimingReq
    {0x13, 2, nullptr},          // BeaconFreqAns: Status
    {0x80, 1, LinkTestReq},      // link test
    {0x81, 2, DeviceClassReport},
};

const UplinkCommand* FindUplinkCommand(uint8_t cid) {
  for (const UplinkCommand& command : kUplinkCommands) {
    if (command.cid == cid) return &command;
  }
  return nullptr;
}

}  // namespace

void MacControllers::parseMacCommands(const Lora::ReceivedFrame& frame, const uint8_t* bytes,
                                      size_t length, const MacUplinkContext& context) {
  if (bytes == nullptr) return;
  size_t at = 0;
  while (at < length) {
    const UplinkCommand* command = FindUplinkCommand(bytes[at]);
    // An unknown CID hides the length of everything after it; a command cut short is no command.
    if (command == nullptr || command->length > length - at) return;
    if (command->apply != nullptr) command->apply(*this, frame, bytes + at, context);
    if (context.events != nullptr && context.appEui != nullptr && context.devEui != nullptr) {
      context.events->MacRecv(*context.appEui, *context.devEui, context.gatewayEui, command->cid,
                              bytes + at + 1, command->length - 1u);
    }
    at += command->length;
  }
}
