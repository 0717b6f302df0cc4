// Statistics, packet logs, the downlink queue, the recent lists and the gateways.
#include <cstdlib>

#include "Database/Lora-Database.h"
#include "app/AppDownlink.h"
#include "commands/CommandParser.h"
#include "commands/CommandSet.h"
#include "commands/CommandTables.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/Bytes.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "support/RecentList.h"

namespace {

Json::Value FieldFail(const std::string& field, const std::string& text) {
  Json::Value reply(Json::objectValue);
  reply["status"] = "fail";
  reply["data"][field] = text;
  return reply;
}

}  // namespace

void CommandSet::Stats(CommandParser& p) {
  if (!Need(links_.statistics, "statistics")) return;
  const std::string word = p.nextWord();
  if (word.empty()) return reply_.SendText(links_.statistics->toJsonText());
  if (word == "reset") {
    StatsReset();
    return reply_.SendOk();
  }
  p.syntaxError();
}

void CommandSet::StatsReset() {
  links_.statistics->reset();
  if (links_.gateways != nullptr) {
    for (const auto& gateway : links_.gateways->all()) gateway->resetCounters();
  }
  if (links_.devices == nullptr || links_.database == nullptr) return;
  // The list offers no walk of its own: the stored sessions name every device it can hold.
  LoraDatabase::SessionClient sessions(*links_.database);
  if (!links_.database->GetSessions(sessions)) DatabaseFailure("sessions");
  while (sessions.Next()) {
    DeviceList::LockedDevice device = links_.devices->FindDevice(sessions.record().devAddr);
    if (!device) continue;
    device->receivedCount = 0;
    device->missedCount = 0;
    device->rssi = SignalStatistics();
    device->snr = SignalStatistics();
  }
}

void CommandSet::Join(CommandParser&) { DrainRecent(links_.recentJoins); }

void CommandSet::DrainRecent(RecentList* list) {
  if (!Need(list, "recent list")) return;
  std::string text = "[";
  bool first = true;
  for (const std::string& entry : list->drain()) {
    if (!first) text += ",";
    text += entry;
    first = false;
  }
  text += "]";
  reply_.SendText(text);
}

void CommandSet::Packet(CommandParser& p) {
  const std::string word = p.nextWord();
  if (word.empty() || word == "list") return PacketList(p, "list");
  if (word == "json") {
    p.putBack(word);
    return PacketList(p, "list");
  }
  if (word == "join" || word == "joins") return PacketList(p, "join");
  if (word == "up") return PacketList(p, "up");
  if (word == "down") return PacketList(p, "down");
  if (word == "queue") return PacketQueue(p);
  if (word == "recent") return DrainRecent(links_.recentUplinks);
  p.syntaxError();
}

void CommandSet::PacketList(CommandParser& p, const std::string& which) {
  if (!Need(links_.database, "database")) return;
  std::string path;
  const Form form = ReadForm(p, false, path);
  LoraDatabase& db = *links_.database;
  Json::Value json(Json::arrayValue);
  std::string table;
  // Each listing reads its rows through its own reader; the loop is the same for all.
  auto collect = [&](auto& client, bool ok, const std::string& header, auto row) {
    if (!ok) DatabaseFailure("packets");
    table = header;
    while (client.Next()) {
      json.append(client.record().toJson());
      if (form == Form::kTable) table += row(client.record());
    }
  };
  if (which == "list") {
    LoraDatabase::PacketClient client(db);
    collect(client, db.GetPackets(client), CommandTables::PacketHeader(), CommandTables::PacketRow);
  } else if (which == "join") {
    LoraDatabase::JoinRequestClient client(db);
    collect(client, db.GetJoinPackets(client), CommandTables::JoinHeader(), CommandTables::JoinRow);
  } else if (which == "up") {
    LoraDatabase::UplinkPacketClient client(db);
    collect(client, db.GetUplinkPackets(client), CommandTables::UplinkHeader(),
            CommandTables::UplinkRow);
  } else {
    LoraDatabase::DownlinkPacketClient client(db);
    collect(client, db.GetDownlinkPackets(client), CommandTables::DownlinkHeader(),
            CommandTables::DownlinkRow);
  }
  SendListing(form, path, json, table);
}

