#include "Database/Lora-Database.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "Database/LoraDatabaseInternal.h"
#include "Database/LoraDatabaseSql.h"
#include "support/Logger.h"

using lora_db::BindJson;
using lora_db::BoundColumn;
using lora_db::KeyText;
using lora_db::Lock;
using lora_db::ParseHex;
using lora_db::PlainEui;
using lora_db::RunAll;
using lora_db::RunCached;
using lora_db::RunOne;
using lora_db::SessionColumns;
using lora_db::Statement;
using lora_db::Transaction;

// ---------------------------------------------------------------------------------------------
// Construction, names, schema

LoraDatabase::LoraDatabase(const Options& options)
    : options_(options), connection_(options.flashPath, options.runDir) {}

LoraDatabase::~LoraDatabase() = default;

LoraDatabase::Options LoraDatabase::OptionsFrom(const std::string& databasePath,
                                                const std::string& runDir,
                                                const std::string& whitelistFile,
                                                const Json::Value& config) {
  Options options;
  options.flashPath = databasePath;
  options.runDir = runDir;
  options.whitelistFile = whitelistFile;
  const Json::Value& netId = config["lora"]["netID"];
  uint64_t value = 0;
  if (netId.isString() &&
      (ParseHex(netId.asString(), 3, value) || ParseHex(netId.asString(), 4, value))) {
    options.netId = static_cast<uint32_t>(value);
  }
  return options;
}

std::string LoraDatabase::EuiText(uint64_t eui) {
  char text[24];
  char* out = text;
  for (int shift = 56; shift >= 0; shift -= 8) {
    out += snprintf(out, 4, shift > 0 ? "%02x-" : "%02x",
                    static_cast<unsigned>((eui >> shift) & 0xFF));
  }
  return text;
}

std::string LoraDatabase::EuiKey(const std::string& eui) {
  uint64_t value;
  return ParseHex(eui, 8, value) ? EuiText(value) : eui;
}

