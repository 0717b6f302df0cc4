#include "devices/JoinHandler.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "devices/AddressRange.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "gateway/Gateway.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlan.h"
#include "lora/ConfigRead.h"
#include "lora/Crypto.h"
#include "lora/TimeOnAir.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/RecentList.h"

using Counter = NetworkStatistics::Counter;

namespace {

// Join accept before encryption:
//
//   | 0    | 1..3      | 4..6  | 7..10   | 11         | 12      | 13..28  | last 4 |
//   | MHDR | JoinNonce | NetID | DevAddr | DLSettings | RxDelay | CFList? | MIC    |
//
// NetID and DevAddr least significant byte first; CFList only where the plan sends one.
constexpr uint8_t kJoinAcceptMhdr = 0x20;
constexpr size_t kJoinRequestLength = 23;
constexpr size_t kJoinRequestMicOffset = 19;

// Exactly `bytes` bytes of hex, '-' or ':' allowed between pairs.
bool ParseHexValue(const std::string& text, size_t bytes, uint64_t& value) {
  size_t digits = 0;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      ++digits;
    } else if (c != '-' && c != ':') {
      return false;
    }
  }
  if (digits != bytes * 2) return false;
  value = HexToUInt64(text.c_str(), bytes);
  return true;
}

// Start-up accepts six or eight digits; like the beacon and the address allocator, the NetID is
// the last three bytes, so a device's join accept and its DevAddr's NwkID agree.
uint64_t ConfiguredNetId(const Json::Value& lora) {
  return lora["netID"].isString() ? HexToUInt64(lora["netID"].asCString(), 3) : 0;
}

bool ParseKey(const Json::Value& text, Lora::CypherKey& key) {
  if (!text.isString()) return false;
  const std::string hex = text.asString();
  uint8_t bytes[16];
  if (hex.size() != 32 || !HexToBytes(hex.c_str(), bytes, sizeof bytes, false)) return false;
  key = Lora::CypherKey(bytes);
  return true;
}

Lora::CypherKey UnsetKey() {
  uint8_t bytes[16];
  std::memset(bytes, 0xFF, sizeof bytes);
  return Lora::CypherKey(bytes);
}

bool SameEui(const Json::Value& text, const Lora::EUI& eui) {
  if (!text.isString()) return false;
  uint64_t value = 0;
  return ParseHexValue(text.asString(), 8, value) && value == eui.value();
}

}  // namespace

// What one request carries, read once.
struct JoinHandler::Request {
  Lora::ReceivedFrame& frame;
  Lora::EUI devEui;
  Lora::EUI joinEui;
  uint16_t devNonce = 0;
  uint64_t startMs = 0;
  std::string gateway;  // "GW:" tag text
};

uint64_t JoinHandler::NowMs() const {
  return links_.clockMs ? links_.clockMs() : static_cast<uint64_t>(MonotonicMs());
}

int JoinHandler::Random() const { return links_.random ? links_.random() : std::rand(); }

const Json::Value& JoinHandler::Config(const char* section) const {
  static const Json::Value kNone;
  if (links_.config == nullptr) return kNone;
  const Json::Value& value = (*links_.config)[section];
  return value.isObject() ? value : kNone;
}

void JoinHandler::handleJoinRequest(Lora::ReceivedFrame& frame) {
  if (frame.size() != kJoinRequestLength) {
    throw Lora::ReceivedFrame::MessageRejectException("Invalid join request length",
                                                      static_cast<uint16_t>(frame.size()), frame);
  }
  const bool msbFirst = Config("lora")["joinByteOrder"].asString() == "MSB";
  Request request{frame, Lora::EUI::FromValue(frame.DevEui(msbFirst)),
                  Lora::EUI::FromValue(frame.JoinEui(msbFirst)), frame.DevNonce(), NowMs(),
                  Gateway::EuiText(frame.gatewayEui)};
  AnnounceRequest(request);
  if (isDuplicateDevNonce(request.devEui.text(), request.devNonce)) {
    TossDuplicate(request);
    return;
  }
  const KeySearch keys = FindApplicationKey(request);
  const Json::Value& whitelist = Config("whitelist");
  const bool listed = whitelist["enabled"].isBool() && whitelist["enabled"].asBool();
  if (keys.valid) {
    AcceptLocally(request, keys);
  } else if (listed) {
    RejectLocally(request, keys);
  } else {
    ForwardToJoinServer(request, keys);
  }
}

