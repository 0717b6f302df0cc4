#include "Database/Lora-Database.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <vector>

#include "Database/LoraDatabaseSql.h"
#include "support/Logger.h"

namespace {

using SqlDb::Lock;
using SqlDb::Statement;

// Reads exactly 2 * size hex digits, allowing "-" and ":" between them, into a number.
bool ParseHex(const std::string& text, size_t size, uint64_t& value) {
  value = 0;
  size_t digits = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (isxdigit(static_cast<unsigned char>(c))) {
      if (++digits > 2 * size) return false;
      const int nibble = isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10);
      value = (value << 4) | static_cast<uint64_t>(nibble);
    } else if ((c != '-' && c != ':') || digits == 0 || i + 1 == text.size()) {
      return false;
    }
  }
  return digits == 2 * size;
}

// Keys as 32 lower-case digits when they parse as 16 bytes, else unchanged.
std::string KeyText(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (isxdigit(static_cast<unsigned char>(c))) {
      digits += static_cast<char>(tolower(c));
    } else if (c != '-' && c != ':' && c != '.' && c != ' ') {
      return text;
    }
  }
  return digits.size() == 32 ? digits : text;
}

// 16 digits without separators, as the whitelist holds EUIs; unchanged when it does not parse.
std::string PlainEui(const std::string& text) {
  uint64_t value;
  if (!ParseHex(text, 8, value)) return text;
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(value));
  return out;
}

double Mhz(uint32_t hz) { return hz / 1e6; }

// A transaction under one lock: rolled back unless Commit() was called.
class Transaction {
 public:
  explicit Transaction(Lock& lock) : lock_(lock) { begun_ = lock_.Execute("BEGIN;"); }
  ~Transaction() {
    if (begun_ && !done_) lock_.Execute("ROLLBACK;");
  }
  bool begun() const { return begun_; }
  bool Commit() {
    done_ = true;
    return begun_ && lock_.Execute("COMMIT;");
  }

 private:
  Lock& lock_;
  bool begun_ = false;
  bool done_ = false;
};

// Runs fixed statements that all take the same bound values, in one transaction.
template <typename Bind>
bool RunAll(SqlDb::Connection& connection, std::initializer_list<const char*> statements,
            Bind bind) {
  Lock lock(connection);
  Transaction transaction(lock);
  if (!transaction.begun()) return false;
  for (const char* sql : statements) {
    Statement statement(lock, sql);
    bind(statement);
    if (!statement.Run()) return false;
  }
  return transaction.Commit();
}

bool RunOne(SqlDb::Connection& connection, const char* sql,
            const std::function<void(Statement&)>& bind, SqlDb::Client* rows = nullptr) {
  Lock lock(connection);
  Statement statement(lock, sql);
  bind(statement);
  return statement.Run(rows);
}

// Binds a JSON value by its own type; arrays and objects as their compact text.
void BindJson(Statement& statement, int index, const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue:
      statement.BindNull(index);
      break;
    case Json::intValue:
      statement.BindInt(index, value.asInt64());
      break;
    case Json::uintValue:
      statement.BindInt(index, static_cast<int64_t>(value.asUInt64()));
      break;
    case Json::realValue:
      statement.BindDouble(index, value.asDouble());
      break;
    case Json::booleanValue:
      statement.BindInt(index, value.asBool() ? 1 : 0);
      break;
    case Json::stringValue:
      statement.BindText(index, value.asString());
      break;
    default: {
      Json::StreamWriterBuilder writer;
      writer["indentation"] = "";
      statement.BindText(index, Json::writeString(writer, value));
    }
  }
}

// A hex text (with or without separators) or a non-negative number.
bool JsonHexNumber(const Json::Value& value, size_t bytes, uint64_t& out) {
  if (value.isString()) return ParseHex(value.asString(), bytes, out);
  if (value.isUInt64()) {
    out = value.asUInt64();
    return bytes >= 8 || out < (1ULL << (8 * bytes));
  }
  return false;
}

