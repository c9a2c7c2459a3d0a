#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "app/brenmoor_app.h"
#include "app/load_res_string.h"
#include "config/instance_id.h"
#include "platform/system/instance_guard.h"
#include "app_fixture.h"
#include "res/resource_ids.h"
#include "res/string_table.h"
#include "tests/support/status_assert.h"

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer only: the font configuration library and the D-Bus
// library keep caches that they never free (made inside Qt's font database
// and its desktop connection), which the leak checker would report at every
// exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
#endif

namespace quellvox::test {
namespace {

constexpr uint32_t kErrorBox = 0x00040010;
constexpr uint32_t kQuestionBox = 0x00040034;
constexpr uint32_t kWarningBox = 0x30;
const char* const kWrongConfiguration = "Wrang configuration.\r\n\r\nStart configuration dialog now?";

// What stderr received while `action` ran (the trace channel).
std::string Traces(const std::function<void()>& action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

// ---------------------------------------------------------------------------
// Creation

struct MissingMedia {
  const char* Name;
  const char* Description;
  const char* Trace;
  const char* Message;
};

void PrintTo(const MissingMedia& m, std::ostream* os) { *os << m.Name; }

class FrameCreation : public AppTest, public testing::WithParamInterface<MissingMedia> {};

TEST_P(FrameCreation, FailsWithItsMessageBeforeTouchingStoreOrIcon) {
  ASSERT_TRUE(test_support::IsOk(studio_test::LoadDescriptionText(GetParam().Description)));
  CMainFrame& frame = NewFrame("#7");
  bool created = true;
  const std::string traces = Traces([&] { created = frame.OnCreate(); });
  EXPECT_FALSE(created);
  EXPECT_NE(traces.find(GetParam().Trace), std::string::npos) << traces;
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, GetParam().Message);
  EXPECT_EQ(messages_.Shown[0].Caption, "Quellvox");
  EXPECT_EQ(messages_.Shown[0].Style, kErrorBox);
  EXPECT_EQ(area_.Adds, 0);
  EXPECT_EQ(frame.StateTimer, 0);
  EXPECT_FALSE(std::filesystem::exists(RegistryStorePath()));
}

// The same through the application object: the message, no icon, and the
// process's exit code 1 (not the 0 of a clean Exit), with the guard given
// back.
TEST_P(FrameCreation, EndsTheProgramWithExitCodeOne) {
  ASSERT_TRUE(test_support::IsOk(studio_test::LoadDescriptionText(GetParam().Description)));
  // Unique to the run: the guard is machine-wide.
  const std::string id = "#app" + std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}() % 1000000);
  int exitCode = -1;
  {
    CBrenmoorApp app(messages_, area_, "/opt/quellvox/bin/quellvox");
    EXPECT_FALSE(app.InitInstance(id));
    EXPECT_EQ(app.MainFrame(), nullptr);
    exitCode = app.ExitInstance();
  }
  EXPECT_EQ(exitCode, kExitNoMedia);
  EXPECT_EQ(kExitNoMedia, 1);
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, GetParam().Message);
  EXPECT_EQ(area_.Adds, 0);
  InstanceGuard again;
  EXPECT_EQ(CreateInstanceGuard(InstanceGuardName(kProgramName, id), again), GuardResult::Acquired);
  CloseInstanceGuard(again);
}

INSTANTIATE_TEST_SUITE_P(
    , FrameCreation,
    testing::Values(
        MissingMedia{"NoTitleEngine", R"({"devices": [{"kind": 2, "name": "Cam"}], "engines": []})",
                     "Quellvox#7::OnCreate ERROR - No any title engine  hres=0x1/1.\n", "There is no one title engine!"},
        MissingMedia{"NoCaptureSource", R"({"devices": [], "engines": [{"name": "Engine 1"}]})",
                     "Quellvox#7::OnCreate ERROR - No any capture  hres=0x1/1.\n", "There is no one capture source!"}),
    [](const auto& param) { return std::string(param.param.Name); });

