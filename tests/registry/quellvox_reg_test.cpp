#include <fcntl.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "registry_fixture.h"

namespace quellvox::test {
namespace {

struct ToolResult {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

std::string Drain(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

// Runs quellvox-reg with `args` in the test's $XDG_CONFIG_HOME.
ToolResult RunTool(std::vector<std::string> args) {
  int out[2];
  int err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
  args.insert(args.begin(), QUELLVOX_REG_PATH);
  const pid_t pid = Spawn([&] {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    return 127;
  });
  ::close(out[1]);
  ::close(err[1]);
  ToolResult r;
  r.Out = Drain(out[0]);  // small outputs: stderr fits its pipe meanwhile
  r.Err = Drain(err[0]);
  r.Exit = WaitExitCode(pid);
  return r;
}

using QuellvoxReg = RegistryTest;

TEST_F(QuellvoxReg, SetsAndGetsValuesOfBothTypes) {
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "RegionName", "--string", "Lower third"}).Exit, 0);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "VolumeDB4Line1", "--dword", "-6"}).Exit, 0);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "TitleEngineMask", "--dword", "0xFFFFFFFF"}).Exit, 0);

  EXPECT_EQ(RunTool({"get", "quellvox\\#1", "regionname"}).Out, "Lower third\n");
  EXPECT_EQ(RunTool({"get", "Quellvox\\#1", "VolumeDB4Line1"}).Out, "4294967290\n");
  EXPECT_EQ(RunTool({"--signed", "get", "Quellvox\\#1", "VolumeDB4Line1"}).Out, "-6\n");

  // What the program reads through the component.
  EXPECT_EQ(StoredDword("Quellvox\\#1", "VolumeDB4Line1"), 0xFFFFFFFAu);
}

TEST_F(QuellvoxReg, ListsAKeyOneValuePerLineWithEscapes) {
  {
    ComPtr<IKTRegistryAccess> reg = WritableKey("Quellvox\\#1");
    reg->WriteDword(Cs("DelayInFrames"), 10);
    reg->WriteString(Cs("RegionName"), Cs("a\tb\nc\\d"), REG_SZ);
  }
  const ToolResult r = RunTool({"list", "Quellvox\\#1"});
  EXPECT_EQ(r.Exit, 0);
  EXPECT_EQ(r.Out, "DelayInFrames\tdword\t10\nRegionName\tstring\ta\\tb\\nc\\\\d\n");
}

TEST_F(QuellvoxReg, ExitCodesSayWhatHappened) {
  EXPECT_EQ(RunTool({"get", "Quellvox\\#1", "X0"}).Exit, 1) << "no key";
  WritableKey("Quellvox\\#1");
  EXPECT_EQ(RunTool({"get", "Quellvox\\#1", "X0"}).Exit, 1) << "no value";
  EXPECT_EQ(RunTool({"delete", "Quellvox\\#1", "X0"}).Exit, 1);
  EXPECT_EQ(RunTool({}).Exit, 2);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "X0", "--dword", "12abc"}).Exit, 2);
  // Beyond 32 bits, whatever the form: refused, never stored modulo 2^32.
  for (const char* number : {"4294967296", "4294967306", "0x10000000A", "-2147483649", "99999999999999999999999"}) {
    EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "X0", "--dword", number}).Exit, 2) << number;
  }
  EXPECT_EQ(RunTool({"frobnicate"}).Exit, 2);
  EXPECT_EQ(RunTool({"--help"}).Exit, 0);
  EXPECT_EQ(RunTool({"set", "Microsoft\\Windows\\CurrentVersion\\Run", "Quellvox#1", "--dword", "1"}).Exit, 4);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1\\", "X0", "--dword", "1"}).Exit, 4) << "an empty key name";
}

TEST_F(QuellvoxReg, ADamagedStoreIsExitCodeThreeAndStaysAsItWas) {
  std::filesystem::create_directories(configHome_ + "/quellvox");
  WriteFileBytes(StorePath(), std::string(2048, '?'));
  const ToolResult r = RunTool({"set", "Quellvox\\#1", "X0", "--dword", "1"});
  EXPECT_EQ(r.Exit, 3);
  EXPECT_NE(r.Err.find("store cannot be opened"), std::string::npos) << r.Err;
  EXPECT_EQ(ReadFileBytes(StorePath()), std::string(2048, '?'));
}

