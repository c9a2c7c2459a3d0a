#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>

#include "app/core_settings_frame.h"
#include "config/dialog/settings_dlg.h"
#include "dialog_fixture.h"

namespace quellvox::dialog_testing {
namespace {

namespace pt = pipeline_testing;

// The frame seen by the dialog, with the order of its calls.
class CountingFrame final : public SettingsDlgFrame {
 public:
  explicit CountingFrame(InstanceCore& core) : inner_(core) {}
  std::string InstanceId() const override { return inner_.InstanceId(); }
  bool SaveSettings() override {
    Calls.push_back("save");
    return inner_.SaveSettings();
  }
  void PublishMixerSettings() override {
    Calls.push_back("publish");
    inner_.PublishMixerSettings();
  }
  std::vector<std::string> Calls;

 private:
  CoreSettingsFrame inner_;
};

class SettingsDlgTest : public DialogTest {
 protected:
  // Opens the dialog on the instance's record, as the frame's Settings command does.
  CSettingsDlg& Open(bool pipelineRunning = false) {
    frame_ = std::make_unique<CountingFrame>(*core_);
    dlg_ = std::make_unique<CSettingsDlg>(*frame_, core_->RunOnLogon, core_->AutoStart, core_->Settings,
                                          core_->TitleEngines, core_->CaptureSources, pipelineRunning);
    dlg_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    return *dlg_;
  }

  template <class W>
  W* C(int id) {
    return Ctl<W>(*dlg_, id);
  }
  void Click(int id) { QTest::mouseClick(C<QPushButton>(id), Qt::LeftButton); }
  void ToggleEngine(int row) {
    auto* list = C<QListWidget>(IDC_ENGINES);
    list->setCurrentRow(row);
    QTest::keyClick(list, Qt::Key_Space);
  }