TEST_F(AppTest, CreationShowsStoppedIconWithProgramNameUntilTheFirstTick) {
  CMainFrame& frame = CreatedFrame("#1");
  EXPECT_TRUE(frame.TrayCreated);
  EXPECT_TRUE(area_.Shown);
  EXPECT_EQ(area_.Tip, "Quellvox");
  EXPECT_TRUE(area_.Shows(IDI_STOPPED));
  EXPECT_EQ(frame.ShownState, PipelineState::NotInitialized);
  EXPECT_NE(frame.StateTimer, 0);
  EXPECT_EQ(frame.Tray().DefaultItem(), 0u);
  EXPECT_TRUE(frame.Tray().DefaultByPosition());
  EXPECT_TRUE(messages_.Shown.empty());

  frame.OnTimer(frame.StateTimer + 1000);  // another timer: not this one's business
  EXPECT_EQ(area_.Tip, "Quellvox");
  Tick();
  EXPECT_EQ(frame.ShownState, PipelineState::Stopped);
  EXPECT_EQ(area_.Tip, "Quellvox #1\nStopped");
  EXPECT_TRUE(area_.Shows(IDI_STOPPED));
}

TEST_F(AppTest, IconIsRetriedEverySecondUntilANotificationAreaExists) {
  area_.Available = false;
  CMainFrame& frame = CreatedFrame();
  EXPECT_FALSE(frame.TrayCreated);
  Tick();
  Tick();
  EXPECT_EQ(area_.Adds, 3);
  EXPECT_FALSE(area_.Shown);
  EXPECT_EQ(frame.ShownState, PipelineState::NotInitialized);  // no state update without the icon

  area_.Available = true;
  Tick();  // the state update comes before the retry: the icon appears with the program name
  EXPECT_TRUE(frame.TrayCreated);
  EXPECT_EQ(area_.Tip, "Quellvox");
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nStopped");
  Tick();
  EXPECT_EQ(area_.Adds, 4);  // added once, never again
}

TEST_F(AppTest, AutoStartWithCompleteSettingsRunsRightAfterCreation) {
  SaveInstance("#1", /*complete=*/true, /*autoStart=*/true);
  CMainFrame& frame = NewFrame();
  const std::string traces = Traces([&] { EXPECT_TRUE(frame.OnCreate()); });
  EXPECT_EQ(traces.rfind("Quellvox#1::Menu File->Start.\n", 0), 0u) << traces;
  EXPECT_TRUE(frame.PipelineRunning);
  EXPECT_TRUE(messages_.Shown.empty());
  EXPECT_EQ(area_.Tip, "Quellvox");
  EXPECT_TRUE(area_.Shows(IDI_STOPPED));
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nRunning");
  EXPECT_TRUE(area_.Shows(IDI_RUNNING));
}

TEST_F(AppTest, AutoStartWithIncompleteSettingsAsksAtProgramStart) {
  SaveInstance("#1", /*complete=*/false, /*autoStart=*/true);
  CreatedFrame();
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, kWrongConfiguration);
  EXPECT_EQ(messages_.Shown[0].Style, kQuestionBox);
  EXPECT_FALSE(frame_->PipelineRunning);
}

// ---------------------------------------------------------------------------
// Commands and their enabling rules

struct MenuLine {
  std::string Text;
  bool Enabled;
  bool Bold;
};

std::vector<MenuLine> MenuAsShown(CSystemTray& tray) {
  std::vector<MenuLine> lines;
  const auto menu = tray.CreatePopup();
  for (QAction* action : menu->actions()) {
    lines.push_back({action->isSeparator() ? "-" : action->text().toStdString(), action->isEnabled(),
                     action->font().bold()});
  }
  return lines;
}

void ExpectMenu(CSystemTray& tray, bool running) {
  const std::vector<MenuLine> expected = {
      {"Start", !running, true},      {"Stop", running, false},    {"Restart", running, false},
      {"Log...", running, false},     {"-", true, false},          {"Settings...", true, false},
      {"-", true, false},             {"&About...", true, false},  {"E&xit", true, false}};
  const std::vector<MenuLine> shown = MenuAsShown(tray);
  ASSERT_EQ(shown.size(), expected.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i].Text, expected[i].Text) << "position " << i;
    if (shown[i].Text == "-") continue;
    EXPECT_EQ(shown[i].Enabled, expected[i].Enabled) << shown[i].Text << (running ? " running" : " stopped");
    EXPECT_EQ(shown[i].Bold, expected[i].Bold) << shown[i].Text;
  }
}

