#include <arpa/inet.h>

#include <chrono>
#include <string>
#include <thread>

#include "Database/Lora-Database.h"
#include "Database/LoraDatabaseInternal.h"
#include "Database/LoraDatabaseSql.h"
#include "support/Logger.h"

using lora_db::BindJson;
using lora_db::Lock;
using lora_db::Mhz;
using lora_db::ParseHex;
using lora_db::RunAll;
using lora_db::RunCached;
using lora_db::RunOne;
using lora_db::Statement;

// ---------------------------------------------------------------------------------------------
// Packets and the downlink queue

int64_t LoraDatabase::AddUplinkPacket(const UplinkPacketRecord& p) {
  Lock lock(connection_);
  Statement st(lock, lora_sql::kInsertUplink, Statement::kCached);
  st.BindInt(1, p.devAddr).BindText(2, EuiText(p.gatewayEui)).BindInt(3, p.protocolVersion);
  st.BindText(4, SqlDb::FormatTimestamp(p.rxTime)).BindText(5, std::to_string(p.tmst));
  st.BindDouble(6, Mhz(p.frequencyHz)).BindInt(7, p.channel).BindInt(8, p.rfChain);
  st.BindText(9, p.fsk ? "FSK" : "LORA").BindText(10, p.fsk ? std::string() : p.datarate);
  st.BindText(11, p.coderate).BindInt(12, p.rssi).BindDouble(13, p.snrCb / 10.0);
  st.BindInt(14, p.dataSize).BindInt(15, p.majorVersion).BindInt(16, p.messageType);
  st.BindInt(17, p.control).BindInt(18, p.counter).BindText(19, p.commands);
  if (p.port >= 0) {
    st.BindInt(20, p.port);
  } else {
    st.BindNull(20);
  }
  st.BindText(21, p.data).BindText(22, p.mic).BindText(23, SqlDb::NowTimestamp());
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to add uplink packet for device %08x", p.devAddr);
    return -1;
  }
  return st.LastInsertId();
}

int64_t LoraDatabase::AddDownlinkPacket(const DownlinkPacketRecord& p) {
  Lock lock(connection_);
  Statement st(lock, lora_sql::kInsertDownlink);
  st.BindInt(1, p.devAddr).BindText(2, EuiText(p.gatewayEui)).BindInt(3, p.protocolVersion);
  st.BindText(4, SqlDb::FormatTimestamp(p.txTime)).BindText(5, std::to_string(p.tmst));
  st.BindDouble(6, Mhz(p.frequencyHz)).BindInt(7, p.txPower).BindInt(8, p.rfChain);
  st.BindText(9, p.fsk ? "FSK" : "LORA").BindText(10, p.fsk ? std::string() : p.datarate);
  st.BindText(11, p.coderate).BindInt(12, p.dataSize).BindInt(13, p.majorVersion);
  st.BindInt(14, p.messageType).BindInt(15, p.control).BindInt(16, p.counter);
  st.BindText(17, p.commands);
  if (p.port >= 0) {
    st.BindInt(18, p.port);
  } else {
    st.BindNull(18);
  }
  st.BindText(19, p.data).BindText(20, p.mic).BindInt(21, p.rxWindow);
  st.BindInt(22, p.rxAckReceived ? 1 : 0).BindInt(23, p.txAckReceived ? 1 : 0);
  st.BindText(24, SqlDb::NowTimestamp());
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to add downlink packet for device %08x", p.devAddr);
    return -1;
  }
  return st.LastInsertId();
}

LoraDatabase::DownlinkPacketRecord LoraDatabase::DownlinkPacketRecord::FromTxpk(
    const Json::Value& txpk) {
  DownlinkPacketRecord record;
  record.txTime = std::chrono::system_clock::now();
  if (!txpk.isObject()) return record;
  if (txpk["tmst"].isUInt64()) record.tmst = txpk["tmst"].asUInt64();
  if (txpk["freq"].isNumeric() && txpk["freq"].asDouble() > 0) {
    record.frequencyHz = static_cast<uint32_t>(txpk["freq"].asDouble() * 1e6 + 0.5);
  }
  if (txpk["powe"].isInt()) record.txPower = txpk["powe"].asInt();
  if (txpk["rfch"].isUInt()) record.rfChain = static_cast<uint16_t>(txpk["rfch"].asUInt());
  record.fsk = txpk["modu"].isString() && txpk["modu"].asString() == "FSK";
  if (txpk["datr"].isString()) record.datarate = txpk["datr"].asString();
  if (txpk["codr"].isString()) record.coderate = txpk["codr"].asString();
  if (txpk["size"].isUInt()) record.dataSize = static_cast<uint16_t>(txpk["size"].asUInt());
  if (txpk["twnd"].isUInt()) record.rxWindow = static_cast<uint8_t>(txpk["twnd"].asUInt());
  if (txpk["data"].isString()) record.data = txpk["data"].asString();
  if (txpk["gweui"].isString()) {
    uint64_t eui;
    if (ParseHex(txpk["gweui"].asString(), 8, eui)) record.gatewayEui = eui;
  }
  if (txpk["port"].isInt() && txpk["port"].asInt() >= 0) record.port = txpk["port"].asInt();
  if (txpk["mic"].isString()) record.mic = txpk["mic"].asString();
  if (txpk["opts"].isString()) record.commands = txpk["opts"].asString();
  return record;
}