struct BoundColumn {
  std::string column;
  Json::Value value;
};

// The session members of an update or add, checked and converted to column values.
bool SessionColumns(const Json::Value& json, std::vector<BoundColumn>& columns) {
  for (const auto& member : lora_sql::kSessionMembers) {
    if (!json.isMember(member.member)) continue;
    const Json::Value& value = json[member.member];
    uint64_t number;
    switch (member.kind) {
      case lora_sql::MemberKind::kEui:
        if (!value.isString()) return false;
        columns.push_back({member.column, LoraDatabase::EuiKey(value.asString())});
        break;
      case lora_sql::MemberKind::kDevAddr:
        if (!JsonHexNumber(value, 4, number)) return false;
        columns.push_back({member.column, Json::Value(static_cast<Json::UInt64>(number))});
        break;
      case lora_sql::MemberKind::kNetId:
        if (!JsonHexNumber(value, 3, number)) return false;
        columns.push_back({member.column, Json::Value(static_cast<Json::UInt64>(number))});
        break;
      case lora_sql::MemberKind::kPlain:
        columns.push_back({member.column, value});
        break;
    }
  }
  return true;
}

}  // namespace

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
  SqlDb::Client client(connection_);
  const bool read = connection_.Execute(client, "SELECT version FROM schema LIMIT 1;", true, true);
  if (read && client.Next()) version = client.Value(0);
  client.Clear();

  LOG_INFO("Database version: %s", version.c_str());
  LOG_INFO("Latest version:   %s", kSchemaVersion);
  if (!read || strtol(version.c_str(), nullptr, 10) <= 16) {
    LOG_INFO("Creating database");
    if (!CreateSchema()) return false;
    UpgradeOldSchema();
  }
  bool ok = EnsureAdditions();
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
  {
    SqlDb::Client tables(connection_);
    RunOne(
        connection_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = 'nodes';",
        [](Statement&) {}, &tables);
    if (tables.RowCount() == 0) return;  // nothing of the older layout
  }
  NodeClient nodes(*this);
  if (!connection_.Execute(nodes, lora_sql::kOldNodesQuery, true)) return;

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
      RunOne(connection_, "UPDATE sessions SET nwk_down_counter = ?1 WHERE dev_addr = ?2;",
             [&](Statement& st) { st.BindInt(1, value).BindInt(2, devAddr); });
  if (!ok) {
    char text[9];
    snprintf(text, sizeof text, "%08x", devAddr);
    LOG_ERROR("SQL Query failed to update last seq no for device %s", text);
  }
  return ok;
}

bool LoraDatabase::UpdateUpCounter(uint32_t devAddr, uint32_t value) {
  const bool ok = RunOne(connection_, "UPDATE sessions SET up_counter = ?1 WHERE dev_addr = ?2;",
                         [&](Statement& st) { st.BindInt(1, value).BindInt(2, devAddr); });
  if (!ok) LOG_ERROR("SQL Query failed to update up counter for device %08x", devAddr);
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Packets and the downlink queue

int64_t LoraDatabase::AddUplinkPacket(const UplinkPacketRecord& p) {
  Lock lock(connection_);
  Statement st(lock, lora_sql::kInsertUplink);
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
    if (!m.isMember(required)) {
      LOG_ERROR("SQL Query failed to queue downlink missing '%s'", required);
      return -1;
    }
  }
  const std::string eui = EuiKey(m["deveui"].isString() ? m["deveui"].asString() : "");
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
  const bool ok = RunAll(connection_,
                         {"DELETE FROM uplink_packets WHERE id NOT IN "
                          "(SELECT id FROM uplink_packets ORDER BY id DESC LIMIT ?1);",
                          "DELETE FROM downlink_packets WHERE id NOT IN "
                          "(SELECT id FROM downlink_packets ORDER BY id DESC LIMIT ?1);"},
                         [&](Statement& st) { st.BindInt(1, rowsToKeep); });
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
      RunOne(connection_,
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
