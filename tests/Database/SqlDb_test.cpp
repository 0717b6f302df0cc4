#include "Database/SqlDb.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "Database/DbTime.h"
#include "QueryFile.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::TempDir;

using dbtest::QueryFile;

// A connection on flash.db with its run-time copy in run/.
class SqlDbTest : public ::testing::Test {
 protected:
  // The table made and saved, so that only what follows counts as a change.
  void CreateSaved(const std::string& sql) {
    ASSERT_TRUE(connection.Execute(client, sql));
    connection.MarkDirty();  // a CREATE alone does not count as a change
    ASSERT_EQ(connection.Save(true), 0);
  }

  TempDir dir;
  SqlDb::Connection connection{dir.file("flash.db"), dir.file("run")};
  SqlDb::Client client{connection};
};

TEST(SqlDb, LoadsFlashCopyIntoPrivateRunFolderAndTracksChanges) {
  TempDir dir;
  QueryFile(dir.file("flash.db"), "CREATE TABLE t (a TEXT); INSERT INTO t VALUES ('from flash');");
  LogCapture quiet;
  SqlDb::Connection connection(dir.file("flash.db"), dir.file("run"));
  ASSERT_TRUE(connection.IsOpen());
  struct stat info {};
  ASSERT_EQ(stat(dir.file("run").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "SELECT a, NULL AS b FROM t;", true));
  ASSERT_TRUE(client.Next());
  EXPECT_EQ(client.Value(0), "from flash");
  EXPECT_EQ(client.Value(1), "");  // NULL reads as the empty text

  const std::pair<const char*, bool> cases[] = {
      {"UPDATE t SET a = 2;", true},        {"INSERT INTO t VALUES (3);", true},
      {"DELETE FROM t WHERE a = 3;", true}, {"SELECT * FROM t;", false},
      {"update t set a = 4;", false},  // only the upper-case keywords count
  };
  for (const auto& [sql, dirty] : cases) {
    SCOPED_TRACE(sql);
    ASSERT_EQ(connection.Save(true), 0);
    ASSERT_TRUE(connection.Execute(client, sql));
    EXPECT_EQ(connection.IsDirty(), dirty);
  }
}

TEST_F(SqlDbTest, FailuresAreLoggedAndReconnectDropsUnsavedChanges) {
  LogCapture capture;
  // A path through a regular file can never hold the flash file.
  testsupport::WriteFile(dir.file("plain"), "x");
  SqlDb::Connection none(dir.file("plain/sub/flash.db"), dir.file("run-none"));
  EXPECT_FALSE(none.IsOpen());
  EXPECT_TRUE(none.FolderMissing());
  EXPECT_TRUE(capture.contains("Cannot create the database folder '" + dir.file("plain/sub") + "'"));
  EXPECT_FALSE(connection.Execute(client, "SELECT * FROM nowhere;", false, true));
  EXPECT_TRUE(capture.contains("SQL error: [no such table: nowhere] on first call"));
  EXPECT_EQ(connection.Insert(client, "INSERT INTO nowhere VALUES (1);"), -1);

  CreateSaved("CREATE TABLE t (a INTEGER);");
  ASSERT_TRUE(connection.Execute(client, "INSERT INTO t VALUES (1);"));
  connection.Reconnect();
  EXPECT_TRUE(capture.contains("DB Connection failed, reconnecting..."));
  EXPECT_EQ(QueryFile(connection.runtimePath(), "SELECT COUNT(*) FROM t;"), "0");
}

// The flash file's folders are made when missing; a file that is not a database is moved aside,
// never overwritten, and the server starts on an empty one.
TEST(SqlDb, MissingFoldersAreMadeAndAnUnloadedFileIsNeverOverwritten) {
  TempDir dir;
  {
    SqlDb::Connection connection(dir.file("a/b/flash.db"), dir.file("run"));
    EXPECT_TRUE(connection.IsOpen());
    SqlDb::Client client(connection);
    ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (1);"));
    connection.MarkDirty();
    EXPECT_EQ(connection.Save(true), 0);
  }
  EXPECT_EQ(QueryFile(dir.file("a/b/flash.db"), "SELECT COUNT(*) FROM t;"), "1");

  // A damaged copy left by an earlier run is not the flash file's fault: it is replaced.
  const std::string garbage(4096, 'g');
  testsupport::WriteFile(dir.file("run/vallorin.db"), garbage);
  {
    LogCapture capture;
    SqlDb::Connection connection(dir.file("a/b/flash.db"), dir.file("run"));
    EXPECT_TRUE(connection.IsOpen()) << capture.dump();
    EXPECT_FALSE(capture.contains("is not a usable database")) << capture.dump();
    EXPECT_EQ(QueryFile(connection.runtimePath(), "SELECT COUNT(*) FROM t;"), "1");
  }
  EXPECT_EQ(QueryFile(dir.file("a/b/flash.db"), "SELECT COUNT(*) FROM t;"), "1");

  testsupport::WriteFile(dir.file("garbage.db"), garbage);
  LogCapture capture;
  SqlDb::Connection connection(dir.file("garbage.db"), dir.file("run2"));
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_TRUE(capture.contains("is not a usable database")) << capture.dump();
  const std::string line = capture.dump();
  const size_t at = line.find("moved aside to ");
  ASSERT_NE(at, std::string::npos);
  const std::string aside = line.substr(at + 15, line.find(',', at) - at - 15);
  EXPECT_EQ(testsupport::ReadFile(aside), garbage);
  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER);"));
  connection.MarkDirty();
  EXPECT_EQ(connection.Save(true), 0);
  EXPECT_EQ(QueryFile(dir.file("garbage.db"), "PRAGMA integrity_check;"), "ok");
}