TEST_F(AppTest, StartStopAndTheDoubleClickFollowTheEnablingRules) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  ExpectMenu(frame.Tray(), /*running=*/false);

  // Commands that are disabled while stopped are ignored when they arrive.
  std::string traces = Traces([&] {
    frame.OnCommand(ID_FILE_STOP);
    frame.OnCommand(ID_FILE_RESTART);
    frame.OnCommand(ID_FILE_LOG);
  });
  EXPECT_EQ(traces, "");
  EXPECT_FALSE(frame.LogDialogOpen);

  // Double-click while stopped: Start.
  traces = Traces([&] { area_.Click(WM_LBUTTONDBLCLK); });
  EXPECT_EQ(traces.rfind("Quellvox#1::Menu File->Start.\n", 0), 0u) << traces;
  EXPECT_TRUE(frame.PipelineRunning);
  EXPECT_TRUE(frame.Tray().ClicksEnabled);
  ExpectMenu(frame.Tray(), /*running=*/true);
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nRunning");
  EXPECT_TRUE(area_.Shows(IDI_RUNNING));

  // Double-click while running: Start is disabled, nothing happens.
  traces = Traces([&] { area_.Click(WM_LBUTTONDBLCLK); });
  EXPECT_EQ(traces.find("Menu File->Start"), std::string::npos) << traces;
  EXPECT_TRUE(frame.PipelineRunning);

  traces = Traces([&] { frame.OnCommand(ID_FILE_STOP); });
  EXPECT_EQ(traces, "Quellvox#1::Menu File->Stop.\n");
  EXPECT_FALSE(frame.PipelineRunning);
  EXPECT_FALSE(frame.Core().Pipeline.AudioThread.joinable());
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nStopped");
  EXPECT_TRUE(messages_.Shown.empty());
}

TEST_F(AppTest, StartWithIncompleteSettingsAsksAndOpensTheSettingsOnYes) {
  CMainFrame& frame = CreatedFrame();
  bool clicksDuringBox = true;
  messages_.WhileOpen = [&] {
    clicksDuringBox = frame.Tray().ClicksEnabled;
    // A click on the icon while the box is open: no menu, the box comes forward.
    EXPECT_EQ(frame.Tray().HandleNotification(kTrayIconId, WM_RBUTTONDOWN), 0);
    EXPECT_EQ(frame.Tray().HandleNotification(kTrayIconId, WM_RBUTTONUP), 0);
  };
  messages_.Answers = {IDNO};
  frame.OnCommand(ID_FILE_START);
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, kWrongConfiguration);
  EXPECT_EQ(messages_.Shown[0].Caption, "Quellvox");
  EXPECT_EQ(messages_.Shown[0].Style, kQuestionBox);
  EXPECT_FALSE(clicksDuringBox);
  EXPECT_EQ(messages_.BroughtToFront, 1);
  EXPECT_TRUE(frame.Tray().ClicksEnabled);
  EXPECT_FALSE(frame.PipelineRunning);
  EXPECT_FALSE(frame.SettingsDialogOpen);

  // Yes: the settings dialog opens, with its trace; Cancel saves nothing.
  messages_.Answers = {IDYES};
  bool clicksInDialog = false;
  WhenDialogOpens([&](QDialog& dialog) {
    clicksInDialog = frame.Tray().ClicksEnabled;
    dialog.reject();
  });
  const std::string traces = Traces([&] { frame.OnCommand(ID_FILE_START); });
  EXPECT_EQ(traces, "Quellvox#1::Menu File->Start.\nQuellvox#1::Menu File->Settings.\n");
  EXPECT_TRUE(clicksInDialog);  // set again before the dialog opens
  EXPECT_FALSE(frame.SettingsDialogOpen);
  EXPECT_FALSE(frame.PipelineRunning);
  EXPECT_FALSE(frame.Core().Mixer.MixerChanged());
}

