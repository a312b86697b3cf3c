#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <optional>

#include "AboutDialog.h"
#include "AdvancedSettingsPage.h"
#include "ContentsPage.h"
#include "PinPage.h"
#include "SettingsPage.h"
#include "Strings.h"
#include "CertificateStoreViewer.h"
#include "CloseOrHideDialog.h"
#include "monitor/FakePcsc.h"
#include "MainWindow.h"
#include "SystemInformationDialog.h"
#include "TrayController.h"
#include "UiTestSupport.h"
#include "UiText.h"
#include "UpdatePopup.h"
#include "VersionProbes.h"
#include "platform/Profile.h"

namespace {

// Answers the close question, once it is open, with one of its buttons.
void AnswerCloseQuestion(CloseOrHideDialog::Choice choice) {
  QTimer::singleShot(0, [choice] {
    auto* question = qobject_cast<CloseOrHideDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(question, nullptr);
    if (choice == CloseOrHideDialog::Close) question->CloseButton()->click();
    else if (choice == CloseOrHideDialog::Hide) question->HideButton()->click();
    else question->reject();
  });
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    window.SetOnDestroyed([this] { ++destroyed; });
    window.show();
  }
  UiTest::ProfileSandbox sandbox;
  QtUserPort port;
  FakePcsc pcsc;
  MainWindow window{{}, port, [this] {
    MainWindow::Options options;
    options.pcsc = &pcsc;
    return options;
  }()};
  int destroyed = 0;
};

TEST_F(MainWindowTest, HideQueuesTheBackgroundBalloonAndKeepsTheWindowReachable) {
  AnswerCloseQuestion(CloseOrHideDialog::Hide);
  window.close();
  EXPECT_EQ(destroyed, 0);
  ASSERT_EQ(window.Balloons().Size(), 1u);
  // This desktop has no tray: the window is minimised rather than hidden, and the
  // balloon goes to the window's status line.
  EXPECT_FALSE(window.Tray().HasTray());
  EXPECT_TRUE(window.isVisible());
  window.Presenter().ShowNext();
  EXPECT_TRUE(window.StatusLine()->isVisibleTo(&window));
  EXPECT_TRUE(window.StatusLine()->text().contains(QString::fromUtf8("Az alkalmazás fut a háttérben...")));
  EXPECT_TRUE(window.StatusLine()->text().contains(QString::fromUtf8("Az alkalmazás tovább fut a háttérben.")));
}

TEST_F(MainWindowTest, HideWithoutBalloonsIsSilent) {
  Platform::Profile().WriteDword("", "ShowBallons", 0);
  AnswerCloseQuestion(CloseOrHideDialog::Hide);
  window.close();
  EXPECT_EQ(window.Balloons().Size(), 0u);
  Platform::Profile().WriteDword("", "ShowBallons", 1);
  Platform::Profile().WriteDword("", "ShowBallonsOnlyFromCertificateRegistration", 1);
  AnswerCloseQuestion(CloseOrHideDialog::Hide);
  window.close();
  EXPECT_EQ(window.Balloons().Size(), 0u);
}

TEST_F(MainWindowTest, AboutOpensFromTheSystemMenuAndTheTrayAndTheUpdateCheckIsArmed) {
  // A server that refuses at once, read when the dialog opens.
  Platform::Profile().WriteString("", "UpdateServer", "http://127.0.0.1:1");
  EXPECT_TRUE(window.UpdateCheckTimer().isActive());
  EXPECT_EQ(window.UpdateCheckTimer().interval(), 300000);
  QAction* menuAbout = window.SystemMenu()->actions().last();
  QAction* trayAbout = window.Tray().AboutAction();
  for (QAction* action : {menuAbout, trayAbout}) {
    ASSERT_TRUE(action->isEnabled());
    QString installed;
    QWidget* parent = &window;
    QTimer::singleShot(0, [&] {
      auto* about = qobject_cast<AboutDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(about, nullptr);
      installed = about->InstalledVersion()->text();
      parent = about->parentWidget();
      about->reject();
    });
    action->trigger();
    EXPECT_EQ(installed, QString::fromLatin1(TvrServices::GetOwnFileVersion().c_str()));
    EXPECT_EQ(parent, nullptr);
  }
}

