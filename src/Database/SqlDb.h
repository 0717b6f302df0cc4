// The one SQLite connection of the process and the per-query row holders.
//
// Flash wears out and is slow, so the database is worked on in a run-time copy ("vallorin.db" in a
// RAM-backed folder) that is loaded from the flash file with SQLite's online-backup interface and
// written back to it from time to time in small steps, so that other threads keep running
// statements between the steps.
//
// Two ways to run SQL:
//   - Connection::Execute / Insert for fixed scripts (schema creation, drops): sqlite3_exec with a
//     row callback. Never pass values from outside through them.
//   - Lock + Statement for everything that carries a value: prepare, bind, step, finalize.
//       SqlDb::Lock lock(connection);
//       SqlDb::Statement st(lock, "UPDATE sessions SET up_counter = ? WHERE dev_addr = ?;");
//       st.BindInt(1, counter).BindInt(2, devAddr);
//       if (!st.Run()) ...
//     A Lock holds the connection mutex, so several statements under one Lock (a transaction) run
//     without other threads' statements or backup steps in between.
//
// Thread use: any thread. Lock order: save mutex -> connection mutex; the connection mutex is the
// innermost lock of the whole server.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Exception.h"
#include "support/Mutex.h"

namespace SqlDb {

// Thrown by callers of the database (never by this file) for conditions that end a thread's work.
class Exception : public ::Exception {
 public:
  Exception(const char* file, int line, std::string message, int errorNumber = -1)
      : ::Exception(::ZEV::Logger::PrintLevel::ERROR_LEVEL, file, line, std::move(message),
                    errorNumber) {}
};

#define THROW_SQL_EXCEPTION(message, ...) \
  throw ::SqlDb::Exception(__FILE__, __LINE__, message, ##__VA_ARGS__)

class Connection;

// One query's result set: an ordered list of rows, each a list of texts in column order (NULL
// reads as the empty text) with the column names. Owned by the thread that runs the query, so rows
// of concurrent queries never mix.
class Client {
 public:
  explicit Client(Connection& connection);
  virtual ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Moves to the next collected row; at the end drops the rows and returns false.
  virtual bool Next();
  void Clear();

  size_t RowCount() const { return rows_.size(); }
  // Columns of the current row (0 before the first Next).
  size_t Columns() const;
  // Value and name of a column of the current row; the empty text when out of range.
  const std::string& Value(size_t column) const;
  const std::string& Name(size_t column) const;
  // The value of the named column of the current row, nullptr when the row has no such column.
  const std::string* Find(const char* name) const;

  Connection& connection() const { return connection_; }

  // Row collection, used by Connection and Statement.
  void AddRow(int columns, char** values, char** names);
  void AddRow(std::vector<std::string> values,
              const std::shared_ptr<const std::vector<std::string>>& names);

 private:
  struct Row {
    std::vector<std::string> values;
    std::shared_ptr<const std::vector<std::string>> names;
  };
  const Row* Current() const;

  Connection& connection_;
  std::vector<Row> rows_;
  long cursor_ = -1;
};

class Lock;
class Statement;

class Connection {
 public:
  static constexpr const char* kDefaultRunDir = "/var/run/lora";
  static constexpr const char* kRunFileName = "vallorin.db";
  static constexpr int kPagesPerStep = 50;
  static constexpr int kRetryPauseMs = 250;
  // How long start-up waits for a flash file that another process holds.
  static constexpr int kLoadWaitMs = 5000;
  // How long a backup keeps retrying a busy flash file before the interval counts as failed.
  static constexpr int kSaveWaitMs = 60000;

  // Enables SQLite's shared cache process-wide and opens the run-time copy "vallorin.db" inside
  // runDir, loaded from the flash file.
  explicit Connection(std::string flashPath, std::string runDir = kDefaultRunDir);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Creates the run-time folder when missing, opens the run-time file and loads the flash file
  // into it. True when open and loaded.
  bool Open() EXCLUDES(mutex_);
  // Writes the run-time copy to flash when dirty, 50 pages per step (or all at once). Returns the
  // SQLite error code of the flash connection (0 = success), 0 when nothing had to be written,
  // SQLITE_CANTOPEN when the flash file was never loaded (the copy must not replace it).
  int Save(bool allAtOnce) EXCLUDES(saveMutex_, mutex_);
  // Runs a fixed script; rows of queries go into the client (dropped unless keepRows). A script
  // starting with "D", "I" or "U" marks the database dirty. False on an SQL error.
  bool Execute(Client& client, const std::string& sql, bool keepRows = false,
               bool firstCall = false) EXCLUDES(mutex_);
  // Execute and then the last insert row id, under the same lock; -1 when the script failed.
  int64_t Insert(Client& client, const std::string& sql) EXCLUDES(mutex_);
  // Closes and reopens from flash; changes not yet saved are lost.
  void Reconnect() EXCLUDES(saveMutex_, mutex_);
  // Runs a prepared statement once and finalizes it, logging both results.
  void Step(sqlite3_stmt* statement) EXCLUDES(mutex_);

  // Commits the run-time copy's writes in groups: the first write outside a transaction opens
  // one, and it is committed once it is `ms` old or holds kGroupWrites writes, before any fixed
  // script (so BEGIN still starts a transaction of its own), before every backup step and at
  // close. Every statement still sees every earlier write; only other connections (an operator's
  // shell) see them up to `ms` late. The copy is rebuilt from flash at start, so a crash loses
  // nothing a commit per statement would have kept. 0 (the default) commits every statement.
  void GroupWrites(uint32_t ms) EXCLUDES(mutex_);
  // Commits a group that is older than the group time; for a periodic caller, so that the last
  // writes before a quiet spell do not wait for the next one.
  void CommitAgedWrites() EXCLUDES(mutex_);
  static constexpr int kGroupWrites = 256;

  bool IsOpen() const { return open_.load(); }
  // The flash file's folder was missing and could not be created: nothing can ever be saved.
  bool FolderMissing() const { return folderMissing_.load(); }
  // The run-time copy could not be created (its folder missing or unwritable).
  bool RuntimeFailed() const { return runtimeFailed_.load(); }
  std::string LastError() EXCLUDES(mutex_);
  void Close() EXCLUDES(mutex_);
  bool IsDirty() EXCLUDES(mutex_);
  // For schema changes made through statements that do not count as row changes.
  void MarkDirty() EXCLUDES(mutex_);
  // Rows changed by the last statement.
  int Changes() EXCLUDES(mutex_);

  const std::string& flashPath() const { return flashPath_; }
  const std::string& runDir() const { return runDir_; }
  const std::string& runtimePath() const { return runtimePath_; }

 private:
  friend class Lock;
  friend class Statement;

  bool OpenHeld() REQUIRES(mutex_);
  void CloseHeld() REQUIRES(mutex_);
  bool ExecuteHeld(Client* client, const std::string& sql, bool keepRows, bool firstCall)
      REQUIRES(mutex_);
  int LoadFromFlash() REQUIRES(mutex_);
  void BeginGroupHeld() REQUIRES(mutex_);
  void WroteInGroupHeld() REQUIRES(mutex_);
  void EndGroupHeld() REQUIRES(mutex_);
  int SaveToFlash(bool allAtOnce) REQUIRES(saveMutex_) EXCLUDES(mutex_);

  const std::string flashPath_;
  const std::string runDir_;
  const std::string runtimePath_;

  Mutex saveMutex_ ACQUIRED_BEFORE(mutex_);  // one save or reconnection at a time
  Mutex mutex_;                              // every statement and every backup step
  sqlite3* db_ GUARDED_BY(mutex_) = nullptr;
  // Statements of the hot paths, prepared once per connection and reset after each use; keyed by
  // their text as SQLite holds it, finalized when the connection closes.
  std::unordered_map<std::string_view, sqlite3_stmt*> cache_ GUARDED_BY(mutex_);
  int changes_ GUARDED_BY(mutex_) = 0;
  // A transaction per statement costs file locks, a journal check and page writes each time,
  // most of what storing an uplink costs; grouping shares them (GroupWrites).
  uint32_t groupMs_ GUARDED_BY(mutex_) = 0;
  bool groupOpen_ GUARDED_BY(mutex_) = false;
  int groupWrites_ GUARDED_BY(mutex_) = 0;
  int64_t groupStartedMs_ GUARDED_BY(mutex_) = 0;
  std::atomic<bool> groupPending_{false};  // groupOpen_, readable without the lock
  bool dirty_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> open_{false};
  std::atomic<bool> folderMissing_{false};
  std::atomic<bool> runtimeFailed_{false};
};

// Holds the connection mutex for its lifetime; statements and transactions run under it.
class SCOPED_CAPABILITY Lock {
 public:
  explicit Lock(Connection& connection) ACQUIRE(connection.mutex_);
  ~Lock() RELEASE();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  // A fixed script under this lock ("BEGIN;", "COMMIT;", drops); false on an SQL error.
  bool Execute(const char* script);
  Connection& connection() const { return connection_; }

 private:
  Connection& connection_;
};

// A prepared statement under a Lock: prepare_v2 on construction, finalize on destruction. Binds
// are 1-based. A failed prepare is logged; its binds are ignored and Run returns false.
class Statement {
 public:
  // Asks for the connection's prepared copy of a fixed text (kept for the next use) instead of
  // preparing and finalizing it every time; for statements that run on every uplink.
  enum Reuse { kCached };

  Statement(Lock& lock, const char* sql);
  Statement(Lock& lock, const char* sql, Reuse);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  Statement& BindInt(int index, int64_t value);
  Statement& BindDouble(int index, double value);
  Statement& BindText(int index, const std::string& value);
  Statement& BindNull(int index);

  // Steps to the end, collecting rows into `rows` when given. Marks the database dirty when rows
  // were changed. False on any SQLite error (logged as "SQL error: [...]").
  bool Run(Client* rows = nullptr);
  // After Run: rows changed and the row id of the last insert.
  int Changes() const { return changes_; }
  int64_t LastInsertId() const { return lastInsertId_; }

 private:
  Connection& connection_;
  sqlite3_stmt* statement_ = nullptr;
  bool cached_ = false;
  int changes_ = 0;
  int64_t lastInsertId_ = -1;
};

}  // namespace SqlDb