TEST_F(AppTest, WhileTheSettingsDialogIsOpenStartIsRefusedAndSettingsIgnored) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  int dialogsSeen = 0;
  WhenDialogOpens([&](QDialog& dialog) {
    EXPECT_TRUE(frame.SettingsDialogOpen);
    frame.OnCommand(ID_FILE_START);     // from the icon's menu: message 512
    frame.OnCommand(ID_FILE_SETTINGS);  // a second copy: ignored
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (qobject_cast<QDialog*>(w) && w->isVisible()) ++dialogsSeen;
    }
    EXPECT_TRUE(dialog.isVisible());
    dialog.accept();
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Text, "Close configuration before start.");
  EXPECT_EQ(messages_.Shown[0].Style, kWarningBox);
  EXPECT_EQ(dialogsSeen, 1);
  EXPECT_FALSE(frame.PipelineRunning);
  EXPECT_FALSE(frame.SettingsDialogOpen);
  // OK: saved, and the mixer part handed to the pump.
  EXPECT_EQ(StoredString("Quellvox\\#1", "RegionName"), "Voice over");
  EXPECT_TRUE(frame.Core().Mixer.MixerChanged());
}

TEST_F(AppTest, RestartAfterTheSettingsBecameIncompleteStopsWithoutAMessage) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  frame.OnCommand(ID_FILE_START);
  ASSERT_TRUE(frame.PipelineRunning);
  frame.OnCommand(ID_FILE_RESTART);  // complete: runs again
  EXPECT_TRUE(frame.PipelineRunning);
  EXPECT_TRUE(frame.Core().Pipeline.AudioThread.joinable());

  frame.Core().Settings.Lines[0].Use = false;
  const std::string traces = Traces([&] { frame.OnCommand(ID_FILE_RESTART); });
  EXPECT_EQ(traces, "Quellvox#1::Menu File->Restart.\n");
  EXPECT_FALSE(frame.PipelineRunning);
  EXPECT_FALSE(frame.Core().Pipeline.AudioThread.joinable());
  EXPECT_TRUE(messages_.Shown.empty());
  EXPECT_TRUE(frame.Tray().ClicksEnabled);
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nStopped");
}

TEST_F(AppTest, AFailedAssemblyShowsItsMessageAndLeavesTheStateStopped) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  ASSERT_TRUE(test_support::IsOk(studio_test::AddFault(studio_test::FaultRule::On("CreateDevice").At("device 0").Returning(E_ACCESSDENIED))));
  frame.OnCommand(ID_FILE_START);
  EXPECT_FALSE(frame.PipelineRunning);
  ASSERT_EQ(messages_.Shown.size(), 1u);
  EXPECT_EQ(messages_.Shown[0].Style, kErrorBox);
  EXPECT_NE(messages_.Shown[0].Text.find("0x80070005/-2147024891"), std::string::npos) << messages_.Shown[0].Text;
  EXPECT_EQ(frame.Core().Pipeline.TargetCount, 0);
  Tick();
  EXPECT_EQ(area_.Tip, "Quellvox #1\nStopped");
  EXPECT_TRUE(area_.Shows(IDI_STOPPED));
}

TEST_F(AppTest, ChoosingFromTheIconsMenuRunsTheCommand) {
  CMainFrame& frame = CreatedFrame();
  EXPECT_EQ(frame.Tray().HandleNotification(kTrayIconId + 1, WM_RBUTTONUP), 0);  // another icon's
  bool sawMenu = false;
  QTimer::singleShot(20, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    sawMenu = true;
    for (QAction* action : menu->actions()) {
      if (action->data().toUInt() == ID_APP_EXIT) menu->setActiveAction(action);
    }
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(menu, &enter);
  });
  area_.Click(WM_RBUTTONUP);
  EXPECT_TRUE(sawMenu);
  ASSERT_TRUE(ProcessUntil([&] { return windowsDestroyed_ == 1; }));
  EXPECT_FALSE(area_.Shown);
  EXPECT_EQ(frame.StateTimer, 0);
}

