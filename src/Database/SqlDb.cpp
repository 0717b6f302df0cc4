#include "Database/SqlDb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <chrono>
#include <thread>

#include "lora/Bytes.h"
#include "support/Logger.h"

namespace SqlDb {

namespace {

const std::string kEmpty;

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// SQLite's memory statistics take one process-wide mutex at every allocation and free, which the
// packet workers, the backup and the commands would all share; nothing here reads them. The
// setting only takes before the library's first use, which the first connection is in the server.
void ConfigureLibraryOnce() {
  static const int kConfigured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  static_cast<void>(kConfigured);
}

// The row callback of sqlite3_exec.
int CollectRow(void* context, int columns, char** values, char** names) {
  static_cast<Client*>(context)->AddRow(columns, values, names);
  return 0;
}

// Extended codes (SQLITE_LOCKED_SHAREDCACHE, SQLITE_BUSY_SNAPSHOT, ...) carry their primary code
// in the low byte; every retry decision is taken on that.
bool Retryable(int rc) {
  const int primary = rc & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Creates every missing folder of the path; false when one cannot be made.
bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) return false;
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool MarksDirty(const std::string& sql) {
  return !sql.empty() && (sql[0] == 'D' || sql[0] == 'I' || sql[0] == 'U');
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Client

Client::Client(Connection& connection) : connection_(connection) {}

Client::~Client() = default;

bool Client::Next() {
  if (cursor_ + 1 < static_cast<long>(rows_.size())) {
    ++cursor_;
    return true;
  }
  Clear();
  return false;
}

void Client::Clear() {
  rows_.clear();
  cursor_ = -1;
}

const Client::Row* Client::Current() const {
  if (cursor_ < 0 || cursor_ >= static_cast<long>(rows_.size())) return nullptr;
  return &rows_[static_cast<size_t>(cursor_)];
}

size_t Client::Columns() const {
  const Row* row = Current();
  return row == nullptr ? 0 : row->values.size();
}

const std::string& Client::Value(size_t column) const {
  const Row* row = Current();
  if (row == nullptr || column >= row->values.size()) return kEmpty;
  return row->values[column];
}

const std::string& Client::Name(size_t column) const {
  const Row* row = Current();
  if (row == nullptr || column >= row->names->size()) return kEmpty;
  return (*row->names)[column];
}

const std::string* Client::Find(const char* name) const {
  const Row* row = Current();
  if (row == nullptr) return nullptr;
  for (size_t i = 0; i < row->names->size(); ++i) {
    if ((*row->names)[i] == name) return &row->values[i];
  }
  return nullptr;
}

void Client::AddRow(int columns, char** values, char** names) {
  std::vector<std::string> rowValues;
  rowValues.reserve(static_cast<size_t>(columns));
  for (int i = 0; i < columns; ++i) rowValues.emplace_back(values[i] != nullptr ? values[i] : "");
  // Rows of one statement share their names; only build a new list when they change.
  std::shared_ptr<const std::vector<std::string>> rowNames;
  if (!rows_.empty() && rows_.back().names->size() == static_cast<size_t>(columns)) {
    rowNames = rows_.back().names;
    for (int i = 0; i < columns; ++i) {
      if ((*rowNames)[static_cast<size_t>(i)] != (names[i] != nullptr ? names[i] : "")) {
        rowNames.reset();
        break;
      }
    }
  }
  if (!rowNames) {
    auto built = std::make_shared<std::vector<std::string>>();
    for (int i = 0; i < columns; ++i) built->emplace_back(names[i] != nullptr ? names[i] : "");
    rowNames = std::move(built);
  }
  rows_.push_back(Row{std::move(rowValues), std::move(rowNames)});
  cursor_ = -1;
}

void Client::AddRow(std::vector<std::string> values,
                    const std::shared_ptr<const std::vector<std::string>>& names) {
  rows_.push_back(Row{std::move(values), names});
  cursor_ = -1;
}

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(std::string flashPath, std::string runDir)
    : flashPath_(std::move(flashPath)),
      runDir_(std::move(runDir)),
      runtimePath_(runDir_ + "/" + kRunFileName) {
  ConfigureLibraryOnce();
  sqlite3_enable_shared_cache(1);
  Open();
}

Connection::~Connection() { Close(); }

bool Connection::Open() {
  MutexLock lock(mutex_);
  return OpenHeld();
}

bool Connection::OpenHeld() {
  struct stat info {};
  if (stat(runDir_.c_str(), &info) != 0) {
    LOG_DEBUG("Create '%s' folder", runDir_.c_str());
    if (mkdir(runDir_.c_str(), 0700) != 0)
      LOG_ERROR("Failed to create '%s' folder", runDir_.c_str());
  }
  if (db_ != nullptr) CloseHeld();

  LOG_DEBUG("Open db in %s", runtimePath_.c_str());
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < 2; ++attempt) {
    rc = sqlite3_open_v2(runtimePath_.c_str(), &db_,
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                         nullptr);
    if (rc != SQLITE_OK || attempt > 0) break;
    // A damaged copy left by an earlier run would fail the load as if the flash file were the
    // damaged one, and that would be moved aside. The copy is rebuilt from flash anyway.
    const int check =
        sqlite3_exec(db_, "SELECT COUNT(*) FROM sqlite_master;", nullptr, nullptr, nullptr) & 0xFF;
    if (check != SQLITE_NOTADB && check != SQLITE_CORRUPT) break;
    LOG_WARNING("Run-time database %s is damaged (%s), making it afresh", runtimePath_.c_str(),
                sqlite3_errstr(check));
    sqlite3_close(db_);
    db_ = nullptr;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
      unlink((runtimePath_ + suffix).c_str());
    }
  }
  if (rc != SQLITE_OK) {
    LOG_ERROR("failed to create in memory db [%s]", db_ != nullptr ? sqlite3_errmsg(db_) : "");
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
    open_ = false;
    runtimeFailed_ = true;
    return false;
  }

