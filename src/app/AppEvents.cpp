#include "app/AppEvents.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/AppMessageQueue.h"
#include "lora/Bytes.h"
#include "lora/Frame.h"
#include "support/StackJson.h"

namespace {

char ClassLetter(unsigned deviceClass) {
  return deviceClass == 1 ? 'B' : deviceClass == 2 ? 'C' : 'A';
}

// Members of the uplink JSON that the server writes itself; a gateway's own value is left out.
bool ReplacedMember(const char* name, bool fsk) {
  static const char* const kAlways[] = {"fcnt",   "cls",    "port", "mhdr", "opts",  "size", "data",
                                        "appeui", "deveui", "ack",  "adr",  "gweui", "seqn"};
  for (const char* member : kAlways) {
    if (std::strcmp(name, member) == 0) return true;
  }
  return fsk && (std::strcmp(name, "fdev") == 0 || std::strcmp(name, "datr") == 0 ||
                 std::strcmp(name, "lsnr") == 0);
}

std::string HexText(const uint8_t* bytes, size_t count) {
  return count == 0 || bytes == nullptr ? std::string() : BytesToHex(bytes, count, true, 0);
}

}  // namespace

void AppEvents::Class(const Lora::EUI& devEui, unsigned deviceClass) {
  char payload[16];
  std::snprintf(payload, sizeof payload, "{\"class\":\"%c\"}", ClassLetter(deviceClass));
  queue_.postAppMessage(devEui.text(), "class", payload);
}

void AppEvents::QueueFull(const Lora::EUI& devEui) {
  queue_.postAppMessage(devEui.text(), "queue_full", std::string());
}

void AppEvents::Cleared(const Lora::EUI& devEui) {
  queue_.postAppMessage(devEui.text(), "cleared", std::string());
}

void AppEvents::PacketRecv(const Lora::EUI& devEui, const std::string& rxpk) {
  queue_.postAppMessage(devEui.text(), "packet_recv", rxpk);
}

void AppEvents::PacketMissed(const Lora::EUI& devEui, uint32_t count) {
  char payload[32];
  std::snprintf(payload, sizeof payload, "{\"count\":%u}", count);
  queue_.postAppMessage(devEui.text(), "packet_missed", payload);
}

void AppEvents::PacketAck(const Lora::EUI& devEui, uint32_t seqn, uint32_t id) {
  char payload[64];
  std::snprintf(payload, sizeof payload, "{\"seqn\":%u, \"id\": %u}", seqn, id);
  queue_.postAppMessage(devEui.text(), "packet_ack", payload);
}

void AppEvents::PacketDrop(const Lora::EUI& devEui, int code) {
  const char* message =
      code == 101 ? "Downlink ACK could not be scheduled" : "Max retries exceeded for packet";
  char payload[96];
  std::snprintf(payload, sizeof payload, "{\"code\":%d,\"message\":\"%s\"}", code, message);
  queue_.postAppMessage(devEui.text(), "packet_drop", payload);
}

void AppEvents::MacRecv(const Lora::EUI& appEui, const Lora::EUI& devEui, uint64_t gatewayEui,
                        uint8_t cid, const uint8_t* payload, size_t length) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> out(buffer);
  out.StartObject();
  out.Key("id");
  out.Uint(cid);
  if (length > 0 && payload != nullptr) {
    const std::string data = HexText(payload, length);
    out.Key("data");
    out.String(data.c_str(), static_cast<rapidjson::SizeType>(data.size()));
  }
  out.Key("appeui");
  out.String(appEui.text().c_str(), static_cast<rapidjson::SizeType>(appEui.text().size()));
  out.Key("deveui");
  out.String(devEui.text().c_str(), static_cast<rapidjson::SizeType>(devEui.text().size()));
  const std::string gateway = UInt64ToHex(gatewayEui, 16, '-');
  out.Key("gweui");
  out.String(gateway.c_str(), static_cast<rapidjson::SizeType>(gateway.size()));
  out.EndObject();
  queue_.postAppMessage(devEui.text(), "mac_recv",
                        std::string(buffer.GetString(), buffer.GetSize()));
}

void AppEvents::DownQueued(const std::string& eui, const std::string& json) {
  queue_.postAppMessage(eui, "down_queued", json);
}

