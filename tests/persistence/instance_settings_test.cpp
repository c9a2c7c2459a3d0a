#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/instance_core.h"
#include "tests/support/ready_instance.h"
#include "tests/support/recording_messages.h"
#include "app/user_messages.h"
#include "config/persistence.h"
#include "persistence_fixture.h"

namespace quellvox::test {
namespace {

constexpr const char* kProgram = "/opt/quellvox/bin/quellvox";
constexpr const char* kRunKey = "Microsoft\\Windows\\CurrentVersion\\Run";

class InstanceSettings : public PersistenceTest {
 protected:
  // An instance as the main frame has it once both catalogues are filled.
  std::unique_ptr<InstanceCore> NewCore(const char* id = "#1") {
    return test_support::MakeInstance(id, messages_, kProgram);
  }

  // A new instance that has loaded its settings.
  std::unique_ptr<InstanceCore> LoadedCore(const char* id = "#1") {
    auto core = NewCore(id);
    core->LoadSettings();
    return core;
  }

  // The only message shown, checked for its caption and style.
  std::string OnlyMessage() {
    EXPECT_EQ(messages_.Shown.size(), 1u);
    if (messages_.Shown.empty()) return {};
    EXPECT_EQ(messages_.Shown[0].Caption, "Quellvox");
    EXPECT_EQ(messages_.Shown[0].Style, MB_ICONEXCLAMATION | MB_TOPMOST);
    return messages_.Shown[0].Text;
  }

  bool RunValue(const char* name, std::string& text) {
    return ReadStr8(ReadableKey(kRunKey).Get(), name, text) == S_OK;
  }

  // Saves instance #1 with a complete record, AutoStart and the logon option.
  void SaveComplete(bool runOnLogon = true) {
    auto core = NewCore();
    core->Settings = FullRecord();
    core->AutoStart = true;
    core->RunOnLogon = runOnLogon;
    core->SaveSettings();
  }