TEST_F(MainWindowTest, StartBuildsNoUpdatePopUpAndNoStyleSheetStyle) {
  // Neither is needed to show the window, and each cost a start more than a page does:
  // the pop-up is made at its first announcement, rows get their room from a delegate.
  for (QWidget* top : QApplication::topLevelWidgets()) EXPECT_EQ(qobject_cast<UpdatePopup*>(top), nullptr);
  for (QWidget* child : window.findChildren<QWidget*>())
    EXPECT_TRUE(child->styleSheet().isEmpty()) << child->metaObject()->className();
}

// Builds every page the way the user reaches it, then asks for the rest: each page takes
// its placeholder's place under the same title, and the window keeps the size it opened
// with (the pages built late are no larger than those built at once).
void ExpectPagesBuiltInPlace(MainWindow& window) {
  QTabWidget* sheet = window.Sheet();
  EXPECT_TRUE(window.findChildren<ContentsPage*>().isEmpty());
  EXPECT_TRUE(window.findChildren<PinPage*>().isEmpty());
  EXPECT_TRUE(window.findChildren<AdvancedSettingsPage*>().isEmpty());
  // Layouts settle in the event loop.
  QApplication::processEvents();
  const QSize minimum = window.minimumSizeHint();
  const QSize size = window.size();
  QStringList titles;
  for (int i = 0; i < sheet->count(); ++i) titles << sheet->tabText(i);

  // Asked for while another tab is current: built, not shown, the current tab stays.
  sheet->setCurrentIndex(MainWindow::kSettingsPage);
  AdvancedSettingsPage* advanced = window.AdvancedSettings();
  ASSERT_NE(advanced, nullptr);
  EXPECT_EQ(sheet->widget(MainWindow::kAdvancedSettingsPage), advanced);
  EXPECT_EQ(sheet->currentWidget(), window.Settings());
  EXPECT_FALSE(advanced->isVisible());

  // Reached by its tab: built and shown in its place.
  for (const int index : {MainWindow::kContentsPage, MainWindow::kPinPage}) {
    sheet->setCurrentIndex(index);
    EXPECT_EQ(sheet->currentIndex(), index);
    EXPECT_TRUE(sheet->currentWidget()->isVisible());
  }
  EXPECT_EQ(sheet->widget(MainWindow::kContentsPage), window.Contents());
  EXPECT_EQ(sheet->widget(MainWindow::kPinPage), window.Pins());
  EXPECT_EQ(window.findChildren<ContentsPage*>().size(), 1);

  QStringList after;
  for (int i = 0; i < sheet->count(); ++i) after << sheet->tabText(i);
  EXPECT_EQ(after, titles);
  QApplication::processEvents();
  EXPECT_EQ(window.minimumSizeHint(), minimum);
  EXPECT_EQ(window.size(), size);
}

TEST_F(MainWindowTest, PagesBeyondTheFirstAreBuiltWhenFirstShown) { ExpectPagesBuiltInPlace(window); }

TEST(MainWindowEnglishTest, PagesBeyondTheFirstAreBuiltWhenFirstShown) {
  UiTest::ProfileSandbox sandbox;
  // The English set where the program finds it: beside the executable.
  const std::string beside =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/libkelmardin_eng.so";
  std::filesystem::copy_file(TVR_ENGLISH_LIBRARY, beside, std::filesystem::copy_options::overwrite_existing);
  ASSERT_TRUE(Res::LoadEnglishResources());
  {
    QtUserPort port;
    FakePcsc pcsc;
    MainWindow::Options options;
    options.pcsc = &pcsc;
    MainWindow window({}, port, options);
    window.show();
    ExpectPagesBuiltInPlace(window);
  }
  Res::UnloadEnglishResources();
  std::filesystem::remove(beside);
}

