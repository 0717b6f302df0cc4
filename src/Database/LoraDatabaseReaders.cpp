#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Database/Lora-Database.h"
#include "support/Logger.h"

namespace {

// Parse faults of rows are reported under the database's own source name.
constexpr const char* kSource = "src/Database/Lora-Database";

std::string Hex(uint64_t value, int digits) {
  char text[24];
  snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

// Gateway and device EUI texts back to numbers (16 digits, "-" or ":" allowed between them).
bool EuiValue(const std::string& text, uint64_t& value) {
  value = 0;
  int digits = 0;
  for (char c : text) {
    if (isxdigit(static_cast<unsigned char>(c))) {
      if (++digits > 16) return false;
      value = (value << 4) |
              static_cast<uint64_t>(isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                           : tolower(c) - 'a' + 10);
    } else if (c != '-' && c != ':') {
      return false;
    }
  }
  return digits == 16;
}

uint32_t U32(int64_t value) { return static_cast<uint32_t>(value); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Base

LoraDatabase::Client::Client(LoraDatabase& database) : SqlDb::Client(database.GetConnection()) {}

bool LoraDatabase::Client::Next() {
  if (!SqlDb::Client::Next()) return false;
  Parse();
  return true;
}

bool LoraDatabase::Client::Has(const char* column) const {
  const std::string* value = Find(column);
  return value != nullptr && !value->empty();
}

std::string LoraDatabase::Client::Text(const char* column) const {
  const std::string* value = Find(column);
  return value != nullptr ? *value : std::string();
}

int64_t LoraDatabase::Client::ParseInteger(const std::string& name, const std::string& value,
                                           int64_t fallback) const {
  if (value.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  const long long number = strtoll(value.c_str(), &end, 10);
  if (errno == 0 && end != nullptr && *end == '\0') return number;
  // Unsigned 64-bit values above the signed range, and reals stored in integer columns.
  errno = 0;
  const unsigned long long big = strtoull(value.c_str(), &end, 10);
  if (errno == 0 && end != nullptr && *end == '\0' && value[0] != '-') {
    return static_cast<int64_t>(big);
  }
  const double real = strtod(value.c_str(), &end);
  // A real beyond the 64-bit range (a command can store one) has no integer value to offer.
  if (end != nullptr && *end == '\0' && real >= -0x1p63 && real < 0x1p63) {
    return static_cast<int64_t>(real);
  }
  LOG_WARNING("%s: column '%s' is not a number: '%s'", kSource, name.c_str(), value.c_str());
  return fallback;
}

int64_t LoraDatabase::Client::Integer(const char* column, int64_t fallback) const {
  const std::string* value = Find(column);
  return value == nullptr ? fallback : ParseInteger(column, *value, fallback);
}

int64_t LoraDatabase::Client::IntegerAt(size_t index, int64_t fallback) const {
  if (index >= Columns()) return fallback;
  return ParseInteger(Name(index), Value(index), fallback);
}

double LoraDatabase::Client::Real(const char* column, double fallback) const {
  const std::string* value = Find(column);
  if (value == nullptr || value->empty()) return fallback;
  char* end = nullptr;
  const double number = strtod(value->c_str(), &end);
  if (end != nullptr && *end == '\0') return number;
  LOG_WARNING("%s: column '%s' is not a number: '%s'", kSource, column, value->c_str());
  return fallback;
}

// ---------------------------------------------------------------------------------------------
// Devices and sessions

void LoraDatabase::DeviceClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.deviceEui = Text("device_eui");
  r.serialNumber = Text("serial_number");
  r.productId = Text("product_id");
  r.hardwareVersion = Text("hardware_version");
  r.firmwareVersion = Text("firmware_version");
  r.name = Text("name");
  r.tags = Text("tags");
  r.deviceClass = Text("class");
  r.lorawanVersion = Text("lorawan_version");
  r.rejoinCount = Integer("rejoin_count");
  r.rx1Delay = Integer("rx1_delay");
  r.rx1DatarateOffset = Integer("rx1_datarate_offset");
  r.rx2DatarateIndex = Integer("rx2_datarate_index");
  r.rx2Frequency = Real("rx2_frequency");
  r.channelMask = Text("channel_mask");
  r.redundancy = Integer("redundancy");
  r.maxDutyCycle = Integer("max_duty_cycle");
  r.downlinkDwellTime = Integer("downlink_dwell_time");
  r.uplinkDwellTime = Integer("uplink_dwell_time");
  r.maxEirp = Integer("max_eirp");
  r.uplinkChannels = Text("uplink_channels");
  r.downlinkChannels = Text("downlink_channels");
  r.adrAckLimit = Integer("adr_ack_limit");
  r.adrAckDelay = Integer("adr_ack_delay");
  r.pingSlotPeriodicity = Integer("ping_slot_periodicity");
  r.pingSlotDatarate = Integer("ping_slot_datarate");
  r.pingSlotFrequency = Real("ping_slot_frequency");
  r.createdAt = Text("created_at");
  r.lastSeen = Text("last_seen");
  r.joinTime = Text("jointime");
  record_ = std::move(r);
}

Json::Value LoraDatabase::DeviceClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["deveui"] = deviceEui;
  j["serial_number"] = serialNumber;
  j["product_id"] = productId;
  j["hardware_version"] = hardwareVersion;
  j["firmware_version"] = firmwareVersion;
  j["lorawan_version"] = lorawanVersion;
  j["name"] = name;
  j["tags"] = tags;
  j["class"] = deviceClass;
  j["rejoin_count"] = static_cast<Json::Int64>(rejoinCount);
  j["rx1_delay"] = static_cast<Json::Int64>(rx1Delay);
  j["rx1_datarate_offset"] = static_cast<Json::Int64>(rx1DatarateOffset);
  j["rx2_datarate_index"] = static_cast<Json::Int64>(rx2DatarateIndex);
  j["rx2_frequency"] = rx2Frequency;
  j["adr_ack_limit"] = static_cast<Json::Int64>(adrAckLimit);
  j["adr_ack_delay"] = static_cast<Json::Int64>(adrAckDelay);
  j["ping_slot_periodicity"] = static_cast<Json::Int64>(pingSlotPeriodicity);
  j["ping_slot_datarate"] = static_cast<Json::Int64>(pingSlotDatarate);
  j["ping_slot_frequency"] = pingSlotFrequency;
  j["created_at"] = createdAt;
  j["last_seen"] = lastSeen;
  return j;
}

void LoraDatabase::SessionClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.deviceId = Integer("device_id", -1);
  r.devAddr = U32(Integer("dev_addr", kInvalidDevAddr));
  r.deviceEui = Text("device_eui");
  r.deviceClass = Text("class");
  r.joinEui = Text("join_eui");
  r.appEui = Text("app_eui");
  r.netId = U32(Integer("net_id"));
  r.appSEncKey = Text("app_senc_key");
  r.fNwkSIntKey = Text("fnwk_sint_key");
  r.sNwkSIntKey = Text("snwk_sint_key");
  r.nwkSEncKey = Text("nwk_senc_key");
  r.jsEncKey = Text("js_enc_key");
  r.jsIntKey = Text("js_int_key");
  r.upCounter = U32(Integer("up_counter"));
  r.nwkDownCounter = U32(Integer("nwk_down_counter"));
  r.appDownCounter = U32(Integer("app_down_counter"));
  r.txPower = Integer("tx_power");
  r.txDatarate = Integer("tx_datarate");
  r.rx1Delay = Integer("rx1_delay");
  r.rx1DatarateOffset = Integer("rx1_datarate_offset");
  r.rx2DatarateIndex = Integer("rx2_datarate_index");
  r.rx2Frequency = Real("rx2_frequency");
  r.channelMask = Text("channel_mask");
  r.redundancy = Integer("redundancy");
  r.maxDutyCycle = Integer("max_duty_cycle");
  r.downlinkDwellTime = Integer("downlink_dwell_time");
  r.uplinkDwellTime = Integer("uplink_dwell_time");
  r.maxEirp = Integer("max_eirp");
  r.uplinkChannels = Text("uplink_channels");
  r.downlinkChannels = Text("downlink_channels");
  r.adrAckLimit = Integer("adr_ack_limit");
  r.adrAckDelay = Integer("adr_ack_delay");
  r.pingSlotPeriodicity = Integer("ping_slot_periodicity");
  r.pingSlotDatarate = Integer("ping_slot_datarate");
  r.pingSlotFrequency = Real("ping_slot_frequency");
  r.statusBattery = Integer("status_battery");
  r.statusSnr = Integer("status_snr");
  r.remoteJoin = Integer("remote_join") != 0;
  r.createdAt = Text("created_at");
  r.lastSeen = Text("last_seen");
  record_ = std::move(r);
}

Json::Value LoraDatabase::SessionClient::Record::toJson() const {
  auto number = [](int64_t v) { return Json::Value(static_cast<Json::Int64>(v)); };
  Json::Value j(Json::objectValue);
  j["dev_addr"] = Hex(devAddr, 8);
  j["deveui"] = deviceEui;
  j["joineui"] = joinEui;
  j["appeui"] = appEui;
  j["net_id"] = Hex(netId, 6);
  j["app_senc_key"] = appSEncKey;
  j["fnwk_sint_key"] = fNwkSIntKey;
  j["snwk_sint_key"] = sNwkSIntKey;
  j["nwk_senc_key"] = nwkSEncKey;
  j["js_enc_key"] = jsEncKey;
  j["js_int_key"] = jsIntKey;
  j["up_counter"] = upCounter;
  j["nwk_down_counter"] = nwkDownCounter;
  j["app_down_counter"] = appDownCounter;
  j["tx_power"] = number(txPower);
  j["tx_datarate"] = number(txDatarate);
  j["rx1_delay"] = number(rx1Delay);
  j["rx1_datarate_offset"] = number(rx1DatarateOffset);
  j["rx2_datarate_index"] = number(rx2DatarateIndex);
  j["rx2_frequency"] = rx2Frequency;
  j["channel_mask"] = channelMask;
  j["redundancy"] = number(redundancy);
  j["max_duty_cycle"] = number(maxDutyCycle);
  j["downlink_dwell_time"] = number(downlinkDwellTime);
  j["uplink_dwell_time"] = number(uplinkDwellTime);
  j["max_eirp"] = number(maxEirp);
  j["downlink_channels"] = downlinkChannels;
  j["adr_ack_limit"] = number(adrAckLimit);
  j["adr_ack_delay"] = number(adrAckDelay);
  j["ping_slot_periodicity"] = number(pingSlotPeriodicity);
  j["ping_slot_datarate"] = number(pingSlotDatarate);
  j["ping_slot_frequency"] = pingSlotFrequency;
  j["status_battery"] = number(statusBattery);
  j["status_snr"] = number(statusSnr);
  j["remote_join"] = remoteJoin ? 1 : 0;
  j["created_at"] = createdAt;
  j["last_seen"] = lastSeen;
  return j;
}

void LoraDatabase::DeviceSessionClient::Parse() {
  Record r;
  r.devAddr = U32(Integer("dev_addr", kInvalidDevAddr));
  r.deviceEui = Text("device_eui");
  r.joinEui = Text("join_eui");
  r.appEui = Text("app_eui");
  r.netId = U32(Integer("net_id"));
  r.appSKey = Text("app_senc_key");
  r.nwkSKey = Text("fnwk_sint_key");
  r.nwkDownCounter = U32(Integer("nwk_down_counter"));
  r.upCounter = U32(Integer("up_counter"));
  r.createdAtText = Text("created_at");
  if (!r.createdAtText.empty() && !SqlDb::ParseTimestamp(r.createdAtText, r.createdAt)) {
    LOG_WARNING("%s: column 'created_at' is not a time: '%s'", kSource, r.createdAtText.c_str());
  }
  r.deviceClass = Text("class");
  r.lastSeenText = Text("last_seen");
  Timestamp lastSeen;
  if (!r.lastSeenText.empty()) {
    if (SqlDb::ParseTimestamp(r.lastSeenText, lastSeen)) {
      const Timestamp now = nowFixed_ ? fixedNow_ : std::chrono::system_clock::now();
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastSeen).count();
      r.msSinceLastSeen = ms > 0 ? static_cast<uint64_t>(ms) : 0;
    } else {
      LOG_WARNING("%s: column 'last_seen' is not a time: '%s'", kSource, r.lastSeenText.c_str());
    }
  }
  record_ = std::move(r);
}

