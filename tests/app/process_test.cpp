// The real program as a separate process: its command line, its instance
// guard and its end on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/instance_core.h"
#include "app_fixture.h"
#include "config/instance_id.h"
#include "platform/system/instance_guard.h"
#include "tests/support/status_assert.h"

extern char** environ;

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer only: the font configuration library and the D-Bus
// library keep caches that they never free (made inside Qt's font database
// and its desktop connection), which the leak checker would report at every
// exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif


namespace quellvox::test {
namespace {

using Clock = std::chrono::steady_clock;

// How long the Exit path may take after SIGTERM: a second, as an operator
// or a service manager expects; the sanitizers' own start and end of a
// process (shadow memory, leak check) come on top of it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto kExitLimit = std::chrono::seconds(5);
#else
constexpr auto kExitLimit = std::chrono::seconds(1);
#endif

// A child process with its standard error read through a pipe.
class Child {
 public:
  // `blocked`: signals the child starts with blocked (as some launchers
  // leave them), so that one sent at once waits for the program.
  Child(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
        std::initializer_list<int> blocked = {}) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The given variables first: the C library's getenv takes the first match.
    std::vector<char*> envp;
    for (auto it = extraEnv.begin(); it != extraEnv.end(); ++it) envp.push_back(const_cast<char*>(it->c_str()));
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t mask;
    sigemptyset(&mask);
    for (const int signal : blocked) sigaddset(&mask, signal);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    err_ = pipeFds[0];
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (err_ >= 0) ::close(err_);
  }

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Reads standard error until `text` appeared or `ms` went by.
  bool WaitForText(const std::string& text, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Errors.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return Errors.find(text) != std::string::npos;
    }
    return true;
  }

  // Waits up to `ms` for the end of the process; its exit code, or -1
  // (still running) or -2 (ended by a signal).
  int WaitExit(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        while (ReadSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      }
      if (Clock::now() >= end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::string Errors;

 private:
  bool ReadSome(int ms) {
    pollfd p{err_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(err_, buffer, sizeof buffer);
    if (n <= 0) return false;
    Errors.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int err_ = -1;
  bool exited_ = false;
};

bool HaveProgram(const char* name) {
  const std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The output of a shell command, without its last line end.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* f = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, f) != nullptr) text += buffer;
    ::pclose(f);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class ProgramTest : public AppTest {
 protected:
  // An identifier no other test run on this machine uses (the guard is
  // machine-wide): the process id, a random part (another pid namespace
  // may use the same process id) and a count.
  std::string UniqueId() {
    static const std::string run = std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}() % 1000000);
    static int n = 0;
    return "#proc" + run + "-" + std::to_string(++n);
  }

  // The instance's lock file in the machine-wide folder.
  static std::string LockFile(const std::string& id) {
    return InstanceGuardFolder() + "/" + InstanceGuardFileName(InstanceGuardName(kProgramName, id));
  }

  std::vector<std::string> Env() const { return {"QT_QPA_PLATFORM=offscreen"}; }

  static std::string StartTrace(const std::string& id) { return "Quellvox" + id + "::Menu File->Start.\n"; }
};

TEST_F(ProgramTest, ASecondInstanceEndsAtOnceAndTheFirstEndsCleanlyOnSigterm) {
  const std::string id = UniqueId();
  SaveInstance(id.c_str(), /*complete=*/true, /*autoStart=*/true);
  Child first({QUELLVOX_PROGRAM, id}, Env());
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(first.WaitForText(StartTrace(id), 20000)) << first.Errors;

  // The same identifier, with blanks around it: the same instance.
  Child second({QUELLVOX_PROGRAM, " ", id, " "}, Env());
  EXPECT_EQ(second.WaitExit(20000), 0);
  // No box, one trace line that says why nothing happened.
  std::string own;  // Qt may add lines of its own about the environment
  for (size_t at = 0, end; at < second.Errors.size(); at = end + 1) {
    end = second.Errors.find('\n', at);
    if (end == std::string::npos) end = second.Errors.size();
    if (second.Errors.compare(at, 8, "Quellvox") == 0) own += second.Errors.substr(at, end + 1 - at);
  }
  EXPECT_EQ(own, "Quellvox" + id + "::InitInstance -- runs already on this machine (lock " + LockFile(id) +
                               " held): this start ends.\n");
  EXPECT_EQ(first.WaitExit(0), -1) << "the first instance must keep running";

  // SIGTERM: the Exit path, within a second, exit code 0.
  const auto sent = Clock::now();
  ASSERT_EQ(::kill(first.Pid(), SIGTERM), 0);
  EXPECT_EQ(first.WaitExit(5000), 0) << first.Errors;
  EXPECT_LT(Clock::now() - sent, kExitLimit);
}

// True once process `pid` has file `path` open.
bool HasOpen(pid_t pid, const std::string& path) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code linkError;
    if (std::filesystem::read_symlink(e.path(), linkError) == path) return true;
  }
  return false;
}

