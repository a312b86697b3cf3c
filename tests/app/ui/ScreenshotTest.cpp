// Renders each window of the program with realistic content into the build folder's
// screenshots/ folder, for a look by eye (clipped accents, empty fields, overlaps).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>
#include <QTest>

#include "CloseOrHideDialog.h"
#include "monitor/FakePcsc.h"
#include "MainWindow.h"
#include "PinDialogs.h"
#include "SettingsPage.h"
#include "SplashDialog.h"
#include "UiTestSupport.h"
#include "WaitingDialog.h"
#include "platform/Profile.h"

namespace {

class ScreenshotTest : public ::testing::Test {
 protected:
  ScreenshotTest() {
    QApplication::setApplicationDisplayName(QString::fromUtf8("TAVRENIC - Olvanta Zavadorerido"));
    QDir().mkpath(TVR_SCREENSHOT_DIR);
    // Qt's own button texts in Hungarian, as the program shows them.
    static QTranslator qtHungarian;
    static const bool loaded =
        qtHungarian.load(QStringLiteral("qtbase_hu"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
        QCoreApplication::installTranslator(&qtHungarian);
    (void)loaded;
  }
  static void Save(QWidget& widget, const char* name) {
    widget.show();
    QApplication::processEvents();
    const QPixmap shot = widget.grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_GT(shot.width(), 100);
    ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/" + name + ".png")) << name;
  }
  UiTest::ProfileSandbox sandbox;
  UiTest::ScriptedUserPort port;
};

TEST_F(ScreenshotTest, MainWindowAndSettingsPage) {
  Platform::Profile profile;
  profile.WriteDword("", "ShowKeys", 1);
  profile.WriteDword("", "EventLogLevel", 2);
  profile.WriteDword("", "WaitForSCardSvr", 120);
  QtUserPort qtPort;
  FakePcsc pcsc;
  MainWindow::Options options;
  options.pcsc = &pcsc;
  MainWindow window({}, qtPort, options);
  window.resize(600, 440);
  Save(window, "main-window");
  SettingsPage* page = window.Settings();
  window.Sheet()->setCurrentWidget(page);
  EXPECT_TRUE(page->keysCheck->isChecked());
  EXPECT_EQ(page->waitEdit->text(), "120");
  EXPECT_EQ(page->logLevelCombo->currentText(), QString::fromUtf8("Hibák és figyelmeztetések"));
  EXPECT_EQ(page->languageCombo->itemText(0), "ENG (english)");
  Save(*page, "settings-page");
}

TEST_F(ScreenshotTest, PinDialogs) {
  PinDialog pin(port, false, {}, 4, 8);
  QTest::keyClicks(pin.Edit(), "1234");
  Save(pin, "pin-dialog");
  PinChangeDialog change(port, QString::fromUtf8("PIN kód módosítása"), 4, 8);
  QTest::keyClicks(change.CurrentEdit(), "1234");
  QTest::keyClicks(change.NewEdit(), "5678");
  Save(change, "pin-change-dialog");
  PinUnblockDialog unblock(port, QString::fromUtf8("PIN kód feloldása"), 4, 8, 8, 8);
  QTest::keyClicks(unblock.PukEdit(), "12345678");
  Save(unblock, "pin-unblock-dialog");
  PasswordDialog password(port, QString::fromUtf8("Őrző Ágnes tanúsítványa.pfx"));
  QTest::keyClicks(password.Edit(), "titok");
  Save(password, "password-dialog");
}

TEST_F(ScreenshotTest, WaitingCloseAndSplash) {
  WaitingDialog waiting(QString::fromUtf8("Várakozás az \"Intelligens kártya\" szolgáltatásra"),
                        [] { return false; });
  waiting.Tick();
  waiting.Tick();
  EXPECT_EQ(waiting.Dots(), "..");
  Save(waiting, "waiting-dialog");
  waiting.Tick();
  waiting.Tick();
  EXPECT_EQ(waiting.Dots(), "");

  CloseOrHideDialog question;
  Save(question, "close-or-hide-dialog");

  SplashDialog splash(nullptr, 60000);
  ASSERT_TRUE(splash.PictureLoaded());
  for (int i = 0; i < 11; ++i) splash.Picture()->Advance();
  Save(splash, "splash");
}

}  // namespace
