#include "platform/registry/registry_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/registry/folders.h"
#include "platform/registry/registry_component.h"

namespace quellvox {

namespace {

// Marks a SQLite file as this component's store ("QVOX"), so that a database
// of anything else found at the store's path is refused, not changed.
constexpr int32_t kApplicationId = 0x51564F58;
// Layout of the tables below.
constexpr int32_t kFormatVersion = 1;

// Keys by folded full path ("hkey_local_machine\software\quellvox\#1"),
// values by folded name; both keep the names as first given for display.
// DWORD data is an INTEGER 0..2^32-1, string data TEXT (UTF-8).
constexpr const char* kSchema =
    "CREATE TABLE keys("
    " path_key TEXT NOT NULL PRIMARY KEY,"
    " path TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE vals("
    " path_key TEXT NOT NULL,"
    " name_key TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " data NOT NULL,"
    " PRIMARY KEY(path_key, name_key)) WITHOUT ROWID;";

enum StatementId {
  kKeyExists,
  kInsertKey,
  kReadValue,
  kWriteValue,
  kDeleteValue,
  kValueAt,
};

struct StoreSlot {
  pid_t Pid;
  std::string Path;
  std::shared_ptr<RegistryStore> Store;
};

std::mutex& SlotsMutex() {
  static std::mutex m;
  return m;
}

std::vector<StoreSlot>& Slots() {
  static std::vector<StoreSlot> v;
  return v;
}

// Connections a child made by fork() inherited from its parent: never used
// and never closed in the child (closing would checkpoint the parent's log).
std::vector<std::shared_ptr<RegistryStore>>& Inherited() {
  static auto* v = new std::vector<std::shared_ptr<RegistryStore>>;
  return *v;
}

bool WaitsAbandoned() { return ComponentWaitsAbandoned(); }

std::string ErrnoText(int error) { return std::strerror(error); }

HResult FailureOf(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return E_REG_BADDB;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return E_REG_CANTOPEN;
    default:
      return E_REG_CANTREAD;
  }
}

}  // namespace

HResult RegistryStore::Fail(HResult hr, const std::string& reason) const {
  SetErrorDescription(path_ + ": " + reason);
  return hr;
}

HResult RegistryStore::FailSqlite(HResult hr) const {
  const int rc = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
  if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
    return Fail(hr, WaitsAbandoned() ? "the wait for another process was abandoned"
                                     : "locked by another process (waited " +
                                           std::to_string(kRegistryBusyTimeoutMs / 1000) + " s)");
  }
  return Fail(hr, db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
}

HResult RegistryStore::WriteFailed(HResult hr) {
  FailSqlite(hr);
  if (writeFailure_ == S_OK) writeFailure_ = hr;
  return hr;
}

HResult RegistryStore::Acquire(const std::string& path, std::shared_ptr<RegistryStore>& out) {
  out.reset();
  if (path.empty() || path[0] != '/') {
    SetErrorDescription("no folder for the settings: neither XDG_CONFIG_HOME nor HOME names an absolute path");
    return E_REG_CANTOPEN;
  }
  const pid_t pid = ::getpid();
  std::lock_guard lock(SlotsMutex());
  auto& slots = Slots();
  for (size_t i = 0; i < slots.size();) {
    StoreSlot& slot = slots[i];
    bool keep = true;
    if (slot.Pid != pid) {
      Inherited().push_back(std::move(slot.Store));
      keep = false;
    } else {
      std::lock_guard storeLock(slot.Store->mutex_);
      if (slot.Store->users_ == 0 && (slot.Path != path || !slot.Store->StillSameFile())) keep = false;
    }
    if (keep) {
      ++i;
    } else {
      slots.erase(slots.begin() + static_cast<std::ptrdiff_t>(i));  // an idle connection closes here
    }
  }
  for (StoreSlot& slot : slots) {
    if (slot.Path == path) {
      std::lock_guard storeLock(slot.Store->mutex_);
      ++slot.Store->users_;
      out = slot.Store;
      return S_OK;
    }
  }
  std::shared_ptr<RegistryStore> store(new RegistryStore(path));
  const HResult hr = store->Open();
  if (hr != S_OK) return hr;
  store->users_ = 1;
  slots.push_back({pid, path, store});
  out = std::move(store);
  return S_OK;
}