  // The run-time copy is rebuilt from flash at every start, so syncing it to its (RAM-backed)
  // storage buys nothing; the flash file is written through its own connection with SQLite's
  // defaults. The journal stays (in memory) so that transactions still roll back. Its pages are
  // in RAM already, so SQLite's own cache of them is kept small: a miss costs a copy from tmpfs.
  sqlite3_exec(db_,
               "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; PRAGMA cache_size = -512;",
               nullptr, nullptr, nullptr);

  const std::string flashFolder = FolderOf(flashPath_);
  if (!MakeFolders(flashFolder)) {
    LOG_ERROR("Cannot create the database folder '%s': %s", flashFolder.c_str(), strerror(errno));
    folderMissing_ = true;
    return false;
  }

  LOG_DEBUG("Load db %s into %s", flashPath_.c_str(), runtimePath_.c_str());
  rc = LoadFromFlash();
  const int primary = rc & 0xFF;
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) {
    // Kept for the operator, never overwritten: the server starts on an empty database.
    const std::string aside =
        flashPath_ + ".corrupt-" + std::to_string(static_cast<long long>(time(nullptr)));
    if (rename(flashPath_.c_str(), aside.c_str()) == 0) {
      LOG_ERROR("Flash database %s is not a usable database (%s): moved aside to %s, starting "
                "with an empty one", flashPath_.c_str(), sqlite3_errstr(rc), aside.c_str());
      rc = LoadFromFlash();
    } else {
      LOG_ERROR("Flash database %s is not a usable database (%s) and cannot be moved aside: %s",
                flashPath_.c_str(), sqlite3_errstr(rc), strerror(errno));
    }
  }
  if (rc == SQLITE_OK) {
    dirty_ = false;
    open_ = true;
    return true;
  }
  // The run-time copy was not filled from flash; writing it back would replace the flash file's
  // contents with whatever the copy holds, so backups stay off until a reconnection loads it.
  LOG_ERROR("failed to open db [%s]", flashPath_.c_str());
  LOG_ERROR("Flash database %s could not be loaded (%s); changes will not be backed up",
            flashPath_.c_str(), sqlite3_errstr(rc));
  return open_.load();
}

