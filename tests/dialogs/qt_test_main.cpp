// GoogleTest with one QApplication for the whole binary. Without a platform
// chosen by the caller (CTest sets it), the offscreen platform with the
// test screens is used, so that listing and running the tests needs no
// display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer only: Qt's libraries are not built for it, so the
// image work Qt Gui hands to Qt Core's thread pool while a large window is
// drawn shows up as races that the libraries' uninstrumented locks do not
// explain. The dialogs themselves run on one thread; the pipeline code
// under test is still checked.
extern "C" const char* __tsan_default_suppressions() { return "race:libQt6Gui.so\nrace:libQt6Core.so\n"; }
#endif

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", QUELLVOX_DIALOG_PLATFORM, 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
