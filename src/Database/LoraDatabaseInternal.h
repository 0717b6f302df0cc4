// Helpers shared by the files of the network database: hex parsing, transactions, statement
// running and JSON binding. Internal to src/Database.
#pragma once

#include <json/json.h>

#include <cctype>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "Database/Lora-Database.h"
#include "Database/LoraDatabaseSql.h"
#include "support/JsonText.h"

namespace lora_db {

using SqlDb::Lock;
using SqlDb::Statement;

// Reads exactly 2 * size hex digits, allowing "-" and ":" between them, into a number.
inline bool ParseHex(const std::string& text, size_t size, uint64_t& value) {
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
inline std::string KeyText(const std::string& text) {
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
inline std::string PlainEui(const std::string& text) {
  uint64_t value;
  if (!ParseHex(text, 8, value)) return text;
  char out[17];
  snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(value));
  return out;
}

inline double Mhz(uint32_t hz) { return hz / 1e6; }

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
inline bool RunAll(SqlDb::Connection& connection, std::initializer_list<const char*> statements,
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

inline bool RunOne(SqlDb::Connection& connection, const char* sql,
                   const std::function<void(Statement&)>& bind, SqlDb::Client* rows = nullptr) {
  Lock lock(connection);
  Statement statement(lock, sql);
  bind(statement);
  return statement.Run(rows);
}

// RunOne for a fixed text that runs on every uplink: the connection keeps it prepared.
inline bool RunCached(SqlDb::Connection& connection, const char* sql,
                      const std::function<void(Statement&)>& bind) {
  Lock lock(connection);
  Statement statement(lock, sql, Statement::kCached);
  bind(statement);
  return statement.Run();
}

// Binds a JSON value by its own type; arrays and objects as their compact text.
inline void BindJson(Statement& statement, int index, const Json::Value& value) {
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
    default:
      statement.BindText(index, JsonText::Compact(value));
  }
}

// A hex text (with or without separators) or a non-negative number.
inline bool JsonHexNumber(const Json::Value& value, size_t bytes, uint64_t& out) {
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
inline bool SessionColumns(const Json::Value& json, std::vector<BoundColumn>& columns) {
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

}  // namespace lora_db