void LoraDatabase::NodeClient::Parse() {
  Record r;
  // The older layout kept addresses either as a number or as hex text with separators.
  const std::string address = Text("address");
  bool decimal = !address.empty();
  for (char c : address) decimal &= isdigit(static_cast<unsigned char>(c)) != 0;
  uint64_t value = 0;
  if (decimal) {
    r.address = U32(Integer("address", kInvalidDevAddr));
  } else {
    std::string digits;
    for (char c : address) {
      if (c != '-' && c != ':' && c != '.') digits += c;
    }
    char* end = nullptr;
    value = strtoull(digits.c_str(), &end, 16);
    if (!digits.empty() && end != nullptr && *end == '\0' && digits.size() <= 8) {
      r.address = U32(static_cast<int64_t>(value));
    } else {
      LOG_WARNING("%s: column 'address' is not an address: '%s'", kSource, address.c_str());
    }
  }
  r.appEui = Text("appeui");
  r.devEui = Text("deveui");
  r.authenticationKey = Text("authenticationkey");
  r.encryptionKey = Text("encryptionkey");
  r.lastDownSeqNo = U32(Integer("lastdownmsgseqno"));
  r.lastUpSeqNo = U32(Integer("lastupseqno"));
  r.joinTime = Text("jointime");
  r.deviceClass = Text("class");
  r.appKey = Text("appkey");
  record_ = std::move(r);
}

