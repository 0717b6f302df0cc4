#include "Database/SqlDb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Database/DbTime.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::TempDir;

// Runs SQL on a database file with its own connection, outside the code under test.
std::string QueryFile(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  std::string out;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* context, int columns, char** values, char**) {
        auto* text = static_cast<std::string*>(context);
        for (int i = 0; i < columns; ++i) {
          if (!text->empty()) text->append("|");
          text->append(values[i] != nullptr ? values[i] : "NULL");
        }
        return 0;
      },
      &out, nullptr);
  sqlite3_close(db);
  return out;
}

int64_t Count(SqlDb::Connection& connection, const char* table) {
  SqlDb::Client client(connection);
  connection.Execute(client, std::string("SELECT COUNT(*) FROM ") + table + ";", true);
  return client.Next() ? std::stoll(client.Value(0)) : -1;
}

TEST(SqlDb, CreatesRunFolderAndLoadsFlashCopy) {
  TempDir dir;
  QueryFile(dir.file("flash.db"), "CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('from flash');");
  LogCapture capture;
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  ASSERT_TRUE(connection.IsOpen());
  struct stat info {};
  ASSERT_EQ(stat(dir.file("run").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(capture.contains("Create '" + dir.file("run") + "' folder"));
  EXPECT_TRUE(
      capture.contains("Load db " + dir.file("flash.db") + " into " + dir.file("run/vallorin.db")));
  EXPECT_EQ(connection.runtimePath(), dir.file("run/vallorin.db"));
  EXPECT_FALSE(connection.IsDirty());

  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "SELECT a, NULL AS b FROM t;", true));
  ASSERT_TRUE(client.Next());
  EXPECT_EQ(client.Value(0), "from flash");
  EXPECT_EQ(client.Value(1), "");  // NULL reads as the empty text
  EXPECT_EQ(client.Name(1), "b");
  ASSERT_NE(client.Find("a"), nullptr);
  EXPECT_EQ(client.Find("missing"), nullptr);
  EXPECT_FALSE(client.Next());
  EXPECT_EQ(client.RowCount(), 0u);  // the end drops the rows
}

TEST(SqlDb, FailedLoadIsLoggedAndLeavesConnectionClosed) {
  TempDir dir;
  LogCapture capture;
  SqlDb::Connection connection(dir.file("missing/flash.db"), dir.file("run"));
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_TRUE(capture.contains("failed to open db [" + dir.file("missing/flash.db") + "]"));
  EXPECT_EQ(connection.Save(false), 0);  // nothing to save while not open
}

TEST(SqlDb, DirtyFollowsTheStatementText) {
  TempDir dir;
  LogCapture capture;
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1);"));
  struct Case {
    const char* name;
    const char* sql;
    bool dirty;
  } cases[] = {
      {"upper-case update", "UPDATE t SET a = 2;", true},
      {"insert", "INSERT INTO t VALUES (3);", true},
      {"delete", "DELETE FROM t WHERE a = 3;", true},
      {"select", "SELECT * FROM t;", false},
      {"lower-case update", "update t set a = 4;", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(connection.Save(true), 0);  // clears dirty, or says it was clean
    ASSERT_FALSE(connection.IsDirty());
    ASSERT_TRUE(connection.Execute(client, c.sql));
    EXPECT_EQ(connection.IsDirty(), c.dirty);
  }

  // Prepared statements mark dirty when they change rows.
  ASSERT_EQ(connection.Save(true), 0);
  {
    SqlDb::Lock lock(connection);
    SqlDb::Statement select(lock, "SELECT a FROM t WHERE a = ?;");
    select.BindInt(1, 4);
    ASSERT_TRUE(select.Run());
  }
  EXPECT_FALSE(connection.IsDirty());
  {
    SqlDb::Lock lock(connection);
    SqlDb::Statement update(lock, "update t set a = ?;");
    update.BindInt(1, 5);
    ASSERT_TRUE(update.Run());
    EXPECT_EQ(update.Changes(), 1);
  }
  EXPECT_TRUE(connection.IsDirty());
}

TEST(SqlDb, ErrorsAreLoggedAndReported) {
  TempDir dir;
  LogCapture capture;
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  SqlDb::Client client(connection);
  EXPECT_FALSE(connection.Execute(client, "SELECT * FROM nowhere;", false, true));
  EXPECT_TRUE(capture.contains("SQL error: [no such table: nowhere] on first call"));
  EXPECT_EQ(connection.Insert(client, "INSERT INTO nowhere VALUES (1);"), -1);
  SqlDb::Lock lock(connection);
  SqlDb::Statement bad(lock, "SELEC 1;");
  EXPECT_FALSE(bad.ok());
  EXPECT_FALSE(bad.BindInt(1, 1).Run());
}

