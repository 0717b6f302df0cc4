// SQL on a database file through a connection of the test's own, outside the code under test:
// rows as "a|b" joined by ";", NULL as "NULL", an error as "error: ...".
#pragma once

#include <sqlite3.h>

#include <string>

namespace dbtest {

inline std::string QueryFile(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  // A cache of its own, as another process has: the server's shared cache would mix its locks in.
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_PRIVATECACHE,
                  nullptr);
  std::string out;
  auto row = [](void* context, int columns, char** values, char**) {
    auto* text = static_cast<std::string*>(context);
    if (!text->empty()) text->append(";");
    for (int i = 0; i < columns; ++i) {
      text->append(i > 0 ? "|" : "").append(values[i] != nullptr ? values[i] : "NULL");
    }
    return 0;
  };
  char* error = nullptr;
  sqlite3_exec(db, sql.c_str(), row, &out, &error);
  if (error != nullptr) out = std::string("error: ") + error;
  sqlite3_free(error);
  sqlite3_close(db);
  return out;
}

}  // namespace dbtest