// ---------------------------------------------------------------------------------------------
// Packets and the queue

void LoraDatabase::PacketClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.gatewayEui = Text("gweui");
  r.appEui = Text("appeui");
  r.deviceEui = Text("deveui");
  r.frequency = Real("frequency");
  r.datarate = Text("datarate");
  r.coderate = Text("coderate");
  r.devAddr = U32(Integer("dev_addr", kInvalidDevAddr));
  r.control = U32(Integer("control"));
  r.counter = U32(Integer("counter"));
  r.hasRssi = Has("rssi");
  r.rssi = Integer("rssi");
  r.dataSize = U32(Integer("data_size"));
  r.tmst = Text("tmst");
  r.time = Text("trx_time");
  r.majorVersion = U32(Integer("major_version"));
  r.messageType = U32(Integer("message_type"));
  r.hasPort = Has("port");
  r.port = U32(Integer("port"));
  r.mic = Text("mic");
  r.commands = Text("commands");
  r.data = Text("data");
  r.createdAt = Text("created_at");
  r.direction = Text("direction");
  record_ = std::move(r);
}

Json::Value LoraDatabase::PacketClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["gweui"] = gatewayEui;
  j["appeui"] = appEui;
  j["deveui"] = deviceEui;
  j["frequency"] = frequency;
  j["datarate"] = datarate;
  j["coderate"] = coderate;
  j["dev_addr"] = Hex(devAddr, 8);
  j["control"] = control;
  j["counter"] = counter;
  j["rssi"] = hasRssi ? Json::Value(static_cast<Json::Int64>(rssi)) : Json::Value();
  j["data_size"] = dataSize;
  j["tmst"] = tmst;
  j["trx_time"] = time;
  j["major_version"] = majorVersion;
  j["message_type"] = messageType;
  j["port"] = hasPort ? Json::Value(port) : Json::Value();
  j["mic"] = mic;
  j["commands"] = commands;
  j["data"] = data;
  j["created_at"] = createdAt;
  j["direction"] = direction;
  return j;
}

