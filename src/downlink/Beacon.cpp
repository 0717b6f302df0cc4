#include "downlink/Beacon.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "StopFlag.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "lora/Crc.h"
#include "lora/ChannelPlan.h"
#include "support/Logger.h"
#include "support/JsonText.h"

BeaconFrame::BeaconFrame(uint32_t netId, bool wideBand)
    : size_(wideBand ? 19 : 17), wideBand_(wideBand) {
  for (int i = 0; i < 3; ++i) bytes_[i] = static_cast<uint8_t>(netId >> (8 * i));
  const size_t info = wideBand ? 9 : 8;
  bytes_[info] = 0;  // InfoDesc
  std::fill(bytes_.begin() + static_cast<long>(info) + 1, bytes_.begin() + static_cast<long>(info) + 7,
            0xFF);
  if (wideBand) bytes_[16] = 0;
  const size_t crcAt = wideBand ? 17 : 15;
  const uint16_t crc2 = Crc16Xmodem(bytes_.data() + info, 7);
  bytes_[crcAt] = static_cast<uint8_t>(crc2);
  bytes_[crcAt + 1] = static_cast<uint8_t>(crc2 >> 8);
  setTime(0);
}

void BeaconFrame::setTime(uint32_t seconds) {
  for (int i = 0; i < 4; ++i) bytes_[3 + i] = static_cast<uint8_t>(seconds >> (8 * i));
  const uint16_t crc1 = Crc16Xmodem(bytes_.data(), 7);
  bytes_[7] = static_cast<uint8_t>(crc1);
  if (wideBand_) bytes_[8] = static_cast<uint8_t>(crc1 >> 8);
}

namespace {

const Json::Value& LoraSection(const Json::Value* config) {
  static const Json::Value kNone(Json::objectValue);
  return config != nullptr && (*config)["lora"].isObject() ? (*config)["lora"] : kNone;
}

bool WideBand(const std::string& band) { return band == "US915" || band == "AU915"; }

}  // namespace

Beacon::Beacon(const BeaconLinks& links)
    : links_(links), frame_(0, false) {
  const Json::Value& lora = LoraSection(links_.config);
  interval_ = lora.isMember("beaconInterval") ? lora["beaconInterval"].asUInt() : 128;
  const std::string netIdText = lora["netID"].isString() ? lora["netID"].asString() : "000000";
  netId_ = static_cast<uint32_t>(HexToUInt64(netIdText.c_str(), 3));
  delayMs_ = lora["beaconDelay"].isUInt() ? lora["beaconDelay"].asUInt() : 0;
  wideBand_ = WideBand(lora["frequencyBand"].asString());
  frame_ = BeaconFrame(netId_, wideBand_);

  std::string datr = wideBand_ ? "SF10BW500" : "SF9BW125";
  double freqMhz = 869.525;
  uint32_t freqHz = 869525000;
  if (wideBand_) {
    const int subBand = lora["frequencySubBand"].isInt() ? lora["frequencySubBand"].asInt() : 1;
    freqHz = static_cast<uint32_t>(923300000 + (subBand - 1) * 1200000);
    freqMhz = static_cast<double>(static_cast<float>(freqHz / 1e6));
  }
  if (lora["beaconDatarate"].isString() && lora["beaconFrequency"].isNumeric()) {
    datr = lora["beaconDatarate"].asString();
    freqMhz = lora["beaconFrequency"].asDouble();
    freqHz = static_cast<uint32_t>(freqMhz * 1e6 + 0.5);
  }
  int power = lora["beaconPower"].isInt() ? lora["beaconPower"].asInt() : 27;
  if (links_.plan != nullptr) power = std::min(power, links_.plan->maxRadioTxPower(freqHz));
  txpk_["imme"] = true;
  txpk_["ipol"] = true;
  txpk_["nhdr"] = true;
  txpk_["ncrc"] = true;
  txpk_["modu"] = "LORA";
  txpk_["codr"] = "4/5";
  txpk_["rfch"] = 0;
  txpk_["prea"] = 10;
  txpk_["datr"] = datr;
  txpk_["freq"] = freqMhz;
  txpk_["powe"] = power;
}

void Beacon::Clock(int64_t& seconds, int64_t& nanoseconds) const {
  if (links_.taiClock) {
    links_.taiClock(seconds, nanoseconds);
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_TAI, &now);
  seconds = now.tv_sec;
  nanoseconds = now.tv_nsec;
}

int64_t Beacon::nowMs() const {
  int64_t s = 0;
  int64_t ns = 0;
  Clock(s, ns);
  return (s % 10000) * 1000 + ns / 1000000;
}

int64_t Beacon::WaitMs(int64_t seconds, int64_t nanoseconds) const {
  if (interval_ == 0) return 0;
  const int64_t interval = interval_;
  const int64_t slot = netId_ % interval;
  const int64_t wait =
      ((interval - seconds % interval + slot) % interval) * 1000 + delayMs_ - nanoseconds / 1000000;
  // Just past the slot, in its own second: the next slot is a whole interval away, not behind.
  return wait < 0 ? wait + interval * 1000 : wait;
}

