// The SQLite file behind the registry component: keys by folded path,
// values by folded name, with the transaction every component instance of
// the process shares (see registry_component.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quellvox {

struct StoredValue {
  std::string Name;  // as first written (UTF-8)
  uint32_t Type = 0;  // REG_DWORD or REG_SZ
  uint32_t Dword = 0;
  std::string Text;  // UTF-8
};

class RegistryStore {
 public:
  // The store of `path` for this process, joined by one more user (a
  // component instance): the connection already open for that path, else a
  // new one. Creates the file (mode 0600, folders 0700) on first use.
  // E_REG_BADDB for a file that is not a store of this component,
  // E_REG_CANTOPEN when it cannot be opened; in both cases the file is left
  // untouched.
  //
  // The connection stays open while no instance uses it, for the next load
  // or save (closing a connection checkpoints the log, which costs several
  // disk flushes), as long as the file at `path` is still the one it opened
  // and no other path is asked for.
  static HResult Acquire(const std::string& path, std::shared_ptr<RegistryStore>& out);

  // The user is done: the last one ends the transaction (commits it, or
  // rolls it back when the commit fails or a write of it failed).
  void Leave();

  ~RegistryStore();
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Every call below REQUIRES Mutex() held by the caller.
  std::mutex& Mutex() { return mutex_; }

  // Ends the open transaction now: commits it and returns S_OK, or rolls it
  // back and returns the first failure of a write of it or of the commit.
  // S_OK when none is open.
  HResult Commit();
  // Ends the open transaction without saving it.
  void Rollback();

  // A read snapshot, when no transaction is open yet.
  HResult EnsureRead();
  // The write lock, waiting up to the busy timeout for other writers. A read
  // snapshot of this process is ended first, so that no reader ever waits
  // for a writer while holding its snapshot. Once a write of the
  // transaction failed, E_REG_CANTWRITE until the transaction ends: a save
  // is kept whole or not at all.
  HResult EnsureWrite();

  // `pathKey` is the folded full path; `path` the path as given.
  HResult KeyExists(const std::string& pathKey, bool& exists);
  // Creates the key and every missing ancestor; an existing key keeps the
  // case it was created with. REQUIRES EnsureWrite.
  HResult CreateKey(const std::vector<std::string>& pathKeys, const std::vector<std::string>& paths);

  HResult ReadValue(const std::string& pathKey, const std::string& nameKey, StoredValue& out);
  // REQUIRES EnsureWrite. An existing value keeps its name's case.
  HResult WriteValue(const std::string& pathKey, const std::string& nameKey, const StoredValue& value);
  HResult DeleteValue(const std::string& pathKey, const std::string& nameKey);
  // Value `index` of the key in folded-name order; E_NOTFOUND past the end.
  HResult ValueAt(const std::string& pathKey, uint32_t index, StoredValue& out);

  const std::string& Path() const { return path_; }

 private:
  enum class Txn { None, Read, Write };

  explicit RegistryStore(std::string path) : path_(std::move(path)) {}
  HResult Open();
  // True when `path_` still names the file this connection opened.
  bool StillSameFile() const;
  HResult Initialise();
  HResult UseWriteAheadLog();
  HResult Exec(const char* sql);
  sqlite3_stmt* Statement(int id, const char* sql);
  void End();
  // Sets the thread's error text to the path and `reason`; returns `hr`.
  HResult Fail(HResult hr, const std::string& reason) const;
  HResult FailSqlite(HResult hr) const;
  // A write of the open transaction failed: remembered for Commit, and the
  // transaction rolled back at its end.
  HResult WriteFailed(HResult hr);
  static int BusyWait(void* self, int count);
  bool LockQueue();
  void UnlockQueue();

  std::mutex mutex_;
  std::string path_;
  sqlite3* db_ = nullptr;
  Txn txn_ = Txn::None;
  int users_ = 0;
  int queueFd_ = -1;  // the writers' queue file beside the store
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
  std::chrono::steady_clock::time_point busySince_;
  // Set when a wait for another process gave up; every later wait of the
  // same load or save (until the last user leaves) gives up at once, so
  // that one operation waits once.
  bool waitGaveUp_ = false;
  HResult writeFailure_ = S_OK;  // first failed write of the open transaction
  static constexpr int kStatements = 8;
  sqlite3_stmt* statements_[kStatements] = {};
};

}  // namespace quellvox