TEST_F(MainWindowTest, CancelKeepsEverythingAndCloseEndsTheProgram) {
  AnswerCloseQuestion(CloseOrHideDialog::None);
  window.close();
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(destroyed, 0);
  AnswerCloseQuestion(CloseOrHideDialog::Close);
  window.close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return destroyed == 1; }, 5000));
  EXPECT_FALSE(window.isVisible());
  EXPECT_FALSE(window.Presenter().IsRunning());
}

TEST_F(MainWindowTest, TrayMenuFollowsTheWindowState) {
  TrayController& tray = window.Tray();
  tray.UpdateMenuState();
  EXPECT_FALSE(tray.ShowAction()->isEnabled());
  EXPECT_TRUE(tray.HideAction()->isEnabled());
  window.hide();
  tray.UpdateMenuState();
  EXPECT_TRUE(tray.ShowAction()->isEnabled());
  EXPECT_FALSE(tray.HideAction()->isEnabled());
  tray.ShowAction()->trigger();
  EXPECT_TRUE(window.isVisible());
  const QStringList items = [&] {
    QStringList texts;
    for (QAction* a : tray.Menu()->actions()) texts << (a->isSeparator() ? "-" : a->text());
    return texts;
  }();
  EXPECT_EQ(items, (QStringList{QString::fromUtf8("Megjelenítés"), QString::fromUtf8("Elrejtés"), "-",
                                QString::fromUtf8("Névjegy"), "-", QString::fromUtf8("Bezárás")}));
}

// The end of the session ends the program the one way every end does.
TEST_F(MainWindowTest, EndOfSessionDropsQueuedBalloonsAndEndsTheProgram) {
  window.QueueBalloon("a", "b", kBalloonInformation);
  window.EndSessionCleanup();
  EXPECT_EQ(window.Balloons().Size(), 0u);
  EXPECT_FALSE(window.Presenter().IsRunning());
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(destroyed, 1);
  window.Destroy();  // a second way out changes nothing
  EXPECT_EQ(destroyed, 1);
}

}  // namespace

namespace {

// The "Rendszer" menu's two windows open from their entries.
TEST_F(MainWindowTest, SystemMenuOpensStoreViewerAndSystemInformation) {
  auto entry = [&](Res::StringId id) -> QAction* {
    for (QAction* action : window.SystemMenu()->actions()) {
      if (action->text() == T(id)) return action;
    }
    return nullptr;
  };
  for (Res::StringId id : {Res::StringId::StoreViewerMenu, Res::StringId::SystemInfoMenu}) {
    QAction* action = entry(id);
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(action->isEnabled());
    QString opened;
    QTimer::singleShot(0, [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (qobject_cast<CertificateStoreViewer*>(modal)) opened = "viewer";
      if (qobject_cast<SystemInformationDialog*>(modal)) opened = "report";
      if (modal) modal->close();
    });
    action->trigger();
    EXPECT_EQ(opened, id == Res::StringId::StoreViewerMenu ? "viewer" : "report");
  }
}

}  // namespace

namespace {

// Records what goes to the tray instead of showing it.
class CapturingTray : public TrayController {
 public:
  using TrayController::TrayController;
  bool takes = true;
  QString title, text;