// A backup that cannot reach its target says so and leaves the copy serving; once the fault is
// gone the next backup writes everything.
TEST_F(SqlDbTest, FailedBackupIsRetriedByTheNextOne) {
  ASSERT_TRUE(connection.IsOpen());
  ASSERT_EQ(unlink(dir.file("flash.db").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("flash.db").c_str(), 0700), 0);  // the target is unusable
  ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (5);"));
  connection.MarkDirty();
  EXPECT_NE(connection.Save(true), 0);
  EXPECT_TRUE(connection.IsDirty());
  EXPECT_TRUE(connection.Execute(client, "INSERT INTO t VALUES (6);"));
  ASSERT_EQ(rmdir(dir.file("flash.db").c_str()), 0);
  EXPECT_EQ(connection.Save(true), 0);
  EXPECT_EQ(QueryFile(dir.file("flash.db"), "SELECT COUNT(*) FROM t;"), "2");
}

// Another connection of the process holds the flash file (shared cache, so the conflict reads as
// the extended SQLITE_LOCKED_SHAREDCACHE): loading and saving wait for it instead of giving up.
TEST(SqlDb, BusyFlashFileIsWaitedForOnLoadAndSave) {
  TempDir dir;
  const std::string flash = dir.file("flash.db");
  QueryFile(flash, "CREATE TABLE t (a INTEGER); INSERT INTO t VALUES (7);");
  auto holdFor = [&](const char* begin, int ms) {
    auto held = std::make_shared<std::atomic<bool>>(false);
    std::thread holder([flash, begin, ms, held] {
      sqlite3* other = nullptr;
      sqlite3_open(flash.c_str(), &other);
      sqlite3_exec(other, begin, nullptr, nullptr, nullptr);
      sqlite3_exec(other, "SELECT * FROM t;", nullptr, nullptr, nullptr);
      held->store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
      sqlite3_close(other);
    });
    while (!held->load()) std::this_thread::yield();
    return holder;
  };

  std::thread writer = holdFor("BEGIN EXCLUSIVE;", 700);
  SqlDb::Connection connection(flash, dir.file("run"));
  writer.join();
  ASSERT_TRUE(connection.IsOpen());
  EXPECT_EQ(QueryFile(connection.runtimePath(), "SELECT a FROM t;"), "7");

  SqlDb::Client client(connection);
  ASSERT_TRUE(connection.Execute(client, "INSERT INTO t VALUES (8);"));
  std::thread reader = holdFor("BEGIN;", 700);
  const int rc = connection.Save(true);
  reader.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(QueryFile(flash, "SELECT COUNT(*) FROM t;"), "2");
}

// A kept statement is reset between uses: no bound value or unfinished step leaks into the next.
TEST_F(SqlDbTest, CachedStatementsStartCleanEachTime) {
  CreateSaved("CREATE TABLE t (a INTEGER, b TEXT);");
  static const char* kInsert = "INSERT INTO t (a, b) VALUES (?1, ?2);";
  for (int i = 0; i < 3; ++i) {
    SqlDb::Lock lock(connection);
    SqlDb::Statement st(lock, kInsert, SqlDb::Statement::kCached);
    st.BindInt(1, i);
    if (i == 0) st.BindText(2, "first only");
    ASSERT_TRUE(st.Run());
  }
  EXPECT_EQ(QueryFile(connection.runtimePath(), "SELECT a, b FROM t ORDER BY a;"),
            "0|first only;1|NULL;2|NULL");
  connection.Reconnect();  // the kept statements go with the old connection
  SqlDb::Lock lock(connection);
  SqlDb::Statement st(lock, kInsert, SqlDb::Statement::kCached);
  EXPECT_TRUE(st.BindInt(1, 9).Run());
}