void JoinHandler::AnnounceRequest(const Request& request) {
  if (links_.messages) AppEvents(*links_.messages).Post(request.devEui.text(), "join_request", request.frame.rxpk);
  if (links_.statistics) links_.statistics->increment(Counter::rx_joins);
  const Lora::ReceivedFrame& frame = request.frame;
  LOG_DEBUG("GW:%s|JOINREQ-RX|%s", request.gateway.c_str(),
            BytesToHex(frame.data, kJoinRequestMicOffset, true, 0).c_str());
  LOG_DEBUG("GW:%s|DEV-EUI|%s", request.gateway.c_str(), request.devEui.text().c_str());
  LOG_DEBUG("GW:%s|JOIN-EUI|%s", request.gateway.c_str(), request.joinEui.text().c_str());
  LOG_DEBUG("GW:%s|DEV-NONCE|%04x", request.gateway.c_str(), request.devNonce);
}

void JoinHandler::TossDuplicate(const Request& request) {
  LOG_WARNING("GW:%s|JOINREQ-RX|Tossing join request with duplicate nonce", request.gateway.c_str());
  recordJoinRequest(Json::Value(), Json::Value(), request.devEui.text(), request.joinEui.text(),
                    request.devNonce, 0, "Duplicate Dev Nonce");
  if (links_.statistics) links_.statistics->increment(Counter::rx_join_dups);
}

bool JoinHandler::isDuplicateDevNonce(const std::string& deviceEuiText, uint16_t devNonce) {
  const uint64_t nowMs = NowMs();
  MutexLock lock(mutex_);
  if (++nonceCalls_ % kNoncePruneEvery == 0) {
    for (auto device = nonces_.begin(); device != nonces_.end();) {
      for (auto entry = device->second.begin(); entry != device->second.end();) {
        entry = nowMs - entry->second * 1000 > kNonceMemoryMs ? device->second.erase(entry)
                                                              : std::next(entry);
      }
      device = device->second.empty() ? nonces_.erase(device) : std::next(device);
    }
  }
  auto device = nonces_.find(deviceEuiText);
  if (device == nonces_.end()) return false;
  auto entry = device->second.find(devNonce);
  if (entry == device->second.end()) return false;
  if (nowMs - entry->second * 1000 <= kNonceMemoryMs) return true;
  device->second.erase(entry);
  return false;
}

// Only a request whose MIC checked may hold a nonce: a forged one would otherwise lock the real
// device out of that nonce for ten minutes.
bool JoinHandler::rememberDevNonce(const std::string& deviceEuiText, uint16_t devNonce) {
  const uint64_t nowMs = NowMs();
  MutexLock lock(mutex_);
  auto& seen = nonces_[deviceEuiText];
  auto entry = seen.find(devNonce);
  // The same request through another gateway, validated meanwhile by another worker.
  if (entry != seen.end() && nowMs - entry->second * 1000 <= kNonceMemoryMs) return false;
  seen[devNonce] = nowMs / 1000;
  return true;
}

bool JoinHandler::MicValid(const Request& request, const Lora::CypherKey& key) const {
  if (key.IsUnset()) return false;
  MicBytes mic = ComputeJoinMic(request.frame.data, kJoinRequestMicOffset, key);
  return request.frame.MicEquals(mic.data());
}

// The network key for the network's own JoinEUI, then the whitelist entry, then the zero-touch
// key of the DevEUI and JoinEUI.
JoinHandler::KeySearch JoinHandler::FindApplicationKey(const Request& request) const {
  KeySearch keys;
  keys.appEui = request.joinEui.text();
  // The network key is tried first whatever the JoinEUI ("key" holds it, from the pass phrase
  // too); an unset one never validates.
  const Json::Value& network = Config("network");
  if (!ParseKey(network["key"], keys.appKey)) keys.appKey = UnsetKey();
  keys.valid = MicValid(request, keys.appKey);
  if (keys.valid) return keys;

  const Json::Value& whitelist = Config("whitelist");
  const bool listed = whitelist["enabled"].isBool() && whitelist["enabled"].asBool();
  if (listed && whitelist["devices"].isArray()) {
    for (const Json::Value& entry : whitelist["devices"]) {
      if (!entry.isObject() || !SameEui(entry["deveui"], request.devEui)) continue;
      LOG_INFO("ED:%s|WL-SEARCH|Device found in whitelist", request.devEui.text().c_str());
      if (!ParseKey(entry["appkey"], keys.appKey)) keys.appKey = UnsetKey();
      uint64_t appEui = 0;
      if (entry["appeui"].isString() && ParseHexValue(entry["appeui"].asString(), 8, appEui)) {
        keys.appEui = Lora::EUI::FromValue(appEui).text();
      }
      if (entry["class"].isString()) keys.deviceClass = entry["class"].asString();
      keys.valid = MicValid(request, keys.appKey);
      break;
    }
  }
  if (keys.valid) return keys;

  const Json::Value& baseKey = network["baseKey"];
  if (baseKey.isString() && !baseKey.asString().empty()) {
    const Json::Value& salt = network["salt"];
    Lora::CypherKey zeroTouch = ZeroTouchAppKey(request.devEui, request.joinEui, baseKey.asString(),
                                                salt.isString() ? salt.asString() : "");
    // Taken whether or not it checks: a device with a zero-touch key is never unknown, only
    // refused for its MIC.
    keys.appKey = zeroTouch;
    if (MicValid(request, zeroTouch)) {
      LOG_DEBUG("ED:%s|CHECK-KEY|0-Touch MIC Valid", request.devEui.text().c_str());
      keys.valid = true;
    }
  }
  return keys;
}