void LoraDatabase::JoinRequestClient::Parse() {
  Record r;
  r.gatewayEui = Text("gweui");
  r.joinEui = Text("joineui");
  r.deviceEui = Text("deveui");
  r.nonce = U32(Integer("nonce"));
  r.mic = Text("mic");
  r.tmst = Text("tmst");
  r.frequency = Real("frequency");
  r.datarate = Text("datarate");
  r.hasRssi = Has("rssi");
  r.rssi = Integer("rssi");
  r.time = Text("trx_time");
  r.direction = Text("direction");
  record_ = std::move(r);
}

Json::Value LoraDatabase::JoinRequestClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["gweui"] = gatewayEui;
  j["joineui"] = joinEui;
  j["deveui"] = deviceEui;
  j["nonce"] = nonce;
  j["mic"] = mic;
  j["tmst"] = tmst;
  j["frequency"] = frequency;
  j["datarate"] = datarate;
  j["rssi"] = hasRssi ? Json::Value(static_cast<Json::Int64>(rssi)) : Json::Value();
  j["trx_time"] = time;
  j["direction"] = direction;
  return j;
}

void LoraDatabase::UplinkPacketClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.gatewayEui = Text("gweui");
  r.appEui = Text("appeui");
  r.deviceEui = Text("deveui");
  r.protocolVersion = U32(Integer("protocol_version"));
  r.frequency = Real("frequency");
  r.channel = U32(Integer("channel"));
  r.rfChain = U32(Integer("rf_chain"));
  r.modulation = Text("modulation");
  r.datarate = Text("datarate");
  r.coderate = Text("coderate");
  r.devAddr = U32(Integer("dev_addr", kInvalidDevAddr));
  r.control = U32(Integer("control"));
  r.counter = U32(Integer("counter"));
  r.rssi = Integer("rssi");
  r.snr = Real("snr");
  r.tmst = Text("tmst");
  r.rxTime = Text("rx_time");
  r.dataSize = U32(Integer("data_size"));
  r.majorVersion = U32(Integer("major_version"));
  r.messageType = U32(Integer("message_type"));
  r.hasPort = Has("port");
  r.port = U32(Integer("port"));
  r.mic = Text("mic");
  r.commands = Text("commands");
  r.data = Text("data");
  r.createdAt = Text("created_at");
  record_ = std::move(r);
}

