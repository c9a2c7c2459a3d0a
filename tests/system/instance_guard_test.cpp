#include "platform/system/instance_guard.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace quellvox {
namespace {

// A second process running guard_probe, with pipes to its standard input
// and output. Reading its report blocks until it has one: no waiting on time.
class Probe {
 public:
  Probe(const std::string& folder, const std::string& name, bool hold) {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> args = {QUELLVOX_GUARD_PROBE, folder, name};
    if (hold) args.emplace_back("hold");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Probe() {
    if (stdin_ >= 0) ::close(stdin_);
    ::close(stdout_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  std::string Report() {
    std::string line;
    char c;
    while (::read(stdout_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Ends the process the hard way, as a crash would, and reaps it.
  void Kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
};

std::string RunProbe(const std::string& folder, const std::string& name) { return Probe(folder, name, false).Report(); }

std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* e = ::readdir(dir)) {
    const std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  ::closedir(dir);
  return names;
}

class InstanceGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quellvox-guard-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    for (const std::string& n : Entries(folder_)) ::unlink((folder_ + "/" + n).c_str());
    ::rmdir(folder_.c_str());
  }
  std::string folder_;
};

TEST_F(InstanceGuardTest, SecondProcessWithTheSameNameFindsItHeld) {
  InstanceGuard guard;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  EXPECT_EQ(RunProbe(folder_, "Global\\Quellvox#1"), "exists");
  CloseInstanceGuard(guard);
  EXPECT_EQ(guard.Fd, -1);
  EXPECT_EQ(RunProbe(folder_, "Global\\Quellvox#1"), "acquired");
}

TEST_F(InstanceGuardTest, OtherIdentifiersRunSideBySide) {
  InstanceGuard guard;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  EXPECT_EQ(RunProbe(folder_, "Global\\Quellvox#2"), "acquired");
  EXPECT_EQ(RunProbe(folder_, "Global\\Quellvox#1 "), "acquired");
  CloseInstanceGuard(guard);
}

// The registry folds the case of key names, so identifiers that differ only
// in case share one settings key and one logon entry: they must share one
// guard too. Names that the registry keeps apart stay apart.
struct FoldCase {
  const char* Held;
  const char* Other;
  bool SameGuard;
};

class GuardFolding : public InstanceGuardTest, public ::testing::WithParamInterface<FoldCase> {};

TEST_P(GuardFolding, SharesTheGuardExactlyWhenTheStoreSharesTheKey) {
  const FoldCase& c = GetParam();
  InstanceGuard held;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, std::string("Global\\Quellvox") + c.Held, held), GuardResult::Acquired);
  EXPECT_EQ(RunProbe(folder_, std::string("Global\\Quellvox") + c.Other), c.SameGuard ? "exists" : "acquired")
      << c.Held << " / " << c.Other;
  CloseInstanceGuard(held);
}

INSTANTIATE_TEST_SUITE_P(Cases, GuardFolding,
                         ::testing::Values(FoldCase{"#hxCase", "#HXCASE", true}, FoldCase{"#hxcase", "#hxCase", true},
                                           FoldCase{"#\xC3\x84rger", "#\xC3\xA4RGER", true},        // Ä, ä
                                           FoldCase{"#\xD0\x96", "#\xD0\xB6", true},                // Ж, ж
                                           FoldCase{"#\xCE\xA3", "#\xCF\x82", true},                // Σ, final ς
                                           FoldCase{"#hxcase", "#hxcase ", false}, FoldCase{"#a", "#b", false},
                                           FoldCase{"#\xC3\x9F", "#ss", false}));                    // ß: no simple fold

TEST_F(InstanceGuardTest, AGuardReleasedCleanlyLeavesNoFileAndACrashedOneFreesItsFile) {
  InstanceGuard guard;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  const std::string file = InstanceGuardFileName("Global\\Quellvox#1");
  EXPECT_EQ(Entries(folder_), std::set<std::string>{file});
  CloseInstanceGuard(guard);
  EXPECT_TRUE(Entries(folder_).empty());

  {
    Probe holder(folder_, "Global\\Quellvox#1", true);
    ASSERT_EQ(holder.Report(), "acquired");
  }  // its input ends: a clean exit
  EXPECT_TRUE(Entries(folder_).empty());

  Probe crashed(folder_, "Global\\Quellvox#1", true);
  ASSERT_EQ(crashed.Report(), "acquired");
  crashed.Kill();
  EXPECT_EQ(Entries(folder_), std::set<std::string>{file});
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  CloseInstanceGuard(guard);
  EXPECT_TRUE(Entries(folder_).empty());
}

// A file put in the guard's place after it was taken is not the guard's:
// the release leaves it alone.
TEST_F(InstanceGuardTest, ReleaseRemovesOnlyTheFileItHolds) {
  InstanceGuard guard;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  const std::string path = folder_ + "/" + InstanceGuardFileName("Global\\Quellvox#1");
  ASSERT_EQ(::rename(path.c_str(), (path + ".moved").c_str()), 0);
  const int other = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(other, 0);
  ::close(other);
  CloseInstanceGuard(guard);
  EXPECT_EQ(Entries(folder_), (std::set<std::string>{InstanceGuardFileName("Global\\Quellvox#1"),
                                                     InstanceGuardFileName("Global\\Quellvox#1") + ".moved"}));
}

TEST_F(InstanceGuardTest, GuardOfACrashedProcessIsFreeAtOnce) {
  Probe holder(folder_, "Global\\Quellvox#1", true);
  ASSERT_EQ(holder.Report(), "acquired");
  InstanceGuard guard;
  EXPECT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::AlreadyExists);
  EXPECT_EQ(guard.Fd, -1);
  holder.Kill();
  EXPECT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::Acquired);
  CloseInstanceGuard(guard);
}