void JoinHandler::RejectLocally(const Request& request, const KeySearch& keys) {
  LOG_INFO("ED:%s|CHECK-KEY|%s", request.devEui.text().c_str(), "Join Request rejected");
  if (links_.statistics) links_.statistics->increment(Counter::rx_joins_nok_mic);
  recordJoinRequest(Json::Value(), Json::Value(), request.devEui.text(), request.joinEui.text(),
                    request.devNonce, NowMs() - request.startMs,
                    keys.appKey.IsUnset() ? "UnknownDevEUI" : "MICFailed");
}

size_t JoinHandler::BuildJoinAccept(const Request& request, const KeySearch& keys, uint32_t devAddr,
                                    const uint8_t* joinNonce, uint8_t* out) const {
  const Json::Value& lora = Config("lora");
  const uint64_t netId = ConfiguredNetId(lora);
  const uint8_t dlSettings = static_cast<uint8_t>(((lora["rx1DatarateOffset"].asInt() & 0x0F) << 4) |
                                                  (std::abs(lora["rx2Datarate"].asInt()) & 0x0F));
  std::memset(out, 0, Lora::ChannelPlan::kJoinAcceptBufferSize + 1);
  out[0] = kJoinAcceptMhdr;
  std::memcpy(out + 1, joinNonce, 3);
  for (int i = 0; i < 3; ++i) out[4 + i] = static_cast<uint8_t>(netId >> (8 * i));
  for (int i = 0; i < 4; ++i) out[7 + i] = static_cast<uint8_t>(devAddr >> (8 * i));
  out[11] = dlSettings;
  out[12] = static_cast<uint8_t>(lora["rx1Delay"].asUInt());
  size_t length = Lora::ChannelPlan::kCfListOffset;
  if (links_.plan != nullptr && links_.plan->cfListSupported() &&
      links_.plan->buildCfList(out, Lora::ChannelPlan::kJoinAcceptBufferSize)) {
    length += Lora::ChannelPlan::kCfListSize;
  }
  MicBytes mic = ComputeJoinMic(out, length, keys.appKey);
  std::memcpy(out + length, mic.data(), mic.size());
  length += mic.size();
  uint8_t encrypted[Lora::ChannelPlan::kJoinAcceptLengthWithCfList];
  EncryptJoinAccept(out + 1, length - 1, keys.appKey, encrypted);
  std::memcpy(out + 1, encrypted, length - 1);
  (void)request;
  return length;
}

