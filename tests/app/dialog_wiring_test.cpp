// The frame's Settings and Log commands open the real dialogs and act on
// what the user does in them.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QLineEdit>
#include <QTest>
#include <cstdlib>

#include "app/log_dlg.h"
#include "app_fixture.h"
#include "config/dialog/settings_dlg.h"
#include "res/resource_ids.h"

namespace quellvox::test {
namespace {

template <class W>
W* Ctl(QWidget& dialog, int id) {
  W* w = dialog.findChild<W*>(QString::number(id));
  EXPECT_NE(w, nullptr) << "no control " << id;
  return w;
}

TEST_F(AppTest, SettingsCommandRunsTheSettingsDialogAndOkSavesAndHandsTheMixerOver) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  ASSERT_TRUE(frame.Core().StartPipeline());
  frame.PipelineRunning = true;
  bool captureLocked = false;
  QString title;
  WhenDialogOpens([&](QDialog& dialog) {
    title = dialog.windowTitle();
    EXPECT_EQ(dialog.objectName(), "321");
    captureLocked = !Ctl<QComboBox>(dialog, IDC_CAPTURE)->isEnabled();
    auto* gain = Ctl<QSpinBox>(dialog, IDC_VOLUME_0 + 1);
    QTest::keyClick(gain, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(gain, "-9");
    QTest::mouseClick(Ctl<QPushButton>(dialog, IDC_OK), Qt::LeftButton);
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  EXPECT_EQ(title, "Quellvox #1 Settings");
  EXPECT_TRUE(captureLocked);
  EXPECT_FALSE(frame.SettingsDialogOpen);
  EXPECT_EQ(frame.Core().Settings.Lines[0].VolumeDB, -9);
  EXPECT_TRUE(messages_.Shown.empty());
  frame.OnCommand(ID_FILE_STOP);
  const auto stored = test_support::MakeInstance("#1", messages_, "/opt/quellvox/bin/quellvox");
  stored->LoadSettings();
  EXPECT_EQ(stored->Settings.Lines[0].VolumeDB, -9);
}

TEST_F(AppTest, LogCommandRunsTheStatisticsWindowWhoseRestartKeepsItOpen) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  frame.OnCommand(ID_FILE_START);
  ASSERT_TRUE(frame.PipelineRunning);
  bool openAfterRestart = false;
  bool logOpenFlag = false;
  WhenDialogOpens([&](QDialog& dialog) {
    EXPECT_EQ(dialog.objectName(), "322");
    EXPECT_EQ(dialog.windowTitle(), "Quellvox #1 Statistics");
    logOpenFlag = frame.LogDialogOpen;
    QTest::mouseClick(Ctl<QPushButton>(dialog, IDC_RESTART), Qt::LeftButton);
    openAfterRestart = dialog.isVisible();
    QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  ::testing::internal::CaptureStderr();
  frame.OnCommand(ID_FILE_LOG);
  const std::string traces = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(traces.find("Quellvox#1::Menu File->Restart.\n"), std::string::npos) << traces;
  EXPECT_TRUE(logOpenFlag);
  EXPECT_TRUE(openAfterRestart);
  EXPECT_FALSE(frame.LogDialogOpen);
  EXPECT_TRUE(frame.PipelineRunning);
  EXPECT_TRUE(frame.Core().Pipeline.AudioThread.joinable());
  frame.OnCommand(ID_FILE_STOP);
}

// Runs quellvox-reg in the test's store, as another program would meanwhile.
void Reg(const std::string& args) {
  ASSERT_EQ(std::system((std::string(QUELLVOX_REG_PATH) + " " + args + " >/dev/null").c_str()), 0) << args;
}

// Another process holds the store: OK waits once, says so once with the
// reason, and leaves the dialog open with the operator's values; Cancel
// keeps them in the instance, and the next OK saves them.
TEST_F(AppTest, SettingsOkOnAStoreLockedElsewhereSaysSoOnceAndKeepsTheChange) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  ASSERT_TRUE(frame.Core().SaveSettings().IsOk());
  auto lock = std::make_unique<HeldWriteLock>(StorePath());
  bool openAfterFailedOk = false;
  int shownAfterFailedOk = 0;
  WhenDialogOpens([&](QDialog& dialog) {
    auto* gain = Ctl<QSpinBox>(dialog, IDC_VOLUME_0 + 1);
    QTest::keyClick(gain, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(gain, "-9");
    QTest::mouseClick(Ctl<QPushButton>(dialog, IDC_OK), Qt::LeftButton);
    openAfterFailedOk = dialog.isVisible();
    shownAfterFailedOk = gain->value();
    QTest::keyClick(&dialog, Qt::Key_Escape);
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  lock.reset();
  EXPECT_TRUE(openAfterFailedOk);
  EXPECT_EQ(shownAfterFailedOk, -9);
  ASSERT_EQ(messages_.Shown.size(), 1u);
  const std::string& text = messages_.Shown[0].Text;
  EXPECT_EQ(text.rfind("Can't access to application registry folder\r\n" + StorePath() + ": locked by another process", 0),
            0u)
      << text;

  int reopenedWith = 0;
  WhenDialogOpens([&](QDialog& dialog) {
    reopenedWith = Ctl<QSpinBox>(dialog, IDC_VOLUME_0 + 1)->value();
    QTest::mouseClick(Ctl<QPushButton>(dialog, IDC_OK), Qt::LeftButton);
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  EXPECT_EQ(reopenedWith, -9) << "the unsaved change stays with the instance";
  EXPECT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(StoredDword("Quellvox\\#1", "VolumeDB4Line1")), -9);
}

// A value changed with quellvox-reg while the instance runs: the dialog
// opens on it, and OK keeps it beside the operator's own change.
TEST_F(AppTest, TheSettingsDialogOpensOnChangesMadeWithQuellvoxReg) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  ASSERT_TRUE(frame.Core().SaveSettings().IsOk());
  Reg("set 'Quellvox\\#1' RegionName --string 'From the tool'");
  Reg("set 'Quellvox\\#1' DecreaseDB --dword 6");
  QString nameShown;
  WhenDialogOpens([&](QDialog& dialog) {
    nameShown = Ctl<QLineEdit>(dialog, IDC_REGION_NAME)->text();
    auto* gain = Ctl<QSpinBox>(dialog, IDC_VOLUME_0 + 1);
    QTest::keyClick(gain, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(gain, "3");
    QTest::mouseClick(Ctl<QPushButton>(dialog, IDC_OK), Qt::LeftButton);
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  EXPECT_EQ(nameShown, "From the tool");
  EXPECT_EQ(StoredString("Quellvox\\#1", "RegionName"), "From the tool");
  EXPECT_EQ(StoredDword("Quellvox\\#1", "DecreaseDB"), 6u);
  EXPECT_EQ(StoredDword("Quellvox\\#1", "VolumeDB4Line1"), 3u);
  EXPECT_TRUE(messages_.Shown.empty());
}

// Values edited by hand into the store: out of range, or of the wrong type.
// The frame's creation takes each into range or passes it over, traces its
// name, and reads everything after it.
TEST_F(AppTest, StoredValuesOutOfRangeOrOfTheWrongTypeAreTracedAndTheRestIsRead) {
  SaveInstance("#1", true, true);
  Reg("set 'Quellvox\\#1' VolumeDB4Line1 --dword 1000");
  Reg("set 'Quellvox\\#1' DelayInFrames --string 25");
  Reg("set 'Quellvox\\#1' AutoStart --string 1");
  Reg("set 'Quellvox\\#1' TimeoutInFrames --dword 7");
  ::testing::internal::CaptureStderr();
  CMainFrame& frame = CreatedFrame();
  const std::string traces = ::testing::internal::GetCapturedStderr();
  const DuckerSettings& s = frame.Core().Settings;
  EXPECT_EQ(s.Lines[0].VolumeDB, 24);
  EXPECT_EQ(s.DelayInFrames, 10);
  EXPECT_EQ(s.TimeoutInFrames, 7) << "read past the bad delay";
  EXPECT_EQ(s.RegionName, "Voice over");
  for (const char* line : {"Quellvox#1::LoadSettings - VolumeDB4Line1 1000 is outside -24..24, 24 is used.\n",
                           "Quellvox#1::LoadSettings - DelayInFrames has the wrong type and is ignored.\n",
                           "Quellvox#1::LoadSettings - AutoStart has the wrong type and is ignored.\n"}) {
    EXPECT_NE(traces.find(line), std::string::npos) << line << traces;
  }
  EXPECT_TRUE(messages_.Shown.empty());
}

// A store that cannot be opened says where it is and what is wrong.
TEST_F(AppTest, AStoreThatCannotBeOpenedIsNamedWithTheReason) {
  WriteFileBytes(configHome_, "not a folder");
  CreatedFrame();
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, "Can't open the settings store.\r\n" + configHome_ +
                                         "/quellvox/registry.sqlite3: cannot make its folder: Not a directory");
}

}  // namespace
}  // namespace quellvox::test
