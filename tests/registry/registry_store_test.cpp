#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <set>
#include <string>
#include <vector>

#include "registry_fixture.h"

namespace quellvox::test {
namespace {

using RegistryStoreFile = RegistryTest;

std::string QueryText(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string out = "<error>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      out = t ? t : "";
    }
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  return out;
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
  return names;
}

TEST_F(RegistryStoreFile, IsCreatedOnFirstUseReadableByItsUserOnly) {
  EXPECT_FALSE(std::filesystem::exists(StorePath()));
  ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
  reg->WriteDword(Cs("X0"), 1);
  EXPECT_EQ(ModeOf(StorePath()), 0600u);
  EXPECT_EQ(ModeOf(StorePath() + "-wal"), 0600u);
  EXPECT_EQ(ModeOf(configHome_ + "/quellvox"), 0700u);
  EXPECT_EQ(ModeOf(configHome_), 0700u);
}

TEST_F(RegistryStoreFile, KeepsAWriteAheadLog) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  EXPECT_EQ(QueryText(StorePath(), "PRAGMA journal_mode"), "wal");
}

TEST_F(RegistryStoreFile, AFileThatIsNotADatabaseFailsTheCreationAndStaysAsItWas) {
  std::filesystem::create_directories(configHome_ + "/quellvox");
  std::string garbage = "These are my notes, not a database.\n";
  for (int i = 0; i < 200; ++i) garbage += static_cast<char>(i * 37);
  WriteFileBytes(StorePath(), garbage);

  ComPtr<IKTRegistryAccess> reg;
  EXPECT_EQ(CreateInstance(kClsidRegistryAccess, reg), E_REG_BADDB);
  EXPECT_FALSE(reg);
  EXPECT_EQ(ReadFileBytes(StorePath()), garbage);
  EXPECT_EQ(FilesIn(configHome_ + "/quellvox"), (std::set<std::string>{"registry.sqlite3"}));
}

TEST_F(RegistryStoreFile, ADatabaseOfAnotherProgramIsRefusedAndLeftAlone) {
  std::filesystem::create_directories(configHome_ + "/quellvox");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('mine')", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string before = ReadFileBytes(StorePath());

  ComPtr<IKTRegistryAccess> reg;
  EXPECT_EQ(CreateInstance(kClsidRegistryAccess, reg), E_REG_BADDB);
  EXPECT_EQ(ReadFileBytes(StorePath()), before);
}

TEST_F(RegistryStoreFile, AStoreThatCannotBeOpenedFailsTheCreation) {
  std::filesystem::create_directories(StorePath());  // a folder where the file belongs
  ComPtr<IKTRegistryAccess> reg;
  EXPECT_EQ(CreateInstance(kClsidRegistryAccess, reg), E_REG_CANTOPEN);

  WriteFileBytes(root_ + "/plain-file", "x");
  ::setenv("XDG_CONFIG_HOME", (root_ + "/plain-file/config").c_str(), 1);
  EXPECT_EQ(CreateInstance(kClsidRegistryAccess, reg), E_REG_CANTOPEN);
}

TEST_F(RegistryStoreFile, AStoreRemovedBetweenSavesIsMadeAfreshByTheNextSave) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  std::filesystem::remove_all(configHome_ + "/quellvox");
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 2);
  ASSERT_TRUE(std::filesystem::exists(StorePath()));
  EXPECT_EQ(StoredDword("Quellvox\\#1", "X0"), 2u);
}

TEST_F(RegistryStoreFile, ARelativeConfigHomeIsIgnoredForTheHomeFolder) {
  const char* home = std::getenv("HOME");
  const std::string oldHome = home ? home : "";
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  ::setenv("HOME", root_.c_str(), 1);
  EXPECT_EQ(RegistryStorePath(), root_ + "/.config/quellvox/registry.sqlite3");
  EXPECT_EQ(AutostartFolderPath(), root_ + "/.config/autostart");
  if (home) {
    ::setenv("HOME", oldHome.c_str(), 1);
  } else {
    ::unsetenv("HOME");
  }
}

constexpr int kValuesPerSave = 20;

// One save of instance `key`: every value set to `round`. Returns 0 or the
// step that failed.
int SaveRound(const char* key, uint32_t round) {
  ComPtr<IKTRegistryAccess> reg;
  if (CreateInstance(kClsidRegistryAccess, reg) != S_OK) return 10;
  if (reg->OpenKey(Cs(key), KEY_WRITE) != S_OK && reg->CreateKey(Cs(key)) != S_OK) return 11;
  for (int v = 0; v < kValuesPerSave; ++v) {
    if (reg->WriteDword(Cs(Numbered("D", v)), round) != S_OK) return 12;
    if (reg->WriteString(Cs(Numbered("S", v)), Cs(Numbered("", round)), REG_SZ) != S_OK) return 13;
  }
  reg->CloseKey();
  return 0;
}