void JoinHandler::AcceptLocally(Request& request, const KeySearch& keys) {
  const std::string& eui = request.devEui.text();
  if (!rememberDevNonce(eui, request.devNonce)) {
    TossDuplicate(request);
    return;
  }
  LOG_DEBUG("ED:%s|CHECK-KEY|MIC Valid", eui.c_str());
  uint8_t joinNonce[3];
  for (uint8_t& byte : joinNonce) byte = static_cast<uint8_t>(Random() % 255);
  LOG_DEBUG("ED:%s|APP-NONCE|%02x%02x%02x", eui.c_str(), joinNonce[0], joinNonce[1], joinNonce[2]);
  const Json::Value& lora = Config("lora");
  const uint64_t netId = ConfiguredNetId(lora);
  const uint8_t netIdBytes[3] = {static_cast<uint8_t>(netId >> 16), static_cast<uint8_t>(netId >> 8),
                                 static_cast<uint8_t>(netId)};
  Lora::CypherKey nwkSKey;
  Lora::CypherKey appSKey;
  DeriveSessionKeys(keys.appKey, joinNonce, netIdBytes, request.devNonce, nwkSKey, appSKey);

  // The address stays with a device the database knows; a new device draws one.
  DeviceList::LockedDevice device;
  uint32_t devAddr = 0;
  if (links_.database != nullptr && links_.database->GetAddressFromEui(eui, devAddr)) {
    LOG_INFO("ED:%s|DEV-ADDR|%s%08x", eui.c_str(), "Found End Device in DB ", devAddr);
    device = links_.devices->FindDevice(devAddr);
    if (!device) {
      LOG_ERROR("ED:%s|JOINREQ|Device not found in memory list", eui.c_str());
      LOG_DEBUG("Adding device to list");
      device = links_.devices->RestoreDevice(devAddr);
    }
    if (!device) {
      LOG_ERROR("Failed to load device from database");
      return;
    }
  } else {
    device = links_.devices->AddNewDevice(*links_.addressRange, eui, [&](Device& fresh) {
      fresh.devEui = request.devEui;
      fresh.joinEui = request.joinEui;
      fresh.appEui = Lora::EUI(keys.appEui);
      fresh.netId = static_cast<uint32_t>(netId);
      fresh.nwkSKey = nwkSKey;
      fresh.appSKey = appSKey;
    });
    if (!device) return;  // the allocator said why
  }

  TakeSession(*device, request, keys.appEui, keys.deviceClass, nwkSKey, appSKey, false);

  uint8_t accept[Lora::ChannelPlan::kJoinAcceptBufferSize + 1];
  const size_t length = BuildJoinAccept(request, keys, device->devAddr(), joinNonce, accept);
  if (links_.messages) AppEvents(*links_.messages).Post(eui, "packet_recv", request.frame.rxpk);

  Lora::FrameApplicationData record(accept, length);
  record.join = 1;
  std::string result = "Success";
  if (!device->Enqueue(record)) {
    LOG_WARNING("ED:%s|JOINREQ-FAIL|Failed to queue join accept", eui.c_str());
    if (links_.messages) AppEvents(*links_.messages).Post(eui, "down_dropped", request.frame.rxpk);
    result = "Dropped";
  } else {
    CountAccepted(request);
    if (links_.statistics) {
      LOG_INFO("ED:%s|JOINREQ-OK|JOINS: %lu UP: %lu", eui.c_str(),
               static_cast<unsigned long>(links_.statistics->value(Counter::rx_joins)),
               static_cast<unsigned long>(links_.statistics->value(Counter::rx_pkts)));
    }
    scheduleJoinAccept(*device, request.frame, false);
    ReportJoin(request, *device, keys, joinNonce);
  }
  recordJoinRequest(Json::Value(), Json::Value(), eui, request.joinEui.text(), request.devNonce,
                    NowMs() - request.startMs, result);
}

// The join replaces the device's session: class (the given one, else the device's), EUIs, the
// join recorded, new keys, counters back to 0.
void JoinHandler::TakeSession(Device& device, const Request& request, const std::string& appEui,
                              const std::string& classText, const Lora::CypherKey& nwkSKey,
                              const Lora::CypherKey& appSKey, bool remote) {
  const std::string letter = !classText.empty() ? classText : device.ClassLetter();
  device.deviceClass = letter == "C" ? Device::kClassC : letter == "B" ? Device::kClassB
                                                                       : Device::kClassA;
  device.appEui = Lora::EUI(appEui);
  device.joinEui = request.joinEui;
  if (links_.database != nullptr) {
    links_.database->UpdateSessionJoin(device.devAddr(), request.joinEui.text(), appEui, remote);
    links_.database->UpdateDeviceClass(device.devAddr(), device.ClassLetter());
  }
  device.nwkSKey = nwkSKey;
  device.appSKey = appSKey;
  device.SaveSessionKeys();
  device.ResetUpCounter();
  device.ResetDownCounter();
  // A device that refused a LinkADRReq may take one again in its new session.
  if (MacControllers* mac = device.transmitController.MacCommands()) mac->SessionStarted();
  device.uplinkSeen = false;
  device.lastUplinkMs = request.frame.receptionTimeMs;
}

void JoinHandler::CountAccepted(const Request& request) {
  if (links_.statistics) {
    links_.statistics->increment(Counter::rx_joins_ok);
    links_.statistics->increment(Counter::rx_pkts);
  }
  if (links_.gateways != nullptr) {
    if (auto gateway = links_.gateways->find(request.frame.gatewayEui)) {
      gateway->count(Gateway::Counter::joins);
    }
  }
}