TEST_F(QuellvoxReg, WritesTheLogonEntryThroughTheRunKey) {
  const std::string command = "\"/opt/quellvox/bin/quellvox\" #1";
  EXPECT_EQ(RunTool({"set", "Microsoft\\Windows\\CurrentVersion\\Run", "Quellvox#1", "--string", command}).Exit, 0);
  EXPECT_TRUE(std::filesystem::exists(AutostartDir() + "/quellvox-run-quellvox_231.desktop"));
  EXPECT_EQ(RunTool({"get", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Quellvox#1"}).Out,
            command + "\n");
  EXPECT_EQ(RunTool({"delete", "Microsoft\\Windows\\CurrentVersion\\Run", "Quellvox#1"}).Exit, 0);
  EXPECT_FALSE(std::filesystem::exists(AutostartDir() + "/quellvox-run-quellvox_231.desktop"));
}

// Such bytes would reach the store as U+FFFD: another name, another text.
TEST_F(QuellvoxReg, ArgumentsThatAreNotUtf8AreRefusedBeforeAnythingIsWritten) {
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "RegionName", "--string", "caf\xE9"}).Exit, 4);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#\xFF", "X0", "--dword", "1"}).Exit, 4);
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "X\xFF", "--dword", "1"}).Exit, 4);
  EXPECT_FALSE(std::filesystem::exists(StorePath()));
}

TEST_F(QuellvoxReg, ATextBeginningWithDashesIsATextNotAnOption) {
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "RegionName", "--string", "--signed"}).Exit, 0);
  EXPECT_EQ(RunTool({"get", "Quellvox\\#1", "RegionName"}).Out, "--signed\n");
}

// An entry is read back only up to 64 KiB, so a longer one is refused
// before anything is written; one of ours that is already that long (an
// older version wrote them) can still be replaced and removed.
TEST_F(QuellvoxReg, ARunCommandTooLongForAnEntryIsRefusedAndAnOversizedEntryOfOursCanStillGo) {
  const std::string run = "Microsoft\\Windows\\CurrentVersion\\Run";
  const std::string tooLong = "\"/bin/true\" #" + std::string(33000, 'x');
  const ToolResult refused = RunTool({"set", run, "T", "--string", tooLong});
  EXPECT_EQ(refused.Exit, 4) << refused.Err;
  EXPECT_NE(refused.Err.find("at most 64 KiB"), std::string::npos) << refused.Err;
  EXPECT_FALSE(std::filesystem::exists(AutostartDir() + "/quellvox-run-t.desktop"));
  EXPECT_EQ(RunTool({"get", run, "T"}).Exit, 1);

  std::filesystem::create_directories(AutostartDir());
  const std::string entry = AutostartDir() + "/quellvox-run-t.desktop";
  const auto writeOversized = [&] {
    WriteFileBytes(entry, "[Desktop Entry]\nType=Application\nName=T\nExec=\"/bin/true\" \"" + tooLong.substr(12) +
                              "\"\nIcon=quellvox\nX-Quellvox-RunValue=T\nX-Quellvox-RunCommand=" + tooLong + "\n");
  };
  writeOversized();
  EXPECT_EQ(RunTool({"get", run, "T"}).Exit, 1);
  EXPECT_EQ(RunTool({"delete", run, "T"}).Exit, 0);
  EXPECT_FALSE(std::filesystem::exists(entry));
  writeOversized();
  EXPECT_EQ(RunTool({"set", run, "T", "--string", "\"/bin/true\" #1"}).Exit, 0);
  EXPECT_EQ(RunTool({"get", run, "T"}).Out, "\"/bin/true\" #1\n");
}

// A SQLite file of another program that has no tables yet still says whose
// it is in its header: it is left exactly as it was. Only an empty file, or
// one with our application id, becomes a store.
TEST_F(QuellvoxReg, AnotherProgramsDatabaseWithoutTablesIsNotTakenOver) {
  std::filesystem::create_directories(configHome_ + "/quellvox");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(StorePath().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA application_id=305419896; PRAGMA user_version=7;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string foreign = ReadFileBytes(StorePath());
  ASSERT_FALSE(foreign.empty());

  const ToolResult r = RunTool({"set", "Quellvox\\#1", "X0", "--dword", "1"});
  EXPECT_EQ(r.Exit, 3) << r.Err;
  EXPECT_EQ(ReadFileBytes(StorePath()), foreign);

  WriteFileBytes(StorePath(), "");
  EXPECT_EQ(RunTool({"set", "Quellvox\\#1", "X0", "--dword", "1"}).Exit, 0);
  EXPECT_EQ(RunTool({"get", "Quellvox\\#1", "X0"}).Out, "1\n");
}

}  // namespace
}  // namespace quellvox::test
