#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <cmath>
#include <limits>

#include "app/floor_gain_strip.h"
#include "app/instance_core.h"
#include "app/log_dlg.h"
#include "audio/gain.h"
#include "dialog_fixture.h"

namespace quellvox::dialog_testing {
namespace {

namespace pt = pipeline_testing;

class LogDlgTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    Complete();
    core_->SaveSettings();  // the instance's key exists; a position alone never creates it
  }

  void TearDown() override {
    dlg_.reset();
    DialogTest::TearDown();
  }

  // Opens the window as the frame's Log command does and waits for its
  // first refresh (10 ms after opening).
  CLogDlg& Open() {
    dlg_ = std::make_unique<CLogDlg>(*core_, [this] {
      ++restarts_;
      core_->StopPipeline();
      core_->StartPipeline();
    });
    dlg_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dlg_.get()));
    shownAt_ = dlg_->frameGeometry().topLeft();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Text().isEmpty(); }, 5000));
    return *dlg_;
  }

  QString Text() { return Ctl<QPlainTextEdit>(*dlg_, IDC_STATS_TEXT)->toPlainText(); }
  static QString Expected(const std::string& text) { return QString::fromStdString(text).replace("\r\n", "\n"); }
  void Click(int id) { QTest::mouseClick(Ctl<QPushButton>(*dlg_, id), Qt::LeftButton); }

  // Whether `text` shows up within `ms` of refreshes.
  bool Shows(const QString& text, int ms = 5000) {
    return QTest::qWaitFor([&] { return Text().contains(text); }, ms);
  }

  std::unique_ptr<CLogDlg> dlg_;
  QPoint shownAt_;
  int restarts_ = 0;
};

TEST_F(LogDlgTest, ShowsTheStatisticsTextUnderItsTitleAndRefreshesIt) {
  CLogDlg& dlg = Open();
  EXPECT_EQ(dlg.windowTitle(), "Quellvox #T Statistics");
  EXPECT_TRUE(Ctl<QPlainTextEdit>(dlg, IDC_STATS_TEXT)->isReadOnly());
  EXPECT_EQ(Text(), Expected(core_->BuildStatisticsText()));
  core_->Stats.ProcessingSeconds.store(4321);
  EXPECT_TRUE(Shows("Processing time: \t4321 sec.\n"));
  EXPECT_EQ(Text(), Expected(core_->BuildStatisticsText()));
}