void JoinHandler::ReportJoin(const Request& request, const Device& device, const KeySearch& keys,
                             const uint8_t* joinNonce) {
  if (!links_.reportJoin) return;
  Json::Value rxpk;
  std::string errors;
  JsonText::Parse(request.frame.rxpk, rxpk, errors);
  const Json::Value& lora = Config("lora");
  const uint64_t netId = ConfiguredNetId(lora);
  char text[16];
  Json::Value a(Json::objectValue);
  a["dev_eui"] = request.devEui.text();
  a["app_eui"] = keys.appEui;
  a["join_eui"] = request.joinEui.text();
  a["gw_eui"] = Gateway::EuiText(request.frame.gatewayEui);
  a["dev_nonce"] = request.devNonce;
  a["result_code"] = 0;
  a["app_nonce"] = joinNonce[0] | (joinNonce[1] << 8) | (joinNonce[2] << 16);
  Json::Value& message = a["request_msg"];
  message["MACVersion"] = "1.0.2";
  std::snprintf(text, sizeof text, "%08x", device.devAddr());
  message["DevAddr"] = text;
  const unsigned dlSettings = ((lora["rx1DatarateOffset"].asUInt() & 0x0F) << 4) |
                              (static_cast<unsigned>(std::abs(lora["rx2Datarate"].asInt())) & 0x0F);
  std::snprintf(text, sizeof text, "%02x", dlSettings & 0xFF);
  message["DLSettings"] = text;
  message["RxDelay"] = lora["rx1Delay"].asUInt() & 0x0F;
  message["HNetID"] = Json::UInt64(netId);
  message["CFList"] = links_.plan != nullptr ? links_.plan->cfListHex() : "";
  Json::Value& object = message["VSExtension"]["Object"];
  object["GwSerial"] = links_.settings != nullptr ? links_.settings->gatewaySerial : "";
  for (const char* member : {"datr", "freq", "lsnr", "rssi"}) object[member] = rxpk[member];
  message["VSExtension"]["VendorID"] = Config("network")["vendorId"];
  a["response_msg"]["Result"]["Description"] = "Join Request granted";
  a["response_msg"]["Result"]["ResultCode"] = "Success";
  a["micro_secs"] = Json::UInt64((NowMs() - request.startMs) * 1000);
  a["timestamp"] = AppEvents::UtcTimeText();
  links_.reportJoin(a, request.frame.gatewayEui);
}

void JoinHandler::scheduleJoinAccept(Device& device, const Lora::ReceivedFrame& frame, bool remote) {
  const std::string& eui = device.devEui.text();
  device.transmitController.ReceivedFrame(frame, false);
  if (links_.database != nullptr) {
    LoraDatabase::UplinkPacketRecord packet;
    packet.devAddr = device.devAddr();
    packet.gatewayEui = frame.gatewayEui;
    packet.tmst = frame.tmst;
    packet.frequencyHz = frame.frequency;
    packet.channel = frame.chan;
    packet.rfChain = frame.rfChain;
    packet.rssi = frame.rssi;
    packet.snrCb = frame.snr;
    packet.dataSize = static_cast<int>(frame.size());
    packet.messageType = 0;
    packet.counter = frame.DevNonce();
    links_.database->AddUplinkPacket(packet);
  }
  const int8_t datarate =
      links_.plan != nullptr ? links_.plan->sfBwToDatarate(frame.bandwidthKHz, frame.spreadingFactor) : 0;
  LOG_INFO("ED:%s|JOIN-ACCEPT|DevAddr: %08X", eui.c_str(), device.devAddr());
  if (links_.messages) {
    AppEvents(*links_.messages).Post(eui, "joined", remote ? R"({"remote_js":true})" : R"({"remote_js":false})");
  }
  const Json::Value& test = Config("test");
  auto disabled = [&](const char* key) { return test[key].isBool() && test[key].asBool(); };
  const uint64_t joinDelayMs = links_.settings != nullptr ? links_.settings->joinDelayMs : 5000;
  const uint64_t leadMs = links_.settings != nullptr ? links_.settings->networkLeadTimeMs : 250;

  auto airTime = [&](uint8_t window) -> uint32_t {
    if (links_.plan == nullptr) return 0;
    const RxWindowParams rx = links_.plan->rxWindow(true, frame.frequency, datarate, window);
    DatarateParams params;
    params.spreadingFactor = rx.spreadingFactor;
    params.bandwidth = rx.bandwidth;
    const uint64_t padding = links_.settings != nullptr ? links_.settings->schedulePaddingMs : 50;
    return static_cast<uint32_t>(Lora::getPacketAirtimeMs(
        params.spreadingFactor, links_.plan->joinAcceptLength(), params.bandwidth, padding));
  };
  JoinWindow rx1;
  rx1.window = 1;
  rx1.tmst = static_cast<uint32_t>(frame.tmst + joinDelayMs * 1000);
  rx1.dueMs = frame.receptionTimeMs + joinDelayMs - leadMs;
  rx1.airTimeMs = airTime(1);
  rx1.reservation = frame.Mic();
  const uint64_t now = NowMs();
  if (!disabled("disableRxJoin1") && now < rx1.dueMs && links_.bookWindow &&
      links_.bookWindow(device, frame, rx1)) {
    LOG_INFO("ED:%s|SCHED-TX|Use RX1 TOA:%d ms", eui.c_str(), static_cast<int>(rx1.airTimeMs));
    if (links_.statistics) {
      links_.statistics->increment(Counter::tx_joins_1st_wnd);
      links_.statistics->increment(Counter::pkts_1st_wnd);
    }
    return;
  }
  if (disabled("disableRxJoin2")) {
    device.transmitController.Unschedule();
    return;
  }
  const std::string address = UInt64ToHex(device.devAddr(), 8, '-');
  if (now >= rx1.dueMs + 1000) {
    if (links_.statistics) {
      links_.statistics->increment(Counter::tx_joins_dropped);
      links_.statistics->increment(Counter::pkts_dropped);
    }
    LOG_WARNING("Response packet dropped, could not schedule, too late : %s", address.c_str());
    device.transmitController.Unschedule();
    return;
  }
  JoinWindow rx2 = rx1;
  rx2.window = 2;
  rx2.tmst = rx1.tmst + 1000000;
  rx2.dueMs = rx1.dueMs + 1000;
  rx2.airTimeMs = airTime(2);
  if (links_.bookWindow && links_.bookWindow(device, frame, rx2)) {
    LOG_INFO("ED:%s|SCHED-TX|Use RX2 TOA:%d ms", eui.c_str(), static_cast<int>(rx2.airTimeMs));
    if (links_.statistics) {
      links_.statistics->increment(Counter::tx_joins_2nd_wnd);
      links_.statistics->increment(Counter::pkts_2nd_wnd);
    }
    return;
  }
  if (links_.statistics) links_.statistics->increment(Counter::tx_joins_dropped);
  LOG_WARNING("Response packet dropped, could not schedule : %s", address.c_str());
  device.transmitController.Unschedule();
}

