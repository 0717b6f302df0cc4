#include "app/AppDownlink.h"

#include <cctype>
#include <cstring>
#include <exception>
#include <sstream>

#include "Database/Lora-Database.h"
#include "Exception.h"
#include "app/AppEvents.h"
#include "support/JsonText.h"
#include "support/Logger.h"

namespace {

// The reader's own limit, behind the depth measured beforehand.
constexpr int kJsonStackLimit = JsonText::kMaxDepth + 2;

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// A whole number within [0, highest]: an integral JSON number, or (when text is allowed) a text
// of decimal digits only.
bool ReadWholeNumber(const Json::Value& value, bool textAllowed, unsigned highest, unsigned& out) {
  if (value.isString()) {
    if (!textAllowed) return false;
    const std::string text = value.asString();
    if (text.empty() || text.size() > 9) return false;
    unsigned number = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > highest) return false;
    out = number;
    return true;
  }
  if (value.isBool() || !value.isInt64()) return false;
  const Json::Int64 number = value.asInt64();
  if (number < 0 || number > static_cast<Json::Int64>(highest)) return false;
  out = static_cast<unsigned>(number);
  return true;
}

}  // namespace

namespace AppDownlinkText {

bool ParseEui(const std::string& text, Lora::EUI& out) {
  uint64_t value = 0;
  unsigned digits = 0;
  bool lastWasSeparator = false;
  for (char c : text) {
    if (c == '-' || c == ':') {
      // Only between two bytes, and never two in a row.
      if (digits == 0 || digits % 2 != 0 || digits == 16 || lastWasSeparator) return false;
      lastWasSeparator = true;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c)) || digits == 16) return false;
    const int nibble = std::isdigit(static_cast<unsigned char>(c))
                           ? c - '0'
                           : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    value = (value << 4) | static_cast<uint64_t>(nibble);
    ++digits;
    lastWasSeparator = false;
  }
  if (digits != 16) return false;
  out.SetValue(value);
  return true;
}

bool DecodeBase64(const std::string& text, std::string& out) {
  out.clear();
  size_t length = text.size();
  size_t padding = 0;
  while (length > 0 && text[length - 1] == '=' && padding < 2) {
    --length;
    ++padding;
  }
  if (padding > 0 && text.size() % 4 != 0) return false;
  if (length % 4 == 1) return false;
  out.reserve(length / 4 * 3 + 2);
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < length; ++i) {
    const int v = Base64Value(static_cast<unsigned char>(text[i]));
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++held == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      held = 0;
    }
  }
  // A final group of 2 or 3 characters carries 4 or 2 bits that are not part of any byte; an
  // encoder writes them as zero, so anything else is a corrupted text.
  if (held == 2) {
    if ((bits & 0x0F) != 0) return false;
    out.push_back(static_cast<char>(bits >> 4));
  } else if (held == 3) {
    if ((bits & 0x03) != 0) return false;
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2));
  }
  if (padding > 0 && static_cast<size_t>(held) + padding != 4) return false;
  return true;
}

bool ParseJson(const std::string& text, Json::Value& out) {
  // Depth and NUL bytes measured first, as for every outside document; then a reader that also
  // refuses a member given twice, since which "data" would count is anyone's guess.
  const size_t length = JsonText::TrimPadding(text.data(), text.size());
  if (!JsonText::Acceptable(text.data(), length)) return false;
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  // A lone value is valid JSON: it is refused as having no "data", not as unreadable.
  builder["strictRoot"] = false;
  builder["stackLimit"] = kJsonStackLimit;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + length, &out, &errors);
  } catch (const std::exception&) {
    // The reader throws when the nesting passes the stack limit.
    return false;
  }
}

}  // namespace AppDownlinkText