// Writers keep running statements for the whole of a backup in 50-page steps: every write lands
// in the run-time copy, and the flash copy is a sound database.
TEST_F(SqlDbTest, StatementsBetweenBackupStepsLoseNothing) {
  LogCapture capture(ZEV::Logger::PrintLevel::INFO_LEVEL);
  ASSERT_TRUE(connection.Execute(
      client,
      "CREATE TABLE t (id INTEGER PRIMARY KEY, writer INTEGER, payload TEXT); "
      "INSERT INTO t (writer, payload) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
      "FROM n WHERE i < 3000) SELECT -1, hex(randomblob(200)) FROM n;"));
  connection.MarkDirty();

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
        // Writers that took the lock back to back could keep the backup from it for minutes on
        // a busy machine; uplinks arrive with gaps between them.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  const int rc = connection.Save(false);
  backupDone = true;
  for (auto& writer : writers) writer.join();
  ASSERT_EQ(rc, 0);
  EXPECT_GE(capture.count("DB backup "), 5u) << "expected several 50-page steps";
  EXPECT_EQ(QueryFile(dir.file("flash.db"), "PRAGMA integrity_check;"), "ok");
  EXPECT_EQ(QueryFile(connection.runtimePath(), "SELECT COUNT(*) FROM t;"),
            std::to_string(3000 + written.load()));
}

// Grouped writes are seen at once by the connection itself, by other connections and by the flash
// copy once committed: before a transaction of the caller's own, before a backup, when the group
// is full and when it has aged.
TEST_F(SqlDbTest, GroupedWritesCommitBeforeScriptsBackupsAndWhenFullOrAged) {
  ASSERT_TRUE(connection.Execute(client, "CREATE TABLE t (a INTEGER);"));
  connection.GroupWrites(60000);
  auto insert = [&](SqlDb::Lock& lock, int a) {
    SqlDb::Statement st(lock, "INSERT INTO t VALUES (?);", SqlDb::Statement::kCached);
    return st.BindInt(1, a).Run();
  };
  auto insertOne = [&](int a) {
    SqlDb::Lock lock(connection);
    return insert(lock, a);
  };
  auto outside = [&](const std::string& file) { return QueryFile(file, "SELECT COUNT(*) FROM t;"); };

  ASSERT_TRUE(insertOne(1));
  EXPECT_EQ(outside(connection.runtimePath()), "0");
  {
    SqlDb::Lock lock(connection);
    SqlDb::Statement count(lock, "SELECT COUNT(*) FROM t;");
    ASSERT_TRUE(count.Run(&client));
    ASSERT_TRUE(client.Next());
    EXPECT_EQ(client.Value(0), "1");
  }
  connection.CommitAgedWrites();
  EXPECT_EQ(outside(connection.runtimePath()), "0") << "not aged yet";
  {
    SqlDb::Lock lock(connection);
    ASSERT_TRUE(lock.Execute("BEGIN;"));
    ASSERT_TRUE(insert(lock, 2));
    ASSERT_TRUE(lock.Execute("ROLLBACK;"));  // takes back its own write, not the group's
  }
  EXPECT_EQ(outside(connection.runtimePath()), "1");

  ASSERT_TRUE(insertOne(3));
  ASSERT_EQ(connection.Save(true), 0);
  EXPECT_EQ(outside(dir.file("flash.db")), "2");

  for (int i = 0; i < SqlDb::Connection::kGroupWrites; ++i) ASSERT_TRUE(insertOne(i));
  EXPECT_EQ(outside(connection.runtimePath()), std::to_string(2 + SqlDb::Connection::kGroupWrites));

  connection.GroupWrites(1);
  ASSERT_TRUE(insertOne(4));
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  connection.CommitAgedWrites();
  EXPECT_EQ(outside(connection.runtimePath()), std::to_string(3 + SqlDb::Connection::kGroupWrites));
}

TEST(DbTime, FormatsAndReadsOneUtcForm) {
  using namespace std::chrono;
  const SqlDb::Timestamp t = SqlDb::Timestamp(seconds(1796497306)) + milliseconds(123);
  EXPECT_EQ(SqlDb::FormatTimestamp(t), "2026-12-05 19:01:46.123");
  const std::pair<const char*, int64_t> cases[] = {
      // milliseconds, or -1 when refused
      {"2026-12-05 19:01:46.123", 1796497306123},
      {"2026-12-05T19:01:46.123456Z", 1796497306123},
      {"2026-12-05 19:01:46 GMT", 1796497306000},
      {"2026-12-05", -1},
      {"2026-13-05 19:01:46", -1},
      {"2026-12-05 19:01:46+02:00", -1},
      {"", -1},
  };
  for (const auto& [text, ms] : cases) {
    SCOPED_TRACE(text);
    SqlDb::Timestamp parsed{};
    ASSERT_EQ(SqlDb::ParseTimestamp(text, parsed), ms >= 0);
    EXPECT_EQ(ms < 0 ? ms : duration_cast<milliseconds>(parsed.time_since_epoch()).count(), ms);
  }
}

}  // namespace
