// Test main for widget tests: the support main's private module folder (for the tests
// that load PKCS#11 modules), then a QApplication on the offscreen platform with the
// program's images.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <string>

#include "Application.h"

int TvrRunTests(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // PC/SC calls of code under test must never reach the machine's pcscd; the PC/SC rig
  // sets its own socket before its first call.
  const char* tmp = std::getenv("TMPDIR");
  ::setenv("PCSCLITE_CSOCK_NAME", (std::string(tmp && *tmp ? tmp : "/tmp") + "/no-pcscd.comm").c_str(), 0);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  InitProgramResources();
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