Json::Value LoraDatabase::UplinkPacketClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["gweui"] = gatewayEui;
  j["appeui"] = appEui;
  j["deveui"] = deviceEui;
  j["frequency"] = frequency;
  j["channel"] = channel;
  j["rf_chain"] = rfChain;
  j["modulation"] = modulation;
  j["datarate"] = datarate;
  j["coderate"] = coderate;
  j["dev_addr"] = Hex(devAddr, 8);
  j["control"] = control;
  j["counter"] = counter;
  j["rssi"] = static_cast<Json::Int64>(rssi);
  j["snr"] = snr;
  j["size"] = dataSize;
  j["tmst"] = tmst;
  j["rx_time"] = rxTime;
  j["data_size"] = dataSize;
  j["major_version"] = majorVersion;
  j["message_type"] = messageType;
  j["port"] = hasPort ? Json::Value(port) : Json::Value();
  j["mic"] = mic;
  j["commands"] = commands;
  j["data"] = data;
  j["created_at"] = createdAt;
  return j;
}

void LoraDatabase::DownlinkPacketClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.gatewayEui = Text("gweui");
  r.appEui = Text("appeui");
  r.deviceEui = Text("deveui");
  r.protocolVersion = U32(Integer("protocol_version"));
  r.frequency = Real("frequency");
  r.txPower = Integer("tx_power");
  r.rfChain = U32(Integer("rf_chain"));
  r.modulation = Text("modulation");
  r.datarate = Text("datarate");
  r.coderate = Text("coderate");
  r.devAddr = U32(Integer("dev_addr", kInvalidDevAddr));
  r.control = U32(Integer("control"));
  r.counter = U32(Integer("counter"));
  r.tmst = Text("tmst");
  r.txTime = Text("tx_time");
  r.dataSize = U32(Integer("data_size"));
  r.majorVersion = U32(Integer("major_version"));
  r.messageType = U32(Integer("message_type"));
  r.hasPort = Has("port");
  r.port = U32(Integer("port"));
  r.mic = Text("mic");
  r.commands = Text("commands");
  r.data = Text("data");
  r.rxWindow = U32(Integer("rx_window"));
  r.rxAckReceived = Integer("rx_ack_received") != 0;
  r.txAckReceived = Integer("tx_ack_received") != 0;
  r.createdAt = Text("created_at");
  record_ = std::move(r);
}