TEST(SqlDb, SaveWithoutChangesLeavesFlashUntouchedAndChangesSurvive) {
  TempDir dir;
  LogCapture capture;
  {
    SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
    SqlDb::Client client(connection);
    ASSERT_TRUE(connection.Execute(client, "DROP TABLE IF EXISTS t; CREATE TABLE t (a TEXT);"));
    EXPECT_EQ(connection.Insert(client, "INSERT INTO t VALUES ('one');"), 1);
    ASSERT_EQ(connection.Save(false), 0);
    EXPECT_TRUE(capture.contains("DB backup 2 / 2 complete"));
  }
  const std::string before = testsupport::ReadFile(dir.file("flash.db"));
  ASSERT_FALSE(before.empty());
  {
    SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
    capture.clear();
    ASSERT_EQ(connection.Save(false), 0);
    EXPECT_TRUE(capture.contains("DB not dirty"));
    EXPECT_EQ(testsupport::ReadFile(dir.file("flash.db")), before);

    SqlDb::Client client(connection);
    ASSERT_TRUE(connection.Execute(client, "INSERT INTO t VALUES ('two');"));
    ASSERT_EQ(connection.Save(false), 0);
  }
  EXPECT_EQ(QueryFile(dir.file("flash.db"), "SELECT a FROM t ORDER BY a;"), "one|two");
}

TEST(SqlDb, ReconnectDropsUnsavedChanges) {
  TempDir dir;
  LogCapture capture;
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER);"));
  connection.MarkDirty();
  ASSERT_EQ(connection.Save(true), 0);
  ASSERT_TRUE(connection.Execute(client, "INSERT INTO t VALUES (1);"));
  connection.Reconnect();
  EXPECT_TRUE(capture.contains("DB Connection failed, reconnecting..."));
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_EQ(Count(connection, "t"), 0);
}

// Writers keep running statements for the whole of a backup in 50-page steps: every write lands
// in the run-time copy, and the flash copy is a sound database.
TEST(SqlDb, StatementsBetweenBackupStepsLoseNothing) {
  TempDir dir;
  LogCapture capture(ZEV::Logger::PrintLevel::INFO_LEVEL);
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(
      client,
      "CREATE TABLE t (id INTEGER PRIMARY KEY, writer INTEGER, payload TEXT); "
      "INSERT INTO t (writer, payload) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
      "FROM n WHERE i < 3000) SELECT -1, hex(randomblob(200)) FROM n;"));
  connection.MarkDirty();
  const int64_t initial = Count(connection, "t");

  std::atomic<bool> backupDone{false};
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      // At least a few writes each, and on until the backup is over.
      for (int i = 0; i < 20 || !backupDone.load(); ++i) {
        SqlDb::Lock lock(connection);
        SqlDb::Statement st(lock, "INSERT INTO t (writer, payload) VALUES (?, ?);");
        st.BindInt(1, w).BindText(2, std::string(300, static_cast<char>('a' + w)));
        if (st.Run()) written.fetch_add(1);
      }
    });
  }
  const int rc = connection.Save(false);
  backupDone = true;
  for (auto& writer : writers) writer.join();
  ASSERT_EQ(rc, 0);
  EXPECT_GE(capture.count("DB backup "), 5u) << "expected several 50-page steps";
  EXPECT_TRUE(capture.contains("DB backup 50 / ")) << capture.dump().substr(0, 500);
  EXPECT_EQ(QueryFile(dir.file("flash.db"), "PRAGMA integrity_check;"), "ok");
  EXPECT_EQ(Count(connection, "t"), initial + written.load());

  ASSERT_EQ(connection.Save(true), 0);
  EXPECT_EQ(QueryFile(dir.file("flash.db"), "SELECT COUNT(*) FROM t;"),
            std::to_string(initial + written.load()));
}

TEST(DbTime, FormatsAndReadsOneUtcForm) {
  using namespace std::chrono;
  const SqlDb::Timestamp t = SqlDb::Timestamp(seconds(1796497306)) + milliseconds(123);
  EXPECT_EQ(SqlDb::FormatTimestamp(t), "2026-12-05 19:01:46.123");
  struct Case {
    const char* text;
    bool ok;
    int64_t ms;
  } cases[] = {
      {"2026-12-05 19:01:46.123", true, 1796497306123},
      {"2026-12-05 19:01:46", true, 1796497306000},
      {"2026-12-05T19:01:46.123456Z", true, 1796497306123},
      {"2026-12-05 19:01:46 GMT", true, 1796497306000},
      {"2026-12-05", false, 0},
      {"2026-13-05 19:01:46", false, 0},
      {"2026-12-05 19:01:46+02:00", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SqlDb::Timestamp parsed{};
    ASSERT_EQ(SqlDb::ParseTimestamp(c.text, parsed), c.ok);
    if (c.ok) {
      EXPECT_EQ(duration_cast<milliseconds>(parsed.time_since_epoch()).count(), c.ms);
    }
  }
}

}  // namespace
