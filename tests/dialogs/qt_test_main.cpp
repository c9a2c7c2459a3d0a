// GoogleTest with one QApplication for the whole binary. Without a platform
// chosen by the caller (CTest sets it), the offscreen platform with the
// test screens is used, so that listing and running the tests needs no
// display.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", QUELLVOX_DIALOG_PLATFORM, 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
