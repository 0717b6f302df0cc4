// The end-device and session commands.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "app/OrbaReporter.h"
#include "commands/CommandParser.h"
#include "commands/CommandSet.h"
#include "commands/CommandTables.h"
#include "devices/AddressRange.h"
#include "devices/DeviceList.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "lora/Eui.h"
#include "support/JsonText.h"
#include "support/Text.h"

namespace {

// The end-device columns a command may write; anything else named by an operator is refused.
constexpr const char* kDeviceSettings[] = {"class",
                                           "rejoin_count",
                                           "rx1_delay",
                                           "rx1_datarate_offset",
                                           "rx2_datarate_index",
                                           "rx2_frequency",
                                           "adr_ack_limit",
                                           "adr_ack_delay",
                                           "ping_slot_periodicity",
                                           "ping_slot_datarate",
                                           "ping_slot_frequency",
                                           "name",
                                           "serial_number",
                                           "product_id",
                                           "hardware_version",
                                           "firmware_version",
                                           "lorawan_version",
                                           "tags"};

// The session members "device update" takes, both spellings of the EUIs.
constexpr const char* kSessionSettings[] = {"join_eui",
                                            "joineui",
                                            "app_eui",
                                            "appeui",
                                            "dev_addr",
                                            "net_id",
                                            "app_senc_key",
                                            "fnwk_sint_key",
                                            "snwk_sint_key",
                                            "nwk_senc_key",
                                            "js_enc_key",
                                            "js_int_key",
                                            "up_counter",
                                            "nwk_down_counter",
                                            "app_down_counter",
                                            "tx_power",
                                            "tx_datarate",
                                            "rx1_delay",
                                            "rx1_datarate_offset",
                                            "rx2_datarate_index",
                                            "rx2_frequency",
                                            "channel_mask",
                                            "redundancy",
                                            "max_duty_cycle",
                                            "downlink_dwell_time",
                                            "uplink_dwell_time",
                                            "max_eirp",
                                            "uplink_channels",
                                            "downlink_channels",
                                            "adr_ack_limit",
                                            "adr_ack_delay",
                                            "ping_slot_periodicity",
                                            "ping_slot_datarate",
                                            "ping_slot_frequency",
                                            "status_battery",
                                            "status_snr",
                                            "remote_join"};

bool ParseObject(const std::string& text, Json::Value& out) {
  std::string errors;
  return JsonText::Parse(text, out, errors) && out.isObject();
}

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  return strtoull(text.c_str(), nullptr, 10) <= 0xFFFFFFFFull;
}

// 32 hex digits that are not all zero: a usable AES key.
bool ParseKey(const std::string& text, uint8_t (&key)[16]) {
  if (!CommandSet::ParseHexBytes(text, 16)) return false;
  bool zero = true;
  for (size_t i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(strtoul(text.substr(2 * i, 2).c_str(), nullptr, 16));
    zero = zero && key[i] == 0;
  }
  return !zero;
}

uint32_t ClassFromLetter(const std::string& letter) {
  if (letter == "C") return Device::kClassC;
  if (letter == "B") return Device::kClassB;
  return Device::kClassA;
}

std::string Usage(const char* text) { return std::string("usage: ") + text + "\n"; }

}  // namespace