TEST_F(InstanceGuardTest, SecondGuardInTheSameProcessFindsItHeld) {
  InstanceGuard first;
  InstanceGuard second;
  ASSERT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", first), GuardResult::Acquired);
  EXPECT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", second), GuardResult::AlreadyExists);
  CloseInstanceGuard(first);
  CloseInstanceGuard(second);  // not held: nothing happens
}

TEST_F(InstanceGuardTest, FolderThatCannotHoldFilesGivesNoGuard) {
  InstanceGuard guard;
  EXPECT_EQ(CreateInstanceGuardIn(folder_ + "/missing", "Global\\Quellvox#1", guard), GuardResult::CouldNotCreate);
  EXPECT_EQ(guard.Fd, -1);
}

TEST_F(InstanceGuardTest, SomethingElseUnderTheNameGivesNoGuard) {
  const std::string path = folder_ + "/" + InstanceGuardFileName("Global\\Quellvox#1");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // opening it for reading must not block
  InstanceGuard guard;
  EXPECT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::CouldNotCreate);
  ::unlink(path.c_str());
  ASSERT_EQ(::symlink("/etc/passwd", path.c_str()), 0);  // nor follow a planted link
  EXPECT_EQ(CreateInstanceGuardIn(folder_, "Global\\Quellvox#1", guard), GuardResult::CouldNotCreate);
}

// Identifiers may hold anything after their "#". Each must give one file of
// its own inside the folder, a name that is safe as it stands.
TEST_F(InstanceGuardTest, HostileIdentifiersStayInTheFolderAndApart) {
  std::vector<std::string> ids = {"#", "#1", "#1 ", "#../../etc/passwd", "#/", "#..", "#.", "#a/b", "#a%2Fb",
                                  "#a%252Fb", "#'; rm -rf / #", "#$(touch /tmp/quellvox-owned)", "#`id`", "#\"q\"",
                                  "#*?[]{}|&<>\\", "#\t\n", "#\xC3\xA9\xE2\x80\x83", std::string("#a\0b", 4),
                                  "#" + std::string(300, 'x'), "#" + std::string(299, 'x') + "y",
                                  "#" + std::string(120, '/') + std::string(200, '.'), "#" + std::string(1000, '%')};
  std::set<std::string> files;
  std::vector<InstanceGuard> guards(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string name = "Global\\Quellvox" + ids[i];
    const std::string file = InstanceGuardFileName(name);
    EXPECT_LE(file.size(), 255u) << i;
    EXPECT_EQ(file.find('/'), std::string::npos) << i;
    EXPECT_NE(file, ".");
    EXPECT_NE(file, "..");
    EXPECT_EQ(file.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-%~"),
              std::string::npos)
        << file;
    files.insert(file);
    EXPECT_EQ(CreateInstanceGuardIn(folder_, name, guards[i]), GuardResult::Acquired) << i;
  }
  EXPECT_EQ(files.size(), ids.size());
  EXPECT_EQ(Entries(folder_), files);
  struct stat st {};
  EXPECT_NE(::stat("/tmp/quellvox-owned", &st), 0);
  for (InstanceGuard& g : guards) CloseInstanceGuard(g);
}

TEST(InstanceGuardFileName, LongNamesKeepAPrefixAndTheDigestOfTheWhole) {
  const std::string a = "Global\\Quellvox#" + std::string(400, 'z') + "1";
  const std::string b = "Global\\Quellvox#" + std::string(400, 'z') + "2";
  EXPECT_NE(InstanceGuardFileName(a), InstanceGuardFileName(b));
  EXPECT_EQ(InstanceGuardFileName(a).rfind("global%5Cquellvox%23zzz", 0), 0u);
  EXPECT_EQ(InstanceGuardFileName("Global\\Quellvox#1"), "global%5Cquellvox%231");
}

TEST(InstanceGuardFolder, IsAFolderEveryUserCanCreateFilesIn) {
  const std::string folder = InstanceGuardFolder();
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_TRUE((st.st_mode & S_IWOTH) && (st.st_mode & S_ISVTX)) << folder;
}

TEST(CreateInstanceGuard, WorksInTheSharedFolder) {
  const std::string name = "Global\\QuellvoxTest#" + std::to_string(::getpid());
  InstanceGuard guard;
  ASSERT_EQ(CreateInstanceGuard(name, guard), GuardResult::Acquired);
  EXPECT_EQ(RunProbe(InstanceGuardFolder(), name), "exists");
  CloseInstanceGuard(guard);
  struct stat st {};
  EXPECT_NE(::lstat((InstanceGuardFolder() + "/" + InstanceGuardFileName(name)).c_str(), &st), 0)
      << "a clean release leaves no file in the shared folder";
}

}  // namespace
}  // namespace quellvox