void RegistryStore::Leave() {
  std::lock_guard lock(mutex_);
  if (--users_ == 0) {
    End();
    waitGaveUp_ = false;
  }
}

bool RegistryStore::StillSameFile() const {
  struct stat st {};
  return ::stat(path_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == device_ &&
         static_cast<uint64_t>(st.st_ino) == inode_;
}

HResult RegistryStore::Open() {
  const size_t slash = path_.rfind('/');
  if (!MakeFolders(path_.substr(0, slash))) {
    const int error = errno;
    return Fail(E_REG_CANTOPEN, "cannot make its folder: " + ErrnoText(error));
  }

  // Create the file ourselves so that it is readable by its user only;
  // SQLite gives its -wal and -shm files the mode of the database file.
  const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
  } else if (errno != EEXIST) {
    return Fail(E_REG_CANTOPEN, ErrnoText(errno));
  }

  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    return FailSqlite(E_REG_CANTOPEN);
  }
  struct stat st {};
  if (::stat(path_.c_str(), &st) != 0) return Fail(E_REG_CANTOPEN, ErrnoText(errno));
  device_ = static_cast<uint64_t>(st.st_dev);
  inode_ = static_cast<uint64_t>(st.st_ino);
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_handler(db_, &RegistryStore::BusyWait, this);

  // Read before anything can write: a file that is not a database fails here
  // and stays as it was.
  sqlite3_stmt* probe = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT (SELECT count(*) FROM sqlite_schema),"
                              " (SELECT application_id FROM pragma_application_id),"
                              " (SELECT user_version FROM pragma_user_version),"
                              " (SELECT page_count FROM pragma_page_count)",
                              -1, &probe, nullptr);
  if (rc != SQLITE_OK) return FailSqlite(FailureOf(rc));
  rc = sqlite3_step(probe);
  if (rc != SQLITE_ROW) {
    sqlite3_finalize(probe);
    return FailSqlite(FailureOf(rc));
  }
  const int64_t objects = sqlite3_column_int64(probe, 0);
  const int64_t applicationId = sqlite3_column_int64(probe, 1);
  const int64_t format = sqlite3_column_int64(probe, 2);
  const int64_t pages = sqlite3_column_int64(probe, 3);
  sqlite3_finalize(probe);

  if (pages != 0 && applicationId != kApplicationId) {
    // Somebody else's database, even one without tables yet (its header
    // already says whose it is): never touched.
    return Fail(E_REG_BADDB, "not a settings store (a database of another program)");
  }
  if (objects == 0) {
    const HResult hr = Initialise();  // sets the error text
    if (hr != S_OK) return hr;
  } else if (format > kFormatVersion) {
    return Fail(E_REG_CANTOPEN, "written by a newer version of the program");
  } else if (UseWriteAheadLog() != S_OK) {
    return FailSqlite(E_REG_CANTOPEN);
  }
  // A commit reaches the disk before the save returns: a power cut loses no
  // save that completed.
  if (Exec("PRAGMA synchronous=FULL") != S_OK) return FailSqlite(E_REG_CANTOPEN);
  // The writers' queue (see EnsureWrite); without it writers still take
  // turns through SQLite's lock, only less fairly.
  queueFd_ = ::open((path_ + "-queue").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return S_OK;
}

// Switching a new file to the write-ahead log needs it to itself: when two
// processes open a new store at once, SQLite refuses one of them at once
// (no busy wait, which could deadlock), so the refused one tries again.
HResult RegistryStore::UseWriteAheadLog() {
  const auto start = std::chrono::steady_clock::now();
  for (int count = 0;; ++count) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
    bool wal = false;
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(s);
      const auto* mode = rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : nullptr;
      wal = mode && std::strcmp(mode, "wal") == 0;
    }
    sqlite3_finalize(s);
    if (wal) return S_OK;
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return FailureOf(rc == SQLITE_ROW ? SQLITE_CANTOPEN : rc);
    if (WaitsAbandoned() ||
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kRegistryBusyTimeoutMs)) {
      return E_REG_CANTOPEN;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(count < 20 ? 100 : 1000));
  }
}

