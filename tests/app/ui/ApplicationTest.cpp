// The program object on Qt's offscreen platform: how it ends when the desktop asks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Application.h"
#include "monitor/FakePcsc.h"
#include "UiTestSupport.h"
#include "Strings.h"
#include "TrayController.h"
#include "platform/Profile.h"

namespace {

// A private profile in Hungarian without the splash, and the program's options on the
// scripted PC/SC fake.
struct ApplicationTest : ::testing::Test {
  void SetUp() override {
    Platform::Profile profile;
    ASSERT_TRUE(profile.WriteString("", "Language", "HUN"));
    ASSERT_TRUE(profile.WriteDword("", "ShowSplashScreen", 0));
    options.waitForServices = false;
    options.pcsc = &pcsc;
  }
  UiTest::ProfileSandbox sandbox;
  FakePcsc pcsc;
  Application::Options options;
};

// The session manager's "die" reaches the program as the platform's request to quit
// (the same event Qt's X11 session management delivers). With the window visible it must
// end the program after the end-of-session clean-up, never ask whether to close or hide.
TEST_F(ApplicationTest, SessionManagersDieQuitsWithoutTheCloseQuestion) {
  Application program(nullptr, options);
  ASSERT_EQ(program.Start({"kelmardin"}), -1);
  ASSERT_TRUE(program.Window()->isVisible());
  ASSERT_TRUE(program.Window()->Monitor().Running());

  bool asked = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (QWidget* question = QApplication::activeModalWidget()) {
      asked = true;
      question->close();
    }
  });
  watch.start(20);
  QTimer giveUp;
  giveUp.setSingleShot(true);
  QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  giveUp.start(5000);
  QTimer::singleShot(0, [] {
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &quit);
  });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(asked);
  EXPECT_FALSE(program.Window()->Monitor().Running());
  program.Exit();
}

// Without $XDG_RUNTIME_DIR, a single-instance folder that others may write to: the
// start-up error box keeps its own text and adds which folder and what is wrong with it
// (the fault: the reason went only to the event log, which is off by default).
TEST_F(ApplicationTest, UnsafeSingleInstanceFolderBoxNamesTheFolderAndWhy) {
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  const std::string tmp = sandbox.Root() + "/tmp";
  const std::string folder = tmp + "/kelmardin-" + std::to_string(::getuid());
  std::filesystem::create_directories(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 0777), 0);
  ::unsetenv("XDG_RUNTIME_DIR");
  ::setenv("TMPDIR", tmp.c_str(), 1);

  QString shown;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->close();
    }
  });
  watch.start(20);
  {
    Application program(nullptr, options);
    EXPECT_EQ(program.Start({"kelmardin"}), 1);
    program.Exit();
  }
  watch.stop();
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  if (oldTmp) ::setenv("TMPDIR", savedTmp.c_str(), 1);
  else ::unsetenv("TMPDIR");

  EXPECT_EQ(shown.toStdString(), std::string(Res::HungarianText(Res::StringId::StartupError)) + "\n\nA(z) " + folder +
                                     " mappa nem használható: mások is írhatják (jogosultságok: 0777).");
}

// Started into the tray, the icon is made before the window and handed to it: its menu
// then follows the window. Offscreen there is no tray, so the window shows all the same.
TEST_F(ApplicationTest, StartIntoTheTrayHandsTheEarlyIconToTheWindow) {
  Application program(nullptr, options);
  ASSERT_EQ(program.Start({"kelmardin", "/system_tray"}), -1);
  MainWindow& window = *program.Window();
  ASSERT_TRUE(window.isVisible());
  TrayController& tray = window.Tray();
  tray.UpdateMenuState();
  EXPECT_FALSE(tray.ShowAction()->isEnabled());
  EXPECT_TRUE(tray.HideAction()->isEnabled());
  tray.HideAction()->trigger();  // no tray: minimised, so that it stays reachable
  ASSERT_TRUE(window.isMinimized());
  tray.UpdateMenuState();
  EXPECT_TRUE(tray.ShowAction()->isEnabled());
  tray.ShowAction()->trigger();
  EXPECT_FALSE(window.isMinimized());
  program.Exit();
}

}  // namespace