int Connection::LoadFromFlash() {
  sqlite3* flash = nullptr;
  int rc = sqlite3_open(flashPath_.c_str(), &flash);
  if (rc != SQLITE_OK) {
    sqlite3_close(flash);
    return rc;
  }
  LOG_INFO("DB loading...");
  // Another process (an operator's sqlite3 shell, a copy in progress) may hold the file for a
  // moment: wait for it rather than start on an empty copy.
  int waitedMs = 0;
  for (;;) {
    sqlite3_backup* backup = sqlite3_backup_init(db_, "main", flash, "main");
    if (backup == nullptr) {
      rc = sqlite3_errcode(db_);  // init errors are left on the destination
      break;
    }
    const int step = sqlite3_backup_step(backup, -1);
    rc = sqlite3_backup_finish(backup);
    if (!Retryable(step)) {
      if (rc == SQLITE_OK && step != SQLITE_DONE) rc = step;
      break;
    }
    if (waitedMs >= kLoadWaitMs) {
      LOG_WARNING("Flash database still busy after %d ms", waitedMs);
      rc = step;
      break;
    }
    SleepMs(kRetryPauseMs);
    waitedMs += kRetryPauseMs;
  }
  if (rc == SQLITE_OK) rc = sqlite3_errcode(flash);
  sqlite3_close(flash);
  return rc;
}

int Connection::SaveToFlash(bool allAtOnce) {
  sqlite3* flash = nullptr;
  int rc = sqlite3_open(flashPath_.c_str(), &flash);
  if (rc != SQLITE_OK) {
    sqlite3_close(flash);
    return rc;
  }
  // A backup that met a busy or locked file is finished and started again after a pause: with
  // the shared cache a locked destination stays locked for the backup object that saw it.
  const int pages = allAtOnce ? -1 : kPagesPerStep;
  int waitedMs = 0;
  for (;;) {
    sqlite3_backup* backup = nullptr;
    {
      MutexLock lock(mutex_);
      EndGroupHeld();
      if (db_ != nullptr) backup = sqlite3_backup_init(flash, "main", db_, "main");
    }
    if (backup == nullptr) {
      rc = sqlite3_errcode(flash);  // init errors are left on the destination
      break;
    }
    int step;
    for (;;) {
      {
        MutexLock lock(mutex_);
        // The flash copy gets committed rows only.
        EndGroupHeld();
        step = sqlite3_backup_step(backup, pages);
        const int total = sqlite3_backup_pagecount(backup);
        LOG_INFO("DB backup %d / %d complete", total - sqlite3_backup_remaining(backup), total);
      }
      if (step != SQLITE_OK) break;
      SleepMs(5);
    }
    {
      MutexLock lock(mutex_);
      rc = sqlite3_backup_finish(backup);
    }
    if (!Retryable(step)) break;
    if (waitedMs >= kSaveWaitMs) {
      rc = step;
      break;
    }
    SleepMs(kRetryPauseMs);
    waitedMs += kRetryPauseMs;
  }
  sqlite3_close(flash);
  return rc;
}

int Connection::Save(bool allAtOnce) {
  MutexLock saveLock(saveMutex_);
  if (!open_) {
    // Nothing can be written, and saying "ok" would hide that the flash file is stale.
    LOG_ERROR("DB backup not possible: the flash database %s was never loaded", flashPath_.c_str());
    return SQLITE_CANTOPEN;
  }
  {
    MutexLock lock(mutex_);
    if (!dirty_) {
      LOG_INFO("DB not dirty");
      return 0;
    }
    // Cleared before the copy: a change made while the copy runs sets it again, so it is never
    // forgotten even when the copy did not carry it.
    dirty_ = false;
  }
  int rc = SaveToFlash(allAtOnce);
  if (rc != SQLITE_OK) {
    MutexLock lock(mutex_);
    dirty_ = true;
  }
  return rc;
}

bool Connection::ExecuteHeld(Client* client, const std::string& sql, bool keepRows,
                             bool firstCall) {
  if (db_ == nullptr) {
    LOG_ERROR("SQL error: [%s] %s", "database not open", firstCall ? "on first call" : "");
    return false;
  }
  EndGroupHeld();
  char* error = nullptr;
  int rc =
      sqlite3_exec(db_, sql.c_str(), client != nullptr ? &CollectRow : nullptr, client, &error);
  changes_ = sqlite3_changes(db_);
  if (rc != SQLITE_OK) {
    LOG_ERROR("SQL error: [%s] %s", error != nullptr ? error : sqlite3_errstr(rc),
              firstCall ? "on first call" : "");
    sqlite3_free(error);
    if (client != nullptr && !keepRows) client->Clear();
    return false;
  }
  if (MarksDirty(sql)) dirty_ = true;
  if (client != nullptr && !keepRows) client->Clear();
  return true;
}

bool Connection::Execute(Client& client, const std::string& sql, bool keepRows, bool firstCall) {
  MutexLock lock(mutex_);
  return ExecuteHeld(&client, sql, keepRows, firstCall);
}

