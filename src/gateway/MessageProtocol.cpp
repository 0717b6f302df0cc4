#include "gateway/MessageProtocol.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "Settings.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlan.h"
#include "lora/Frame.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/RecentList.h"
#include "support/StackJson.h"

namespace MessageProtocol {
namespace {

using Reject = JSON::Receive::MessageRejectException;

// Documents live in a small stack arena first; only unusually large datagrams reach the heap.
using Document = StackJson::Document;
using Value = StackJson::Value;

// "aa-bb-cc-dd-ee-ff-00-11" without touching the heap.
class EuiText {
 public:
  explicit EuiText(uint64_t eui) {
    static const char kHex[] = "0123456789abcdef";
    char* out = text_;
    for (int shift = 56; shift >= 0; shift -= 8) {
      uint8_t byte = static_cast<uint8_t>(eui >> shift);
      *out++ = kHex[byte >> 4];
      *out++ = kHex[byte & 0x0F];
      if (shift != 0) *out++ = '-';
    }
    *out = '\0';
  }
  const char* c_str() const { return text_; }

 private:
  char text_[24];
};

std::string CompactText(const Value& value) {
  // An rxpk record's text in one allocation, not grown from the default 256 bytes.
  rapidjson::StringBuffer buffer(nullptr, 512);
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

void SendAck(const Links& links, const uint8_t* request, Identifier identifier,
             const sockaddr_in& to) {
  const uint8_t ack[4] = {request[0], request[1], request[2], identifier};
  LOG_TRACE("TX-ACK|%s %d bytes %s", UdpSocket::PeerText(to).c_str(), 4,
            BytesToHex(ack, sizeof ack, true, 0).c_str());
  if (links.downstream != nullptr && !links.downstream->send(to, ack, sizeof ack)) {
    LOG_DEBUG("Acknowledgement not sent to %s: %s", UdpSocket::PeerText(to).c_str(),
              links.downstream->errorText().c_str());
  }
}

// Member access for one record; type faults reject the record like a missing member would, with
// the member's name so the operator can see which field the forwarder got wrong.
class Record {
 public:
  Record(const Value& object, const std::string& text) : object_(object), text_(text) {}

  const Value* find(const char* name) const {
    auto member = object_.FindMember(name);
    return member == object_.MemberEnd() ? nullptr : &member->value;
  }
  [[noreturn]] void missing(const char* name) const {
    throw Reject(text_, std::string("Missing '") + name + "' data member");
  }
  [[noreturn]] void invalid(const char* name) const {
    throw Reject(text_, std::string("Invalid '") + name + "' data member");
  }
  [[noreturn]] void reject(std::string message) const { throw Reject(text_, std::move(message)); }

  // False when absent; rejects a present member of another type.
  bool unsignedValue(const char* name, uint64_t& out) const {
    const Value* v = find(name);
    if (v == nullptr) return false;
    if (!v->IsUint64()) invalid(name);
    out = v->GetUint64();
    return true;
  }
  bool integerValue(const char* name, int64_t& out) const {
    const Value* v = find(name);
    if (v == nullptr) return false;
    if (!v->IsInt64()) invalid(name);
    out = v->GetInt64();
    return true;
  }
  bool numberValue(const char* name, double& out) const {
    const Value* v = find(name);
    if (v == nullptr) return false;
    if (!v->IsNumber()) invalid(name);
    out = v->GetDouble();
    return true;
  }
  const char* textValue(const char* name) const {
    const Value* v = find(name);
    if (v == nullptr) return nullptr;
    if (!v->IsString()) invalid(name);
    return v->GetString();
  }
  const std::string& text() const { return text_; }

 private:
  const Value& object_;
  const std::string& text_;
};

// "n/d", each part decimal or 0x-hex. False for anything else, including a zero part.
bool ParseCodingRate(const char* text, uint16_t& numerator, uint16_t& denominator) {
  auto part = [](const char*& p, uint16_t& out) {
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      base = 16;
      p += 2;
    }
    char* stop = nullptr;
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
    unsigned long value = std::strtoul(p, &stop, base);
    if (stop == p || value == 0 || value > 0xFFFF) return false;
    p = stop;
    out = static_cast<uint16_t>(value);
    return true;
  };
  const char* p = text;
  uint16_t n = 0, d = 0;
  if (!part(p, n) || *p++ != '/' || !part(p, d) || *p != '\0') return false;
  numerator = n;
  denominator = d;
  return true;
}

// "SF<n>BW<m>[K|M]": n at most 12, m in kHz unless a suffix scales it. False when unparsable.
bool ParseLoraDatarate(const char* text, uint32_t& bandwidthKHz, uint32_t& spreadingFactor) {
  if (std::strncmp(text, "SF", 2) != 0) return false;
  const char* p = text + 2;
  char* stop = nullptr;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  unsigned long sf = std::strtoul(p, &stop, 10);
  if (stop == p || sf == 0 || sf > 12) return false;
  p = stop;
  if (std::strncmp(p, "BW", 2) != 0) return false;
  p += 2;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  double bw = std::strtod(p, &stop);
  if (stop == p) return false;
  if (*stop == 'M') {
    bw *= 1000.0;
    ++stop;
  } else if (*stop == 'K') {
    ++stop;
  }
  if (*stop != '\0' || !(bw >= 1.0) || bw > 1e6) return false;
  bandwidthKHz = static_cast<uint32_t>(std::lround(bw));
  spreadingFactor = static_cast<uint32_t>(sf);
  return true;
}

void ReadDatarate(const Value& datr, Lora::ReceivedFrame& frame) {
  constexpr uint32_t kFskRate = 50000;
  constexpr uint32_t kFskSlot = 13;
  bool fsk = (datr.IsNumber() && datr.GetDouble() == kFskRate) ||
             (datr.IsString() && std::strcmp(datr.GetString(), "50000") == 0);
  if (fsk) {
    frame.bandwidthKHz = kFskRate;
    frame.spreadingFactor = kFskSlot;
    return;
  }
  if (!datr.IsString() ||
      !ParseLoraDatarate(datr.GetString(), frame.bandwidthKHz, frame.spreadingFactor)) {
    frame.bandwidthKHz = 125;
    frame.spreadingFactor = 12;
  }
}

struct PushContext {
  const Links& links;
  uint64_t eui;
  EuiText euiText;
  const sockaddr_in& sender;
  std::shared_ptr<Gateway> gateway;  // null when the gateway never sent PULL_DATA
  int64_t arrivalUs = 0;             // MonotonicUs() when the datagram reached the socket
};

constexpr const char* kRequiredRxpkMembers[] = {"tmst", "stat", "size", "rssi", "chan",
                                                "freq", "rfch", "datr", "modu", "data"};

void DecodeRxpk(PushContext& context, const Value& element) {
  const Links& links = context.links;
  std::string text = CompactText(element);
  if (links.recentUplinks != nullptr) links.recentUplinks->append(text);
  if (!element.IsObject()) throw Reject(text, "Invalid 'rxpk' data member");
  Record record(element, text);

  int64_t stat = 1;
  bool hasStat = record.integerValue("stat", stat);
  if (hasStat && stat != 1) {
    if (context.gateway) context.gateway->countCrcError();
    if (links.statistics != nullptr) {
      links.statistics->increment(NetworkStatistics::Counter::rx_crc_errors);
    }
    LOG_WARNING("GW:%s|FRAME-RX|CRC-ERROR", context.euiText.c_str());
    return;
  }

  Lora::ReceivedFrame frame;
  frame.receptionTimeMs = static_cast<uint64_t>(context.arrivalUs / 1000);
  frame.gatewayAddress = context.sender;
  frame.gatewayEui = context.eui;
  frame.crcGood = true;

  if (!links.skipFieldCheck) {
    for (const char* name : kRequiredRxpkMembers) {
      if (record.find(name) == nullptr) {
        LOG_ERROR("missing '%s'", name);
        record.missing(name);
      }
    }
  }

  // "time" stays in the record for the applications; internal timing uses the monotonic clock.
  (void)record.textValue("time");

  uint64_t tmst = 0;
  if (record.unsignedValue("tmst", tmst)) {
    frame.tmst = tmst;
    if (context.gateway) {
      context.gateway->recordCounter(tmst, static_cast<uint64_t>(context.arrivalUs));
    }
  }

  uint64_t size = 0;
  bool hasSize = record.unsignedValue("size", size);

  int64_t rssi = 0;
  if (record.integerValue("rssi", rssi)) {
    if (rssi < -32767 || rssi > 32767) record.reject("Invalid rssi value");
    frame.rssi = static_cast<int16_t>(rssi);
  }

  uint64_t chan = 0;
  if (record.unsignedValue("chan", chan)) {
    if (chan > 9) record.reject("Invalid chan value");
    frame.chan = static_cast<uint16_t>(chan);
  }

  double freqMHz = 0;
  if (record.numberValue("freq", freqMHz)) {
    // Rounded to the nearest hertz: the forwarder prints six decimals, and plain truncation of the
    // binary product turns 868.3 into 868299999.
    double hz = std::round(freqMHz * 1e6);
    frame.frequency = (hz >= 1.0 && hz <= 4294967295.0) ? static_cast<uint32_t>(hz) : 0;
    if (frame.frequency == 0) record.reject("Invalid freq value");
  }

  uint64_t rfch = 0;
  if (record.unsignedValue("rfch", rfch)) frame.rfChain = static_cast<uint16_t>(rfch);

  if (const char* codr = record.textValue("codr")) {
    if (!ParseCodingRate(codr, frame.codingRateNum, frame.codingRateDen)) {
      record.reject("Unable to read codingrate value");
    }
  }

  if (const Value* datr = record.find("datr")) ReadDatarate(*datr, frame);

  if (const char* modu = record.textValue("modu")) {
    if (modu[0] == 'L') {
      double lsnr = 0;
      if (record.numberValue("lsnr", lsnr)) {
        double centibels = std::trunc(lsnr * 10.0);
        if (centibels > -32768.0 && centibels <= 32767.0)
          frame.snr = static_cast<int16_t>(centibels);
      }
      if (frame.snr == -32768) record.reject("Invalid lsnr value");
    } else {
      frame.snr = 0;
      frame.fsk = 1;
    }
  }

  const char* data = record.textValue("data");
  uint16_t decoded = 0;
  if (data != nullptr) {
    // A longer payload is cut to the frame's 255 bytes, which are exactly the first 340 characters.
    constexpr size_t kFrameText = Lora::Frame::kCapacity / 3 * 4;
    char cut[kFrameText + 1];
    const char* text = data;
    if (std::strlen(data) > kFrameText) {
      std::memcpy(cut, data, kFrameText);
      cut[kFrameText] = '\0';
      text = cut;
    }
    decoded = Base64Decode(text, frame.data, Lora::Frame::kCapacity);
  }
  if (decoded == 0) record.reject(std::string("Data invalid :") + (data == nullptr ? "" : data));
  frame.length = decoded;
  if (hasSize && size != decoded) record.reject("Data size does not match bytes received");
  LOG_DEBUG("GW:%s|FRAME-RX|DATA: %s", context.euiText.c_str(),
            BytesToHex(frame.data, frame.size(), true, 0).c_str());
  LOG_DEBUG("GW:%s|FRAME-RX|FREQ: %3f MHz DR%lu RSSI: %d dB SNR: %d cB", context.euiText.c_str(),
            frame.frequency / 1e6,
            static_cast<unsigned long>(
                links.plan == nullptr
                    ? 0
                    : links.plan->sfBwToDatarate(frame.bandwidthKHz, frame.spreadingFactor)),
            frame.rssi, frame.snr);

  frame.rxpk = std::move(text);
  try {
    Lora::ClassifyFrame(frame, links.routes);
  } catch (const Lora::ReceivedFrame::MessageRejectException& e) {
    LOG_WARNING("GW:%s|FRAME-RX|REJECTED|REASON: %s VALUE: %d", context.euiText.c_str(),
                e.message.c_str(), static_cast<int>(e.detail));
  }
  LOG_DEBUG("GW:%s|FRAME-RX|JSON: %s", context.euiText.c_str(), frame.rxpk.c_str());
}

// Within one datagram, several demodulators may report the same transmission; keep the copy with
// the best SNR (the first on a tie) and null the others.
void SuppressDuplicates(Value& rxpk) {
  struct Seen {
    const char* key;
    size_t keyLength;
    Value::ValueIterator element;
    float lsnr;
  };
  constexpr size_t kKeyLength = 5;
  Seen seen[16];
  std::unique_ptr<Seen[]> overflow;  // only for forwarders that pack more than 16 packets
  Seen* table = seen;
  if (rxpk.Size() > 16) {
    overflow.reset(new Seen[rxpk.Size()]);
    table = overflow.get();
  }
  size_t count = 0;
  for (Value::ValueIterator it = rxpk.Begin(); it != rxpk.End(); ++it) {
    if (!it->IsObject()) continue;
    auto stat = it->FindMember("stat");
    auto data = it->FindMember("data");
    if (stat == it->MemberEnd() || !stat->value.IsInt() || stat->value.GetInt() != 1) continue;
    if (data == it->MemberEnd() || !data->value.IsString()) continue;
    size_t length = data->value.GetStringLength();
    const char* key = data->value.GetString() + (length > kKeyLength ? length - kKeyLength : 0);
    size_t keyLength = length > kKeyLength ? kKeyLength : length;
    auto lsnrMember = it->FindMember("lsnr");
    bool hasLsnr = lsnrMember != it->MemberEnd() && lsnrMember->value.IsNumber();
    float lsnr = hasLsnr ? static_cast<float>(lsnrMember->value.GetDouble()) : 0.0f;

    Seen* earlier = nullptr;
    for (size_t i = 0; i < count; ++i) {
      if (table[i].keyLength == keyLength && std::memcmp(table[i].key, key, keyLength) == 0) {
        earlier = &table[i];
        break;
      }
    }
    if (earlier == nullptr) {
      if (hasLsnr) table[count++] = Seen{key, keyLength, it, lsnr};
      continue;
    }
    if (hasLsnr && lsnr > earlier->lsnr) {
      earlier->element->SetNull();
      // The key text belongs to this element, which stays; the dropped one's text is gone.
      *earlier = Seen{key, keyLength, it, lsnr};
    } else {
      it->SetNull();
    }
  }
}

void DecodeStat(PushContext& context, const Value& stat) {
  std::string text = CompactText(stat);
  if (!stat.IsObject()) throw Reject(text, "Invalid 'stat' data member");
  Record record(stat, text);
  GatewayStatus status;
  const char* time = record.textValue("time");
  if (time == nullptr) record.missing("time");
  status.time = time;
  struct Counter {
    const char* name;
    uint32_t* field;
  };
  const Counter counters[] = {{"rxnb", &status.rxnb},
                              {"rxok", &status.rxok},
                              {"rxfw", &status.rxfw},
                              {"dwnb", &status.dwnb},
                              {"txnb", &status.txnb}};
  for (const Counter& c : counters) {
    uint64_t value = 0;
    if (!record.unsignedValue(c.name, value)) record.missing(c.name);
    if (value > UINT32_MAX) record.invalid(c.name);
    *c.field = static_cast<uint32_t>(value);
  }
  if (!record.numberValue("ackr", status.ackr)) record.missing("ackr");

  const Value* lati = record.find("lati");
  const Value* lon = record.find("long");
  const Value* alti = record.find("alti");
  if (lati != nullptr && lon != nullptr && alti != nullptr && lati->IsNumber() && lon->IsNumber() &&
      alti->IsUint64()) {
    status.hasLati = status.hasLong = status.hasAlti = true;
    status.lati = lati->GetDouble();
    status.lon = lon->GetDouble();
    status.alti = static_cast<double>(alti->GetUint64());
  }
  if (context.links.gateways != nullptr) context.links.gateways->applyStatus(context.eui, status);
}

void DecodePushData(PushContext& context, const char* text, size_t length) {
  StackJson::Arena<StackJson::kChunk, 1024> arena;
  Document& document = arena.document();
  // The parse is iterative, but the record texts written for the log re-serialise members
  // recursively on a small worker stack: refuse deep nesting before anything walks the value.
  // Forwarders pad with NUL bytes; any other text after the document is a fault.
  length = JsonText::TrimPadding(text, length);
  if (!JsonText::Acceptable(text, length)) {
    throw Reject(std::string(text, length), "Unable parse text as JSON");
  }
  document.Parse<rapidjson::kParseIterativeFlag>(text, length);
  if (document.HasParseError() || !document.IsObject()) {
    throw Reject(std::string(text, length), "Unable parse text as JSON");
  }

  auto rxpk = document.FindMember("rxpk");
  if (rxpk != document.MemberEnd()) {
    if (!rxpk->value.IsArray())
      throw Reject(CompactText(rxpk->value), "Invalid 'rxpk' data member");
    LOG_INFO("GW:%s|FRAME-RX|Parsing %d packets", context.euiText.c_str(),
             static_cast<int>(rxpk->value.Size()));
    if (context.links.gateways != nullptr)
      context.gateway = context.links.gateways->find(context.eui);
    SuppressDuplicates(rxpk->value);
    for (const Value& element : rxpk->value.GetArray()) {
      if (element.IsNull()) continue;
      if (context.gateway && element.IsObject()) {
        auto chan = element.FindMember("chan");
        if (chan != element.MemberEnd() && chan->value.IsUint()) {
          context.gateway->countChannel(chan->value.GetUint());
        }
      }
      DecodeRxpk(context, element);
    }
  }

  auto stat = document.FindMember("stat");
  if (stat != document.MemberEnd()) {
    LOG_TRACE("GW:%s|PUSH-DATA|%s", context.euiText.c_str(), std::string(text, length).c_str());
    DecodeStat(context, stat->value);
  }

  auto command = document.FindMember("command");
  if (command != document.MemberEnd()) {
    const Value& value = command->value;
    if (value.IsObject() && value.HasMember("node")) {
      throw Reject(CompactText(value), "Commands not supported by packet forwarder protocol");
    }
    throw Reject(CompactText(value), "Missing 'node' data member");
  }
}

}  // namespace

void HandleDatagram(const Links& links, const uint8_t* begin, const uint8_t* end,
                    const sockaddr_in& sender, int64_t arrivalUs) {
  size_t length = static_cast<size_t>(end - begin) % 65536;
  if (length < 4) throw SyntaxError("Packet too short");
  const uint8_t version = begin[0];
  if (version != 1 && version != 2) throw SyntaxError("Incorrect version");

  const uint8_t identifier = begin[3];
  switch (identifier) {
    case kPullData: {
      SendAck(links, begin, kPullAck, sender);
      if (length < kHeaderSize) throw SyntaxError("Negative length payload");
      uint64_t eui = BytesToUInt64(begin + 4, 8);
      LOG_TRACE("GW:%s|SEEN|PULL-DATA|%s", EuiText(eui).c_str(),
                UdpSocket::PeerText(sender).c_str());
      if (links.gateways != nullptr) links.gateways->seen(eui, version, &sender);
      return;
    }
    case kTxAck: {
      if (length < kHeaderSize) throw SyntaxError("Negative length payload");
      uint64_t eui = BytesToUInt64(begin + 4, 8);
      if (length == kHeaderSize) {
        LOG_INFO("GW:%s|TX-ACK|OK", EuiText(eui).c_str());
      } else {
        std::string text(reinterpret_cast<const char*>(begin + kHeaderSize), length - kHeaderSize);
        LOG_WARNING("GW:%s|TX-ACK|ERROR: %s", EuiText(eui).c_str(), text.c_str());
      }
      return;
    }
    case kPushData: {
      SendAck(links, begin, kPushAck, sender);
      if (length < kHeaderSize) throw SyntaxError("Negative length payload");
      PushContext context{links,
                          BytesToUInt64(begin + 4, 8),
                          EuiText(BytesToUInt64(begin + 4, 8)),
                          sender,
                          nullptr,
                          arrivalUs != 0 ? arrivalUs : MonotonicUs()};
      LOG_TRACE("GW:%s|SEEN|PUSH-DATA|%s", context.euiText.c_str(),
                UdpSocket::PeerText(sender).c_str());
      try {
        DecodePushData(context, reinterpret_cast<const char*>(begin + kHeaderSize),
                       length - kHeaderSize);
      } catch (const Reject& e) {
        LOG_WARNING("Message rejected - %s", e.message().c_str());
        if (e.value() != -1) LOG_WARNING(" %d", e.value());
        LOG_WARNING(" %s", e.json().c_str());
      }
      return;
    }
    default: {
      char text[40];
      snprintf(text, sizeof text, "Unexpected message type 0x%02x", identifier);
      throw SyntaxError(text);
    }
  }
}

bool SendPullResp(const Links& links, const sockaddr_in& to, uint64_t gatewayEui,
                  const std::string& json) {
  uint8_t version = 1;
  if (links.gateways != nullptr) {
    if (std::shared_ptr<Gateway> gateway = links.gateways->find(gatewayEui)) {
      if (gateway->protocolVersion() != 0) version = gateway->protocolVersion();
    }
  }
  std::string datagram;
  datagram.reserve(4 + json.size());
  datagram.push_back(static_cast<char>(version));
  datagram.push_back('\0');
  datagram.push_back('\0');
  datagram.push_back(static_cast<char>(kPullResp));
  datagram += json;
  LOG_TRACE("TX-MSG|%s %d bytes", UdpSocket::PeerText(to).c_str(),
            static_cast<int>(datagram.size()));
  bool sent = links.downstream != nullptr &&
              links.downstream->send(to, reinterpret_cast<const uint8_t*>(datagram.data()),
                                     datagram.size());
  if (!sent) {
    LOG_ERROR("Couldn't send out socket.");
    LOG_WARNING("Response packet dropped, socket send failed");
    if (links.statistics != nullptr)
      links.statistics->increment(NetworkStatistics::Counter::pkts_dropped);
    return false;
  }
  if (links.statistics != nullptr) links.statistics->increment(NetworkStatistics::Counter::tx_pkts);
  return true;
}

bool BuildTxpk(const TxpkRequest& request, const Lora::Frame& frame, const Lora::ChannelPlan& plan,
               const Settings& settings, std::string& out) {
  EuiText gateway(request.gatewayEui);
  if (request.gatewayEui == 0 || request.gatewayEui == UINT64_MAX) {
    LOG_WARNING("GW:%s|PACKET-TX|FormJsonString called with empty or invalid gateway address",
                gateway.c_str());
    return false;
  }
  if (request.reception == nullptr) {
    LOG_WARNING("GW:%s|PACKET-TX|Failed to find gateway", gateway.c_str());
    return false;
  }
  const UplinkReception& uplink = *request.reception;
  int8_t uplinkDatarate = plan.sfBwToDatarate(uplink.bandwidthKHz, uplink.spreadingFactor);
  RxWindowParams rx =
      plan.rxWindow(request.joinAccept, uplink.frequency, uplinkDatarate, request.window);

  uint64_t offset = (request.joinAccept ? settings.joinDelayUs : settings.rx1DelayUs) +
                    (request.window == 2 ? 1000000u : 0u);
  LOG_DEBUG("GW:%s|PACKET-TX|RX%d OFFSET: %llu", gateway.c_str(), request.window,
            static_cast<unsigned long long>(offset));
  uint64_t time = uplink.tmst + offset;
  bool immediate = false;
  if (!request.windowTiming) {
    if (frame.scheduledTimestamp != 0) {
      time = frame.scheduledTimestamp;
      LOG_DEBUG("GW:%s|PACKET-TX|Frame scheduled for TMST: %lu", gateway.c_str(),
                static_cast<unsigned long>(time));
    } else if (request.classC) {
      immediate = true;
    }
  }
  if (time == 0) immediate = true;

  const bool fsk = rx.spreadingFactor == 13 || rx.bandwidth == 0;
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  w.StartObject();
  w.Key("txpk");
  w.StartObject();
  if (immediate) {
    w.Key("imme");
    w.Bool(true);
  } else {
    // The concentrator counter is 32 bits wide; the sum wraps with it.
    w.Key("tmst");
    w.Uint64(time & 0xFFFFFFFFu);
  }
  w.Key("ncrc");
  w.Bool(!fsk);
  w.Key("modu");
  w.String(fsk ? "FSK" : "LORA");
  w.Key("rfch");
  w.Uint(0);
  w.Key("datr");
  if (fsk) {
    w.Uint(50000);
    w.Key("fdev");
    w.Uint(25000);
  } else {
    char datr[24];
    snprintf(datr, sizeof datr, "SF%uBW%u", rx.spreadingFactor, rx.bandwidth);
    w.String(datr);
  }
  w.Key("freq");
  w.Double(rx.frequency / 1e6);
  if (!fsk) {
    char codr[16] = "4/5";
    if (uplink.codingRateNum != 0 && uplink.codingRateDen != 0) {
      snprintf(codr, sizeof codr, "%u/%u", uplink.codingRateNum, uplink.codingRateDen);
    }
    w.Key("codr");
    w.String(codr);
  }
  w.Key("powe");
  w.Int(plan.maxRadioTxPower(rx.frequency));
  w.Key("ipol");
  w.Bool(true);
  w.Key("size");
  w.Uint(static_cast<unsigned>(frame.size()));
  w.Key("twnd");
  w.Uint(request.window);
  w.Key("appeui");
  w.String(request.appEui.text().c_str());
  w.Key("deveui");
  w.String(request.devEui.text().c_str());
  w.Key("gweui");
  w.String(gateway.c_str());
  char data[Base64EncodedCapacity(Lora::Frame::kCapacity)];
  uint16_t dataLength = Base64Encode(frame.data, frame.size(), data, true);
  w.Key("data");
  w.String(data, dataLength);
  w.EndObject();
  w.EndObject();
  out.assign(buffer.GetString(), buffer.GetSize());
  return true;
}

}  // namespace MessageProtocol