// Turns an empty file (no page at all) into a store, or finishes one that
// carries our application id. The id, the format and the tables are
// committed together, in the file's first transaction, before the switch to
// the write-ahead log: no other process ever sees the file with a header
// that is not ours. Two processes may get here at the same time for a new
// file: the write lock orders them, and the second finds the tables made.
HResult RegistryStore::Initialise() {
  if (Exec("BEGIN IMMEDIATE") != S_OK) return FailSqlite(E_REG_CANTOPEN);
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(db_,
                              "SELECT (SELECT count(*) FROM sqlite_schema),"
                              " (SELECT application_id FROM pragma_application_id)",
                              -1, &check, nullptr);
  int64_t objects = -1;
  int64_t applicationId = 0;
  if (rc == SQLITE_OK && sqlite3_step(check) == SQLITE_ROW) {
    objects = sqlite3_column_int64(check, 0);
    applicationId = sqlite3_column_int64(check, 1);
  }
  sqlite3_finalize(check);
  // Inside a write transaction SQLite counts the first page as present
  // even in an empty file, so emptiness is the file's own size here; the
  // write lock keeps every other writer from changing it meanwhile.
  struct stat st {};
  const bool empty = ::stat(path_.c_str(), &st) == 0 && st.st_size == 0;
  HResult hr = S_OK;
  if (objects < 0) {
    hr = E_REG_CANTOPEN;
  } else if (!empty && applicationId != kApplicationId) {
    hr = E_REG_BADDB;
  } else if (objects == 0) {
    char pragmas[96];
    std::snprintf(pragmas, sizeof pragmas, "PRAGMA application_id=%d; PRAGMA user_version=%d;",
                  static_cast<int>(kApplicationId), static_cast<int>(kFormatVersion));
    if (Exec(pragmas) != S_OK || Exec(kSchema) != S_OK) hr = E_REG_CANTOPEN;
  }
  if (hr == S_OK && Exec("COMMIT") == S_OK) return UseWriteAheadLog() == S_OK ? S_OK : FailSqlite(E_REG_CANTOPEN);
  // The reason first: the rollback replaces SQLite's last message.
  if (hr == E_REG_BADDB) {
    Fail(hr, "not a settings store (a database of another program)");
  } else {
    hr = FailSqlite(E_REG_CANTOPEN);
  }
  Exec("ROLLBACK");
  return hr;
}

RegistryStore::~RegistryStore() {
  if (!db_) {
    if (queueFd_ >= 0) ::close(queueFd_);
    return;
  }
  End();
  for (sqlite3_stmt*& s : statements_) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  sqlite3_close_v2(db_);
  if (queueFd_ >= 0) ::close(queueFd_);
}

// Another process holds the lock: try again soon, for up to the busy
// timeout. SQLite's own timeout backs off to 100 ms sleeps, so that a writer
// saving in a loop could keep a waiting one out for seconds; short sleeps
// let the waiter in as soon as the lock is free. A wait that gave up ends
// every later wait of the same load or save at once.
int RegistryStore::BusyWait(void* self, int count) {
  auto* store = static_cast<RegistryStore*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) store->busySince_ = now;
  if (store->waitGaveUp_ || WaitsAbandoned() ||
      now - store->busySince_ >= std::chrono::milliseconds(kRegistryBusyTimeoutMs)) {
    store->waitGaveUp_ = true;
    return 0;
  }
  std::this_thread::sleep_for(std::chrono::microseconds(count < 20 ? 100 : 1000));
  return 1;
}

HResult RegistryStore::Exec(const char* sql) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK ? S_OK : FailureOf(rc);
}