int64_t Connection::Insert(Client& client, const std::string& sql) {
  MutexLock lock(mutex_);
  if (!ExecuteHeld(&client, sql, false, false)) return -1;
  return sqlite3_last_insert_rowid(db_);
}

void Connection::Reconnect() {
  MutexLock saveLock(saveMutex_);
  MutexLock lock(mutex_);
  LOG_WARNING("DB Connection failed, reconnecting...");
  CloseHeld();
  OpenHeld();
  if (!open_) {
    SleepMs(500);
    CloseHeld();
    OpenHeld();
    SleepMs(500);
  }
}

void Connection::Step(sqlite3_stmt* statement) {
  MutexLock lock(mutex_);
  int rc = sqlite3_step(statement);
  LOG_DEBUG("step %d %s", rc, db_ != nullptr ? sqlite3_errmsg(db_) : "");
  if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
    if (!sqlite3_stmt_readonly(statement)) dirty_ = true;
  }
  rc = sqlite3_finalize(statement);
  LOG_DEBUG("fin: %d %s", rc, db_ != nullptr ? sqlite3_errmsg(db_) : "");
}

void Connection::GroupWrites(uint32_t ms) {
  MutexLock lock(mutex_);
  if (ms == 0) EndGroupHeld();
  groupMs_ = ms;
}

void Connection::CommitAgedWrites() {
  if (!groupPending_.load(std::memory_order_relaxed)) return;
  MutexLock lock(mutex_);
  if (groupOpen_ && MonotonicMs() - groupStartedMs_ >= static_cast<int64_t>(groupMs_)) EndGroupHeld();
}

void Connection::BeginGroupHeld() {
  // Inside a transaction of the caller's own the write belongs to that one.
  if (groupMs_ == 0 || groupOpen_ || db_ == nullptr || sqlite3_get_autocommit(db_) == 0) return;
  char* error = nullptr;
  if (sqlite3_exec(db_, "BEGIN;", nullptr, nullptr, &error) != SQLITE_OK) {
    // The write then commits on its own, as without grouping.
    LOG_ERROR("SQL error: [%s] %s", error != nullptr ? error : "BEGIN failed", "grouping writes");
    sqlite3_free(error);
    return;
  }
  groupOpen_ = true;
  groupPending_.store(true, std::memory_order_relaxed);
  groupWrites_ = 0;
  groupStartedMs_ = MonotonicMs();
}

void Connection::WroteInGroupHeld() {
  if (!groupOpen_) return;
  if (++groupWrites_ >= kGroupWrites || MonotonicMs() - groupStartedMs_ >= static_cast<int64_t>(groupMs_))
    EndGroupHeld();
}

void Connection::EndGroupHeld() {
  if (!groupOpen_) return;
  groupOpen_ = false;
  groupPending_.store(false, std::memory_order_relaxed);
  if (sqlite3_get_autocommit(db_) != 0) {
    // Some errors (a full or failing file, no memory) roll the whole transaction back.
    LOG_ERROR("SQL error: [%s] %s", "a failed statement rolled back the writes grouped with it",
              std::to_string(groupWrites_).c_str());
    return;
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, &error);
  if (rc == SQLITE_OK) return;
  if (Retryable(rc)) {
    // Another connection is reading the file: the group stays open and the next write or the
    // periodic caller tries again.
    groupOpen_ = true;
    groupPending_.store(true, std::memory_order_relaxed);
  } else {
    LOG_ERROR("SQL error: [%s] %s", error != nullptr ? error : sqlite3_errstr(rc), "on commit");
  }
  sqlite3_free(error);
}

std::string Connection::LastError() {
  MutexLock lock(mutex_);
  return db_ != nullptr ? sqlite3_errmsg(db_) : "database not open";
}

void Connection::Close() {
  MutexLock lock(mutex_);
  CloseHeld();
}

void Connection::CloseHeld() {
  if (db_ != nullptr) EndGroupHeld();
  for (auto& entry : cache_) sqlite3_finalize(entry.second);
  cache_.clear();
  if (db_ != nullptr) {
    // Statements never outlive their Lock, so nothing should keep the connection busy; should
    // something still do, let SQLite close it once that is finished rather than leak it.
    if (sqlite3_close(db_) != SQLITE_OK) sqlite3_close_v2(db_);
    db_ = nullptr;
  }
  open_ = false;
}