// A store that another process holds exclusively: the start waits for it
// (a bounded wait), and SIGTERM meanwhile still ends the program within a
// second.
TEST_F(ProgramTest, SigtermEndsTheProgramAtOnceWhileItWaitsForALockedStore) {
  const std::string id = UniqueId();
  // Saved by another process: this one keeps no connection to the store
  // that would stand in the way of the exclusive lock.
  ASSERT_EQ(WaitExitCode(Spawn([&] {
              SaveInstance(id.c_str(), /*complete=*/true, /*autoStart=*/false);
              return ::testing::Test::HasFailure() ? 1 : 0;
            })),
            0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM keys WHERE 0;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  Child program({QUELLVOX_PROGRAM, id}, Env());
  ASSERT_TRUE(program.Started());
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (!HasOpen(program.Pid(), StorePath()) && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(HasOpen(program.Pid(), StorePath()));
  const auto sent = Clock::now();
  ASSERT_EQ(::kill(program.Pid(), SIGTERM), 0);
  EXPECT_EQ(program.WaitExit(10000), 0) << program.Errors;
  EXPECT_LT(Clock::now() - sent, kExitLimit);
  sqlite3_close(db);
}

TEST_F(ProgramTest, AfterAKilledInstanceANewOneStartsAtOnce) {
  const std::string id = UniqueId();
  SaveInstance(id.c_str(), /*complete=*/true, /*autoStart=*/true);
  {
    Child first({QUELLVOX_PROGRAM, id}, Env());
    ASSERT_TRUE(first.WaitForText(StartTrace(id), 20000)) << first.Errors;
    ASSERT_EQ(::kill(first.Pid(), SIGKILL), 0);
    EXPECT_EQ(first.WaitExit(5000), -2);
  }
  Child next({QUELLVOX_PROGRAM, id}, Env());
  EXPECT_TRUE(next.WaitForText(StartTrace(id), 20000)) << next.Errors;
  ASSERT_EQ(::kill(next.Pid(), SIGINT), 0);  // Ctrl+C in a terminal: the same clean end
  EXPECT_EQ(next.WaitExit(5000), 0);
}

// Every exit signal is the user's Exit: the pipeline stops, the engines
// write their reports and recordings, the lock file goes, exit code 0.
class ExitSignal : public ProgramTest, public ::testing::WithParamInterface<int> {
 protected:
  // A recording studio of one small capture and one engine, in-process (for
  // the stored names) and for the program.
  std::vector<std::string> RecordingStudio() {
    recordings_ = root_ + "/recordings";
    const std::string description = R"({"devices": [{"kind": 2, "name": "Cam", "width": 320, "height": 180,
        "rate": 25, "channels": 4}],
      "engines": [{"name": "Engine 1", "width": 320, "height": 180, "rate": 25, "stereoLines": 1, "record": true}],
      "recording": {"folder": ")" + recordings_ + R"(", "maxSeconds": 30}})";
    EXPECT_TRUE(test_support::IsOk(studio_test::LoadDescriptionText(description)));
    std::ofstream(root_ + "/studio.json") << description;
    return {"QT_QPA_PLATFORM=offscreen", "QUELLVOX_STUDIO=" + root_ + "/studio.json"};
  }

  bool ReportWritten() const {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(recordings_, ec)) {
      const std::string f = e.path().filename().string();
      if (f.rfind("engine-", 0) == 0 && e.path().extension() == ".json" && e.file_size() > 0) return true;
    }
    return false;
  }

  std::string recordings_;
};