bool CommandSet::ParseHexBytes(const std::string& text, size_t bytes) {
  if (text.size() != 2 * bytes) return false;
  for (char c : text) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool CommandSet::ParseEui(const std::string& text, std::string& canonical) {
  std::string digits;
  if (text.size() == 16) {
    digits = text;
  } else if (text.size() == 23) {
    for (size_t i = 0; i < 23; ++i) {
      if (i % 3 == 2) {
        if (text[i] != '-') return false;
      } else {
        digits += text[i];
      }
    }
  } else {
    return false;
  }
  if (!ParseHexBytes(digits, 8)) return false;
  canonical.clear();
  for (size_t i = 0; i < 16; i += 2) {
    if (i > 0) canonical += '-';
    canonical += static_cast<char>(tolower(static_cast<unsigned char>(digits[i])));
    canonical += static_cast<char>(tolower(static_cast<unsigned char>(digits[i + 1])));
  }
  return true;
}

void CommandSet::Device(CommandParser& p) {
  const std::string word = p.nextWord();
  if (word.empty() || word == "list") return DeviceList(p);
  if (word == "json") {
    p.putBack(word);
    return DeviceList(p);
  }
  if (word == "add") return DeviceAdd(p);
  if (word == "stats") return DeviceStats(p);
  if (word == "update") return DeviceUpdate(p);
  if (word == "delete") return DeviceDelete(p);
  if (word == "config") return DeviceConfig(p);
  if (word == "reset") return DeviceReset(p);
  if (word == "keygen") return DeviceKeygen(p);
  p.syntaxError();
}

void CommandSet::Session(CommandParser& p) {
  const std::string word = p.nextWord();
  if (word.empty() || word == "list") return SessionList(p);
  if (word == "json") {
    p.putBack(word);
    return SessionList(p);
  }
  if (word == "add") return SessionAdd(p);
  if (word == "delete") return SessionDelete(p);
  if (word == "reset") return DeviceReset(p);
  p.syntaxError();
}

void CommandSet::DeviceAdd(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  Json::Value device;
  if (!ParseObject(p.restOfLine(), device)) {
    return reply_.SendFail("Invalid json device configuration, object expected");
  }
  if (!device.isMember("deveui")) return reply_.SendFail("Missing required field 'deveui'");
  std::string eui;
  if (!device["deveui"].isString() || !ParseEui(device["deveui"].asString(), eui)) {
    return reply_.SendFail("Failed to parse 'deveui'");
  }
  if (links_.database->GetDeviceId(eui) >= 0) {
    return reply_.SendFail(
        "Failed to create device, device with provided device EUI already exists");
  }
  device["deveui"] = eui;
  if (links_.database->AddDevice(device) < 0) return reply_.SendFail("Failed to create device");
  reply_.SendSuccess();
}

void CommandSet::DeviceStats(CommandParser& p) {
  if (!Need(links_.database, "database") || !Need(links_.devices, "devices")) return;
  std::string path;
  const Form form = ReadForm(p, false, path);
  LoraDatabase::SessionClient sessions(*links_.database);
  if (!links_.database->GetSessions(sessions)) DatabaseFailure("sessions");
  Json::Value json(Json::arrayValue);
  std::string table = CommandTables::DeviceStatsHeader();
  while (sessions.Next()) {
    const auto& row = sessions.record();
    DeviceList::LockedDevice device = links_.devices->FindDevice(row.devAddr);
    if (!device) continue;
    CommandTables::DeviceStats stats;
    stats.devAddr = row.devAddr;
    stats.devEui = device->devEui.text();
    stats.deviceClass = device->ClassLetter();
    stats.joined = row.createdAt;
    stats.seqNum = device->upCounter;
    stats.up = device->receivedCount;
    stats.dropped = device->missedCount;
    stats.rssi = device->rssi;
    stats.snr = device->snr;
    json.append(stats.toJson());
    table += stats.row();
  }
  SendListing(form, path, json, table);
}

void CommandSet::DeviceUpdate(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  if (!p.hasWords()) p.syntaxError();
  const std::string first = p.nextWord();
  if (!first.empty() && first[0] == '{') {
    std::string rest = p.restOfLine();
    return DeviceUpdateJson(rest.empty() ? first : first + " " + rest);
  }
  const std::string field = p.nextWord();
  const std::string value = p.restOfLine();
  if (field.empty()) p.syntaxError();
  DeviceUpdateField(first, field, value);
}

void CommandSet::DeviceUpdateField(const std::string& euiText, const std::string& field,
                                   const std::string& rawValue) {
  const std::string notFound = "Device '" + euiText + "' not found";
  std::string eui;
  uint32_t devAddr = 0;
  if (!ParseEui(euiText, eui) || !links_.database->GetAddressFromEui(eui, devAddr) ||
      links_.devices == nullptr) {
    return reply_.SendFail(notFound);
  }
  DeviceList::LockedDevice device = links_.devices->FindDevice(devAddr);
  if (!device) device = links_.devices->RestoreDevice(devAddr);
  if (!device) return reply_.SendFail(notFound);

  const std::string value = ZEV::Text::trim(rawValue);
  const std::string invalid = "Invalid device setting '" + field + "' value '" + value + "'";
  if (field == "class") {
    device->SetClass(ClassFromLetter(ZEV::Text::toUpperCase(value)));
  } else if (field == "nskey" || field == "dskey") {
    uint8_t key[16];
    if (!ParseKey(value, key)) return reply_.SendFail(invalid);
    if (field == "nskey") {
      device->nwkSKey = key;
    } else {
      device->appSKey = key;
    }
    device->SaveSessionKeys();
  } else if (field == "ulc" || field == "dlc") {
    if (!AllDigits(value)) return reply_.SendFail(invalid);
    const uint32_t counter = static_cast<uint32_t>(strtoull(value.c_str(), nullptr, 10));
    if (field == "ulc") {
      device->SetUpCounter(counter);
    } else {
      device->SetDownCounter(counter);
    }
  } else {
    bool known = false;
    for (const char* column : kDeviceSettings) known = known || field == column;
    if (!known) return reply_.SendFail(invalid);
    if (!links_.database->UpdateDeviceField(devAddr, field, value)) {
      DatabaseFailure("end-device field");
    }
  }
  device.reset();
  ReportDevice(eui);
  reply_.SendSuccess();
}

void CommandSet::DeviceUpdateJson(const std::string& text) {
  Json::Value json;
  if (!ParseObject(text, json)) return reply_.SendFail("Unable to parse json, object expected");
  if (!json.isMember("deveui")) return reply_.SendFail("'deveui' required to update device");
  std::string eui;
  if (!json["deveui"].isString() || !ParseEui(json["deveui"].asString(), eui)) {
    return reply_.SendFail("Failed to parse 'deveui'");
  }
  if (links_.database->GetDeviceId(eui) < 0) return reply_.SendFail("device not found");

  Json::Value device(Json::objectValue);
  Json::Value session(Json::objectValue);
  for (const char* column : kDeviceSettings) {
    if (json.isMember(column)) device[column] = json[column];
  }
  for (const char* member : kSessionSettings) {
    if (json.isMember(member)) session[member] = json[member];
  }
  if (device.empty() && session.empty()) {
    return reply_.SendFail(
        "No device setting provided, options are 'class' or device configuration as json");
  }
  uint32_t devAddr = 0;
  const bool hasSession = links_.database->GetAddressFromEui(eui, devAddr);
  if (!device.empty()) {
    if (device.isMember("class")) {
      if (!device["class"].isString()) return reply_.SendFail("failed to update device");
      device["class"] = ZEV::Text::toUpperCase(ZEV::Text::trim(device["class"].asString()));
    }
    device["deveui"] = eui;
    if (links_.database->UpdateDevice(device) != LoraDatabase::UpdateResult::kUpdated) {
      return reply_.SendFail("failed to update device");
    }
  }
  if (!session.empty()) {
    if (!hasSession) return reply_.SendFail("device not found");
    session["deveui"] = eui;
    switch (links_.database->UpdateSession(session)) {
      case LoraDatabase::UpdateResult::kUpdated:
        break;
      case LoraDatabase::UpdateResult::kNothingToUpdate:
        return reply_.SendFail("No session settings provided as json");
      case LoraDatabase::UpdateResult::kNotFound:
        return reply_.SendFail("device not found");
      case LoraDatabase::UpdateResult::kFailed:
        return reply_.SendFail("failed to update session");
    }
  }
  // The device in memory follows what was stored: the session row is rebuilt into it.
  if (hasSession && links_.devices != nullptr) {
    const bool newAddress = session.isMember("dev_addr");
    {
      DeviceList::LockedDevice held = links_.devices->FindDevice(devAddr);
      if (held && device.isMember("class"))
        held->SetClass(ClassFromLetter(device["class"].asString()));
      if (held && !session.empty()) {
        const Json::Value& s = session;
        uint8_t key[16];
        if (s["app_senc_key"].isString() && ParseKey(s["app_senc_key"].asString(), key))
          held->appSKey = key;
        if (s["fnwk_sint_key"].isString() && ParseKey(s["fnwk_sint_key"].asString(), key))
          held->nwkSKey = key;
        if (s["up_counter"].isUInt()) held->upCounter = s["up_counter"].asUInt();
        // The row holds the last counter used, as after a restart: the next frame takes one more.
        if (s["nwk_down_counter"].isUInt())
          held->nextDownCounter = s["nwk_down_counter"].asUInt() + 1;
        for (const char* name : {"join_eui", "joineui"}) {
          if (s[name].isString()) held->joinEui = Lora::EUI(s[name].asString());
        }
        for (const char* name : {"app_eui", "appeui"}) {
          if (s[name].isString()) held->appEui = Lora::EUI(s[name].asString());
        }
      }
    }
    if (newAddress) {
      // The list is keyed by address: the old entry goes (its rows are already rewritten) and
      // the device comes back under the new one.
      uint32_t moved = 0;
      if (links_.database->GetAddressFromEui(eui, moved) && moved != devAddr) {
        links_.devices->ForgetDevice(devAddr);
        links_.devices->RestoreDevice(moved, false);
      }
    }
  }
  ReportDevice(eui);
  reply_.SendSuccess();
}

void CommandSet::ReportDevice(const std::string& eui) {
  if (links_.orba == nullptr || !links_.orba->Enabled() || links_.settings == nullptr) return;
  LoraDatabase::DeviceClient devices(*links_.database);
  if (!links_.database->GetDevices(devices)) return;
  while (devices.Next()) {
    if (devices.record().deviceEui != eui) continue;
    links_.orba->report(links_.orba->Envelope(links_.settings->localCardEui, "/end_devices/" + eui,
                                              "gateways", devices.record().toJson(), true));
    return;
  }
}

void CommandSet::DeviceDelete(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  const std::string text = p.nextWord();
  if (text.empty()) return reply_.SendText(Usage("device delete <DEV-EUI>"));
  std::string eui;
  if (!ParseEui(text, eui) || links_.database->GetDeviceId(eui) < 0) {
    return reply_.SendFail("Device " + text + " does not exist");
  }
  uint32_t devAddr = 0;
  if (links_.devices != nullptr && links_.database->GetAddressFromEui(eui, devAddr)) {
    links_.devices->ForgetDevice(devAddr);
  }
  if (!links_.database->DeleteDeviceByEui(eui)) DatabaseFailure("delete device");
  reply_.SendSuccess();
}

void CommandSet::DeviceReset(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  const std::string text = p.nextWord();
  if (text.empty()) return reply_.SendText(Usage("device reset <DEV-EUI>"));
  std::string eui;
  uint32_t devAddr = 0;
  if (!ParseEui(text, eui) || links_.database->GetDeviceId(eui) < 0 ||
      !links_.database->GetAddressFromEui(eui, devAddr)) {
    return reply_.SendFail("Device " + text + " does not exist");
  }
  DeviceList::LockedDevice device;
  if (links_.devices != nullptr) device = links_.devices->FindDevice(devAddr);
  if (device) {
    device->ResetUpCounter();
    device->ResetDownCounter();
    // Otherwise the first frame after the reset (FCnt 0) would be taken for a repeat.
    device->uplinkSeen = false;
    device->lastUplinkMs = static_cast<uint64_t>(MonotonicMs());
  } else if (!links_.database->UpdateUpCounter(devAddr, 0) ||
             !links_.database->UpdateDownCounter(devAddr, 0)) {
    DatabaseFailure("session counters");
  }
  reply_.SendSuccess();
}

void CommandSet::DeviceConfig(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  const std::string text = p.nextWord();
  if (text.empty()) return reply_.SendText(Usage("device config <DEV-ADDR>"));
  if (!ParseHexBytes(text, 4)) return reply_.SendFail("Failed to parse Dev Addr");
  const uint32_t devAddr = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
  LoraDatabase::SessionClient session(*links_.database);
  if (!links_.database->GetSession(devAddr, session)) DatabaseFailure("session");
  if (!session.Next()) return reply_.SendFail("Device " + text + " not found");
  reply_.SendText(CommandTables::DeviceConfig(session.record()));
}

void CommandSet::DeviceList(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  std::string path;
  const Form form = ReadForm(p, true, path);
  LoraDatabase::DeviceClient devices(*links_.database);
  if (!links_.database->GetDevices(devices)) DatabaseFailure("end-devices");
  Json::Value json(Json::arrayValue);
  std::string table = CommandTables::DeviceHeader();
  while (devices.Next()) {
    json.append(devices.record().toJson());
    if (form == Form::kTable) table += CommandTables::DeviceRow(devices.record());
  }
  SendListing(form, path, json, table);
}

void CommandSet::DeviceKeygen(CommandParser& p) {
  const std::string devText = p.nextWord();
  if (devText.empty()) return reply_.SendText(Usage("device keygen <DEV-EUI> [APP-EUI]"));
  const Json::Value empty;
  const Json::Value& network = links_.config != nullptr ? (*links_.config)["network"] : empty;
  const Json::Value& baseKey = network.isObject() ? network["baseKey"] : empty;
  const Json::Value& salt = network.isObject() ? network["salt"] : empty;
  if (!baseKey.isString() || baseKey.asString().empty()) {
    return reply_.SendFail("Network base key is not set");
  }
  if (!salt.isString() || salt.asString().empty())
    return reply_.SendFail("Network salt is not set");
  std::string devEui;
  if (!ParseEui(devText, devEui)) return reply_.SendFail("Failed to parse Dev EUI");
  const std::string appText = p.nextWord();
  // Without an AppEUI the device's own EUI stands in for it.
  std::string appEui = devEui;
  if (!appText.empty() && !ParseEui(appText, appEui)) {
    return reply_.SendFail("Failed to parse App EUI");
  }
  const Lora::CypherKey key =
      ZeroTouchAppKey(Lora::EUI(devEui), Lora::EUI(appEui), baseKey.asString(), salt.asString());
  Json::Value reply(Json::objectValue);
  reply["status"] = "success";
  reply["data"]["deveui"] = devEui;
  reply["data"]["appeui"] = appEui;
  reply["data"]["appkey"] = key.text();
  reply_.SendJson(reply);
}

void CommandSet::SessionAdd(CommandParser& p) {
  if (!Need(links_.database, "database") || !Need(links_.devices, "devices")) return;
  Json::Value json;
  if (!ParseObject(p.restOfLine(), json)) {
    return reply_.SendFail("Invalid json device configuration, object expected");
  }
  if (!json.isMember("deveui")) return reply_.SendFail("Missing required field 'deveui'");
  std::string eui;
  if (!json["deveui"].isString() || !ParseEui(json["deveui"].asString(), eui)) {
    return reply_.SendFail("Failed to parse 'deveui'");
  }
  uint32_t existing = 0;
  if (links_.database->GetAddressFromEui(eui, existing)) {
    return reply_.SendFail(
        "Failed to create session, session for provided device EUI already exists");
  }
  if (links_.database->GetDeviceId(eui) < 0) return reply_.SendFail("device not found");

  const std::string failed = "Failed to create session";
  Json::Value session(Json::objectValue);
  session["deveui"] = eui;
  for (const char* name : {"appeui", "joineui"}) {
    if (!json.isMember(name)) continue;
    std::string text;
    if (!json[name].isString() || !ParseEui(json[name].asString(), text)) {
      return reply_.SendFail(failed + ", invalid '" + name + "'");
    }
    session[name] = text;
  }
  if (!json["dev_addr"].isString() || !ParseHexBytes(json["dev_addr"].asString(), 4)) {
    return reply_.SendFail(failed + ", invalid 'dev_addr'");
  }
  const uint32_t devAddr =
      static_cast<uint32_t>(strtoul(json["dev_addr"].asCString(), nullptr, 16));
  session["dev_addr"] = json["dev_addr"];
  if (json.isMember("net_id")) {
    if (!json["net_id"].isString() || !ParseHexBytes(json["net_id"].asString(), 3)) {
      return reply_.SendFail(failed + ", invalid 'net_id'");
    }
    session["net_id"] = json["net_id"];
  }
  for (const char* name : {"app_senc_key", "fnwk_sint_key"}) {
    uint8_t key[16];
    if (!json[name].isString() || !ParseKey(json[name].asString(), key)) {
      return reply_.SendFail(failed + ", invalid '" + name + "'");
    }
    session[name] = ZEV::Text::toLowerCase(json[name].asString());
  }
  if (links_.addressRange != nullptr && !isDevAddrInRange(*links_.addressRange, devAddr)) {
    return reply_.SendFail(failed + ", address outside the network's range");
  }
  // An address another device holds would give both the same frames.
  if (links_.devices->HasDevice(devAddr)) return reply_.SendFail(failed + ", address in use");
  {
    LoraDatabase::SessionClient holder(*links_.database);
    if (!links_.database->GetSession(devAddr, holder)) DatabaseFailure("session");
    if (holder.Next()) return reply_.SendFail(failed + ", address in use");
  }
  if (!links_.database->AddSession(session)) return reply_.SendFail(failed);
  // Activated at once: the first uplink finds the device in memory.
  if (!links_.devices->RestoreDevice(devAddr, false)) return reply_.SendFail(failed);
  reply_.SendSuccess();
}

void CommandSet::SessionDelete(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  const std::string text = p.nextWord();
  if (text.empty()) return reply_.SendText(Usage("session delete <DEV-EUI>"));
  std::string eui;
  uint32_t devAddr = 0;
  if (!ParseEui(text, eui) || !links_.database->GetAddressFromEui(eui, devAddr)) {
    // The EUI follows "Device session" without a blank, as operators' scripts read the reply.
    return reply_.SendFail("Device session" + text + " not found");
  }
  if (links_.devices != nullptr) links_.devices->ForgetDevice(devAddr);
  if (!links_.database->DeleteSession(devAddr)) DatabaseFailure("delete session");
  reply_.SendSuccess();
}

void CommandSet::SessionList(CommandParser& p) {
  if (!Need(links_.database, "database")) return;
  std::string path;
  const Form form = ReadForm(p, true, path);
  LoraDatabase::SessionClient sessions(*links_.database);
  if (!links_.database->GetSessions(sessions)) DatabaseFailure("sessions");
  Json::Value json(Json::arrayValue);
  std::string table = CommandTables::SessionHeader();
  while (sessions.Next()) {
    json.append(sessions.record().toJson());
    if (form == Form::kTable) table += CommandTables::SessionRow(sessions.record());
  }
  SendListing(form, path, json, table);
}