// Every value of the key as written by the save `round`.
void ExpectWholeSave(RegistryTest& t, IKTRegistryAccess* reg, uint32_t round) {
  for (int v = 0; v < kValuesPerSave; ++v) {
    uint32_t d = 0;
    std::string s;
    EXPECT_EQ(t.ReadDw(reg, (Numbered("D", v)).c_str(), d), S_OK);
    EXPECT_EQ(d, round) << "D" << v;
    EXPECT_EQ(t.ReadStr8(reg, Numbered("S", v), s), S_OK);
    EXPECT_EQ(s, std::to_string(round)) << "S" << v;
  }
}

TEST_F(RegistryStoreFile, TwoProcessesSavingAThousandTimesEachAtOnceBothComplete) {
  constexpr uint32_t kRounds = 1000;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  auto saver = [&](const char* key) {
    return Spawn([&, key] {
      ::close(gate[1]);
      char c;
      if (::read(gate[0], &c, 1) != 0) return 20;  // returns 0 when the parent opens the gate
      for (uint32_t round = 1; round <= kRounds; ++round) {
        if (const int failed = SaveRound(key, round)) return failed;
      }
      return 0;
    });
  };
  // Both start on a store that does not exist yet: they also race to create it.
  const pid_t a = saver("Quellvox\\#1");
  const pid_t b = saver("Quellvox\\#2");
  ::close(gate[0]);
  ::close(gate[1]);
  EXPECT_EQ(WaitExitCode(a), 0);
  EXPECT_EQ(WaitExitCode(b), 0);

  ExpectWholeSave(*this, ReadableKey("Quellvox\\#1").Get(), kRounds);
  ExpectWholeSave(*this, ReadableKey("Quellvox\\#2").Get(), kRounds);
}

TEST_F(RegistryStoreFile, AProcessKilledDuringASaveLeavesEveryEarlierSave) {
  ASSERT_EQ(SaveRound("Quellvox\\#2", 7), 0);
  int mid[2];
  ASSERT_EQ(::pipe(mid), 0);
  const pid_t child = Spawn([&] {
    ::close(mid[0]);
    for (uint32_t round = 1; round <= 5; ++round) {
      if (SaveRound("Quellvox\\#1", round) != 0) return 1;
    }
    ComPtr<IKTRegistryAccess> reg;
    if (CreateInstance(kClsidRegistryAccess, reg) != S_OK || reg->OpenKey(Cs("Quellvox\\#1"), KEY_WRITE) != S_OK) {
      return 2;
    }
    for (int v = 0; v < kValuesPerSave / 2; ++v) reg->WriteDword(Cs(Numbered("D", v)), 6);
    // More than the page cache holds: the unfinished save reaches the log file.
    reg->WriteString(Cs("Big"), Cs(std::string(8 << 20, 'b')), REG_SZ);
    if (::write(mid[1], "m", 1) != 1) return 3;
    for (;;) ::pause();
  });
  ::close(mid[1]);
  char c = 0;
  ASSERT_EQ(::read(mid[0], &c, 1), 1);
  EXPECT_GT(std::filesystem::file_size(StorePath() + "-wal"), 4u << 20);
  ::kill(child, SIGKILL);
  EXPECT_EQ(WaitExitCode(child), 128 + SIGKILL);
  ::close(mid[0]);

  ComPtr<IKTRegistryAccess> reg = ReadableKey("Quellvox\\#1");
  ASSERT_TRUE(reg);
  ExpectWholeSave(*this, reg.Get(), 5);
  std::string big;
  EXPECT_EQ(ReadStr8(reg.Get(), "Big", big), E_NOTFOUND);
  ExpectWholeSave(*this, ReadableKey("Quellvox\\#2").Get(), 7);
  reg = nullptr;
  EXPECT_EQ(QueryText(StorePath(), "PRAGMA integrity_check"), "ok");
}

}  // namespace
}  // namespace quellvox::test