TEST_P(ExitSignal, TakesTheExitPathWithReportsAndLeavesNoLockFile) {
  const std::string id = UniqueId();
  const std::vector<std::string> env = RecordingStudio();
  SaveInstance(id.c_str(), /*complete=*/true, /*autoStart=*/true);
  Child program({QUELLVOX_PROGRAM, id}, env);
  ASSERT_TRUE(program.WaitForText(StartTrace(id), 20000)) << program.Errors;
  EXPECT_TRUE(std::filesystem::exists(LockFile(id)));
  const auto sent = Clock::now();
  ASSERT_EQ(::kill(program.Pid(), GetParam()), 0);
  EXPECT_EQ(program.WaitExit(5000), 0) << program.Errors;
  EXPECT_LT(Clock::now() - sent, kExitLimit);
  EXPECT_TRUE(ReportWritten()) << "no engine report in " << recordings_;
  EXPECT_FALSE(std::filesystem::exists(LockFile(id)));
}

// Sent the moment the program starts (it starts with the signal blocked,
// so the signal surely comes before Qt is up): still the Exit path.
TEST_P(ExitSignal, SentAtLaunchEndsTheProgramCleanly) {
  const std::string id = UniqueId();
  SaveInstance(id.c_str(), /*complete=*/true, /*autoStart=*/true);
  Child program({QUELLVOX_PROGRAM, id}, Env(), {GetParam()});
  ASSERT_TRUE(program.Started());
  ASSERT_EQ(::kill(program.Pid(), GetParam()), 0);
  EXPECT_EQ(program.WaitExit(20000), 0) << program.Errors;
  EXPECT_FALSE(std::filesystem::exists(LockFile(id)));
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& p) { return std::string(sigabbrev_np(p.param)); });

TEST_F(ProgramTest, ABadCommandLineShowsItsMessageAndEndsWithoutTouchingTheStore) {
  if (!HaveProgram("Xvfb") || !HaveProgram("xdotool")) GTEST_SKIP() << "needs Xvfb and xdotool";
#if defined(__SANITIZE_THREAD__)
  // On a real display Qt starts the desktop's D-Bus and GLib threads, which
  // are not built for the thread checker and report races inside them.
  GTEST_SKIP() << "the desktop libraries are not built for ThreadSanitizer";
#endif
  // A display of its own, so that the message box can be seen and answered.
  int displayPipe[2];
  ASSERT_EQ(::pipe(displayPipe), 0);
  const std::string fd = std::to_string(displayPipe[1]);
  Child server({"/usr/bin/Xvfb", "-displayfd", fd, "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {});
  ::close(displayPipe[1]);
  std::string display;
  char c;
  while (::read(displayPipe[0], &c, 1) == 1 && c != '\n') display += c;
  ::close(displayPipe[0]);
  ASSERT_FALSE(display.empty()) << server.Errors;
  const std::string displayEnv = "DISPLAY=:" + display;

  Child program({QUELLVOX_PROGRAM, "7"}, {"QT_QPA_PLATFORM=xcb", displayEnv});
  const std::string window =
      Output(displayEnv + " timeout 30 xdotool search --sync --onlyvisible --name '^Quellvox$' 2>/dev/null | head -1");
  ASSERT_FALSE(window.empty()) << "no message box appeared; " << program.Errors;
  EXPECT_EQ(program.WaitExit(0), -1) << "the program waits for the answer";
  Output(displayEnv + " xdotool windowfocus --sync " + window + " key Return");
  EXPECT_EQ(program.WaitExit(10000), 2) << program.Errors;
  EXPECT_EQ(program.Errors.find("Quellvox"), std::string::npos) << program.Errors;
  EXPECT_FALSE(std::filesystem::exists(RegistryStorePath()));
  EXPECT_FALSE(std::filesystem::exists(AutostartFolderPath()));
}

}  // namespace
}  // namespace quellvox::test