TEST_F(AppTest, ExitWhileTheSettingsDialogIsOpenClosesItFirstAndSavesNothing) {
  CMainFrame& frame = CreatedFrame();
  MakeComplete(frame.Core().Settings);
  frame.OnCommand(ID_FILE_START);
  ASSERT_TRUE(frame.PipelineRunning);
  bool destroyedWhileOpen = false;
  WhenDialogOpens([&](QDialog&) {
    frame.OnCommand(ID_APP_EXIT);
    QCoreApplication::processEvents();
    destroyedWhileOpen = windowsDestroyed_ != 0;
  });
  frame.OnCommand(ID_FILE_SETTINGS);
  EXPECT_FALSE(destroyedWhileOpen);
  EXPECT_FALSE(frame.SettingsDialogOpen);
  EXPECT_EQ(OpenDialog(), nullptr);
  EXPECT_TRUE(area_.Shown);  // the handler has just ended: the window goes from the message loop
  ASSERT_TRUE(ProcessUntil([&] { return windowsDestroyed_ == 1; }));
  EXPECT_FALSE(area_.Shown);
  EXPECT_EQ(area_.Deletes, 1);
  EXPECT_FALSE(HasValue("Quellvox\\#1", "RegionName"));
  // Every command is refused from now on.
  frame.OnCommand(ID_FILE_STOP);
  EXPECT_TRUE(frame.PipelineRunning);
  frame_.reset();  // the frame object's destruction joins the pipeline
}

// ---------------------------------------------------------------------------
// Shown state and tooltip

TEST_F(AppTest, AMissingStringShowsUntranslatedInTheTooltip) {
  CreatedFrame();
  TEST_HideResString(IDS_STATE_STOPPED, true);
  Tick();
  TEST_HideResString(IDS_STATE_STOPPED, false);
  EXPECT_EQ(area_.Tip, "Quellvox #1\nUNTRANSLATED");
  EXPECT_EQ(LoadResString(IDS_STATE_STOPPED), "Stopped");
}

TEST_F(AppTest, EveryStateHasItsTextAndPicture) {
  CMainFrame& frame = CreatedFrame("#2");
  struct Case {
    int32_t State;
    const char* Text;
    uint32_t Icon;
  };
  const Case cases[] = {{0, "Not initialized", IDI_NOT_INITIALIZED}, {1, "Start recording", IDI_START_RECORDING},
                        {2, "Running", IDI_RUNNING},                 {3, "Stop recording", IDI_STOP_RECORDING},
                        {4, "Stopped", IDI_STOPPED},                 {5, "ERROR state", IDI_ERROR_STATE},
                        {6, "Unknown state", IDI_ERROR_STATE}};  // icon unchanged from the state before
  for (const Case& c : cases) {
    frame.UpdateShownState(static_cast<PipelineState>(c.State));
    EXPECT_EQ(area_.Tip, std::string("Quellvox #2\n") + c.Text);
    EXPECT_TRUE(area_.Shows(c.Icon)) << c.State;
  }
}

TEST(Tooltip, KeepsTheStateLineWhenTheIdentifierIsTooLong) {
  EXPECT_EQ(FormatTooltip("Quellvox", "#1", "Running"), "Quellvox #1\nRunning");
  const std::string longId = "#" + std::string(200, 'x');
  const QString tip = QString::fromStdString(FormatTooltip("Quellvox", longId, "Stopped"));
  EXPECT_EQ(tip.size(), kTooltipMaxChars);
  EXPECT_TRUE(tip.startsWith("Quellvox #xxx"));
  EXPECT_TRUE(tip.endsWith(QString(QChar(0x2026)) + "\nStopped"));
  // 126 characters fit exactly as they are.
  const std::string fits = "#" + std::string(kTooltipMaxChars - 9 - 8 - 1, 'y');
  EXPECT_EQ(FormatTooltip("Quellvox", fits, "Stopped"), "Quellvox " + fits + "\nStopped");
  // A character outside the first plane is never cut in half.
  std::string emoji = "#";
  for (int i = 0; i < 80; ++i) emoji += "\xF0\x9F\x8E\xA4";  // U+1F3A4, two UTF-16 units
  const QString cut = QString::fromStdString(FormatTooltip("Quellvox", emoji, "Running"));
  EXPECT_LE(cut.size(), kTooltipMaxChars);
  EXPECT_EQ(cut.toUtf8().toStdString(), QString::fromUtf8(cut.toUtf8()).toStdString());
  for (qsizetype i = 0; i < cut.size(); ++i) {
    if (cut.at(i).isHighSurrogate()) {
      EXPECT_TRUE(i + 1 < cut.size() && cut.at(i + 1).isLowSurrogate());
    }
  }
}

}  // namespace
}  // namespace quellvox::test
