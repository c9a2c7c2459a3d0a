// Desktop tests: a QApplication on the offscreen platform, the instance's
// store in a temporary $XDG_CONFIG_HOME, the virtual studio's default
// description, a notification area and message boxes that the tests answer.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QImage>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/main_frame.h"
#include "app/system_tray.h"
#include "app/user_messages.h"
#include "platform/media/studio_test_api.h"
#include "platform/media/virtual_studio.h"
#include "res/icons.h"
#include "tests/registry/registry_fixture.h"
#include "tests/support/ready_instance.h"
#include "tests/support/recording_messages.h"

namespace quellvox::test {

// The notification area as a test sees it: whether one exists, what the
// icon shows, and a way to click it.
class FakeArea : public NotificationArea {
 public:
  bool Add(const QIcon& icon, const QString& tip, Handler handler) override {
    ++Adds;
    if (!Available) return false;
    Shown = true;
    Icon = icon;
    Tip = tip.toStdString();
    handler_ = std::move(handler);
    return true;
  }
  bool SetTip(const QString& tip) override {
    Tip = tip.toStdString();
    return true;
  }
  bool SetIcon(const QIcon& icon) override {
    Icon = icon;
    return true;
  }
  void Delete() override {
    ++Deletes;
    Shown = false;
  }
  // Delivers a mouse notification as the shell would.
  void Click(uint32_t mouseMessage, uint32_t id = kTrayIconId) {
    if (handler_) handler_(id, mouseMessage);
  }
  // Whether the icon shows the picture of icon resource `iconId`.
  bool Shows(uint32_t iconId) const {
    return !Icon.isNull() &&
           Icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied) ==
               DrawIconResource(iconId, 16);
  }

  bool Available = true;
  bool Shown = false;
  QIcon Icon;
  std::string Tip;
  int Adds = 0;
  int Deletes = 0;

 private:
  Handler handler_;
};

// The open modal dialog, if any.
inline QDialog* OpenDialog() { return qobject_cast<QDialog*>(QApplication::activeModalWidget()); }

// Runs `action` with the dialog once one is open (from inside its modal
// loop), as a user would act on it.
inline void WhenDialogOpens(std::function<void(QDialog&)> action) {
  auto* timer = new QTimer;
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, action = std::move(action)] {
    QDialog* dialog = OpenDialog();
    if (dialog == nullptr || !dialog->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    action(*dialog);
  });
  timer->start();
}

// Processes events until `done` holds or 10 s went by.
inline bool ProcessUntil(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > 10000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

class AppTest : public RegistryTest {
 protected:
  static void SetUpTestSuite() {
    if (QApplication::instance() == nullptr) {
      static int argc = 1;
      static char name[] = "app_test";
      static char* argv[] = {name, nullptr};
      new QApplication(argc, argv);  // lives for the whole test program
      QApplication::setQuitOnLastWindowClosed(false);
    }
  }

  void SetUp() override {
    RegistryTest::SetUp();
    RegisterVirtualStudio();
    studio_test::LoadDefaultDescription();
  }

  void TearDown() override {
    frame_.reset();
    studio_test::ClearFaults();
    studio_test::LoadDefaultDescription();
    RegistryTest::TearDown();
  }

  // A new frame for instance `id`, not yet created.
  CMainFrame& NewFrame(const char* id = "#1") {
    frame_ = std::make_unique<CMainFrame>(id, "/opt/quellvox/bin/quellvox", messages_, area_);
    frame_->WindowDestroyed = [this] { ++windowsDestroyed_; };
    return *frame_;
  }

  // A new frame that was created successfully.
  CMainFrame& CreatedFrame(const char* id = "#1") {
    CMainFrame& frame = NewFrame(id);
    EXPECT_TRUE(frame.OnCreate());
    return frame;
  }

  // One tick of the frame's one-second timer.
  void Tick() { frame_->OnTimer(frame_->StateTimer); }

  // Complete settings for the default studio: Engine 1, Capture 1, row 1
  // from the second stereo pair onto the first.
  static void MakeComplete(DuckerSettings& s) { test_support::MakeRelaySettings(s, 0, 1, "Voice over"); }

  // Saves instance `id` with complete settings and AutoStart as given.
  void SaveInstance(const char* id, bool complete, bool autoStart) {
    RecordingMessages quiet;
    const auto core = test_support::MakeInstance(id, quiet, "/opt/quellvox/bin/quellvox");
    if (complete) MakeComplete(core->Settings);
    core->AutoStart = autoStart;
    core->SaveSettings();
    ASSERT_TRUE(quiet.Shown.empty());
  }

  // Whether the store holds value `name` of `key`.
  bool HasValue(const char* key, const char* name) {
    ComPtr<IKTRegistryAccess> reg;
    if (CreateInstance(kClsidRegistryAccess, reg) != S_OK) return false;
    std::string text;
    return reg->OpenKey(Cs(key), KEY_READ) == S_OK && ReadStr8(reg.Get(), name, text) == S_OK;
  }

  FakeArea area_;
  RecordingMessages messages_;
  std::unique_ptr<CMainFrame> frame_;
  int windowsDestroyed_ = 0;
};

}  // namespace quellvox::test