void CommandSet::PacketQueue(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  if (p.hasWords()) {
    // "json" is the listing's modifier; the other words are sub-commands.
    const std::string word = p.nextWord();
    if (word == "add") return PacketQueueAdd(p);
    if (word == "delete") return PacketQueueDelete(p);
    if (word != "json" || p.hasWords()) p.syntaxError();
    LoraDatabase::DownlinkQueueClient client(*links_.database);
    if (!links_.database->GetDownlinkQueue(client)) DatabaseFailure("downlink queue");
    Json::Value json(Json::arrayValue);
    while (client.Next()) json.append(client.record().toJson());
    return reply_.SendJson(json);
  }
  LoraDatabase::DownlinkQueueClient client(*links_.database);
  if (!links_.database->GetDownlinkQueue(client)) DatabaseFailure("downlink queue");
  std::string table = CommandTables::QueueHeader();
  while (client.Next()) table += CommandTables::QueueRow(client.record());
  reply_.SendText(table);
}

void CommandSet::PacketQueueAdd(CommandParser& p) {
  const std::string text = p.restOfLine();
  LOG_TRACE("parse json: [%s]", text.c_str());
  Json::Value json;
  std::string errors;
  if (!JsonText::Parse(text, json, errors) || !json.isObject()) {
    return reply_.SendFail("Failed to parse json, object expected.");
  }
  if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::TRACE_LEVEL)) {
    LOG_TRACE("parsed json: [%s]", ReplyChannel::CompactJson(json).c_str());
  }
  for (const char* field : {"data", "deveui"}) {
    if (!json.isMember(field)) {
      return reply_.SendJson(FieldFail(field, std::string("Field '") + field + "' is required"));
    }
  }
  if (json.isMember("port") && !json["port"].isInt()) {
    return reply_.SendJson(FieldFail("port", "port must be an integer (0,223)"));
  }
  if (json.isMember("ack_retries") && !json["ack_retries"].isInt()) {
    return reply_.SendJson(FieldFail("ack_retries", "ack_retries must be an integer (0,8)"));
  }
  std::string eui;
  uint32_t devAddr = 0;
  if (!json["deveui"].isString() || !ParseEui(json["deveui"].asString(), eui) ||
      !links_.database->GetAddressFromEui(eui, devAddr) || links_.devices == nullptr ||
      !links_.devices->HasDevice(devAddr) || links_.downlinks == nullptr) {
    return reply_.SendFail("Failed to find device");
  }
  json["deveui"] = eui;
  if (!json["data"].isString()) return reply_.SendFail("Failed to parse base64 'data' field.");
  if (!json["data"].asString().empty()) {
    // Re-encoded from the bytes, so what is stored is the canonical form of what was given.
    std::string decoded;
    if (!AppDownlinkText::DecodeBase64(json["data"].asString(), decoded) || decoded.size() > 255) {
      return reply_.SendFail("Failed to parse base64 'data' field.");
    }
    std::string encoded(Base64EncodedCapacity(decoded.size()), '\0');
    const uint16_t length = Base64Encode(reinterpret_cast<const uint8_t*>(decoded.data()),
                                         decoded.size(), &encoded[0], true);
    encoded.resize(length);
    json["data"] = encoded;
    json["data_size"] = static_cast<Json::UInt>(decoded.size());
  } else {
    json["data_size"] = 0;
  }
  uint32_t id = 0;
  try {
    if (!links_.downlinks->queueDownlinkJson(nullptr, json, &id)) {
      return reply_.SendFail("Failed to queue downlink");
    }
  } catch (const DownlinkError& e) {
    return reply_.SendFail(e.what());
  }
  Json::Value reply(Json::objectValue);
  reply["status"] = "success";
  reply["id"] = id;
  reply_.SendJson(reply);
}

void CommandSet::PacketQueueDelete(CommandParser& p) {
  const std::string euiText = p.nextWord();
  std::string eui;
  if (!ParseEui(euiText, eui)) return reply_.SendFail("Failed to parse deveui");
  int64_t id = 0;
  const std::string idText = p.nextWord();
  if (!idText.empty()) {
    char* end = nullptr;
    const long long value = strtoll(idText.c_str(), &end, 10);
    if (end == idText.c_str() || *end != '\0' || value <= 0) {
      return reply_.SendFail("Failed to parse ID");
    }
    id = value;
  }
  if (!links_.database->DeleteQueuedDownlink(id, eui)) DatabaseFailure("downlink queue");
  // The device's own queue follows, so a deleted record can never still be sent.
  uint32_t devAddr = 0;
  if (links_.devices != nullptr && links_.database->GetAddressFromEui(eui, devAddr)) {
    if (DeviceList::LockedDevice device = links_.devices->FindDevice(devAddr)) {
      if (id == 0) {
        device->transmitController.ClearQueue();
      } else {
        device->transmitController.RemoveQueued(static_cast<uint32_t>(id));
      }
    }
  }
  reply_.SendSuccess();
}