void JoinHandler::recordJoinRequest(const Json::Value& request, const Json::Value& response,
                                    const std::string& devEui, const std::string& joinEui,
                                    uint16_t devNonce, uint64_t elapsedMs, const std::string& result) {
  if (links_.recentJoins == nullptr) return;
  Json::Value record(Json::objectValue);
  record["request"] = request;
  record["response"] = response;
  record["deveui"] = devEui;
  record["joineui"] = joinEui;
  record["nonce"] = devNonce;
  record["elapsed"] = Json::UInt64(elapsedMs);
  record["result"] = result;
  links_.recentJoins->append(JsonText::Compact(record));
}

// ---------------------------------------------------------------------------------------------
// Remote join server

std::string JoinHandler::JoinServerBody(const Request& request, uint32_t devAddr) const {
  const Json::Value& lora = Config("lora");
  const Json::Value& network = Config("network");
  const uint64_t netId = ConfiguredNetId(lora);
  const unsigned dlSettings = ((lora["rx1DatarateOffset"].asUInt() & 0x0F) << 4) |
                              (static_cast<unsigned>(std::abs(lora["rx2Datarate"].asInt())) & 0x0F);
  Json::Value rxpk;
  std::string errors;
  JsonText::Parse(request.frame.rxpk, rxpk, errors);
  char text[16];
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("ProtocolVersion");
  w.String("1.0");
  w.Key("MACVersion");
  w.String("1.0.2");
  w.Key("PHYPayload");
  w.String(BytesToHex(request.frame.data, request.frame.size(), false, 0).c_str());
  w.Key("DevAddr");
  std::snprintf(text, sizeof text, "%08x", devAddr);
  w.String(text);
  w.Key("DLSettings");
  std::snprintf(text, sizeof text, "%02x", dlSettings & 0xFF);
  w.String(text);
  w.Key("RxDelay");
  w.Uint(lora["rx1Delay"].asUInt() & 0x0F);
  w.Key("HNetID");
  w.Uint64(netId);
  w.Key("CFList");
  w.String(links_.plan != nullptr ? links_.plan->cfListHex().c_str() : "");
  w.Key("VSExtension");
  w.StartObject();
  w.Key("VendorID");
  w.String(network["vendorId"].isString() ? network["vendorId"].asCString() : "");
  w.Key("Object");
  w.StartObject();
  w.Key("GwEUI");
  w.String(UInt64ToHex(request.frame.gatewayEui, 16, 0).c_str());
  w.Key("GwSerial");
  w.String(links_.settings != nullptr ? links_.settings->gatewaySerial.c_str() : "");
  w.Key("RSSI");
  w.Int(request.frame.rssi);
  w.Key("LSNR");
  w.Double(rxpk["lsnr"].isNumeric() ? rxpk["lsnr"].asDouble() : request.frame.snr / 10.0);
  w.Key("freq");
  w.Double(rxpk["freq"].isNumeric() ? rxpk["freq"].asDouble() : request.frame.frequency / 1e6);
  w.Key("datr");
  w.String(rxpk["datr"].isString() ? rxpk["datr"].asCString() : "");
  w.EndObject();
  w.EndObject();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void JoinHandler::ForwardToJoinServer(Request& request, const KeySearch& keys) {
  const std::string& eui = request.devEui.text();
  LOG_DEBUG("ED:%s|FWD-JOIN|Sending request to Join Server", eui.c_str());
  uint32_t devAddr = 0;
  if (links_.database == nullptr || !links_.database->GetAddressFromEui(eui, devAddr)) {
    // A proposal only: the answer decides. Drawn like a new device's so that it never names an
    // address another device holds.
    const std::optional<uint32_t> drawn = allocateDevAddr(
        *links_.addressRange, links_.devices->size(),
        [this](uint32_t candidate) { return links_.devices->HasDevice(candidate); }, eui,
        [this] { return Random(); });
    if (!drawn) return;  // the allocator said why
    devAddr = *drawn;
  }
  const std::string body = JoinServerBody(request, devAddr);
  LOG_TRACE("JoinServer REQUEST BODY: %s", body.c_str());
  Json::Value requestJson;
  std::string errors;
  JsonText::Parse(body, requestJson, errors);

  const uint64_t joinDelayMs = links_.settings != nullptr ? links_.settings->joinDelayMs : 5000;
  const uint64_t leadMs = links_.settings != nullptr ? links_.settings->networkLeadTimeMs : 250;
  const uint64_t limitMs = joinDelayMs + 1000 - leadMs;
  Json::Value response;
  const Json::Value& url = Config("network")["joinServer"];
  if (links_.postJoinServer && url.isString()) {
    // An answer after the limit is of no use; waiting for it only holds up the joins behind.
    links_.postJoinServer(url.asString(), body, response, limitMs);
  }
  const uint64_t elapsedMs = NowMs() - request.startMs;
  LOG_DEBUG("Join response received %lu ms", static_cast<unsigned long>(elapsedMs));
  if (links_.statistics) links_.statistics->addJoinResponseTime(static_cast<uint32_t>(elapsedMs));

  auto record = [&](const std::string& result) {
    recordJoinRequest(requestJson, response, eui, request.joinEui.text(), request.devNonce,
                      elapsedMs, result);
  };
  if (elapsedMs > limitMs) {
    LOG_INFO("ED:%s|TOO-LATE|%s", eui.c_str(), "Join Response too late");
    if (links_.statistics) {
      links_.statistics->increment(Counter::tx_joins_dropped);
      links_.statistics->increment(Counter::rx_joins_too_late);
    }
    Json::Value error;
    error["error"] = "Join Response too late, " + std::to_string(elapsedMs) + " ms";
    if (links_.messages) {
      AppEvents(*links_.messages).Post(eui, "down_dropped", JsonText::Compact(error));
    }
    record("Too Late");
    return;
  }
  if (elapsedMs == limitMs || response.isNull()) {
    LOG_INFO("ED:%s|CHECK-KEY|%s", eui.c_str(), "Join Request rejected");
    if (links_.statistics) links_.statistics->increment(Counter::rx_joins_nok_mic);
    record(response.isNull() ? "Server Error"
                             : keys.appKey.IsUnset() ? "UnknownDevEUI" : "MICFailed");
    return;
  }
  const Json::Value& result = response.isObject() ? response["Result"] : Json::Value::nullSingleton();
  if (!result.isObject() || !result["ResultCode"].isString()) {
    LOG_WARNING("Invalid response from Join Server [%s]", JsonText::Compact(response).c_str());
    return;
  }
  const std::string code = result["ResultCode"].asString();
  if (code == "Success") {
    // The join server checked the MIC.
    if (!rememberDevNonce(eui, request.devNonce)) {
      TossDuplicate(request);
      return;
    }
    AcceptRemotely(request, devAddr, requestJson, response, elapsedMs);
    return;
  }
  LOG_WARNING("Join Server rejected Join Request");
  if (links_.messages) AppEvents(*links_.messages).Post(eui, "join_rejected", request.frame.rxpk);
  if (links_.statistics) {
    const std::string description =
        result["Description"].isString() ? result["Description"].asString() : "";
    auto mentions = [&](const char* word) { return description.find(word) != std::string::npos; };
    links_.statistics->increment(
        code == "MICFailed"                                ? Counter::rx_joins_nok_mic
        : code == "UnknownDevEUI"                          ? Counter::rx_joins_nok_unk
        : code == "JoinReqFailed" && mentions("Gateway") ? Counter::rx_joins_nok_gw
        : code == "JoinReqFailed" && mentions("Nonce")   ? Counter::rx_joins_nok_nonce
                                                           : Counter::rx_joins_nok);
  }
  record(code.find("Nonce") != std::string::npos ? "Duplicate Dev Nonce" : code);
}

void JoinHandler::AcceptRemotely(Request& request, uint32_t devAddr, const Json::Value& body,
                                 const Json::Value& response, uint64_t elapsedMs) {
  const std::string& eui = request.devEui.text();
  // The join server's text is not ours: a member of the wrong type reads as absent rather than
  // throwing away a granted join.
  using Lora::ConfigRead::Member;
  const Json::Value& object = Member(Member(response, "VSExtension"), "Object");
  std::string appEui = request.joinEui.text();
  uint64_t value = 0;
  const Json::Value& network = Member(Member(object, "ApplicationNetwork"), "EUI");
  if (network.isString() && ParseHexValue(network.asString(), 8, value)) {
    appEui = Lora::EUI::FromValue(value).text();
  }
  const Json::Value& endDevice = Member(object, "EndDevice");
  const std::string classText = endDevice["ClassType"].isString() ? endDevice["ClassType"].asString() : "";
  Json::Value record(Json::objectValue);
  const std::pair<const char*, const char*> fields[] = {
      {"SerialNumber", "serial_number"},     {"ProductID", "product_id"},
      {"Name", "name"},                      {"LoRaWANVersion", "lorawan_version"},
      {"HardwareVersion", "hardware_version"}, {"FirmwareVersion", "firmware_version"}};
  for (const auto& [from, to] : fields) {
    if (endDevice[from].isString()) record[to] = endDevice[from].asString();
  }
  Lora::CypherKey nwkSKey;
  Lora::CypherKey appSKey;
  if (!ParseKey(Member(Member(response, "NwkSKey"), "AESKey"), nwkSKey) ||
      !ParseKey(Member(Member(response, "AppSKey"), "AESKey"), appSKey)) {
    LOG_WARNING("Invalid response from Join Server [%s]", JsonText::Compact(response).c_str());
    return;
  }
  std::vector<uint8_t> accept(Lora::FrameBytes::kCapacity);
  const std::string phy = response["PHYPayload"].isString() ? response["PHYPayload"].asString() : "";
  const size_t acceptLength = std::min(phy.size() / 2, accept.size());
  if (acceptLength == 0 || phy.size() % 2 != 0 ||
      !HexToBytes(phy.substr(0, acceptLength * 2).c_str(), accept.data(), acceptLength, false)) {
    LOG_WARNING("Invalid response from Join Server [%s]", JsonText::Compact(response).c_str());
    return;
  }

  DeviceList::LockedDevice device = links_.devices->FindDevice(devAddr);
  if (!device) {
    auto fresh = links_.devices->MakeDevice(devAddr);
    fresh->devEui = request.devEui;
    fresh->joinEui = request.joinEui;
    fresh->appEui = Lora::EUI(appEui);
    fresh->nwkSKey = nwkSKey;
    fresh->appSKey = appSKey;
    links_.devices->AddDevice(std::move(fresh), false);
    device = links_.devices->FindDevice(devAddr);
    if (!device) return;
  }
  if (!record.empty() && links_.database != nullptr) {
    record["deveui"] = eui;
    links_.database->UpdateDevice(record);
  }
  device->devEui = request.devEui;
  TakeSession(*device, request, appEui, classText, nwkSKey, appSKey, true);

  Lora::FrameApplicationData queued(accept.data(), acceptLength);
  queued.join = 1;
  std::string result = "Success";
  if (!device->Enqueue(queued)) {
    LOG_WARNING("Failed to queue response");
    if (links_.messages) AppEvents(*links_.messages).Post(eui, "down_dropped", request.frame.rxpk);
    if (links_.statistics) links_.statistics->increment(Counter::tx_joins_dropped);
    result = "Dropped";
  } else {
    CountAccepted(request);
    scheduleJoinAccept(*device, request.frame, true);
  }
  recordJoinRequest(body, response, eui, request.joinEui.text(), request.devNonce, elapsedMs, result);
}
