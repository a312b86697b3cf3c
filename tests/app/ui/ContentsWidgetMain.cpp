// Test main for widget tests over SoftHSM2 tokens: the private module folder of the
// support test main (it runs the process again below it), then a QApplication on the
// offscreen platform with the program's images.
#define main TvrSupportTestMain
#include "TestMain.cpp"
#undef main

#include <QApplication>

#include "Application.h"

int main(int argc, char** argv) {
  const char* moduleDir = std::getenv("TVR_TEST_MODULE_DIR");
  if (!moduleDir || !*moduleDir) return TvrSupportTestMain(argc, argv);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  InitProgramResources();
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