TEST_F(LogDlgTest, FirstOpeningStaysWhereItOpensAndTheNextOneReturnsWhereItWasLeft) {
  int32_t x = 0;
  int32_t y = 0;
  ASSERT_FALSE(core_->LoadStatsWindowPosition(x, y));
  CLogDlg& dlg = Open();
  EXPECT_EQ(dlg.frameGeometry().topLeft(), shownAt_);
  dlg.move(300, 200);
  QTest::keyClick(&dlg, Qt::Key_Escape);
  ASSERT_TRUE(core_->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(QPoint(x, y), QPoint(300, 200));

  Open();
  EXPECT_TRUE(QTest::qWaitFor([&] { return dlg_->frameGeometry().topLeft() == QPoint(300, 200); }, 5000))
      << dlg_->frameGeometry().x() << "," << dlg_->frameGeometry().y();
  dlg_->move(-900, 40);  // onto the second screen
  dlg_->close();
  ASSERT_TRUE(core_->LoadStatsWindowPosition(x, y));
  EXPECT_EQ(QPoint(x, y), QPoint(-900, 40));
}

// Screens: primary 0,0 1920x1080, the second -1280,0 1280x1024. A saved
// place is taken only when the window would share a pixel with a screen.
TEST_F(LogDlgTest, ASavedPlaceIsTakenOnlyWhenItSharesAPixelWithAScreen) {
  ASSERT_EQ(QGuiApplication::screens().size(), 2);
  Open();
  const QSize size = dlg_->frameGeometry().size();
  dlg_->close();
  const int w = size.width();
  const int h = size.height();
  struct Case {
    const char* Name;
    QPoint Saved;
    bool Taken;
  } const cases[] = {
      {"inside the primary screen", {500, 300}, true},
      {"one pixel over the primary's bottom-right corner", {1919, 1079}, true},
      {"touching the primary's right edge", {1920, 100}, false},
      {"touching the primary's bottom edge", {100, 1080}, false},
      {"above the primary, touching its top edge", {100, -h}, false},
      {"on the second screen, negative", {-1000, 300}, true},
      {"one pixel onto the second screen's left edge", {-1280 - w + 1, 500}, true},
      {"touching the second screen's left edge", {-1280 - w, 500}, false},
      {"below the second screen, beside the primary", {-600, 1024}, false},
      {"far away", {100000, -100000}, false},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(core_->SaveStatsWindowPosition(c.Saved.x(), c.Saved.y()).IsOk());
    Open();
    if (c.Taken) {
      EXPECT_TRUE(QTest::qWaitFor([&] { return dlg_->frameGeometry().topLeft() == c.Saved; }, 5000)) << c.Name;
    } else {
      QTest::qWait(100);  // the placement timer has long fired
      EXPECT_EQ(dlg_->frameGeometry().topLeft(), shownAt_) << c.Name;
    }
    dlg_->close();
  }
}

// A stored position near the 32-bit limit does not wrap into a screen.
TEST(SharesAPixel, FarPositionsDoNotWrap) {
  EXPECT_FALSE(SharesAPixel({2147483600, 0, 2147483600LL + 300, 200}, QRect(-2147483647, 0, 100, 100)));
  EXPECT_TRUE(SharesAPixel({-2147483648LL, 0, -2147483648LL + 300, 200}, QRect(-2147483647, 0, 100, 100)));
}

class RunningLogDlgTest : public LogDlgTest {
 protected:
  void SetUp() override {
    LogDlgTest::SetUp();
    ASSERT_TRUE(core_->StartPipeline());
  }
  void TearDown() override {
    dlg_.reset();
    core_->StopPipeline();
    LogDlgTest::TearDown();
  }
};

TEST_F(RunningLogDlgTest, ResetSkipsShowsZeroOnceThePumpHasTakenTheRequest) {
  core_->Stats.SkipAudio.store(7);
  core_->Stats.SkipVideo[0].store(3);
  Open();
  EXPECT_TRUE(Shows("Skip audio: \t7\nSkip video: \t3  \n"));
  Click(IDC_RESET_SKIPS);
  EXPECT_TRUE(Shows("Skip audio: \t0\nSkip video: \t0  \n")) << Text().toStdString();
  EXPECT_EQ(core_->Stats.ResetRequested.load(), 0);
}

TEST_F(RunningLogDlgTest, RestartRunsTheFramesRestartAndTheWindowStaysOpen) {
  Open();
  RecordingMessages before = messages_;
  Click(IDC_RESTART);
  EXPECT_EQ(restarts_, 1);
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_TRUE(core_->Pipeline.AudioThread.joinable());
  // The text goes on from the new start.
  core_->Stats.ProcessingSeconds.store(-1);
  EXPECT_TRUE(Shows("Processing time: \t0 sec."));
  EXPECT_EQ(messages_.Shown.size(), before.Shown.size());
}

// The pump publishes each row's floor gain and the voice flag once per
// pass; while voice is seen on a row its floor is held at -DecreaseDB.
TEST_F(RunningLogDlgTest, ThePumpPublishesTheFloorGainForTheStrip) {
  const uint32_t passes = core_->Stats.PassCount.load();
  EXPECT_TRUE(WaitFor([&] { return core_->Stats.PassCount.load() - passes >= 3; }));
  const int64_t start = st::CaptureNewestPosition(pt::kCam25);
  // Speech on pair 1 over the floor: after a few seconds the line has spoken.
  bool ducked = false;
  for (int64_t k = 1; k <= 250 && !ducked; ++k) {
    st::AdvanceToCaptureFrame(pt::kCam25, start + k - 1);
    ASSERT_TRUE(WaitFor([&] {
      return pt::FindFifo(*st::GetEngineReport(pt::kE25).FindLayer(-1000), 1)->WrittenSamples >= k * 1920;
    }));
    ducked = core_->Stats.FloorGainCentiDB[0].load() == -1800 && core_->Stats.VoiceDetected[0].load() == 1;
  }
  EXPECT_TRUE(ducked);
  EXPECT_EQ(core_->Stats.FloorGainCentiDB[1].load(), 0);  // a row not in use keeps its floor open
}

TEST(FloorGainToCentiDb, WholeAndFractionalDecibels) {
  EXPECT_EQ(FloorGainToCentiDb(1.0f), 0);
  EXPECT_EQ(FloorGainToCentiDb(DbToGain(-18)), -1800);
  EXPECT_EQ(FloorGainToCentiDb(DbToGain(-24)), -2400);
  EXPECT_EQ(FloorGainToCentiDb(0.5f), -602);  // 20 log10(0.5) = -6.0206
  EXPECT_EQ(FloorGainToCentiDb(0.0f), -12000);
  EXPECT_EQ(FloorGainToCentiDb(-1.0f), -12000);
  EXPECT_EQ(FloorGainToCentiDb(std::nanf("")), -12000);
}

TEST(FloorGainHistory, KeepsTheNewestSamplesAndMarksThoseWithoutAPass) {
  PipelineStats stats;
  FloorGainHistory history;
  history.Take(stats, 0);
  EXPECT_FALSE(history.At(0).Live);  // nothing to compare with
  stats.PassCount.store(5);
  stats.VoiceDetected[2].store(1);
  stats.FloorGainCentiDB[2].store(-1234);
  history.Take(stats, 40);
  EXPECT_TRUE(history.At(0).Live);
  EXPECT_EQ(history.At(0).VoiceMask, 0b100);
  EXPECT_EQ(history.At(0).CentiDb[2], -1234);
  history.Take(stats, 80);  // no pass yet: two samples within one frame
  EXPECT_TRUE(history.At(0).Live);
  history.Take(stats, 40 + FloorGainHistory::kStallMs);  // no pass for that long: stopped or stalled
  EXPECT_FALSE(history.At(0).Live);
  EXPECT_EQ(history.At(1).TimeMs, 80);

  const int64_t base = 40 + FloorGainHistory::kStallMs;
  for (int64_t t = 1; t <= FloorGainHistory::kCapacity + 5; ++t) {
    stats.PassCount.store(static_cast<uint32_t>(5 + t));
    history.Take(stats, base + t * 40);
  }
  EXPECT_EQ(history.Count(), FloorGainHistory::kCapacity);
  EXPECT_EQ(history.At(0).TimeMs, base + (FloorGainHistory::kCapacity + 5) * 40);
  EXPECT_EQ(history.At(FloorGainHistory::kCapacity - 1).TimeMs, base + 6 * 40);
}

// Far from time 0, a sample soon after a pass is live only when the time of
// that pass was taken: the time of an older pass would call it a stall.
TEST(FloorGainHistory, TakesTheTimeOfEachNewPass) {
  PipelineStats stats;
  FloorGainHistory history;
  history.Take(stats, 10'000);
  stats.PassCount.store(1);
  history.Take(stats, 60'000);
  ASSERT_TRUE(history.At(0).Live);
  history.Take(stats, 60'000 + FloorGainHistory::kStallMs / 2);  // same pass, well within the stall time
  EXPECT_TRUE(history.At(0).Live);
  history.Take(stats, 60'000 + FloorGainHistory::kStallMs);
  EXPECT_FALSE(history.At(0).Live);
  history.Clear();
  EXPECT_EQ(history.Count(), 0);
}

// The instance keeps the strip's history while the window is closed, so a
// window opened late shows the relay's past at once; the meters' figures of
// the planes in use stand under the strip; a stopped relay says so.
TEST_F(RunningLogDlgTest, AWindowOpenedLateShowsTheHistoryAndTheLoudnessAndSaysStopped) {
  // The relay starts at the frame that is newest when its pump thread takes
  // the start position, which may come after this thread has moved the
  // clock: that frame's block is then copied only once the next frame is
  // captured, and a wait for it would never end. The pump passes only after
  // it took the start position.
  const uint32_t passes = core_->Stats.PassCount.load();
  ASSERT_TRUE(WaitFor([&] { return core_->Stats.PassCount.load() != passes; }, std::chrono::seconds(60)));
  const int64_t start = st::CaptureNewestPosition(pt::kCam25);
  for (int64_t k = 1; k <= 40; ++k) {  // 1.6 s of capture, a block metered for each frame
    const uint64_t metered = core_->LoudnessFigures().BlocksMetered;
    st::AdvanceToCaptureFrame(pt::kCam25, start + k);
    // A generous bound: the pump and the meter thread share a loaded machine.
    ASSERT_TRUE(WaitFor([&] { return core_->LoudnessFigures().BlocksMetered > metered; }, std::chrono::seconds(60)))
        << "frame " << k;
    core_->SampleStripHistory();
  }
  ASSERT_EQ(core_->StripHistory.Count(), 40);
  Open();
  const auto* strip = dlg_->findChild<CFloorGainStrip*>("FloorGainStrip");
  ASSERT_NE(strip, nullptr);
  EXPECT_GE(strip->History().Count(), 40);  // at once, not from the opening on
  EXPECT_FALSE(strip->ShowsStopped());
  const auto* loudness = Ctl<QLabel>(*dlg_, IDC_LOUDNESS);
  EXPECT_TRUE(QTest::qWaitFor([&] { return loudness->text().contains("Stereo#1:   M -"); }, 5000))
      << loudness->text().toStdString();
  EXPECT_EQ(loudness->text().count("Stereo#"), 1);  // the one row in use goes to plane 1
  EXPECT_EQ(Text(), Expected(core_->BuildStatisticsText()));  // the text above is unchanged

  // The operator stretches the window: the strip takes the height.
  const int before = strip->height();
  dlg_->resize(dlg_->width(), dlg_->height() + 200);
  EXPECT_TRUE(QTest::qWaitFor([&] { return strip->height() >= before + 150; }, 5000)) << strip->height();

  core_->StopPipeline();
  EXPECT_TRUE(strip->ShowsStopped());
  core_->SampleStripHistory();  // nothing taken while stopped
  EXPECT_EQ(core_->StripHistory.Count(), 40);
  EXPECT_TRUE(loudness->isVisible());  // the last run's figures stay readable
  ASSERT_TRUE(core_->StartPipeline());
  EXPECT_EQ(core_->StripHistory.Count(), 0);  // a new relay, a new history
  EXPECT_EQ(core_->LoudnessFigures().BlocksMetered, 0u);
}

// The loudness lines: one per plane a row in use goes to, unknown figures
// as "--", and the blocks the meters missed.
TEST(BuildLoudnessText, OneLinePerPlaneInUseWithUnknownFiguresAsDashes) {
  DuckerSettings s;
  s.Lines[0] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  s.Lines[1] = {true, {Stereo, 2}, {Stereo, 2}, 0};
  s.Lines[2] = {false, {Stereo, 2}, {Stereo, 1}, 0};
  LoudnessSnapshot f;
  f.Planes = 3;
  const double inf = std::numeric_limits<double>::infinity();
  f.Plane[0] = {-20.04, -21.96, -23.0, 4.0, -1.25};
  f.Plane[1] = {-10.0, -10.0, -10.0, 0.0, -1.0};  // no row in use goes there
  f.Plane[2] = {-inf, -inf, -inf, 0.0, -inf};
  EXPECT_EQ(BuildLoudnessText(f, s),
            "Stereo#1:\tM -20.0\tS -22.0\tI -23.0 LUFS\tTP max -1.2 dBTP\n"
            "Stereo#3:\tM --\tS --\tI -- LUFS\tTP max -- dBTP");
  f.BlocksDropped = 3;
  f.Planes = 1;
  EXPECT_EQ(BuildLoudnessText(f, s),
            "Stereo#1:\tM -20.0\tS -22.0\tI -23.0 LUFS\tTP max -1.2 dBTP\nLoudness: 3 blocks not metered");
  f.Planes = 0;
  f.BlocksDropped = 0;
  EXPECT_EQ(BuildLoudnessText(f, s), "");
}

// The strip draws one band per row in use: voice spans in their colour,
// and nothing for a row that is not in use.
TEST_F(LogDlgTest, TheStripDrawsARowForEachLineInUseWithItsVoiceSpans) {
  core_->Settings.Lines[2] = {true, {Stereo, 1}, {Stereo, 0}, 0};
  FloorGainHistory history;
  CFloorGainStrip strip(history, core_->Settings, [] { return true; });
  strip.resize(strip.sizeHint());
  EXPECT_EQ(strip.RowsShown(), 2);
  for (uint32_t pass = 1; pass <= 20; ++pass) {
    core_->Stats.PassCount.store(pass);
    core_->Stats.VoiceDetected[2].store(pass > 5 ? 1 : 0);
    core_->Stats.FloorGainCentiDB[2].store(pass > 5 ? -1800 : 0);
    history.Take(core_->Stats, pass * 40);
  }
  strip.Refresh();
  const QImage image = strip.grab().toImage();
  const auto voiceIn = [&](int top, int bottom) {
    int n = 0;
    for (int y = top; y < bottom; ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        n += c.red() > 200 && c.green() > 150 && c.green() < 230 && c.blue() < 150 ? 1 : 0;
      }
    }
    return n;
  };
  const int half = (image.height() - strip.fontMetrics().height()) / 2;
  EXPECT_EQ(voiceIn(0, half), 0);             // row 1: no voice
  EXPECT_GT(voiceIn(half, 2 * half), 10);     // row 3: voice for the last samples
  core_->Settings.Lines[0].Use = false;
  strip.Refresh();
  EXPECT_EQ(strip.RowsShown(), 1);
}

}  // namespace
}  // namespace quellvox::dialog_testing