void AppDownlink::HandleInbound(const char* exceptionPrefix, const std::string& topic,
                                const std::string& payload) {
  try {
    handleAppTopic(topic, payload);
  } catch (const DownlinkError& refusal) {
    LOG_ERROR("%s", refusal.what());
  } catch (const Exception& failure) {
    LOG_ERROR("%s%s", exceptionPrefix, failure.describe().c_str());
  } catch (const std::exception& failure) {
    LOG_ERROR("%s%s", exceptionPrefix, failure.what());
  } catch (...) {
    LOG_ERROR("%sunexpected failure", exceptionPrefix);
  }
}

void AppDownlink::handleAppTopic(const std::string& topic, const std::string& payload) {
  const size_t first = topic.find('/');
  const size_t second = first == std::string::npos ? std::string::npos : topic.find('/', first + 1);
  if (second == std::string::npos) return;
  std::string command = topic.substr(second + 1);
  for (char& c : command) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (command != "down" && command != "clear") return;

  const std::string euiText = topic.substr(first + 1, second - first - 1);
  if (euiText.size() < 16) {
    LOG_ERROR("Device EUI not found in message topic");
    return;
  }
  Lora::EUI eui;
  if (!AppDownlinkText::ParseEui(euiText, eui)) {
    LOG_ERROR("Device EUI could not be parsed");
    return;
  }
  if (command == "down") {
    handleDown(eui, payload);
  } else {
    handleClear(eui);
  }
}

void AppDownlink::handleDown(const Lora::EUI& eui, const std::string& payload) {
  if (payload.size() > kMaxMessage) {
    LOG_ERROR("Dropping downstream message - message of %zu bytes is too long", payload.size());
    links_.events->DownDropped(eui.text(), std::string());
    return;
  }
  LOG_DEBUG("ED:%s|DOWNLINK|Queue %s", eui.text().c_str(), payload.c_str());
  Json::Value json;
  if (!AppDownlinkText::ParseJson(payload, json)) {
    LOG_ERROR("Dropping downstream message - Unable parse text as JSON");
    links_.events->DownDropped(eui.text(), payload);
    return;
  }
  if (!json.isObject() || !json.isMember("data")) {
    LOG_ERROR("Dropping downstream message - 'data' member not found in json");
    links_.events->DownDropped(eui.text(), payload);
    return;
  }
  if (!json.isMember("deveui")) json["deveui"] = eui.compactText();
  queueDownlinkJson(&eui, json);
}

void AppDownlink::handleClear(const Lora::EUI& eui) {
  const std::unique_ptr<DownlinkTarget> device = links_.devices->Lock(eui);
  if (!device) {
    LOG_WARNING("Device '%s' is not available", eui.text().c_str());
    return;
  }
  LOG_TRACE("ED:%s|QUEUE-CLEAR|Downstream queue cleared", eui.text().c_str());
  device->ClearQueue();
  links_.database->DeleteQueuedDownlink(0, device->eui().text());
  links_.events->Cleared(device->eui());
}

void AppDownlink::dropped(const std::string& eui, const Json::Value& json) {
  links_.events->DownDropped(eui, JsonText::Compact(json));
}