bool Connection::IsDirty() {
  MutexLock lock(mutex_);
  return dirty_;
}

void Connection::MarkDirty() {
  MutexLock lock(mutex_);
  dirty_ = true;
}

int Connection::Changes() {
  MutexLock lock(mutex_);
  return changes_;
}

// ---------------------------------------------------------------------------------------------
// Lock and Statement

Lock::Lock(Connection& connection) : connection_(connection) { connection_.mutex_.lock(); }

Lock::~Lock() { connection_.mutex_.unlock(); }

bool Lock::Execute(const char* script) NO_THREAD_SAFETY_ANALYSIS {
  return connection_.ExecuteHeld(nullptr, script, false, false);
}

Statement::Statement(Lock& lock, const char* sql) NO_THREAD_SAFETY_ANALYSIS
    : connection_(lock.connection()) {
  sqlite3* db = connection_.db_;
  if (db == nullptr) {
    LOG_ERROR("SQL error: [%s] %s", "database not open", "");
    return;
  }
  if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
    LOG_ERROR("SQL error: [%s] %s", sqlite3_errmsg(db), "");
    sqlite3_finalize(statement_);
    statement_ = nullptr;
  }
}

Statement::Statement(Lock& lock, const char* sql, Reuse) NO_THREAD_SAFETY_ANALYSIS
    : connection_(lock.connection()) {
  sqlite3* db = connection_.db_;
  if (db == nullptr) {
    LOG_ERROR("SQL error: [%s] %s", "database not open", "");
    return;
  }
  auto found = connection_.cache_.find(std::string_view(sql));
  if (found != connection_.cache_.end()) {
    statement_ = found->second;
    cached_ = true;
    return;
  }
  if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
    LOG_ERROR("SQL error: [%s] %s", sqlite3_errmsg(db), "");
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    return;
  }
  connection_.cache_.emplace(std::string_view(sqlite3_sql(statement_)), statement_);
  cached_ = true;
}

Statement::~Statement() {
  if (cached_) {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  } else {
    sqlite3_finalize(statement_);
  }
}

Statement& Statement::BindInt(int index, int64_t value) {
  if (statement_ != nullptr) sqlite3_bind_int64(statement_, index, value);
  return *this;
}

Statement& Statement::BindDouble(int index, double value) {
  if (statement_ != nullptr) sqlite3_bind_double(statement_, index, value);
  return *this;
}

Statement& Statement::BindText(int index, const std::string& value) {
  if (statement_ != nullptr) {
    sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()),
                      SQLITE_TRANSIENT);
  }
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (statement_ != nullptr) sqlite3_bind_null(statement_, index);
  return *this;
}

bool Statement::Run(Client* rows) NO_THREAD_SAFETY_ANALYSIS {
  if (statement_ == nullptr) return false;
  sqlite3* db = connection_.db_;
  const bool writes = sqlite3_stmt_readonly(statement_) == 0;
  if (writes) connection_.BeginGroupHeld();
  const int before = sqlite3_total_changes(db);
  std::shared_ptr<const std::vector<std::string>> names;
  int rc;
  while ((rc = sqlite3_step(statement_)) == SQLITE_ROW) {
    if (rows == nullptr) continue;
    const int columns = sqlite3_column_count(statement_);
    if (!names) {
      auto built = std::make_shared<std::vector<std::string>>();
      for (int i = 0; i < columns; ++i) {
        const char* name = sqlite3_column_name(statement_, i);
        built->emplace_back(name != nullptr ? name : "");
      }
      names = std::move(built);
    }
    std::vector<std::string> values;
    values.reserve(static_cast<size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      const unsigned char* text = sqlite3_column_text(statement_, i);
      values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "",
                          static_cast<size_t>(sqlite3_column_bytes(statement_, i)));
    }
    rows->AddRow(std::move(values), names);
  }
  changes_ = sqlite3_changes(db);
  connection_.changes_ = changes_;
  lastInsertId_ = sqlite3_last_insert_rowid(db);
  if (sqlite3_total_changes(db) != before) connection_.dirty_ = true;
  const bool done = rc == SQLITE_DONE;
  if (!done) LOG_ERROR("SQL error: [%s] %s", sqlite3_errmsg(db), "");
  if (writes) connection_.WroteInGroupHeld();
  return done;
}

}  // namespace SqlDb