 protected:
  bool TakesMessages() const override { return takes; }
  void HandOver(const QString& t, const QString& x, QSystemTrayIcon::MessageIcon) override {
    title = t;
    text = x;
  }
};

// A reader named after a USB device string with markup and bidirectional and control
// characters: the notification server gets it escaped, Qt's own plain-text balloon and
// the status line get it as it reads, never the reversing or control characters.
TEST(TrayBalloonTest, OutsideTextReachesTheTrayAsPlainText) {
  const std::string reader =
      "<b>Reader</b> <a href=\"http://127.0.0.1/\">x</a> <img src=\"file:///etc/hostname\"/> & \xE2\x80\xAEgnp.exe\x07";
  const BalloonInfo balloon{"K\xC3\xA1rtya", "Olvas\xC3\xB3: " + reader + "\nk\xC3\xA9sz", kBalloonInformation};
  const QString plain = QString::fromUtf8(
      "Olvasó: <b>Reader</b> <a href=\"http://127.0.0.1/\">x</a> <img src=\"file:///etc/hostname\"/> & "
      "\uFFFDgnp.exe\uFFFD\nkész");
  CapturingTray tray(QIcon(), nullptr);

  tray.SetEscapesMarkup(true);
  tray.ShowBalloon(balloon);
  EXPECT_EQ(tray.title, QString::fromUtf8("Kártya"));
  EXPECT_EQ(tray.text, plain.toHtmlEscaped());
  EXPECT_FALSE(tray.text.contains('<'));
  EXPECT_TRUE(tray.text.contains("&lt;img src=&quot;file:///etc/hostname&quot;/&gt; &amp; "));

  tray.SetEscapesMarkup(false);
  tray.ShowBalloon(balloon);
  EXPECT_EQ(tray.text, plain);

  tray.takes = false;
  std::optional<BalloonInfo> fallback;
  tray.SetFallback([&](const BalloonInfo& b) { fallback = b; });
  tray.ShowBalloon(balloon);
  ASSERT_TRUE(fallback);
  EXPECT_EQ(Q(fallback->text), plain);
}

// The desktop's side on a private session bus: a StatusNotifier watcher (whose host makes
// Qt hand balloons to the notification server) and a notification server stating its
// capabilities.
class FakeWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
 public:
  bool host = true;
  bool HostRegistered() const { return host; }
};

class FakeNotifications : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
 public:
  QStringList capabilities;
 public slots:
  QStringList GetCapabilities() { return capabilities; }
};

// Whether balloon texts are escaped follows what the desktop answers: escaped for a
// notification server that renders markup, plain where nothing renders it.
TEST(TrayBalloonTest, EscapesOnlyForANotificationServerThatRendersMarkup) {
  if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
  QProcess daemon;
  daemon.start("dbus-daemon", {"--session", "--print-address", "--nofork"});
  ASSERT_TRUE(daemon.waitForReadyRead(5000)) << daemon.readAllStandardError().toStdString();
  const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
  QDBusConnection desktop = QDBusConnection::connectToBus(address, "desktop");
  QDBusConnection program = QDBusConnection::connectToBus(address, "program");
  ASSERT_TRUE(desktop.isConnected() && program.isConnected());
  FakeWatcher watcher;
  FakeNotifications notifications;
  ASSERT_TRUE(desktop.registerObject("/StatusNotifierWatcher", &watcher, QDBusConnection::ExportAllProperties));
  ASSERT_TRUE(desktop.registerObject("/org/freedesktop/Notifications", &notifications,
                                     QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(desktop.registerService("org.freedesktop.Notifications"));
  CapturingTray tray(QIcon(), nullptr);
  auto answer = [&](bool escapedBefore) {
    tray.SetEscapesMarkup(escapedBefore);
    tray.AskForMarkup(program);
    (void)QTest::qWaitFor([&] { return tray.EscapesMarkup() != escapedBefore; }, 3000);
    QTest::qWait(200);  // the other answer, when it came second
    return tray.EscapesMarkup();
  };

  // No StatusNotifier host: Qt shows its own plain-text balloon.
  notifications.capabilities = {"body", "body-markup"};
  EXPECT_FALSE(answer(true));
  ASSERT_TRUE(desktop.registerService("org.kde.StatusNotifierWatcher"));
  EXPECT_TRUE(answer(false));
  notifications.capabilities = {"body", "actions"};
  EXPECT_FALSE(answer(true));
  watcher.host = false;
  notifications.capabilities = {"body", "body-markup"};
  EXPECT_FALSE(answer(true));

  QDBusConnection::disconnectFromBus("desktop");
  QDBusConnection::disconnectFromBus("program");
  daemon.kill();
  daemon.waitForFinished(3000);
}

}  // namespace

#include "MainWindowTest.moc"