void CommandSet::Gateway(CommandParser& p) {
  const std::string word = p.nextWord();
  if (word.empty() || word == "list") return GatewayList(p);
  if (word == "json") {
    p.putBack(word);
    return GatewayList(p);
  }
  if (word == "delete") return GatewayDelete(p);
  p.syntaxError();
}

void CommandSet::GatewayList(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  std::string path;
  const Form form = ReadForm(p, false, path);
  LoraDatabase::GatewayClient client(*links_.database);
  if (!links_.database->GetGatewayList(client)) DatabaseFailure("gateways");
  Json::Value json(Json::arrayValue);
  std::string table = CommandTables::GatewayHeader();
  while (client.Next()) {
    const auto& r = client.record();
    const auto& s = r.statistics;
    Json::Value g(Json::objectValue);
    g["gweui"] = r.gatewayEuiText;
    g["ip_addr"] = r.ipAddress;
    g["ip_port"] = r.ipPort;
    g["version"] = r.protocolVersion;
    g["last_seen"] = r.lastSeen;
    g["rx_ok"] = s.rxOk;
    g["rx_forwarded"] = s.rxForwarded;
    g["rx_count"] = s.rxCount;
    g["tx_count"] = s.txCount;
    g["downlink_count"] = s.downlinkCount;
    g["ack_rate"] = s.ackRate;
    // The live counters are the registry's; a gateway not seen since start-up has none.
    std::shared_ptr<::Gateway> live = links_.gateways ? links_.gateways->find(r.eui) : nullptr;
    using C = ::Gateway::Counter;
    const std::pair<const char*, C> counters[] = {
        {"downlinks", C::downlinks},
        {"downlinks_ack_requested", C::downlinks_ack_requested},
        {"uplinks", C::uplinks},
        {"uplinks_ok", C::uplinks_ok},
        {"uplinks_nok_mic", C::uplinks_nok_mic},
        {"uplinks_nok_unknown", C::uplinks_nok_unknown},
        {"mic_fails", C::mic_fails}};
    for (const auto& [name, counter] : counters) g[name] = live ? live->counter(counter) : 0;
    g["crc_errors"] = live ? live->crcErrors() : 0;
    for (size_t i = 0; i < ::Gateway::kChannels; ++i) {
      const std::string name = i < 8    ? "rx_ch_" + std::to_string(i)
                               : i == 8 ? "rx_ch_hbw"
                                        : "rx_ch_fsk";
      g[name] = live ? live->channelCount(i) : 0;
    }
    g["duty_cycle"] = Json::Value(Json::arrayValue);
    if (live) {
      MutexLock lock(live->dutyCycleMutex());
      for (size_t band = 0; band < ::Gateway::kBands; ++band) {
        g["duty_cycle"].append(static_cast<Json::UInt64>(live->available(band)));
      }
    }
    json.append(g);
    char row[256];
    snprintf(row, sizeof row, "%-24s %-16s %-8u %-8u %-20s %-8u %-8u %-8u %-8u %.2f\n",
             r.gatewayEuiText.c_str(), r.ipAddress.c_str(), r.ipPort, r.protocolVersion,
             r.lastSeen.c_str(), s.rxOk, s.rxForwarded, s.rxCount, s.txCount, s.ackRate);
    table += row;
  }
  SendListing(form, path, json, table);
}

void CommandSet::GatewayDelete(CommandParser& p) {
  const std::string text = p.nextWord();
  if (text.empty()) return reply_.SendText("usage: gateways delete <GW-EUI>\n");
  std::string eui;
  if (!ParseEui(text, eui)) return reply_.SendFail("Gateway " + text + " not found");
  const uint64_t value = Lora::EUI(eui).value();
  const bool known = links_.gateways != nullptr && links_.gateways->remove(value);
  if (!known) return reply_.SendFail("Gateway " + text + " not found");
  if (links_.database != nullptr && !links_.database->DeleteGateway(value)) {
    DatabaseFailure("delete gateway");
  }
  reply_.SendSuccess();
}