int64_t LoraDatabase::QueueDownlink(const Json::Value& message) {
  const Json::Value empty;
  const Json::Value& m = message.isObject() ? message : empty;
  const int64_t port = m["port"].isInt() ? m["port"].asInt() : 1;
  const int64_t priority = m["priority"].isInt() ? m["priority"].asInt() : 0;
  const bool ack = m["ack"].isBool() && m["ack"].asBool();
  const int64_t rxWindow = m["rx_wnd"].isInt() ? m["rx_wnd"].asInt() : 0;
  int64_t attempts = ack ? 8 : 0;
  if (m["ack_retries"].isInt()) attempts = m["ack_retries"].asInt();

  for (const char* required : {"deveui", "data_size", "data"}) {
    // A device EUI that is not text names no device: treat it as absent.
    const bool textRequired = std::string(required) == "deveui";
    if (!m.isMember(required) || (textRequired && !m[required].isString())) {
      LOG_ERROR("SQL Query failed to queue downlink missing '%s'", required);
      return -1;
    }
  }
  const std::string eui = EuiKey(m["deveui"].asString());
  Lock lock(connection_);
  Statement st(lock,
               "INSERT INTO downlink_queue (device_id, device_eui, data_size, port, data, "
               "priority, ack, rx_window, retry_max, retry_count, created_at) VALUES "
               "((SELECT id FROM end_devices WHERE device_eui = ?1), ?1, ?2, ?3, ?4, ?5, ?6, ?7, "
               "?8, 0, ?9);");
  st.BindText(1, eui);
  BindJson(st, 2, m["data_size"]);
  st.BindInt(3, port);
  BindJson(st, 4, m["data"]);
  st.BindInt(5, priority).BindInt(6, ack ? 1 : 0).BindInt(7, rxWindow).BindInt(8, attempts);
  st.BindText(9, SqlDb::NowTimestamp());
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to queue downlink packet for device %s", eui.c_str());
    return -1;
  }
  return st.LastInsertId();
}

bool LoraDatabase::TrimPackets(uint32_t rowsToKeep) {
  // At hundreds of uplinks a second a trim interval leaves hundreds of thousands of rows. One
  // DELETE of them all would hold the database for seconds (the packet workers stall and datagrams
  // are dropped) and build an in-memory journal as large as the rows, which the heap keeps. So the
  // oldest rows go a bounded step at a time, each step its own statement under its own lock.
  static const char* const kTrims[] = {
      "DELETE FROM uplink_packets WHERE id IN (SELECT id FROM uplink_packets WHERE id NOT IN "
      "(SELECT id FROM uplink_packets ORDER BY id DESC LIMIT ?1) ORDER BY id LIMIT ?2);",
      "DELETE FROM downlink_packets WHERE id IN (SELECT id FROM downlink_packets WHERE id NOT IN "
      "(SELECT id FROM downlink_packets ORDER BY id DESC LIMIT ?1) ORDER BY id LIMIT ?2);"};
  // Between steps the trim pauses as the backup does between its steps: a mutex handed back
  // and taken again at once is mostly taken again by the same thread, and the workers waiting
  // for it would wait out the whole trim after all.
  bool ok = true;
  for (const char* sql : kTrims) {
    for (int changed = kTrimStepRows; ok && changed == kTrimStepRows;) {
      {
        Lock lock(connection_);
        Statement st(lock, sql, Statement::kCached);
        st.BindInt(1, rowsToKeep).BindInt(2, kTrimStepRows);
        ok = st.Run();
        changed = st.Changes();
      }
      if (changed == kTrimStepRows) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kTrimPauseMs));
      }
    }
  }
  if (!ok) LOG_ERROR("SQL Query failed to trim Packet tables");
  return ok;
}

bool LoraDatabase::DeleteAllPackets() {
  bool ok = DeleteJoinRequests();
  ok = DeleteDownlinkPackets() && ok;
  return DeleteUplinkPackets() && ok;
}

bool LoraDatabase::DeleteJoinRequests() {
  const bool ok =
      RunOne(connection_, "DELETE FROM uplink_packets WHERE message_type = 0;", [](Statement&) {});
  if (!ok) LOG_ERROR("SQL Query failed to delete join requests");
  return ok;
}