Json::Value LoraDatabase::DownlinkPacketClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["gweui"] = gatewayEui;
  j["appeui"] = appEui;
  j["deveui"] = deviceEui;
  j["frequency"] = frequency;
  j["rf_chain"] = rfChain;
  j["modulation"] = modulation;
  j["datarate"] = datarate;
  j["coderate"] = coderate;
  j["dev_addr"] = Hex(devAddr, 8);
  j["control"] = control;
  j["counter"] = counter;
  j["size"] = dataSize;
  j["tmst"] = tmst;
  j["tx_time"] = txTime;
  j["data_size"] = dataSize;
  j["major_version"] = majorVersion;
  j["message_type"] = messageType;
  j["port"] = hasPort ? Json::Value(port) : Json::Value();
  j["mic"] = mic;
  j["commands"] = commands;
  j["data"] = data;
  j["rx_window"] = rxWindow;
  j["rx_ack_received"] = rxAckReceived ? 1 : 0;
  j["tx_ack_received"] = txAckReceived ? 1 : 0;
  j["created_at"] = createdAt;
  return j;
}

void LoraDatabase::DownlinkQueueClient::Parse() {
  Record r;
  r.id = Integer("id", -1);
  r.deviceId = Integer("device_id", -1);
  r.deviceEui = Text("device_eui");
  r.dataSize = U32(Integer("data_size"));
  r.port = U32(Integer("port"));
  r.data = Text("data");
  r.priority = U32(Integer("priority"));
  r.ack = Integer("ack") != 0;
  r.rxWindow = U32(Integer("rx_window"));
  r.retryMax = U32(Integer("retry_max"));
  r.retryCount = U32(Integer("retry_count"));
  r.createdAt = Text("created_at");
  record_ = std::move(r);
}

Json::Value LoraDatabase::DownlinkQueueClient::Record::toJson() const {
  Json::Value j(Json::objectValue);
  j["id"] = static_cast<Json::Int64>(id);
  j["deveui"] = deviceEui;
  j["data_size"] = dataSize;
  j["port"] = port;
  j["data"] = data;
  j["priority"] = priority;
  j["rx_window"] = rxWindow;
  j["retry_max"] = retryMax;
  j["retry_count"] = retryCount;
  j["created_at"] = createdAt;
  return j;
}

// ---------------------------------------------------------------------------------------------
// Gateways, ranges, statistics

void LoraDatabase::GatewayClient::Parse() {
  Record r;
  r.gatewayEuiText = Text("gateway_eui");
  if (!EuiValue(r.gatewayEuiText, r.eui)) {
    LOG_WARNING("%s: column 'gateway_eui' is not an EUI: '%s'", kSource, r.gatewayEuiText.c_str());
    r.eui = 0;
  }
  r.protocolVersion = static_cast<uint8_t>(Integer("protocol_version"));
  r.ipAddress = Text("ip_address");
  const int64_t port = Integer("ip_port");
  if (port < 0 || port > 65535) {
    LOG_WARNING("%s: column 'ip_port' is not a port: '%s'", kSource, Text("ip_port").c_str());
  } else {
    r.ipPort = static_cast<uint16_t>(port);
  }
  r.lastSeen = Text("last_seen");
  r.hasPosition = Has("latitude") && Has("longitude") && Has("altitude");
  r.latitude = Real("latitude");
  r.longitude = Real("longitude");
  r.altitude = Real("altitude");
  r.createdAt = Text("created_at");
  r.statistics.downlinkCount = U32(Integer("downlink_count"));
  r.statistics.rxOk = U32(Integer("rx_ok"));
  r.statistics.txCount = U32(Integer("tx_count"));
  r.statistics.ackRate = Real("ack_rate");
  r.statistics.rxForwarded = U32(Integer("rx_forwarded"));
  r.statistics.rxCount = U32(Integer("rx_count"));
  record_ = std::move(r);
}

void LoraDatabase::RangeClient::Parse() {
  record_.start = U32(Integer("start"));
  record_.size = U32(Integer("size"));
}

void LoraDatabase::StatsClient::Parse() {
  Record r;
  for (size_t i = 0; i < r.values.size(); ++i) r.values[i] = U32(IntegerAt(i + 1));
  r.createdAt = Text("created_at");
  record_ = r;
}