  RecordingMessages messages_;
};

TEST_F(InstanceSettings, TheFirstRunKeepsTheDefaultsWithoutAMessage) {
  auto core = LoadedCore();
  ExpectSameRecord(core->Settings, DuckerSettings{});
  EXPECT_FALSE(core->AutoStart);
  EXPECT_FALSE(core->RunOnLogon);
  EXPECT_FALSE(IsComplete(core->Settings));
  EXPECT_TRUE(messages_.Shown.empty());
}

TEST_F(InstanceSettings, SettingsSurviveARestart) {
  SaveComplete();
  EXPECT_TRUE(messages_.Shown.empty());

  auto restarted = LoadedCore();
  ExpectSameRecord(restarted->Settings, FullRecord());
  EXPECT_TRUE(restarted->AutoStart);
  EXPECT_TRUE(restarted->RunOnLogon);
  EXPECT_TRUE(messages_.Shown.empty());
}

TEST_F(InstanceSettings, AutoStartIsStoredAsOneOrZero) {
  for (const bool autoStart : {true, false}) {
    auto core = NewCore();
    core->AutoStart = autoStart;
    core->SaveSettings();
    EXPECT_EQ(StoredDword("Quellvox\\#1", "AutoStart"), autoStart ? 1u : 0u);
  }
}

TEST_F(InstanceSettings, AMissingAutoStartValueKeepsTheFlag) {
  SaveComplete();
  WritableKey("Quellvox\\#1")->DeleteValue(Cs("AutoStart"));
  auto core = NewCore();
  core->AutoStart = true;
  core->LoadSettings();
  EXPECT_TRUE(core->AutoStart);
  ExpectSameRecord(core->Settings, FullRecord());
}

TEST_F(InstanceSettings, TheLogonOptionWritesTheRunCommandAndClearingItDeletesIt) {
  SaveComplete(true);
  std::string command;
  ASSERT_TRUE(RunValue("Quellvox#1", command));
  EXPECT_EQ(command, "\"/opt/quellvox/bin/quellvox\" #1");

  auto core = LoadedCore();
  core->RunOnLogon = false;
  core->SaveSettings();
  EXPECT_FALSE(RunValue("Quellvox#1", command));
  EXPECT_TRUE(std::filesystem::is_empty(AutostartDir()));
}

TEST_F(InstanceSettings, TheRunValueIsComparedIgnoringCase) {
  SaveComplete(false);
  WritableKey(kRunKey)->WriteString(Cs("QUELLVOX#1"), Cs("\"/OPT/QUELLVOX/BIN/QUELLVOX\" #1"), REG_SZ);
  auto core = LoadedCore();
  EXPECT_TRUE(core->RunOnLogon);
}

TEST_F(InstanceSettings, ARunValueForAnotherProgramOrInstanceReadsAsOffAndIsReplacedOnSave) {
  SaveComplete(false);
  for (const char* other : {"\"/old/place/quellvox\" #1", "\"/opt/quellvox/bin/quellvox\" #2"}) {
    WritableKey(kRunKey)->WriteString(Cs("Quellvox#1"), Cs(other), REG_SZ);
    auto core = LoadedCore();
    EXPECT_FALSE(core->RunOnLogon) << other;
  }
  auto core = LoadedCore();
  core->RunOnLogon = true;
  core->SaveSettings();
  std::string command;
  ASSERT_TRUE(RunValue("Quellvox#1", command));
  EXPECT_EQ(command, core->RunCommand);

  WritableKey(kRunKey)->WriteString(Cs("Quellvox#1"), Cs("\"/old/place/quellvox\" #1"), REG_SZ);
  core->RunOnLogon = false;
  core->SaveSettings();
  EXPECT_FALSE(RunValue("Quellvox#1", command));
}

TEST_F(InstanceSettings, TwoInstancesKeepSeparateKeysAndRunValues) {
  auto one = NewCore("#1");
  auto two = NewCore("#2");
  one->Settings = FullRecord();
  one->RunOnLogon = true;
  two->Settings = FullRecord();
  two->Settings.RegionName = "Two";
  two->AutoStart = true;
  one->SaveSettings();
  two->SaveSettings();

  auto oneAgain = NewCore("#1");
  auto twoAgain = NewCore("#2");
  oneAgain->LoadSettings();
  twoAgain->LoadSettings();
  EXPECT_EQ(oneAgain->Settings.RegionName, FullRecord().RegionName);
  EXPECT_EQ(twoAgain->Settings.RegionName, "Two");
  EXPECT_FALSE(oneAgain->AutoStart);
  EXPECT_TRUE(twoAgain->AutoStart);
  EXPECT_TRUE(oneAgain->RunOnLogon);
  EXPECT_FALSE(twoAgain->RunOnLogon);
  std::string command;
  EXPECT_TRUE(RunValue("Quellvox#1", command));
  EXPECT_FALSE(RunValue("Quellvox#2", command));
}

// Every identifier the command line accepts gets its logon entry, also
// one whose entry's plain file name would pass 255 bytes.
std::string Repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

struct LogonIdCase {
  const char* Name;
  std::string Id;
};

void PrintTo(const LogonIdCase& c, std::ostream* os) { *os << c.Name; }

class LogonEntryOfAnyIdentifier : public InstanceSettings, public ::testing::WithParamInterface<LogonIdCase> {};

TEST_P(LogonEntryOfAnyIdentifier, IsWrittenAndReadBackWithTheSettings) {
  const std::string& id = GetParam().Id;
  auto core = NewCore(id.c_str());
  core->Settings = FullRecord();
  core->RunOnLogon = true;
  core->SaveSettings();
  EXPECT_TRUE(messages_.Shown.empty()) << messages_.Shown[0].Text;

  auto restarted = LoadedCore(id.c_str());
  EXPECT_TRUE(restarted->RunOnLogon);
  ExpectSameRecord(restarted->Settings, FullRecord());
  std::string command;
  ASSERT_TRUE(RunValue(("Quellvox" + id).c_str(), command));
  EXPECT_EQ(command, std::string("\"") + kProgram + "\" " + id);

  restarted->RunOnLogon = false;
  restarted->SaveSettings();
  EXPECT_FALSE(RunValue(("Quellvox" + id).c_str(), command));
  EXPECT_TRUE(messages_.Shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, LogonEntryOfAnyIdentifier,
                         ::testing::Values(LogonIdCase{"TenThousandCharacters", "#" + std::string(10000, 'x')},
                                           LogonIdCase{"FortyFourCyrillic", "#" + Repeated("\xD0\x96", 44)},
                                           LogonIdCase{"TabAndLineEnds", "#a\tb\nc\rd"},
                                           LogonIdCase{"InnerBackslash", "#studio\\a"}),
                         [](const auto& p) { return std::string(p.param.Name); });

// An identifier too long for any entry (over 64 KiB): the save says so
// instead of leaving "Run on logon" ticked with nothing behind it.
TEST_F(InstanceSettings, AnIdentifierTooLongForALogonEntrySaysSo) {
  const std::string id = "#" + std::string(30000, 'x');
  auto core = NewCore(id.c_str());
  core->Settings = FullRecord();
  core->RunOnLogon = true;
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(),
            "Can't create the logon entry of this instance, error = 0x80070057/-2147024809.\n"
            "The entry would be larger than 64 KiB: the instance identifier is too long for it.");
  auto restarted = LoadedCore(id.c_str());
  ExpectSameRecord(restarted->Settings, FullRecord());  // the rest was saved
  EXPECT_FALSE(restarted->RunOnLogon);
}

// "#7\" runs beside "#7" (another guard); its key path ends in an empty
// name, which the store refuses: its save says so instead of overwriting
// the settings of #7.
TEST_F(InstanceSettings, AnIdentifierEndingInABackslashDoesNotShareTheKeyOfTheOneWithout) {
  auto seven = NewCore("#7");
  seven->Settings = FullRecord();
  seven->SaveSettings();
  ASSERT_TRUE(messages_.Shown.empty());

  auto other = NewCore("#7\\");
  other->AutoStart = true;
  other->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Can't access to application registry folder");
  auto again = LoadedCore("#7");
  ExpectSameRecord(again->Settings, FullRecord());
  EXPECT_FALSE(again->AutoStart);
}

TEST_F(InstanceSettings, WithoutTheComponentLoadAndSaveSayNeedReinstall) {
  Faults().FailCreation = true;
  auto core = LoadedCore();
  EXPECT_EQ(OnlyMessage(), "Need reinstall software !\r\nNo class for registry access.");
  ExpectSameRecord(core->Settings, DuckerSettings{});

  messages_.Shown.clear();
  core->Settings = FullRecord();
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Need reinstall software !\r\nNo class for registry access.");
  Faults().FailCreation = false;
  EXPECT_EQ(NewAccess()->OpenKey(Cs("Quellvox\\#1"), KEY_READ), E_NOTFOUND) << "nothing was saved";
}

TEST_F(InstanceSettings, ADamagedStoreIsReportedAtLoadAndLeftAsItWas) {
  RemoveRecordingRegistry();
  std::filesystem::create_directories(configHome_ + "/quellvox");
  const std::string garbage(4096, 'x');
  WriteFileBytes(StorePath(), garbage);
  auto core = LoadedCore();
  // The store's path and SQLite's reason, not the missing class of a
  // broken installation.
  EXPECT_EQ(OnlyMessage(), "Can't open the settings store.\r\n" + StorePath() + ": file is not a database");
  const Status saved = core->SaveSettings();
  EXPECT_FALSE(saved.IsOk());
  EXPECT_EQ(saved.Message(), "Can't open the settings store.\r\n" + StorePath() + ": file is not a database");
  EXPECT_EQ(ReadFileBytes(StorePath()), garbage);
}

TEST_F(InstanceSettings, WithoutTheRootInterfaceTheLogonEntryIsNeitherReadNorWritten) {
  SaveComplete(true);
  Faults().NoRootInterface = true;
  auto core = LoadedCore();
  EXPECT_EQ(OnlyMessage(), "Need reinstall software !\r\nNo interface IKTRegRoot.");
  EXPECT_TRUE(core->AutoStart) << "read before the root was asked for";
  ExpectSameRecord(core->Settings, FullRecord());
  EXPECT_FALSE(core->RunOnLogon);

  messages_.Shown.clear();
  core->RunOnLogon = false;
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Need reinstall software !\r\nNo interface IKTRegRoot.");
  std::string command;
  EXPECT_TRUE(RunValue("Quellvox#1", command)) << "the entry was not deleted";
}

TEST_F(InstanceSettings, ARefusedRootIsAutoRunFolderOne) {
  SaveComplete(true);
  Faults().SetRootResult = E_ACCESSDENIED;
  auto core = LoadedCore();
  EXPECT_EQ(OnlyMessage(), "Can't access to AutoRun folder #1");
  messages_.Shown.clear();
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Can't access to AutoRun folder #1");
}

TEST_F(InstanceSettings, AnUnopenableRunKeyIsAutoRunFolderTwoAndClearsTheOption) {
  SaveComplete(true);
  Faults().FailOpen.insert("Run");
  auto core = NewCore();
  core->RunOnLogon = true;
  core->LoadSettings();
  EXPECT_EQ(OnlyMessage(), "Can't access to AutoRun folder #2");
  EXPECT_FALSE(core->RunOnLogon);
  messages_.Shown.clear();
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Can't access to AutoRun folder #2");
}

TEST_F(InstanceSettings, AnInstanceKeyThatCannotBeOpenedOrCreatedStopsTheSave) {
  Faults().FailOpen.insert("Quellvox\\#1");
  Faults().FailCreate.insert("Quellvox\\#1");
  auto core = NewCore();
  core->Settings = FullRecord();
  core->RunOnLogon = true;
  core->SaveSettings();
  EXPECT_EQ(OnlyMessage(), "Can't access to application registry folder");
  const std::vector<std::string> expected = {"CreateInstance", "OpenKey Quellvox\\#1 20006", "CreateKey Quellvox\\#1",
                                             "Release"};
  EXPECT_EQ(Calls(), expected);
}

TEST_F(InstanceSettings, AStoppedSettingsReadStillLoadsTheLogonEntry) {
  SaveComplete(true);
  WritableKey("Quellvox\\#1")->DeleteValue(Cs("DelayInFrames"));
  auto core = LoadedCore();
  EXPECT_TRUE(core->RunOnLogon);
  EXPECT_TRUE(messages_.Shown.empty());
}

TEST_F(InstanceSettings, TheStatsWindowPositionIsNotSavedBeforeTheInstanceHasAKey) {
  auto core = NewCore();
  const Status saved = core->SaveStatsWindowPosition(10, 20);
  EXPECT_EQ(saved.Code(), E_NOTFOUND) << saved.Message();
  EXPECT_EQ(NewAccess()->OpenKey(Cs("Quellvox\\#1"), KEY_READ), E_NOTFOUND);
}

TEST_F(InstanceSettings, TheStatsWindowPositionReadsBackWithNegativeCoordinates) {
  SaveComplete();
  auto core = NewCore();
  int32_t x = 1;
  int32_t y = 2;
  EXPECT_FALSE(core->LoadStatsWindowPosition(x, y)) << "no position yet";
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 2);
  EXPECT_TRUE(core->SaveStatsWindowPosition(-1900, 40).IsOk());
  EXPECT_TRUE(core->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(x, -1900);
  EXPECT_EQ(y, 40);
  EXPECT_TRUE(messages_.Shown.empty());
}

TEST_F(InstanceSettings, AStatsWindowPositionWithoutY0IsNotUsed) {
  SaveComplete();
  WritableKey("Quellvox\\#1")->WriteDword(Cs("X0"), 300);
  auto core = NewCore();
  int32_t x = 1;
  int32_t y = 2;
  EXPECT_FALSE(core->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(x, 1);
  EXPECT_EQ(y, 2);
}

TEST_F(InstanceSettings, TwoInstancesKeepTheirOwnStatsWindowPositions) {
  auto one = NewCore("#1");
  auto two = NewCore("#2");
  one->SaveSettings();
  two->SaveSettings();
  EXPECT_TRUE(one->SaveStatsWindowPosition(1, 2).IsOk());
  EXPECT_TRUE(two->SaveStatsWindowPosition(3, 4).IsOk());
  int32_t x = 0;
  int32_t y = 0;
  EXPECT_TRUE(one->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(x, 1);
  EXPECT_TRUE(two->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(x, 3);
}

// The setup of the README, run by a shell: the program then loads a
// complete instance that starts at logon.
TEST_F(InstanceSettings, QuellvoxRegSetsUpACompleteInstanceFromAShell) {
  studio_test::LoadDefaultDescription();
  const std::string script = std::string("r='") + QUELLVOX_REG_PATH + R"sh(' k='Quellvox\#1'
set -e
$r set "$k" CaptureSource --string 'Quellvox Virtual Capture 1'
$r set "$k" DelayInFrames --dword 10
$r set "$k" RegionName --string 'Voice over'
$r set "$k" TitleEngineCnt --dword 1
$r set "$k" TitleEngine1 --string 'Engine 1'
for n in 1 2 3 4 5 6 7 8; do
  $r set "$k" UseLine$n --dword $((n == 1))
  $r set "$k" From4Line$n --string "Stereo#$((n + 1))"
  $r set "$k" To4Line$n --string 'Stereo#1'
done
$r set "$k" UseCommon --dword 1
$r set "$k" CommonLine --string 'Stereo#1'
$r set "$k" DecreaseDB --dword 18
$r set "$k" NoiseLevelDB --dword 32
$r set "$k" TimeoutInFrames --dword 30
$r set "$k" AutoStart --dword 1
$r set 'Microsoft\Windows\CurrentVersion\Run' 'Quellvox#1' --string '"/opt/quellvox/bin/quellvox" #1'
)sh";
  const pid_t pid = Spawn([&] {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
  ASSERT_EQ(WaitExitCode(pid), 0);

  auto core = LoadedCore();
  EXPECT_TRUE(IsComplete(core->Settings));
  EXPECT_EQ(core->Settings.CaptureSource, 0);
  EXPECT_EQ(core->Settings.TitleEngineMask, 1u);
  EXPECT_EQ(core->Settings.Lines[0].From, (AudioLineRef{Stereo, 1}));
  EXPECT_TRUE(core->AutoStart);
  EXPECT_TRUE(core->RunOnLogon);
  EXPECT_TRUE(messages_.Shown.empty());
}

}  // namespace
}  // namespace quellvox::test