DownlinkRequest AppDownlink::ReadDownlink(Json::Value& json) {
  if (!json.isObject() || !json["data"].isString()) {
    throw DownlinkError("Dropping downstream message - 'data' member not found in json");
  }
  std::string decoded;
  if (!AppDownlinkText::DecodeBase64(json["data"].asString(), decoded)) {
    throw DownlinkError("Dropping downstream message - Unable parse 'data' as base64");
  }
  if (decoded.size() > kMaxPayload) {
    std::ostringstream text;
    text << "Dropping downstream message - Cannot queue packet of " << decoded.size()
         << " bytes, too long";
    throw DownlinkError(text.str());
  }

  DownlinkRequest request;
  request.decodedSize = decoded.size();
  json["data_size"] = static_cast<Json::UInt>(decoded.size());
  Lora::FrameApplicationData& record = request.record;
  record =
      Lora::FrameApplicationData(reinterpret_cast<const uint8_t*>(decoded.data()), decoded.size());

  unsigned port = 1;
  if (json.isMember("port")) {
    if (!ReadWholeNumber(json["port"], true, kMaxPort, port)) {
      throw DownlinkError(
          "Dropping downstream message - 'port' must be a whole number from 0 to 223");
    }
    json["port"] = port;
  }
  record.port = static_cast<uint8_t>(port);

  if (json["id"].isUInt()) record.id = json["id"].asUInt();
  record.ack = json["ack"].isBool() && json["ack"].asBool() ? 1 : 0;

  unsigned attempts = Lora::FrameApplicationData::kDefaultAttempts;
  if (json.isMember("ack_retries") &&
      !ReadWholeNumber(json["ack_retries"], false, kMaxAttempts, attempts)) {
    throw DownlinkError(
        "Dropping downstream message - 'ack_retries' must be a whole number from 0 to 8");
  }
  record.attempts = static_cast<uint8_t>(attempts);

  unsigned window = 0;
  if (!ReadWholeNumber(json["rx_wnd"], false, 2, window)) window = 0;
  record.rxWindow = static_cast<uint8_t>(window);
  return request;
}

bool AppDownlink::queueDownlinkJson(const Lora::EUI* devEui, Json::Value& json,
                                    uint32_t* recordId) {
  Lora::EUI eui;
  if (devEui != nullptr) {
    eui = *devEui;
  } else if (!json.isObject() || !json["deveui"].isString() ||
             !AppDownlinkText::ParseEui(json["deveui"].asString(), eui)) {
    throw DownlinkError("Failed to find device");
  }
  const std::string& topicEui = eui.text();

  DownlinkRequest request;
  try {
    request = ReadDownlink(json);
  } catch (const DownlinkError&) {
    dropped(topicEui, json);
    throw;
  }
  Lora::FrameApplicationData& record = request.record;
  if (record.port == 0 && ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::DEBUG_LEVEL)) {
    LOG_DEBUG("ED:%s|QUEUE-TX|MAC Command: %s", topicEui.c_str(), JsonText::Compact(json).c_str());
  }

  const std::unique_ptr<DownlinkTarget> device = links_.devices->Lock(eui);
  if (!device) {
    LOG_WARNING("Device '%s' is not available", topicEui.c_str());
    dropped(topicEui, json);
    // A topic names its device; only a caller that gave none needs to be told why.
    if (devEui != nullptr) return false;
    throw DownlinkError("Failed to find device");
  }
  const std::string& deviceEui = device->eui().text();
  if (device->QueuedCount() >= links_.deviceQueueSize) {
    dropped(deviceEui, json);
    links_.events->QueueFull(device->eui());
    throw DownlinkError("Device queue is full");
  }

  // The row belongs to the device that was locked, whatever "deveui" the caller wrote.
  Lora::EUI named;
  if (!json["deveui"].isString() || !AppDownlinkText::ParseEui(json["deveui"].asString(), named) ||
      named != device->eui()) {
    json["deveui"] = device->eui().compactText();
  }
  const int64_t id = links_.database->QueueDownlink(json);
  if (id < 0) {
    LOG_ERROR("ED:%s|QUEUE|Failed to create downlink record", deviceEui.c_str());
    dropped(deviceEui, json);
    return false;
  }
  LOG_DEBUG("ED:%s|QUEUE|Created downlink record ID:%lld", deviceEui.c_str(),
            static_cast<long long>(id));
  record.id = static_cast<uint32_t>(id);
  json["id"] = static_cast<Json::UInt>(record.id);
  if (!device->Enqueue(record)) {
    links_.database->DeleteQueuedDownlink(id, deviceEui);
    LOG_DEBUG("ED:%s|QUEUE-FULL|Dropping downstream message", deviceEui.c_str());
    dropped(deviceEui, json);
    return false;
  }
  links_.events->DownQueued(deviceEui, JsonText::Compact(json));
  if (recordId != nullptr) *recordId = record.id;
  return true;
}