namespace quellvox::test {
namespace {

using StoreFailures = RegistryTest;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(StoreFailures, AStoreThatCannotBeOpenedSaysWhereAndWhy) {
  struct Case {
    const char* Setup;
    const char* Reason;  // part of the error text after the path
  } const cases[] = {
      {"folder", "unable to open database file"},
      {"config-home-is-a-file", "Not a directory"},
      {"other-program", "not a settings store"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(configHome_);
    std::filesystem::create_directories(configHome_ + "/quellvox");
    std::string path = StorePath();
    if (std::string(c.Setup) == "folder") std::filesystem::create_directories(StorePath());
    if (std::string(c.Setup) == "config-home-is-a-file") {
      std::filesystem::remove_all(configHome_);
      WriteFileBytes(configHome_, "x");
      path = configHome_ + "/quellvox/registry.sqlite3";
    }
    if (std::string(c.Setup) == "other-program") {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
      sqlite3_exec(db, "CREATE TABLE notes(t TEXT)", nullptr, nullptr, nullptr);
      sqlite3_close(db);
    }
    TakeErrorDescription();
    ComPtr<IKTRegistryAccess> reg;
    EXPECT_LT(CreateInstance(kClsidRegistryAccess, reg), 0) << c.Setup;
    const std::string text = TakeErrorDescription();
    EXPECT_EQ(text.rfind(path + ": ", 0), 0u) << c.Setup << ": " << text;
    EXPECT_NE(text.find(c.Reason), std::string::npos) << c.Setup << ": " << text;
    std::filesystem::remove_all(configHome_);
  }
}

// One save waits once for a lock held elsewhere: the open for writing gives
// up after the bound, the creation that follows in the same save gives up at
// once, and the reason names the lock.
TEST_F(StoreFailures, ALockHeldElsewhereCostsASaveOneBoundedWait) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  HeldWriteLock lock(StorePath());
  const auto start = Clock::now();
  ComPtr<IKTRegistryAccess> reg = NewAccess();
  TakeErrorDescription();
  EXPECT_EQ(reg->OpenKey(Cs("Quellvox\\#1"), KEY_WRITE), E_REG_CANTWRITE);
  const std::string text = TakeErrorDescription();
  const double first = SecondsSince(start);
  EXPECT_EQ(reg->CreateKey(Cs("Quellvox\\#1")), E_REG_CANTWRITE);
  const double both = SecondsSince(start);
  EXPECT_GE(first, kRegistryBusyTimeoutMs / 1000.0 * 0.9);
  EXPECT_LT(both - first, kRegistryBusyTimeoutMs / 1000.0 / 2) << "the second wait of one save";
  EXPECT_NE(text.find("locked by another process"), std::string::npos) << text;
  reg = nullptr;
  // The next save waits again, and gets through once the lock is gone.
  EXPECT_EQ(StoredDword("Quellvox\\#1", "X0"), 1u) << "readers never wait for a writer";
}

TEST_F(StoreFailures, AbandonedWaitsEndAtOnce) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  HeldWriteLock lock(StorePath());
  std::thread abandon([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    AbandonComponentWaits();
  });
  const auto start = Clock::now();
  ComPtr<IKTRegistryAccess> reg = NewAccess();
  EXPECT_EQ(reg->OpenKey(Cs("Quellvox\\#1"), KEY_WRITE), E_REG_CANTWRITE);
  abandon.join();
  ResumeComponentWaits();
  EXPECT_LT(SecondsSince(start), kRegistryBusyTimeoutMs / 1000.0 / 2);
}

// The writers' queue is only a turn order: a process that holds it and never
// saves does not hold up the saves of others beyond their turn's short wait.
TEST_F(StoreFailures, AStuckWritersQueueDoesNotHoldUpASave) {
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 1);
  const int fd = ::open((StorePath() + "-queue").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct flock hold {};
  hold.l_type = F_WRLCK;
  hold.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &hold), 0);
  const auto start = Clock::now();
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 2);
  EXPECT_LT(SecondsSince(start), kRegistryBusyTimeoutMs / 1000.0 / 2);
  ::close(fd);
  EXPECT_EQ(StoredDword("Quellvox\\#1", "X0"), 2u);
}

// A write that SQLite refuses (a full disk, played by a trigger): the
// transaction is kept whole or dropped whole, and Commit says which. With
// ROLLBACK SQLite itself has ended the transaction, and the writes after the
// failure must not be saved one by one.
TEST_F(StoreFailures, AFailedWriteDropsTheWholeTransactionAndCommitSaysSo) {
  for (const char* raise : {"ABORT", "ROLLBACK"}) {
    WritableKey("Quellvox\\#1")->WriteDword(Cs("Kept"), 1);
    {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
      const std::string trigger = std::string("CREATE TRIGGER full BEFORE INSERT ON vals WHEN NEW.name_key = 'bad'"
                                              " BEGIN SELECT RAISE(") + raise + ", 'database or disk is full'); END";
      ASSERT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }
    {
      ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
      ComPtr<IRegistryTransaction> transaction;
      ASSERT_EQ(reg.As(transaction), S_OK);
      EXPECT_EQ(reg->WriteDword(Cs("Kept"), 2), S_OK);
      TakeErrorDescription();
      EXPECT_EQ(reg->WriteDword(Cs("Bad"), 3), E_REG_CANTWRITE) << raise;
      EXPECT_NE(TakeErrorDescription().find("database or disk is full"), std::string::npos) << raise;
      EXPECT_NE(reg->WriteDword(Cs("After"), 4), S_OK) << raise;
      EXPECT_EQ(transaction->Commit(), E_REG_CANTWRITE) << raise;
      EXPECT_EQ(reg->WriteDword(Cs("Fresh"), 5), S_OK) << "a new transaction after the end of the failed one";
    }
    EXPECT_EQ(StoredDword("Quellvox\\#1", "Kept"), 1u) << raise;
    uint32_t v = 0;
    EXPECT_EQ(ReadDw(ReadableKey("Quellvox\\#1").Get(), "After", v), E_NOTFOUND) << raise;
    EXPECT_EQ(StoredDword("Quellvox\\#1", "Fresh"), 5u) << raise;
    std::filesystem::remove_all(configHome_);
  }
}

}  // namespace
}  // namespace quellvox::test
