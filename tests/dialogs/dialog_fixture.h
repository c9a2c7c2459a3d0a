// Shared helpers of the dialog tests: an instance on the virtual studio with
// its own registry folder, controls found by their id, user input, and a
// catcher that answers the message boxes a dialog opens.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "app/instance_core.h"
#include "tests/pipeline/pipeline_fixture.h"
#include "tests/registry/registry_fixture.h"
#include "tests/support/status_assert.h"

namespace quellvox::dialog_testing {

namespace st = quellvox::studio_test;
using pipeline_testing::WaitFor;

// The control with id `id` (its object name) inside `parent`; the test
// fails when there is none.
template <class W>
W* Ctl(const QWidget& parent, int id) {
  W* w = parent.findChild<W*>(QString::number(id));
  EXPECT_NE(w, nullptr) << "no control " << id;
  return w;
}

// A click on a check box's indicator (its left end).
inline void ClickCheck(QCheckBox* box) {
  QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, QPoint(box->height() / 2, box->height() / 2));
}

// Chooses item `index` of a drop-down list with the keyboard.
inline void Choose(QComboBox* combo, int index) {
  QTest::keyClick(combo, Qt::Key_Home);
  for (int i = 0; i < index; ++i) QTest::keyClick(combo, Qt::Key_Down);
}

// Replaces what a number field holds by `keys`, typed.
inline void Type(QSpinBox* spin, const char* keys) {
  QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(spin, Qt::Key_Delete);
  QTest::keyClicks(spin, keys);
}

// Answers every message box that comes up while it lives with its OK
// button, and keeps what each showed.
class MessageBoxCatcher {
 public:
  struct Box {
    QString Title;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    bool OnTop = false;
    QWidget* Owner = nullptr;
  };

  MessageBoxCatcher() {
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { Answer(); });
    timer_.start(5);
  }
  std::vector<Box> Shown;

  QString LastText() const { return Shown.empty() ? QString() : Shown.back().Text; }

 private:
  void Answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    Shown.push_back({box->windowTitle(), box->text(), box->icon(),
                     box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), box->parentWidget()});
    box->button(QMessageBox::Ok)->click();
  }

  QTimer timer_;
};

// An instance "#T" on the pipeline tests' studio (manual clock), with both
// catalogues filled, in a registry folder of its own.
class DialogTest : public test::RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    RegisterVirtualStudio();
    st::UseManualClock(0);
    st::ClearFaults();
    LoadStudio(pipeline_testing::PipelineStudio());
    live_ = st::LiveObjects();
    core_ = MakeCore();
  }

  void TearDown() override {
    core_.reset();
    EXPECT_EQ(st::LiveObjects(), live_) << "a component reference was not released";
    st::KeepPresentedAudio(0);
    st::LoadDefaultDescription();
    RegistryTest::TearDown();
  }

  static void LoadStudio(const std::string& json) {
    ASSERT_TRUE(test_support::IsOk(st::LoadDescriptionText(json)));
  }

  std::unique_ptr<InstanceCore> MakeCore() {
    return test_support::MakeInstance("#T", messages_);
  }

  // Settings that relay Cam25 into E25, row 1 taking pair 2 to the first pair.
  void Complete() {
    test_support::MakeRelaySettings(core_->Settings, pipeline_testing::kCam25, 1u << pipeline_testing::kE25, "Relay");
  }

  // What a fresh instance of the same identifier reads from the registry.
  std::unique_ptr<InstanceCore> Reloaded() {
    auto core = MakeCore();
    core->LoadSettings();
    return core;
  }

  RecordingMessages messages_;
  std::unique_ptr<InstanceCore> core_;
  int64_t live_ = 0;
};

}  // namespace quellvox::dialog_testing