bool LoraDatabase::DeleteUplinkPackets() {
  const bool ok =
      RunOne(connection_, "DELETE FROM uplink_packets WHERE message_type != 0;", [](Statement&) {});
  if (!ok) LOG_ERROR("SQL Query failed to delete uplink packets");
  return ok;
}

bool LoraDatabase::DeleteDownlinkPackets() {
  const bool ok = RunOne(connection_, "DELETE FROM downlink_packets;", [](Statement&) {});
  if (!ok) LOG_ERROR("SQL Query failed to delete downlink packets");
  return ok;
}

bool LoraDatabase::DeleteQueuedDownlink(int64_t id, const std::string& deviceEui) {
  const char* sql = id == 0 ? "DELETE FROM downlink_queue WHERE device_eui = ?1;"
                            : "DELETE FROM downlink_queue WHERE id = ?2 AND device_eui = ?1;";
  const bool ok = RunOne(connection_, sql, [&](Statement& st) {
    st.BindText(1, EuiKey(deviceEui));
    if (id != 0) st.BindInt(2, id);
  });
  if (!ok) LOG_ERROR("SQL Query failed to delete queued downlink %lld", static_cast<long long>(id));
  return ok;
}

bool LoraDatabase::UpdateQueuedDownlinkRetries(int64_t id, uint32_t retryCount) {
  const bool ok = RunOne(connection_, "UPDATE downlink_queue SET retry_count = ?2 WHERE id = ?1;",
                         [&](Statement& st) { st.BindInt(1, id).BindInt(2, retryCount); });
  if (!ok) LOG_ERROR("SQL Query failed to update queued downlink %lld", static_cast<long long>(id));
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Ranges and gateways

bool LoraDatabase::AddRange(uint32_t start, uint32_t size) {
  Lock lock(connection_);
  SqlDb::Client existing(connection_);
  Statement check(lock, "SELECT start FROM ranges WHERE start = ?1;");
  check.BindInt(1, start);
  if (!check.Run(&existing)) {
    LOG_ERROR("SQL Query failed to add range");
    return false;
  }
  if (existing.RowCount() > 0) return false;
  Statement insert(lock, "INSERT INTO ranges (start, size) VALUES (?1, ?2);");
  insert.BindInt(1, start).BindInt(2, size);
  if (!insert.Run()) {
    LOG_ERROR("SQL Query failed to add range");
    return false;
  }
  return true;
}

bool LoraDatabase::DeleteRange(uint32_t start) {
  const bool ok = RunOne(connection_, "DELETE FROM ranges WHERE start = ?1;",
                         [&](Statement& st) { st.BindInt(1, start); });
  if (!ok) LOG_ERROR("SQL Query failed to delete range");
  return ok;
}

bool LoraDatabase::GetRanges(RangeClient& client) {
  return RunOne(
      connection_, "SELECT start, size FROM ranges ORDER BY start ASC;", [](Statement&) {},
      &client);
}

bool LoraDatabase::AddGateway(uint64_t eui, uint8_t protocolVersion, const sockaddr_in& address,
                              Timestamp lastSeen) {
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  const std::string seen = SqlDb::FormatTimestamp(lastSeen);
  const bool ok = RunAll(
      connection_,
      {"INSERT OR IGNORE INTO gateways (gateway_eui, protocol_version, ip_address, ip_port, "
       "last_seen, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6);",
       "INSERT OR IGNORE INTO gateway_statistics (gateway_id, uplinks, uplinks_ok, "
       "uplinks_nok_mic, uplinks_nok_unknown, uplinks_missed, downlinks, downlinks_ack_requested, "
       "downlinks_ack_missed, rx_count, rx_ok, rx_forwarded, ack_rate, downlink_count, tx_count) "
       "VALUES ((SELECT id FROM gateways WHERE gateway_eui = ?1), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
       "0, 0, 0, 0);"},
      [&](Statement& st) {
        st.BindText(1, EuiText(eui)).BindInt(2, protocolVersion).BindText(3, ip);
        st.BindText(4, std::to_string(ntohs(address.sin_port))).BindText(5, seen);
        st.BindText(6, SqlDb::NowTimestamp());
      });
  if (!ok) LOG_ERROR("SQL Query failed to add gateway");
  return ok;
}

bool LoraDatabase::UpdateGatewaySeen(uint64_t eui, uint8_t protocolVersion, Timestamp lastSeen) {
  const bool ok =
      RunCached(connection_,
                "UPDATE gateways SET last_seen = ?1, protocol_version = ?2 WHERE gateway_eui = ?3;",
                [&](Statement& st) {
                  st.BindText(1, SqlDb::FormatTimestamp(lastSeen)).BindInt(2, protocolVersion);
                  st.BindText(3, EuiText(eui));
                });
  if (!ok) LOG_ERROR("SQL Query failed to update gateway seen");
  return ok;
}

bool LoraDatabase::UpdateGatewayLocation(uint64_t eui, double latitude, double longitude,
                                         double altitude) {
  const bool ok = RunOne(
      connection_,
      "UPDATE gateways SET latitude = ?1, longitude = ?2, altitude = ?3 WHERE gateway_eui = ?4;",
      [&](Statement& st) {
        st.BindDouble(1, latitude).BindDouble(2, longitude).BindDouble(3, altitude);
        st.BindText(4, EuiText(eui));
      });
  if (!ok) LOG_ERROR("SQL Query failed to update gateway location");
  return ok;
}

bool LoraDatabase::DeleteGateway(uint64_t eui) {
  const bool ok = RunAll(connection_,
                         {"DELETE FROM gateway_statistics WHERE gateway_id IN "
                          "(SELECT id FROM gateways WHERE gateway_eui = ?1);",
                          "DELETE FROM gateways WHERE gateway_eui = ?1;"},
                         [&](Statement& st) { st.BindText(1, EuiText(eui)); });
  if (!ok) LOG_ERROR("SQL Query failed to delete gateway");
  return ok;
}

bool LoraDatabase::GetGateways(GatewayClient& client) {
  return RunOne(
      connection_,
      "SELECT gateway_eui, protocol_version, ip_address, ip_port  FROM gateways ORDER "
      "BY gateway_eui ASC;",
      [](Statement&) {}, &client);
}

bool LoraDatabase::GetGatewayList(GatewayClient& client) {
  return RunOne(
      connection_, lora_sql::kGatewayListQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::UpdateGatewayStatistics(uint64_t eui, const GatewayStatistics& s) {
  const bool ok = RunOne(
      connection_,
      "UPDATE gateway_statistics SET downlink_count = ?1, rx_ok = ?2, tx_count = ?3, "
      "ack_rate = ?4, rx_forwarded = ?5, rx_count = ?6 WHERE gateway_statistics.gateway_id = "
      "(SELECT id FROM gateways WHERE gateway_eui = ?7);",
      [&](Statement& st) {
        st.BindInt(1, s.downlinkCount).BindInt(2, s.rxOk).BindInt(3, s.txCount);
        st.BindDouble(4, s.ackRate).BindInt(5, s.rxForwarded).BindInt(6, s.rxCount);
        st.BindText(7, EuiText(eui));
      });
  if (!ok) LOG_ERROR("SQL Query failed to update gateway status");
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Statistics and listings

bool LoraDatabase::UpdateNetworkStatistics(
    const std::array<uint32_t, kNetworkStatisticsColumns>& values) {
  auto bind = [&](Statement& st) {
    for (size_t i = 0; i < values.size(); ++i) st.BindInt(static_cast<int>(i + 1), values[i]);
  };
  Lock lock(connection_);
  Statement update(lock, lora_sql::kUpdateNetworkStatistics);
  bind(update);
  bool ok = update.Run();
  if (ok && update.Changes() == 0) {  // the row was lost: write a new one
    Statement insert(lock, lora_sql::kInsertNetworkStatistics);
    bind(insert);
    insert.BindText(21, SqlDb::NowTimestamp());
    ok = insert.Run();
  }
  if (!ok) LOG_ERROR("SQL Query failed to update statistics");
  return ok;
}

bool LoraDatabase::GetNetworkStatistics(StatsClient& client) {
  return RunOne(
      connection_, "SELECT * FROM network_statistics;", [](Statement&) {}, &client);
}

bool LoraDatabase::GetPackets(PacketClient& client) {
  return RunOne(
      connection_, lora_sql::kPacketsQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::GetJoinPackets(JoinRequestClient& client) {
  return RunOne(
      connection_, lora_sql::kJoinPacketsQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::GetUplinkPackets(UplinkPacketClient& client) {
  return RunOne(
      connection_, lora_sql::kUplinkPacketsQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::GetDownlinkPackets(DownlinkPacketClient& client) {
  return RunOne(
      connection_, lora_sql::kDownlinkPacketsQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::GetDownlinkQueue(DownlinkQueueClient& client, const std::string& deviceEui) {
  if (deviceEui.empty()) {
    return RunOne(
        connection_,
        "SELECT id, device_id, device_eui, data_size, port, data, priority,  ack, "
        "rx_window, retry_max, retry_count, created_at FROM downlink_queue;",
        [](Statement&) {}, &client);
  }
  return RunOne(
      connection_,
      "SELECT id, device_id, device_eui, data_size, port, data, priority, ack, "
      "rx_window, retry_max, retry_count, created_at FROM downlink_queue "
      "WHERE device_eui = ?1 ORDER BY id ASC;",
      [&](Statement& st) { st.BindText(1, EuiKey(deviceEui)); }, &client);
}
