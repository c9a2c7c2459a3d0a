// The frame's Settings and Log commands open the real dialogs and act on
// what the user does in them.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

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
  EXPECT_TRUE(messages_.Boxes.empty());
  frame.OnCommand(ID_FILE_STOP);
  InstanceCore stored("#1", "/opt/quellvox/bin/quellvox", messages_);
  ASSERT_EQ(stored.TitleEngines.Refresh(), S_OK);
  ASSERT_EQ(stored.CaptureSources.Refresh(), S_OK);
  stored.LoadSettings();
  EXPECT_EQ(stored.Settings.Lines[0].VolumeDB, -9);
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

}  // namespace
}  // namespace quellvox::test