sqlite3_stmt* RegistryStore::Statement(int id, const char* sql) {
  sqlite3_stmt*& s = statements_[id];
  if (!s && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    s = nullptr;
    return nullptr;
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
  return s;
}

void RegistryStore::End() { Commit(); }

HResult RegistryStore::Commit() {
  if (txn_ == Txn::None) return S_OK;
  for (sqlite3_stmt* s : statements_) {
    if (s) sqlite3_reset(s);
  }
  HResult hr = writeFailure_;
  if (hr == S_OK && Exec("COMMIT") != S_OK) hr = FailSqlite(E_REG_CANTWRITE);
  // SQLite may have rolled back by itself after a failed write (a full
  // disk); then there is nothing left to roll back.
  if (hr != S_OK && !sqlite3_get_autocommit(db_)) Exec("ROLLBACK");
  txn_ = Txn::None;
  writeFailure_ = S_OK;
  return hr;
}

void RegistryStore::Rollback() {
  if (txn_ == Txn::None) return;
  if (writeFailure_ == S_OK) writeFailure_ = E_REG_CANTWRITE;
  Commit();  // a failed transaction is rolled back there
}

HResult RegistryStore::EnsureRead() {
  if (txn_ != Txn::None) return S_OK;
  const HResult hr = Exec("BEGIN");
  if (hr != S_OK) return FailSqlite(hr);
  txn_ = Txn::Read;
  return S_OK;
}

// SQLite's write lock has no queue: a process that saves again right after
// its commit can take the lock before a waiting process polls for it, again
// and again. Writers therefore line up first: a waiting writer holds the
// queue lock while it waits for the write lock, so that the one that just
// committed cannot reach the write lock again before the waiter had its turn.
HResult RegistryStore::EnsureWrite() {
  if (txn_ == Txn::Write) {
    if (writeFailure_ != S_OK) return E_REG_CANTWRITE;
    // A failed statement may have made SQLite roll the transaction back by
    // itself: never go on writing outside it.
    if (sqlite3_get_autocommit(db_)) return WriteFailed(E_REG_CANTWRITE);
    return S_OK;
  }
  End();
  const bool queued = LockQueue();
  const HResult hr = Exec("BEGIN IMMEDIATE");
  if (queued) UnlockQueue();
  if (hr != S_OK) return FailSqlite(E_REG_CANTWRITE);
  txn_ = Txn::Write;
  writeFailure_ = S_OK;
  return S_OK;
}

bool RegistryStore::LockQueue() {
  if (queueFd_ < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  const auto start = std::chrono::steady_clock::now();
  for (int count = 0;; ++count) {
    // Open-file-description locks: held by this connection, not the process.
    if (::fcntl(queueFd_, F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return false;
    if (waitGaveUp_ || WaitsAbandoned() ||
        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kRegistryQueueWaitMs)) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(count < 20 ? 100 : 1000));
  }
}

void RegistryStore::UnlockQueue() {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  ::fcntl(queueFd_, F_OFD_SETLK, &lock);
}

namespace {

void BindText(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  const int n = sqlite3_column_bytes(s, column);
  return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

void ColumnValue(sqlite3_stmt* s, StoredValue& out) {
  out.Name = ColumnText(s, 0);
  out.Type = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
  if (out.Type == REG_DWORD) {
    out.Dword = static_cast<uint32_t>(sqlite3_column_int64(s, 2));
    out.Text.clear();
  } else {
    out.Dword = 0;
    out.Text = ColumnText(s, 2);
  }
}

}  // namespace

HResult RegistryStore::KeyExists(const std::string& pathKey, bool& exists) {
  sqlite3_stmt* s = Statement(kKeyExists, "SELECT 1 FROM keys WHERE path_key = ?1");
  if (!s) return E_REG_CANTREAD;
  BindText(s, 1, pathKey);
  const int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return FailureOf(rc);
  exists = rc == SQLITE_ROW;
  return S_OK;
}

HResult RegistryStore::CreateKey(const std::vector<std::string>& pathKeys, const std::vector<std::string>& paths) {
  sqlite3_stmt* s = Statement(kInsertKey, "INSERT OR IGNORE INTO keys(path_key, path) VALUES(?1, ?2)");
  if (!s) return WriteFailed(E_REG_CANTWRITE);
  for (size_t i = 0; i < pathKeys.size(); ++i) {
    sqlite3_reset(s);
    BindText(s, 1, pathKeys[i]);
    BindText(s, 2, paths[i]);
    const int rc = sqlite3_step(s);
    if (rc != SQLITE_DONE) {
      WriteFailed(E_REG_CANTWRITE);
      sqlite3_reset(s);
      return E_REG_CANTWRITE;
    }
  }
  sqlite3_reset(s);
  return S_OK;
}

HResult RegistryStore::ReadValue(const std::string& pathKey, const std::string& nameKey, StoredValue& out) {
  sqlite3_stmt* s =
      Statement(kReadValue, "SELECT name, type, data FROM vals WHERE path_key = ?1 AND name_key = ?2");
  if (!s) return E_REG_CANTREAD;
  BindText(s, 1, pathKey);
  BindText(s, 2, nameKey);
  const int rc = sqlite3_step(s);
  HResult hr = S_OK;
  if (rc == SQLITE_ROW) {
    ColumnValue(s, out);
  } else {
    hr = rc == SQLITE_DONE ? E_NOTFOUND : FailureOf(rc);
  }
  sqlite3_reset(s);
  return hr;
}

HResult RegistryStore::WriteValue(const std::string& pathKey, const std::string& nameKey, const StoredValue& value) {
  sqlite3_stmt* s = Statement(kWriteValue,
                              "INSERT INTO vals(path_key, name_key, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                              " ON CONFLICT(path_key, name_key) DO UPDATE SET type = excluded.type,"
                              " data = excluded.data");
  if (!s) return WriteFailed(E_REG_CANTWRITE);
  BindText(s, 1, pathKey);
  BindText(s, 2, nameKey);
  BindText(s, 3, value.Name);
  sqlite3_bind_int64(s, 4, value.Type);
  if (value.Type == REG_DWORD) {
    sqlite3_bind_int64(s, 5, value.Dword);
  } else {
    BindText(s, 5, value.Text);
  }
  const int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) WriteFailed(E_REG_CANTWRITE);
  sqlite3_reset(s);
  return rc == SQLITE_DONE ? S_OK : E_REG_CANTWRITE;
}

HResult RegistryStore::DeleteValue(const std::string& pathKey, const std::string& nameKey) {
  sqlite3_stmt* s = Statement(kDeleteValue, "DELETE FROM vals WHERE path_key = ?1 AND name_key = ?2");
  if (!s) return WriteFailed(E_REG_CANTWRITE);
  BindText(s, 1, pathKey);
  BindText(s, 2, nameKey);
  const int rc = sqlite3_step(s);
  if (rc != SQLITE_DONE) WriteFailed(E_REG_CANTWRITE);
  sqlite3_reset(s);
  if (rc != SQLITE_DONE) return E_REG_CANTWRITE;
  return sqlite3_changes(db_) > 0 ? S_OK : E_NOTFOUND;
}

HResult RegistryStore::ValueAt(const std::string& pathKey, uint32_t index, StoredValue& out) {
  sqlite3_stmt* s = Statement(
      kValueAt, "SELECT name, type, data FROM vals WHERE path_key = ?1 ORDER BY name_key LIMIT 1 OFFSET ?2");
  if (!s) return E_REG_CANTREAD;
  BindText(s, 1, pathKey);
  sqlite3_bind_int64(s, 2, index);
  const int rc = sqlite3_step(s);
  HResult hr = S_OK;
  if (rc == SQLITE_ROW) {
    ColumnValue(s, out);
  } else {
    hr = rc == SQLITE_DONE ? E_NOTFOUND : FailureOf(rc);
  }
  sqlite3_reset(s);
  return hr;
}

}  // namespace quellvox