std::string Beacon::SendBeacon() {
  int64_t s = 0;
  int64_t ns = 0;
  Clock(s, ns);
  // The Time field is the second of the beacon's slot. The thread wakes a few ms before it, and
  // a beacon read at x.997 s carrying x would break the ping slots booked before it, which count
  // on the last beacon's Time plus the interval.
  if (ns >= 500000000) ++s;
  frame_.setTime(static_cast<uint32_t>(s));
  Json::Value txpk = txpk_;
  char data[Base64EncodedCapacity(19)];
  Base64Encode(frame_.data(), frame_.size(), data, true);
  txpk["data"] = data;
  txpk["size"] = static_cast<Json::UInt>(frame_.size());
  Json::Value body;
  body["txpk"] = txpk;
  const std::string json = JsonText::Compact(body);

  uint8_t version = 2;
  if (links_.gateways != nullptr) {
    const auto all = links_.gateways->all();
    if (!all.empty()) version = all.front()->protocolVersion();
  }
  std::string datagram{static_cast<char>(version), '\xFF', '\xFF', '\x03'};
  datagram += json;
  LOG_DEBUG("Beacon : %s", json.c_str());
  const sockaddr_in to = links_.forwarderAddress ? links_.forwarderAddress() : sockaddr_in{};
  if (to.sin_port == 0) {
    LOG_DEBUG("Beacon not sent: no packet forwarder has pulled yet");
  } else if (links_.downstream != nullptr) {
    links_.downstream->send(to, reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size());
  }
  lastBeaconSeconds_ = s;
  // The radio sends it as soon as the forwarder has it: the slots count from the moment it left
  // here, not from the clock reading its Time field took before the frame was built.
  Clock(s, ns);
  lastBeaconMs_ = (s % 10000) * 1000 + ns / 1000000;
  LOG_INFO("Beacon sent at: %d ms", static_cast<int>(lastBeaconMs_.load()));
  return datagram;
}

int64_t Beacon::ReserveNext() {
  int64_t s = 0;
  int64_t ns = 0;
  Clock(s, ns);
  const int64_t wait = WaitMs(s, ns);
  uint64_t gatewayEui = 0;
  if (links_.gateways != nullptr) {
    const auto all = links_.gateways->all();
    if (!all.empty()) gatewayEui = all.front()->eui();
  }
  const uint64_t monotonic =
      links_.monotonicMs ? links_.monotonicMs() : static_cast<uint64_t>(MonotonicMs());
  if (links_.reserve) {
    links_.reserve(gatewayEui, monotonic + static_cast<uint64_t>(std::max<int64_t>(wait, 0)),
                   kReservationMs);
  }
  return wait;
}

bool Beacon::Sleep(int64_t ms) {
  // Towards a deadline: each of the steps wakes a little late, and over the seconds before a
  // beacon the delays would add up to more than the air time reserved after its slot.
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(ms, 0));
  for (auto now = std::chrono::steady_clock::now(); now < until;
       now = std::chrono::steady_clock::now()) {
    if (stop_.load() || StopFlag::IsSet()) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(100)));
  }
  return !stop_.load() && !StopFlag::IsSet();
}

void Beacon::Run() {
  if (interval_ == 0) {
    LOG_INFO("Beacon is disabled");
    return;
  }
  LOG_DEBUG("NETID: %s %d %lu", UInt64ToHex(netId_, 6, 0).c_str(), static_cast<int>(netId_),
            static_cast<unsigned long>(netId_));
  LOG_DEBUG("Beacon offset: %lu ms",
            static_cast<unsigned long>((netId_ % interval_) * 1000 + delayMs_));
  int64_t s = 0;
  int64_t ns = 0;
  Clock(s, ns);
  int64_t wait = WaitMs(s, ns);
  LOG_DEBUG("Interval: %d Delay: %d NetID: %lu TV_SEC: %d TV_NSEC: %d", static_cast<int>(interval_),
            static_cast<int>(delayMs_), static_cast<unsigned long>(netId_), static_cast<int>(s),
            static_cast<int>(ns));
  const int64_t sinceVirtualMs = static_cast<int64_t>(interval_) * 1000 - wait;
  lastBeaconMs_ = nowMs() - sinceVirtualMs;
  // The beacon not sent before start-up had the Time field of its second (beaconDelay < 1 s).
  lastBeaconSeconds_ = (s * 1000 + ns / 1000000 - sinceVirtualMs) / 1000;
  LOG_DEBUG("Virtual beacon (-1) was sent at: %d ms", static_cast<int>(lastBeaconMs_.load()));
  // The first beacon's air time is held as every later one's is: downlinks booked before it
  // would go out over it. A second before its slot, so that the gateway it goes to has pulled
  // since start-up, and still before any frame in its way is handed over.
  if (wait > 1000 && !Sleep(wait - 1000)) return;
  wait = ReserveNext();
  if (!Sleep(wait > 4 ? wait - 4 : 0)) return;
  for (;;) {
    SendBeacon();
    // Past the beacon just sent before the next one is reserved, however short the interval.
    if (!Sleep(std::max<int64_t>(static_cast<int64_t>(interval_) * 1000 - 8000, 1000))) return;
    wait = ReserveNext();
    if (!Sleep(wait - 4)) return;
  }
}

int Beacon::Start() {
  stop_ = false;
  return thread_.Start([this] { Run(); }, kStackSize, "beacon");
}

void Beacon::Stop() {
  stop_ = true;
  thread_.Join();
}