  std::unique_ptr<CountingFrame> frame_;
  std::unique_ptr<CSettingsDlg> dlg_;
};

TEST_F(SettingsDlgTest, OpensWithTheDefaultsOfANewInstance) {
  CSettingsDlg& dlg = Open();
  EXPECT_EQ(dlg.windowTitle(), "Quellvox #T Settings");
  EXPECT_EQ(dlg.focusWidget(), C<QCheckBox>(IDC_RUN_ON_LOGON));
  EXPECT_EQ(C<QComboBox>(IDC_CAPTURE)->currentIndex(), -1);
  EXPECT_EQ(C<QComboBox>(IDC_CAPTURE)->count(), 2);
  EXPECT_EQ(C<QComboBox>(IDC_PRIORITY)->currentText(), "Normal");
  EXPECT_EQ(C<QComboBox>(IDC_SHOW_ON_START)->currentText(), "Auto");
  EXPECT_EQ(C<QSpinBox>(IDC_DELAY)->value(), 10);
  EXPECT_EQ(C<QLineEdit>(IDC_REGION_NAME)->text(), "");
  auto* engines = C<QListWidget>(IDC_ENGINES);
  ASSERT_EQ(engines->count(), 4);
  for (int i = 0; i < engines->count(); ++i) EXPECT_EQ(engines->item(i)->checkState(), Qt::Unchecked) << i;
  EXPECT_EQ(engines->selectionMode(), QAbstractItemView::NoSelection);
  for (int n = 1; n <= kVoiceOverLines; ++n) {
    EXPECT_FALSE(C<QCheckBox>(IDC_USE_LINE_0 + n)->isChecked()) << n;
    for (const int id : {IDC_FROM_0 + n, IDC_TO_0 + n}) {
      EXPECT_FALSE(C<QComboBox>(id)->isEnabled()) << id;
      EXPECT_EQ(C<QComboBox>(id)->currentText(), "Stereo#1") << id;
      EXPECT_EQ(C<QComboBox>(id)->count(), 24) << id;
    }
    EXPECT_TRUE(C<QSpinBox>(IDC_VOLUME_0 + n)->isEnabled()) << n;
  }
  EXPECT_TRUE(C<QCheckBox>(IDC_USE_COMMON)->isChecked());
  EXPECT_TRUE(C<QComboBox>(IDC_COMMON_LINE)->isEnabled());
  EXPECT_EQ(C<QSpinBox>(IDC_DECREASE)->value(), 18);
  EXPECT_EQ(C<QSpinBox>(IDC_NOISE_LEVEL)->value(), 32);
  EXPECT_EQ(C<QSpinBox>(IDC_TIMEOUT)->value(), 30);
  for (const int id : {IDC_DECREASE, IDC_NOISE_LEVEL, IDC_TIMEOUT}) EXPECT_TRUE(C<QSpinBox>(id)->isEnabled()) << id;
}

// Each press of OK shows the first check that fails, moves the focus and
// leaves the dialog open; the last press applies, saves and closes.
TEST_F(SettingsDlgTest, OkReportsEachMissingPieceInTurnUntilTheSettingsAreComplete) {
  CSettingsDlg& dlg = Open();
  MessageBoxCatcher boxes;
  Click(IDC_OK);
  ASSERT_EQ(boxes.Shown.size(), 1u);
  EXPECT_EQ(boxes.Shown[0].Text, "Select capture source first!");
  EXPECT_EQ(boxes.Shown[0].Title, "Quellvox");
  EXPECT_EQ(boxes.Shown[0].Icon, QMessageBox::Warning);
  EXPECT_TRUE(boxes.Shown[0].OnTop);
  EXPECT_EQ(boxes.Shown[0].Owner, &dlg);
  EXPECT_EQ(C<QComboBox>(IDC_CAPTURE)->currentIndex(), 0);
  EXPECT_EQ(dlg.focusWidget(), C<QComboBox>(IDC_CAPTURE));
  EXPECT_TRUE(dlg.isVisible());

  Click(IDC_OK);
  EXPECT_EQ(boxes.LastText(), "Select title engine first!");
  EXPECT_EQ(dlg.focusWidget(), C<QListWidget>(IDC_ENGINES));

  ToggleEngine(2);
  Click(IDC_OK);
  EXPECT_EQ(boxes.LastText(), "Select name for output layer!");
  EXPECT_EQ(dlg.focusWidget(), C<QLineEdit>(IDC_REGION_NAME));

  QTest::keyClicks(C<QLineEdit>(IDC_REGION_NAME), "   ");  // blanks name nothing
  Click(IDC_OK);
  EXPECT_EQ(boxes.LastText(), "Select name for output layer!");
  EXPECT_EQ(dlg.focusWidget(), C<QLineEdit>(IDC_REGION_NAME));

  C<QLineEdit>(IDC_REGION_NAME)->clear();
  QTest::keyClicks(C<QLineEdit>(IDC_REGION_NAME), "Lower third");
  ClickCheck(C<QCheckBox>(IDC_USE_COMMON));  // the floor does not count as a line
  Click(IDC_OK);
  EXPECT_EQ(boxes.LastText(), "Select at least one audio line!");
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_TRUE(frame_->Calls.empty());
  EXPECT_EQ(core_->Settings.CaptureSource, -1);

  ClickCheck(C<QCheckBox>(IDC_USE_LINE_0 + 4));
  Click(IDC_OK);
  EXPECT_EQ(boxes.Shown.size(), 5u);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(frame_->Calls, (std::vector<std::string>{"publish", "save"}));
  const auto stored = Reloaded();
  EXPECT_EQ(stored->Settings.CaptureSource, 0);
  EXPECT_EQ(stored->Settings.TitleEngineMask, 1u << 2);
  EXPECT_EQ(stored->Settings.RegionName, "Lower third");
  EXPECT_TRUE(stored->Settings.Lines[3].Use);
  EXPECT_FALSE(stored->Settings.UseCommon);
  EXPECT_TRUE(IsComplete(stored->Settings));
}

// A priority outside 0..3 selects nothing; applying stores -1 (the highest
// priority) rather than a value the operator never saw.
TEST_F(SettingsDlgTest, PriorityShownAndAppliedByPosition) {
  struct Case {
    int32_t Stored;
    int Shown;
    int32_t Applied;
  };
  for (const Case c : {Case{0, 0, 0}, Case{3, 3, 3}, Case{4, -1, -1}, Case{-1, -1, -1}, Case{7, -1, -1}}) {
    Complete();
    core_->Settings.CpuPriority = c.Stored;
    Open();
    EXPECT_EQ(C<QComboBox>(IDC_PRIORITY)->currentIndex(), c.Shown) << c.Stored;
    Click(IDC_APPLY);
    EXPECT_EQ(core_->Settings.CpuPriority.Load(), c.Applied) << c.Stored;
    EXPECT_EQ(Reloaded()->Settings.CpuPriority.Load(), c.Applied) << c.Stored;
  }
}

TEST_F(SettingsDlgTest, AnUncheckedRowKeepsItsLinesAndGain) {
  Complete();
  core_->Settings.Lines[2] = {true, {Left, 1}, {Right, 2}, -7};
  Open();
  ClickCheck(C<QCheckBox>(IDC_USE_LINE_0 + 3));
  EXPECT_FALSE(C<QComboBox>(IDC_FROM_0 + 3)->isEnabled());
  EXPECT_FALSE(C<QComboBox>(IDC_TO_0 + 3)->isEnabled());
  EXPECT_TRUE(C<QSpinBox>(IDC_VOLUME_0 + 3)->isEnabled());
  EXPECT_EQ(C<QComboBox>(IDC_FROM_0 + 3)->currentText(), "Left#2");
  EXPECT_EQ(C<QComboBox>(IDC_TO_0 + 3)->currentText(), "Right#3");
  Click(IDC_APPLY);
  const VoiceOverLine expected{false, {Left, 1}, {Right, 2}, -7};
  EXPECT_EQ(core_->Settings.Lines[2], expected);
  EXPECT_EQ(Reloaded()->Settings.Lines[2], expected);

  ClickCheck(C<QCheckBox>(IDC_USE_LINE_0 + 3));  // and back on
  EXPECT_TRUE(C<QComboBox>(IDC_FROM_0 + 3)->isEnabled());
  EXPECT_TRUE(C<QComboBox>(IDC_TO_0 + 3)->isEnabled());
}

TEST_F(SettingsDlgTest, UncheckingTheFloorDisablesItsLineParametersAndLabelsButKeepsTheirValues) {
  Complete();
  Open();
  Type(C<QSpinBox>(IDC_DECREASE), "20");
  Type(C<QSpinBox>(IDC_NOISE_LEVEL), "40");
  Type(C<QSpinBox>(IDC_TIMEOUT), "55");
  ClickCheck(C<QCheckBox>(IDC_USE_COMMON));
  EXPECT_TRUE(C<QCheckBox>(IDC_USE_COMMON)->isEnabled());
  EXPECT_FALSE(C<QComboBox>(IDC_COMMON_LINE)->isEnabled());
  for (const int id : {IDC_DECREASE, IDC_NOISE_LEVEL, IDC_TIMEOUT}) EXPECT_FALSE(C<QSpinBox>(id)->isEnabled()) << id;
  for (int id = IDC_ATTENUATION_LABEL; id <= IDC_TIMEOUT_UNIT; ++id) EXPECT_FALSE(C<QLabel>(id)->isEnabled()) << id;
  Click(IDC_APPLY);
  const auto stored = Reloaded();
  EXPECT_FALSE(stored->Settings.UseCommon);
  EXPECT_EQ(stored->Settings.DecreaseDB, 20);
  EXPECT_EQ(stored->Settings.NoiseLevelDB, 40);
  EXPECT_EQ(stored->Settings.TimeoutInFrames, 55);
}

// With the pipeline running, what it was assembled from cannot be edited;
// Apply still validates those controls and writes their values back.
TEST_F(SettingsDlgTest, WhileRunningCaptureAndTargetAreLockedAndWrittenBackUnchanged) {
  Complete();
  core_->Settings.TitleEngineMask = 0b1010;
  core_->Settings.DelayInFrames = 17;
  core_->Settings.ShowOnStartType = 1;
  Open(true);
  for (const int id : {IDC_CAPTURE, IDC_DELAY, IDC_REGION_NAME, IDC_SHOW_ON_START, IDC_ENGINES}) {
    EXPECT_FALSE(C<QWidget>(id)->isEnabled()) << id;
  }
  for (const int id : std::initializer_list<int>{IDC_RUN_ON_LOGON, IDC_AUTO_START, IDC_PRIORITY, IDC_USE_LINE_0 + 1, IDC_FROM_0 + 1,
                       IDC_VOLUME_0 + 1, IDC_USE_COMMON, IDC_DECREASE, IDC_OK, IDC_APPLY}) {
    EXPECT_TRUE(C<QWidget>(id)->isEnabled()) << id;
  }
  Choose(C<QComboBox>(IDC_PRIORITY), 2);
  Type(C<QSpinBox>(IDC_VOLUME_0 + 1), "-6");
  Click(IDC_APPLY);
  const auto stored = Reloaded();
  EXPECT_EQ(stored->Settings.CpuPriority.Load(), 2);
  EXPECT_EQ(stored->Settings.Lines[0].VolumeDB, -6);
  EXPECT_EQ(stored->Settings.CaptureSource, pt::kCam25);
  EXPECT_EQ(stored->Settings.TitleEngineMask, 0b1010u);
  EXPECT_EQ(stored->Settings.RegionName, "Relay");
  EXPECT_EQ(stored->Settings.DelayInFrames, 17);
  EXPECT_EQ(stored->Settings.ShowOnStartType, 1);
}

// A stored layer name longer than Qt's default field limit is shown and
// saved whole, never cut without a word.
TEST_F(SettingsDlgTest, ALongLayerNameIsShownAndSavedWhole) {
  Complete();
  core_->Settings.RegionName = std::string(100000, 'n') + "end";
  Open();
  EXPECT_EQ(C<QLineEdit>(IDC_REGION_NAME)->text().size(), 100003);
  Type(C<QSpinBox>(IDC_VOLUME_0 + 1), "-3");
  Click(IDC_APPLY);
  EXPECT_EQ(Reloaded()->Settings.RegionName, std::string(100000, 'n') + "end");
}

// Apply saves at once; closing afterwards (Escape or the close box) keeps
// what was applied and saves nothing more.
TEST_F(SettingsDlgTest, ApplyThenCloseKeepsTheAppliedValues) {
  for (const bool escape : {true, false}) {
    Complete();
    CSettingsDlg& dlg = Open();
    Type(C<QSpinBox>(IDC_VOLUME_0 + 1), "5");
    ClickCheck(C<QCheckBox>(IDC_AUTO_START));
    Click(IDC_APPLY);
    Type(C<QSpinBox>(IDC_VOLUME_0 + 1), "9");  // not applied
    if (escape) {
      QTest::keyClick(&dlg, Qt::Key_Escape);
    } else {
      dlg.close();
    }
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(frame_->Calls, (std::vector<std::string>{"publish", "save"}));
    EXPECT_EQ(core_->Settings.Lines[0].VolumeDB, 5);
    const auto stored = Reloaded();
    EXPECT_EQ(stored->Settings.Lines[0].VolumeDB, 5);
    EXPECT_TRUE(stored->AutoStart);
    core_->AutoStart = false;
  }
}

// A number typed outside its field's range is typed in full and becomes the
// nearest bound when applied, with the range and what was typed in the
// field's tooltip; a lone sign or an empty field takes the value in range
// nearest to 0, characters that are no digits are refused.
TEST_F(SettingsDlgTest, TypedNumbersBeyondTheRangeBecomeTheNearestBoundVisibly) {
  struct Case {
    int Field;
    const char* Keys;
    int Shown;
    const char* Tip;  // part of the tooltip afterwards
  } const cases[] = {
      {IDC_DELAY, "3", 5, "3 is beyond the range from 5 to 250: 5 is taken."},
      {IDC_DELAY, "300", 250, "300 is beyond the range from 5 to 250: 250 is taken."},
      {IDC_DELAY, "", 5, ""},
      {IDC_DELAY, "99999999999", 250, "9999999999 is beyond"},  // ten digits at most
      {IDC_DELAY, "250", 250, ""},
      {IDC_VOLUME_0 + 2, "-30", -24, "-30 is beyond the range from -24 to 24: -24 is taken."},
      {IDC_VOLUME_0 + 2, "-", 0, ""},
      {IDC_VOLUME_0 + 2, "24", 24, ""},
      {IDC_VOLUME_0 + 2, "x7", 7, ""},
      {IDC_TIMEOUT, "-5", 5, ""},
      {IDC_NOISE_LEVEL, "49", 48, "49 is beyond the range from 0 to 48: 48 is taken."},
      {IDC_DECREASE, "", 0, ""},
      {IDC_DECREASE, "+7", 7, ""},
      {IDC_DECREASE, "1 2", 12, ""},
      {IDC_VOLUME_0 + 3, "-100", -24, "-100 is beyond"},
      {IDC_VOLUME_0 + 3, "-1-2", -12, ""},
  };
  Complete();
  Open();
  EXPECT_EQ(C<QSpinBox>(IDC_DELAY)->toolTip(), "From 5 to 250.");
  EXPECT_EQ(C<QSpinBox>(IDC_VOLUME_0 + 1)->toolTip(), "From -24 to 24.");
  for (const Case& c : cases) {
    auto* field = C<QSpinBox>(c.Field);
    Type(field, c.Keys);
    Click(IDC_APPLY);
    EXPECT_EQ(field->value(), c.Shown) << c.Field << " typed " << c.Keys;
    EXPECT_EQ(field->text().toInt(), c.Shown) << c.Field << " typed " << c.Keys;
    if (*c.Tip) {
      EXPECT_TRUE(field->toolTip().contains(c.Tip)) << c.Keys << ": " << field->toolTip().toStdString();
    }
  }
  const DuckerSettings& s = core_->Settings;
  EXPECT_EQ(s.DelayInFrames, 250);
  EXPECT_EQ(s.Lines[1].VolumeDB, 7);
  EXPECT_EQ(s.TimeoutInFrames, 5);
  EXPECT_EQ(s.NoiseLevelDB, 48);
  EXPECT_EQ(s.DecreaseDB, 12);
  EXPECT_EQ(s.Lines[2].VolumeDB, -12);
}

// Leaving the field is enough: the bound shows before any apply.
TEST_F(SettingsDlgTest, ANumberBeyondTheRangeBecomesTheBoundWhenTheFieldIsLeft) {
  Open();
  auto* delay = C<QSpinBox>(IDC_DELAY);
  delay->setFocus();
  Type(delay, "300");
  EXPECT_EQ(delay->text(), "300") << "typed in full";
  C<QLineEdit>(IDC_REGION_NAME)->setFocus();
  QApplication::processEvents();
  EXPECT_EQ(delay->text(), "250");
  EXPECT_EQ(delay->value(), 250);
}

// The mask holds catalogue positions 0..31: later engines are listed
// greyed with the reason and cannot be checked.
TEST_F(SettingsDlgTest, EnginesBeyondThePositionsTheMaskHoldsCannotBeChecked) {
  std::string engines;
  for (int i = 0; i < 34; ++i) engines += (i ? "," : "") + std::string(R"({"name": "Engine )") + std::to_string(i) + "\"}";
  LoadStudio(R"({"devices": [{"kind": 2, "name": "Cam"}], "engines": [)" + engines + "]}");
  core_ = MakeCore();
  ASSERT_EQ(core_->TitleEngines.Count(), 34);
  Complete();
  core_->Settings.CaptureSource = 0;
  core_->Settings.TitleEngineMask = 0x80000001u;
  Open();
  auto* list = C<QListWidget>(IDC_ENGINES);
  ASSERT_EQ(list->count(), 34);
  EXPECT_EQ(list->item(31)->checkState(), Qt::Checked);
  for (const int i : {32, 33}) {
    EXPECT_FALSE(list->item(i)->flags() & Qt::ItemIsEnabled) << i;
    EXPECT_FALSE(list->item(i)->flags() & Qt::ItemIsUserCheckable) << i;
    EXPECT_TRUE(list->item(i)->text().startsWith(QString("Engine %1").arg(i))) << i;
    EXPECT_TRUE(list->item(i)->text().contains("32")) << list->item(i)->text().toStdString();
    ToggleEngine(i);
    EXPECT_NE(list->item(i)->checkState(), Qt::Checked) << i;
  }
  ToggleEngine(0);  // off
  ToggleEngine(30);
  Click(IDC_APPLY);
  EXPECT_EQ(core_->Settings.TitleEngineMask, 0xC0000000u);
}

// A mixer change applied while the pipeline runs reaches the pump on its
// next pass: the engine's output follows the new routing from one block on.
TEST_F(SettingsDlgTest, AMixerChangeAppliedWhileRunningReachesTheEngineOutput) {
  Complete();
  core_->Settings.UseCommon = false;                         // the line goes out whole
  core_->Settings.Lines[0] = {true, {Stereo, 2}, {Stereo, 0}, 0};  // a steady tone to the first plane
  st::KeepPresentedAudio(48000 * 8);
  ASSERT_TRUE(core_->StartPipeline());
  const auto engineOutput = [] { return *st::GetEngineReport(pt::kE25).FindLayer(-1000); };
  ASSERT_TRUE(WaitFor([&] {
    const st::EngineReport r = st::GetEngineReport(pt::kE25);
    return r.FindLayer(-1000) && r.FindLayer(-1000)->Positioned;
  }));
  const int64_t start = st::CaptureNewestPosition(pt::kCam25);
  const auto captureFrames = [&](int64_t from, int64_t to) {
    for (int64_t k = from; k <= to; ++k) {
      st::AdvanceToCaptureFrame(pt::kCam25, start + k - 1);
      ASSERT_TRUE(WaitFor([&] { return pt::FindFifo(engineOutput(), 1)->WrittenSamples >= k * 1920; })) << k;
    }
  };
  captureFrames(1, 20);

  Open(true);
  Choose(C<QComboBox>(IDC_TO_0 + 1), 1);  // Stereo#2
  Click(IDC_APPLY);
  captureFrames(21, 40);
  st::AdvanceToEngineOutput(pt::kE25, engineOutput().Base + 41);  // everything presented
  const st::LayerReport layer = engineOutput();
  core_->StopPipeline();

  const st::FifoReport* first = pt::FindFifo(layer, 1);
  const st::FifoReport* second = pt::FindFifo(layer, 2);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(first->PresentedStartSample, second->PresentedStartSample);
  const auto heard = [](const st::FifoReport* f, size_t frame) {
    return f->Presented[2 * frame] != 0.0f || f->Presented[2 * frame + 1] != 0.0f;
  };
  int64_t lastOnFirst = -1;
  int64_t firstOnSecond = -1;
  int64_t both = 0;
  const size_t frames = std::min(first->Presented.size(), second->Presented.size()) / 2;
  for (size_t s = 0; s < frames; ++s) {
    if (heard(first, s)) lastOnFirst = static_cast<int64_t>(s);
    if (heard(second, s) && firstOnSecond < 0) firstOnSecond = static_cast<int64_t>(s);
    both += heard(first, s) && heard(second, s) ? 1 : 0;
  }
  EXPECT_EQ(both, 0);
  EXPECT_GE(lastOnFirst, 19 * 1920);  // the first 20 blocks on the first plane
  EXPECT_GT(firstOnSecond, lastOnFirst);
  EXPECT_LE(firstOnSecond - lastOnFirst, 3);  // the switch falls between two blocks
  EXPECT_GE(static_cast<int64_t>(frames) - firstOnSecond, 19 * 1920);  // the last 20 on the second
}

}  // namespace
}  // namespace quellvox::dialog_testing