bool LoraDatabase::InitSchema() {
  std::string version = "0";
  bool read = false;
  {
    // A fresh file has no schema table: look for it rather than let a failing query log an
    // error on an operator's first start.
    Lock lock(connection_);
    SqlDb::Client client(connection_);
    Statement find(lock, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'schema';");
    if (find.Run(&client) && client.Next()) {
      client.Clear();
      Statement st(lock, "SELECT version FROM schema LIMIT 1;");
      read = st.Run(&client);
      if (read && client.Next()) version = client.Value(0);
    }
  }

  LOG_INFO("Database version: %s", version.c_str());
  LOG_INFO("Latest version:   %s", kSchemaVersion);
  bool ok = true;
  if (!read || strtol(version.c_str(), nullptr, 10) <= 16) {
    LOG_INFO("Creating database");
    ok = CreateSchema();
    if (ok) UpgradeOldSchema();
  }
  // A failed creation leaves the previous tables; they get no additions of ours, but devices with
  // the invalid address are still cleared from them, so that none is restored at start-up.
  if (ok) ok = EnsureAdditions();
  if (version != kSchemaVersion) ok = DeleteBadDevices() && ok;
  return ok;
}

bool LoraDatabase::CreateSchema() {
  Lock lock(connection_);
  Transaction transaction(lock);
  if (!transaction.begun()) return false;
  if (!lock.Execute(lora_sql::kSchemaTable)) {
    LOG_ERROR("SQL Query failed to create schema table");
    return false;
  }
  if (!lock.Execute(lora_sql::kSchemaScript)) {
    LOG_ERROR("SQL Query failed to update create database");
    return false;
  }
  return transaction.Commit();
}

// Tables and columns this server adds to the version-17 layout; a version-17 file written
// without them gains them here, and one that has them is not touched.
bool LoraDatabase::EnsureAdditions() {
  bool hasRanges = false;
  bool hasEndDevices = false;
  bool hasJoinTime = false;
  {
    SqlDb::Client tables(connection_);
    RunOne(
        connection_, "SELECT name FROM sqlite_master WHERE type = 'table';", [](Statement&) {},
        &tables);
    while (tables.Next()) {
      hasRanges |= tables.Value(0) == "ranges";
      hasEndDevices |= tables.Value(0) == "end_devices";
    }
    SqlDb::Client columns(connection_);
    RunOne(
        connection_, "SELECT name FROM pragma_table_info('end_devices');", [](Statement&) {},
        &columns);
    while (columns.Next()) hasJoinTime |= columns.Value(0) == "jointime";
  }
  if (hasRanges && (hasJoinTime || !hasEndDevices)) return true;
  bool ok = true;
  {
    Lock lock(connection_);
    if (!hasRanges) ok = lock.Execute(lora_sql::kRangesTable) && ok;
    if (hasEndDevices && !hasJoinTime) {
      ok = lock.Execute("ALTER TABLE end_devices ADD COLUMN jointime TEXT;") && ok;
    }
  }
  // Schema changes are no row changes; make sure the next backup carries them.
  connection_.MarkDirty();
  if (!ok) LOG_ERROR("SQL Query failed to update create database");
  return ok;
}

void LoraDatabase::UpgradeOldSchema() {
  bool hasNodes = false;
  {
    SqlDb::Client tables(connection_);
    RunOne(
        connection_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'nodes';",
        [](Statement&) {}, &tables);
    hasNodes = tables.RowCount() > 0;
  }
  // Without the older tables there is nothing to carry over; asking anyway would only log a
  // failed query on every fresh database.
  NodeClient nodes(*this);
  if (hasNodes && !connection_.Execute(nodes, lora_sql::kOldNodesQuery, true)) nodes.Clear();

  // The file lists exactly the devices this creation carried over, so it is emptied even when
  // there are none: a list left from an earlier database would name devices that are gone.
  std::ofstream whitelist(options_.whitelistFile, std::ios::trunc);
  if (!whitelist) LOG_WARNING("Unable to write whitelist file %s", options_.whitelistFile.c_str());
  std::set<std::string> written;
  while (nodes.Next()) {
    const NodeClient::Record& node = nodes.record();
    NewSession session;
    session.devAddr = node.address;
    session.deviceEui = EuiKey(node.devEui);
    session.joinEui = EuiKey(node.appEui);
    session.appEui = session.joinEui;
    session.netId = options_.netId;
    session.nwkSKey = KeyText(node.authenticationKey);
    session.appSKey = KeyText(node.encryptionKey);
    session.upCounter = node.lastUpSeqNo + 1;
    session.downCounter = node.lastDownSeqNo;
    session.deviceClass = node.deviceClass.empty() ? "A" : node.deviceClass;
    AddDeviceWithSession(session);
    // A node appears once per stored packet; one whitelist line each.
    if (!written.insert(session.deviceEui).second || !whitelist) continue;
    whitelist << "{\"deveui\":" << Json::valueToQuotedString(PlainEui(node.devEui).c_str())
              << ",\"appeui\":" << Json::valueToQuotedString(PlainEui(node.appEui).c_str())
              << ",\"appkey\":" << Json::valueToQuotedString(KeyText(node.appKey).c_str())
              << ",\"class\":" << Json::valueToQuotedString(session.deviceClass.c_str()) << "}\n";
  }
  SqlDb::Client drop(connection_);
  connection_.Execute(drop, lora_sql::kDropOldTables);
}

bool LoraDatabase::DeleteBadDevices() {
  SqlDb::Client client(connection_);
  if (!connection_.Execute(client, lora_sql::kDeleteBadDevices)) {
    LOG_ERROR("SQL Query failed to delete bad devices");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Connection-level operations

bool LoraDatabase::Backup(bool allAtOnce) { return connection_.Save(allAtOnce) == SQLITE_OK; }

bool LoraDatabase::BeginRun(bool& stoppedUncleanly) {
  stoppedUncleanly = false;
  Lock lock(connection_);
  if (!lock.Execute("CREATE TABLE IF NOT EXISTS server_state (name TEXT PRIMARY KEY NOT NULL, "
                    "value TEXT);")) {
    return false;
  }
  SqlDb::Client rows(connection_);
  Statement read(lock, "SELECT value FROM server_state WHERE name = 'clean_stop';");
  if (read.Run(&rows) && rows.Next()) stoppedUncleanly = rows.Value(0) == "0";
  rows.Clear();
  Statement mark(lock, "INSERT OR REPLACE INTO server_state (name, value) VALUES ('clean_stop', '0');");
  return mark.Run();  // a changed row: the next backup carries it
}

bool LoraDatabase::MarkCleanStop() {
  Lock lock(connection_);
  Statement mark(lock, "INSERT OR REPLACE INTO server_state (name, value) VALUES ('clean_stop', '1');");
  return mark.Run();
}

int LoraDatabase::AdvanceDownCounters(uint32_t gap) {
  Lock lock(connection_);
  Statement st(lock,
               "UPDATE sessions SET nwk_down_counter = nwk_down_counter + ?1 "
               "WHERE nwk_down_counter <= 4294967294 - ?1;");
  st.BindInt(1, gap);
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to move the down counters ahead");
    return -1;
  }
  return st.Changes();
}

bool LoraDatabase::IsOpen() { return connection_.IsOpen(); }

bool LoraDatabase::Reopen() {
  connection_.Close();
  return connection_.Open();
}

std::string LoraDatabase::LastError() { return connection_.LastError(); }

SqlDb::Connection& LoraDatabase::GetConnection() { return connection_; }

// ---------------------------------------------------------------------------------------------
// Devices and sessions

bool LoraDatabase::UpdateJoinTime(uint32_t devAddr, Timestamp time) {
  const bool ok = RunOne(
      connection_,
      "UPDATE end_devices SET jointime = ?1 WHERE end_devices.id = "
      "(SELECT device_id FROM sessions WHERE dev_addr = ?2 LIMIT 1);",
      [&](Statement& st) { st.BindText(1, SqlDb::FormatTimestamp(time)).BindInt(2, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to update join time no for device %08x", devAddr);
  return ok;
}

bool LoraDatabase::GetAddressFromEui(const std::string& deviceEui, uint32_t& devAddr) {
  SqlDb::Client rows(connection_);
  const bool ok = RunOne(
      connection_,
      "SELECT dev_addr FROM sessions WHERE device_id = "
      "(SELECT id FROM end_devices WHERE device_eui = ?1) LIMIT 1;",
      [&](Statement& st) { st.BindText(1, EuiKey(deviceEui)); }, &rows);
  if (!ok) {
    LOG_ERROR("SQL Query failed to get address from device_eui");
    return false;
  }
  if (!rows.Next()) return false;
  devAddr = static_cast<uint32_t>(strtoull(rows.Value(0).c_str(), nullptr, 10));
  return true;
}

bool LoraDatabase::SaveSessionKeys(uint32_t devAddr, const std::string& nwkSKey,
                                   const std::string& appSKey) {
  const bool ok =
      RunOne(connection_,
             "UPDATE sessions SET fnwk_sint_key = ?1, app_senc_key = ?2, created_at = ?3 "
             "WHERE dev_addr = ?4;",
             [&](Statement& st) {
               st.BindText(1, nwkSKey).BindText(2, appSKey).BindText(3, SqlDb::NowTimestamp());
               st.BindInt(4, devAddr);
             });
  if (!ok) LOG_ERROR("SQL Query failed to save session keys for device %08x", devAddr);
  return ok;
}

bool LoraDatabase::UpdateDeviceClass(uint32_t devAddr, const std::string& deviceClass) {
  const bool ok = RunOne(connection_,
                         "UPDATE end_devices SET class = ?1 WHERE end_devices.id = "
                         "(SELECT device_id FROM sessions WHERE dev_addr = ?2 LIMIT 1);",
                         [&](Statement& st) { st.BindText(1, deviceClass).BindInt(2, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to update device class for device %08x", devAddr);
  return ok;
}

bool LoraDatabase::GetDevices(DeviceClient& client) {
  return RunOne(
      connection_, lora_sql::DeviceQuery().c_str(), [](Statement&) {}, &client);
}

std::unique_ptr<LoraDatabase::DeviceClient> LoraDatabase::NewDeviceClient() {
  return std::make_unique<DeviceClient>(*this);
}

bool LoraDatabase::AddDeviceWithSession(const NewSession& session) {
  const std::string eui = EuiKey(session.deviceEui);
  Lock lock(connection_);
  Transaction transaction(lock);
  if (!transaction.begun()) return false;
  {
    SqlDb::Client existing(connection_);
    Statement check(lock,
                    "SELECT dev_addr FROM sessions WHERE dev_addr = ?1 OR device_id = "
                    "(SELECT id FROM end_devices WHERE device_eui = ?2) LIMIT 1;");
    check.BindInt(1, session.devAddr).BindText(2, eui);
    if (!check.Run(&existing) || existing.RowCount() > 0) return false;
  }
  const std::string now = SqlDb::NowTimestamp();
  Statement device(lock,
                   "INSERT OR IGNORE INTO end_devices (device_eui, class, created_at) "
                   "VALUES (?1, ?2, ?3);");
  device.BindText(1, eui).BindText(2, session.deviceClass).BindText(3, now);
  if (!device.Run()) {
    LOG_ERROR("SQL Query failed to add device %s", eui.c_str());
    return false;
  }
  Statement row(lock,
                "INSERT INTO sessions (device_id, join_eui, app_eui, dev_addr, net_id, "
                "app_senc_key, fnwk_sint_key, up_counter, nwk_down_counter, created_at) VALUES "
                "((SELECT id FROM end_devices WHERE device_eui = ?1), ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                "?9, ?10);");
  row.BindText(1, eui).BindText(2, EuiKey(session.joinEui)).BindText(3, EuiKey(session.appEui));
  row.BindInt(4, session.devAddr).BindInt(5, session.netId).BindText(6, session.appSKey);
  row.BindText(7, session.nwkSKey).BindInt(8, session.upCounter);
  row.BindInt(9, session.downCounter).BindText(10, now);
  if (!row.Run()) {
    LOG_ERROR("SQL Query failed to add session for device %s", eui.c_str());
    return false;
  }
  return transaction.Commit();
}

int64_t LoraDatabase::AddDevice(const Json::Value& device) {
  if (!device.isObject() || !device["deveui"].isString()) {
    LOG_ERROR("Add device called with invalid address");
    return -1;
  }
  std::string sql = "INSERT INTO end_devices (device_eui, created_at";
  std::string values = "VALUES (?1, ?2";
  std::vector<const Json::Value*> bound;
  for (const char* column : lora_sql::kDeviceColumns) {
    if (!device.isMember(column)) continue;
    bound.push_back(&device[column]);
    sql.append(", ").append(column);
    values.append(", ?").append(std::to_string(bound.size() + 2));
  }
  sql.append(") ").append(values).append(");");
  Lock lock(connection_);
  Statement st(lock, sql.c_str());
  st.BindText(1, EuiKey(device["deveui"].asString())).BindText(2, SqlDb::NowTimestamp());
  for (size_t i = 0; i < bound.size(); ++i) BindJson(st, static_cast<int>(i + 3), *bound[i]);
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to add device record");
    return -1;
  }
  return st.LastInsertId();
}

LoraDatabase::UpdateResult LoraDatabase::UpdateDevice(const Json::Value& device) {
  if (!device.isObject() || !device["deveui"].isString()) return UpdateResult::kNotFound;
  std::string sql = "UPDATE end_devices SET ";
  std::vector<const Json::Value*> bound;
  for (const char* column : lora_sql::kDeviceColumns) {
    if (!device.isMember(column)) continue;
    bound.push_back(&device[column]);
    if (bound.size() > 1) sql.append(", ");
    sql.append(column).append(" = ?").append(std::to_string(bound.size() + 1));
  }
  if (bound.empty()) return UpdateResult::kNothingToUpdate;
  sql.append(" WHERE device_eui = ?1;");
  const std::string eui = EuiKey(device["deveui"].asString());
  if (GetDeviceId(eui) < 0) return UpdateResult::kNotFound;
  Lock lock(connection_);
  Statement st(lock, sql.c_str());
  st.BindText(1, eui);
  for (size_t i = 0; i < bound.size(); ++i) BindJson(st, static_cast<int>(i + 2), *bound[i]);
  if (!st.Run()) {
    LOG_ERROR("failed to update device");
    return UpdateResult::kFailed;
  }
  return UpdateResult::kUpdated;
}

bool LoraDatabase::UpdateDeviceField(uint32_t devAddr, const std::string& column,
                                     const std::string& value) {
  const char* known = nullptr;
  for (const char* candidate : lora_sql::kDeviceColumns) {
    if (column == candidate) known = candidate;
  }
  if (known == nullptr) {
    LOG_ERROR("Invalid device field '%s'", column.c_str());
    return false;
  }
  std::string sql = "UPDATE end_devices SET ";
  sql.append(known).append(
      " = ?1 WHERE end_devices.id = (SELECT device_id FROM sessions WHERE dev_addr = ?2 LIMIT 1);");
  const bool ok = RunOne(connection_, sql.c_str(),
                         [&](Statement& st) { st.BindText(1, value).BindInt(2, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to update device %08x", devAddr);
  return ok;
}

bool LoraDatabase::GetSession(uint32_t devAddr, SessionClient& client) {
  return RunOne(
      connection_, lora_sql::SessionQuery(true).c_str(),
      [&](Statement& st) { st.BindInt(1, devAddr); }, &client);
}

bool LoraDatabase::GetSessions(SessionClient& client) {
  return RunOne(
      connection_, lora_sql::SessionQuery(false).c_str(), [](Statement&) {}, &client);
}

bool LoraDatabase::GetDeviceSessions(DeviceSessionClient& client) {
  return RunOne(
      connection_, lora_sql::kDeviceSessionsQuery, [](Statement&) {}, &client);
}

bool LoraDatabase::GetDeviceSession(uint32_t devAddr, DeviceSessionClient& client) {
  return RunOne(
      connection_, lora_sql::kDeviceSessionQuery, [&](Statement& st) { st.BindInt(1, devAddr); },
      &client);
}

bool LoraDatabase::UpdateSessionJoin(uint32_t devAddr, const std::string& joinEui,
                                     const std::string& appEui, bool remoteJoin) {
  const bool ok = RunOne(
      connection_,
      "UPDATE sessions SET join_eui = ?1, app_eui = ?2, remote_join = ?3 WHERE dev_addr = ?4;",
      [&](Statement& st) {
        st.BindText(1, EuiKey(joinEui)).BindText(2, EuiKey(appEui));
        st.BindInt(3, remoteJoin ? 1 : 0).BindInt(4, devAddr);
      });
  if (!ok) LOG_ERROR("SQL Query failed to update session join for device %08x", devAddr);
  return ok;
}

LoraDatabase::UpdateResult LoraDatabase::UpdateSession(const Json::Value& session) {
  if (!session.isObject() || !session["deveui"].isString()) return UpdateResult::kNotFound;
  std::vector<BoundColumn> columns;
  if (!SessionColumns(session, columns)) {
    LOG_ERROR("failed to update session");
    return UpdateResult::kFailed;
  }
  if (columns.empty()) return UpdateResult::kNothingToUpdate;
  const std::string eui = EuiKey(session["deveui"].asString());
  if (GetDeviceId(eui) < 0) return UpdateResult::kNotFound;
  std::string sql = "UPDATE sessions SET ";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) sql.append(", ");
    sql.append(columns[i].column).append(" = ?").append(std::to_string(i + 2));
  }
  sql.append(" WHERE device_id = (SELECT id FROM end_devices WHERE device_eui = ?1);");
  Lock lock(connection_);
  Statement st(lock, sql.c_str());
  st.BindText(1, eui);
  for (size_t i = 0; i < columns.size(); ++i) {
    BindJson(st, static_cast<int>(i + 2), columns[i].value);
  }
  if (!st.Run()) {
    LOG_ERROR("failed to update session");
    return UpdateResult::kFailed;
  }
  return UpdateResult::kUpdated;
}

bool LoraDatabase::AddSession(const Json::Value& session) {
  if (!session.isObject() || !session["deveui"].isString()) return false;
  const std::string eui = EuiKey(session["deveui"].asString());
  std::vector<BoundColumn> columns;
  if (!SessionColumns(session, columns)) {
    LOG_ERROR("SQL Query failed to add session for device %s", eui.c_str());
    return false;
  }
  const int64_t deviceId = GetDeviceId(eui);
  if (deviceId < 0) return false;

  Lock lock(connection_);
  SqlDb::Client existing(connection_);
  {
    Statement check(lock, "SELECT id FROM sessions WHERE device_id = ?1 LIMIT 1;");
    check.BindInt(1, deviceId);
    if (!check.Run(&existing)) return false;
  }
  columns.push_back({"created_at", SqlDb::NowTimestamp()});
  std::string sql;
  if (existing.RowCount() > 0) {
    sql = "UPDATE sessions SET ";
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) sql.append(", ");
      sql.append(columns[i].column).append(" = ?").append(std::to_string(i + 2));
    }
    sql.append(" WHERE device_id = ?1;");
  } else {
    std::string values;
    sql = "INSERT INTO sessions (device_id";
    for (size_t i = 0; i < columns.size(); ++i) {
      sql.append(", ").append(columns[i].column);
      values.append(", ?").append(std::to_string(i + 2));
    }
    sql.append(") VALUES (?1").append(values).append(");");
  }
  Statement st(lock, sql.c_str());
  st.BindInt(1, deviceId);
  for (size_t i = 0; i < columns.size(); ++i) {
    BindJson(st, static_cast<int>(i + 2), columns[i].value);
  }
  if (!st.Run()) {
    LOG_ERROR("SQL Query failed to add session for device %s", eui.c_str());
    return false;
  }
  return true;
}

bool LoraDatabase::DeleteDeviceByAddress(uint32_t devAddr) {
  const bool ok = RunAll(
      connection_,
      {"DELETE FROM end_devices WHERE id IN (SELECT device_id FROM sessions WHERE dev_addr = ?1);",
       "DELETE FROM downlink_queue WHERE device_id IN "
       "(SELECT device_id FROM sessions WHERE dev_addr = ?1);",
       "DELETE FROM downlink_packets WHERE session_id IN "
       "(SELECT id FROM sessions WHERE dev_addr = ?1);",
       "DELETE FROM uplink_packets WHERE session_id IN "
       "(SELECT id FROM sessions WHERE dev_addr = ?1);",
       "DELETE FROM sessions WHERE dev_addr = ?1;"},
      [&](Statement& st) { st.BindInt(1, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to delete device %08x", devAddr);
  return ok;
}

bool LoraDatabase::DeleteDeviceByEui(const std::string& deviceEui) {
  const std::string eui = EuiKey(deviceEui);
  const bool ok = RunAll(connection_,
                         {"DELETE FROM sessions WHERE device_id IN (SELECT id FROM end_devices "
                          "WHERE device_eui = ?1);",
                          "DELETE FROM downlink_queue WHERE device_eui = ?1 OR device_id IN "
                          "(SELECT id FROM end_devices WHERE device_eui = ?1);",
                          "DELETE FROM downlink_packets WHERE device_id IN "
                          "(SELECT id FROM end_devices WHERE device_eui = ?1);",
                          "DELETE FROM uplink_packets WHERE device_id IN "
                          "(SELECT id FROM end_devices WHERE device_eui = ?1);",
                          "DELETE FROM end_devices WHERE device_eui = ?1;"},
                         [&](Statement& st) { st.BindText(1, eui); });
  if (!ok) LOG_ERROR("SQL Query failed to delete device %s", eui.c_str());
  return ok;
}

bool LoraDatabase::DeleteAllDevices() {
  const bool ok = RunAll(
      connection_,
      {"DELETE FROM end_devices;", "DELETE FROM sessions;", "DELETE FROM downlink_queue;",
       "DELETE FROM downlink_packets;", "DELETE FROM uplink_packets;", "DELETE FROM nonces;"},
      [](Statement&) {});
  if (!ok) LOG_ERROR("SQL Query failed to delete devices");
  return ok;
}

bool LoraDatabase::DeleteSession(uint32_t devAddr) {
  const bool ok = RunOne(connection_, "DELETE FROM sessions WHERE dev_addr = ?1;",
                         [&](Statement& st) { st.BindInt(1, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to delete session");
  return ok;
}

bool LoraDatabase::DeleteAllSessions() {
  const bool ok = RunOne(connection_, "DELETE FROM sessions;", [](Statement&) {});
  if (!ok) LOG_ERROR("SQL Query failed to delete devices");
  return ok;
}

int64_t LoraDatabase::GetDeviceId(const std::string& deviceEui) {
  SqlDb::Client rows(connection_);
  if (!RunOne(
          connection_, "SELECT id FROM end_devices WHERE device_eui = ?1;",
          [&](Statement& st) { st.BindText(1, EuiKey(deviceEui)); }, &rows)) {
    LOG_ERROR("SQL Query failed to get device id from devices");
    return -1;
  }
  if (!rows.Next()) return -1;
  return strtoll(rows.Value(0).c_str(), nullptr, 10);
}

bool LoraDatabase::UpdateDownCounter(uint32_t devAddr, uint32_t value) {
  const bool ok =
      RunCached(connection_, "UPDATE sessions SET nwk_down_counter = ?1 WHERE dev_addr = ?2;",
             [&](Statement& st) { st.BindInt(1, value).BindInt(2, devAddr); });
  if (!ok) {
    char text[9];
    snprintf(text, sizeof text, "%08x", devAddr);
    LOG_ERROR("SQL Query failed to update last seq no for device %s", text);
  }
  return ok;
}

bool LoraDatabase::UpdateUpCounter(uint32_t devAddr, uint32_t value) {
  const bool ok = RunCached(connection_, "UPDATE sessions SET up_counter = ?1 WHERE dev_addr = ?2;",
                            [&](Statement& st) { st.BindInt(1, value).BindInt(2, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to update up counter for device %08x", devAddr);
  return ok;
}