void AppEvents::DownDropped(const std::string& eui, const std::string& json) {
  queue_.postAppMessage(eui, "down_dropped", json);
}

void AppEvents::Post(const std::string& eui, const char* event, const std::string& payload) {
  queue_.postAppMessage(eui, event, payload);
}

std::string AppEvents::UtcTimeText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%06ldZ", now.tv_nsec / 1000);
  return text;
}

std::string AppEvents::UplinkJson(const UplinkRecord& uplink) {
  // One rxpk record: some fifteen members, a few hundred bytes of text.
  StackJson::Arena<2048, 512> arena;
  StackJson::Document& rxpk = arena.document();
  rxpk.Parse<rapidjson::kParseIterativeFlag>(uplink.rxpk.c_str(), uplink.rxpk.size());
  const bool haveRxpk = !rxpk.HasParseError() && rxpk.IsObject();

  // Room for the whole event at once, rather than growing through three reallocations.
  rapidjson::StringBuffer buffer(nullptr, 1024);
  rapidjson::Writer<rapidjson::StringBuffer> out(buffer);
  out.StartObject();
  bool haveTime = false;
  if (haveRxpk) {
    for (auto member = rxpk.MemberBegin(); member != rxpk.MemberEnd(); ++member) {
      const char* name = member->name.GetString();
      if (ReplacedMember(name, uplink.fsk)) continue;
      if (std::strcmp(name, "time") == 0) haveTime = true;
      out.Key(name, member->name.GetStringLength());
      member->value.Accept(out);
    }
  }
  if (uplink.fsk) {
    out.Key("fdev");
    out.String("25000");
    out.Key("datr");
    out.String("50000");
    out.Key("lsnr");
    out.Int(0);
  }
  out.Key("fcnt");
  out.Uint(uplink.fcnt);
  out.Key("cls");
  out.Int((uplink.fctrl & Lora::kFCtrlClassB) != 0 ? 1 : 0);
  out.Key("port");
  out.Int(uplink.port);
  out.Key("mhdr");
  const std::string header = HexText(uplink.header, uplink.header != nullptr ? 8 : 0);
  out.String(header.c_str(), static_cast<rapidjson::SizeType>(header.size()));
  out.Key("opts");
  const std::string opts = HexText(uplink.fopts, uplink.foptsLength);
  out.String(opts.c_str(), static_cast<rapidjson::SizeType>(opts.size()));
  out.Key("size");
  out.Uint64(uplink.payloadLength);
  out.Key("data");
  std::vector<char> data(Base64EncodedCapacity(uplink.payloadLength));
  const uint16_t dataLength =
      uplink.payloadLength == 0
          ? 0
          : Base64Encode(uplink.payload, uplink.payloadLength, data.data(), true);
  out.String(data.data(), dataLength);
  out.Key("appeui");
  out.String(uplink.appEui.c_str(), static_cast<rapidjson::SizeType>(uplink.appEui.size()));
  out.Key("deveui");
  out.String(uplink.devEui.c_str(), static_cast<rapidjson::SizeType>(uplink.devEui.size()));
  out.Key("ack");
  out.Bool((uplink.fctrl & Lora::kFCtrlAck) != 0);
  out.Key("adr");
  out.Bool((uplink.fctrl & Lora::kFCtrlAdr) != 0);
  out.Key("gweui");
  const std::string gateway = UInt64ToHex(uplink.gatewayEui, 16, '-');
  out.String(gateway.c_str(), static_cast<rapidjson::SizeType>(gateway.size()));
  out.Key("seqn");
  out.Int64(uplink.seqn);
  if (!haveTime) {
    const std::string now = uplink.nowTime.empty() ? UtcTimeText() : uplink.nowTime;
    out.Key("time");
    out.String(now.c_str(), static_cast<rapidjson::SizeType>(now.size()));
  }
  out.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string AppEvents::Up(const UplinkRecord& uplink) {
  std::string json = UplinkJson(uplink);
  const std::string perApplication = uplink.appEui + "/" + uplink.devEui;
  AppMessage messages[] = {
      {uplink.devEui, "up", json},
      {perApplication, "up", json},
      {perApplication + "/" + std::to_string(uplink.port), "up", json},
  };
  queue_.postAppMessages(messages, 3);
  return json;
}
