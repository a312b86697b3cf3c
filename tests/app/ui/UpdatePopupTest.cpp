// The update pop-up cycle, the About dialog and their screenshots, against an HTTPS
// update server of the tests on 127.0.0.1 (test CA), on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QScreen>
#include <QTest>
#include <QThread>

#include <chrono>
#include <functional>

#include "AboutDialog.h"
#include "Heartbeat.h"
#include "NetRig.h"
#include "TestPki.h"
#include "UiTestSupport.h"
#include "UpdateAnnouncer.h"

using TvrTest::HttpTestServer;
using TvrTest::TestPki;

namespace {

const QString kProgramText = QString::fromUtf8("Elérhető a TAVRENIC - Olvanta Zavadorerido programnak egy újabb verziója!");
const QString kGemaltoText = QString::fromUtf8("Elérhető a Gemalto kártya meghajtóprogramjának egy újabb verziója!");

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  QElapsedTimer clock;
  clock.start();
  while (!condition()) {
    if (clock.elapsed() > timeoutMs) return false;
    QTest::qWait(2);
  }
  return true;
}

// Every move and resize of the pop-up, and the thread that made it.
class GeometryLog : public QObject {
 public:
  explicit GeometryLog(QWidget* w) { w->installEventFilter(this); }
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Resize || e->type() == QEvent::Move) {
      heights.push_back(static_cast<QWidget*>(o)->height());
      offThread |= QThread::currentThread() != qApp->thread();
    }
    return false;
  }
  std::vector<int> heights;
  bool offThread = false;
};

class UpdatePopupTest : public ::testing::Test {
 protected:
  UpdatePopupTest() : server(TestPki::Get().TlsServer().pemPath, TestPki::Get().TlsServer().keyPath) {
    QApplication::setApplicationDisplayName(QString::fromUtf8("TAVRENIC - Olvanta Zavadorerido"));
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
      ::unsetenv(name);
  }
  TvrServices::UpdateServer Server(const std::string& kind = "/answer") const {
    TvrServices::UpdateServer s;
    s.base = server.Base() + kind;
    s.http.caFile = TestPki::Get().CaBundlePath();
    s.http.totalTimeoutMs = 1500;
    return s;
  }
  UpdateAnnouncer::Options Fast() const {
    UpdateAnnouncer::Options o;
    o.firstCheckMs = 0;
    o.showDelayMs = 50;
    o.hideDelayMs = 400;
    o.stepMs = 1;
    o.server = Server();
    o.installed = [] { return std::map<std::string, std::string>{{"Gemalto", "6.2.1"}}; };
    o.ownVersion = "1.6.3.0";
    return o;
  }
  static void Enter(QWidget* w) {
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(w, &enter);
  }
  static void Leave(QWidget* w, QPoint cursor) {
    QCursor::setPos(cursor);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(w, &leave);
  }

  UiTest::ProfileSandbox sandbox;
  HttpTestServer server;
  QTimer check, show, hide;
};

TEST_F(UpdatePopupTest, AnnouncementsSlideInAndOutOneAfterTheOther) {
  server.AddAnswer("update.txt",
                   "Version: 1.6.10.0\nDownloadURL: https://dl.test/k?a=1&b=<2>\n"
                   "Gemalto Version: 6.3\nGemalto DownloadURL: javascript:alert(1)\n",
                   "text/plain");
  UpdateAnnouncer::Options options = Fast();
  options.hideDelayMs = 1500;  // room for the slide on a busy machine
  UpdateAnnouncer announcer(check, show, hide, options);
  UpdatePopup* popup = announcer.Popup();
  GeometryLog log(popup);
  std::vector<QString> shown;
  QObject::connect(popup, &UpdatePopup::slideInFinished, [&] { shown.push_back(popup->Message()->text()); });
  announcer.Start();
  ASSERT_TRUE(WaitFor([&] { return popup->isVisible(); }));
  EXPECT_TRUE(popup->SlidingIn());
  EXPECT_TRUE(hide.isActive());  // the display time runs from the start of the slide
  EXPECT_EQ(popup->Message()->text(), kProgramText);
  EXPECT_EQ(popup->Link()->text(),
            "<a href=\"https://dl.test/k?a=1&amp;b=&lt;2&gt;\">https://dl.test/k?a=1&amp;b=&lt;2&gt;</a>");
  ASSERT_TRUE(WaitFor([&] { return shown.size() == 1; }));
  // Fully up at the bottom right of the work area.
  QRect work = QApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(popup->geometry().bottomRight(), work.bottomRight());
  EXPECT_EQ(popup->size(), popup->FullSize());
  ASSERT_TRUE(WaitFor([&] { return shown.size() == 2; }));
  EXPECT_EQ(shown[1], kGemaltoText);
  EXPECT_EQ(popup->Link()->text(), "");  // a javascript: address is no link
  ASSERT_TRUE(WaitFor([&] { return !announcer.CycleRunning(); }));
  EXPECT_FALSE(popup->isVisible());
  EXPECT_TRUE(announcer.Pending().Empty());
  // It grew a pixel at a time and shrank again, always from the interface thread.
  EXPECT_FALSE(log.offThread);
  ASSERT_GT(log.heights.size(), static_cast<size_t>(popup->FullSize().height()));
  EXPECT_EQ(log.heights.front(), 1);
  EXPECT_EQ(*std::max_element(log.heights.begin(), log.heights.end()), popup->FullSize().height());
  EXPECT_FALSE(popup->isActiveWindow());
}

TEST_F(UpdatePopupTest, MouseRestingOnThePopupKeepsItUp) {
  server.AddAnswer("update.txt", "Version: 1.7\nDownloadURL: https://dl.test/k\n", "text/plain");
  UpdateAnnouncer announcer(check, show, hide, Fast());
  UpdatePopup* popup = announcer.Popup();
  bool up = false;
  QObject::connect(popup, &UpdatePopup::slideInFinished, [&] { up = true; });
  announcer.Start();
  // Resting on it already while it slides in.
  ASSERT_TRUE(WaitFor([&] { return popup->SlidingIn(); }));
  EXPECT_TRUE(hide.isActive());
  Enter(popup);
  EXPECT_TRUE(popup->Hovering());
  EXPECT_FALSE(hide.isActive());
  ASSERT_TRUE(WaitFor([&] { return up; }));
  QTest::qWait(800);  // twice the display time
  EXPECT_TRUE(popup->isVisible());
  EXPECT_FALSE(popup->SlidingOut());
  // A leave onto its own controls keeps the hover.
  Leave(popup, popup->geometry().center());
  EXPECT_TRUE(popup->Hovering());
  EXPECT_FALSE(hide.isActive());
  // Leaving it for good starts a full display time afresh.
  Leave(popup, popup->geometry().topLeft() - QPoint(50, 50));
  EXPECT_FALSE(popup->Hovering());
  EXPECT_TRUE(hide.isActive());
  EXPECT_EQ(hide.interval(), 400);
  ASSERT_TRUE(WaitFor([&] { return !popup->isVisible(); }));
}

TEST_F(UpdatePopupTest, CloseButtonActsOnlyWhenNotSliding) {
  server.AddAnswer("update.txt", "Version: 1.7\nDownloadURL: https://dl.test/k\n", "text/plain");
  UpdateAnnouncer::Options options = Fast();
  options.hideDelayMs = 60000;
  options.stepMs = 20;  // a slow slide, to click into it
  UpdateAnnouncer announcer(check, show, hide, options);
  UpdatePopup* popup = announcer.Popup();
  bool up = false;
  QObject::connect(popup, &UpdatePopup::slideInFinished, [&] { up = true; });
  announcer.Start();
  ASSERT_TRUE(WaitFor([&] { return popup->SlidingIn(); }));
  popup->CloseButton()->click();
  EXPECT_EQ(hide.interval(), 60000);  // ignored during the slide
  ASSERT_TRUE(WaitFor([&] { return up; }));
  popup->CloseButton()->click();
  EXPECT_EQ(hide.interval(), 100);
  ASSERT_TRUE(WaitFor([&] { return popup->SlidingOut(); }, 1000));
}

TEST_F(UpdatePopupTest, DailyCheckDuringACycleDoesNotRestartIt) {
  server.AddAnswer("update.txt", "Version: 1.7\nDownloadURL: https://dl.test/k\n", "text/plain");
  UpdateAnnouncer::Options options = Fast();
  options.hideDelayMs = 60000;
  UpdateAnnouncer announcer(check, show, hide, options);
  UpdatePopup* popup = announcer.Popup();
  bool up = false;
  QObject::connect(popup, &UpdatePopup::slideInFinished, [&] { up = true; });
  announcer.Start();
  ASSERT_TRUE(WaitFor([&] { return up; }));
  EXPECT_EQ(check.interval(), options.dailyMs);  // re-armed for the next day
  server.AddAnswer("update.txt", "Version: 1.8\nDownloadURL: https://dl.test/k2\n", "text/plain");
  bool finished = false;
  QObject::connect(&announcer, &UpdateAnnouncer::checkFinished, [&] { finished = true; });
  check.start(0);
  ASSERT_TRUE(WaitFor([&] { return finished; }));
  EXPECT_FALSE(show.isActive());
  EXPECT_EQ(announcer.Pending().All().size(), 2u);
  EXPECT_EQ(popup->Message()->text(), kProgramText);
  EXPECT_FALSE(popup->SlidingOut());
}

TEST_F(UpdatePopupTest, AboutShowsInstalledAtOnceAndPublishedFromTheServer) {
  server.AddAnswer("update_for_about_dlg.txt", "Version: 1.7.0.0\r\nDownloadURL: https://dl.test/about\r\n",
                   "text/plain");
  AboutDialog dialog(Server());
  EXPECT_EQ(dialog.InstalledVersion()->text(), TVR_TEST_PROGRAM_VERSION);
  EXPECT_TRUE(dialog.Link()->text().contains(AboutDialog::kPublisherPage));
  ASSERT_TRUE(WaitFor([&] { return dialog.OnlineVersion()->text() == "1.7.0.0"; }));
  EXPECT_EQ(dialog.Link()->text(), "<a href=\"https://dl.test/about\">https://dl.test/about</a>");
  auto seen = server.Requests();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().path, "/answer/kelmardin/update_for_about_dlg.txt");
}

TEST_F(UpdatePopupTest, AboutWithTheServerDownKeepsZeroes) {
  TvrServices::UpdateServer down;
  down.base = "https://127.0.0.1:" + std::to_string(TvrTest::FreeTcpPort());
  AboutDialog dialog(down);
  ASSERT_TRUE(WaitFor([&] { return dialog.FetchDone(); }));
  QTest::qWait(20);
  EXPECT_EQ(dialog.OnlineVersion()->text(), "0.0.0.0");
  EXPECT_EQ(dialog.InstalledVersion()->text(), TVR_TEST_PROGRAM_VERSION);
}

// Closing About, or quitting while the daily check runs, never waits for a server that
// stalls: the interface thread keeps its pulse (the fault: the whole 30 s time-out).
TEST_F(UpdatePopupTest, ClosingDuringAStalledFetchNeverFreezes) {
  TvrServices::UpdateServer stalled = Server("/stall");
  stalled.http.totalTimeoutMs = 30000;
  for (bool about : {true, false}) {
    const size_t before = server.Requests().size();
    std::unique_ptr<AboutDialog> dialog;
    std::unique_ptr<UpdateAnnouncer> announcer;
    if (about) {
      dialog = std::make_unique<AboutDialog>(stalled);
      dialog->show();
    } else {
      UpdateAnnouncer::Options options = Fast();
      options.server = stalled;
      announcer = std::make_unique<UpdateAnnouncer>(check, show, hide, options);
      announcer->Start();
    }
    ASSERT_TRUE(WaitFor([&] { return server.Requests().size() > before; }));
    Heartbeat beat;
    QTest::qWait(30);
    if (about) {
      EXPECT_FALSE(dialog->FetchDone());
      dialog->accept();
      dialog.reset();
    } else {
      EXPECT_TRUE(announcer->CheckRunning());
      announcer.reset();
    }
    QTest::qWait(30);
    EXPECT_LT(beat.LongestGapMs(), 1000) << (about ? "About" : "update check");
  }
}

TEST_F(UpdatePopupTest, Screenshots) {
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  UpdatePopup popup;
  popup.SetAnnouncement(kGemaltoText, "https://www.tavrenic.hu/letoltes/classic-client");
  popup.resize(popup.FullSize());
  popup.show();
  QApplication::processEvents();
  ASSERT_TRUE(popup.grab().save(QString(TVR_SCREENSHOT_DIR) + "/update-popup.png"));

  server.AddAnswer("update_for_about_dlg.txt", "Version: 1.6.4.0\nDownloadURL: https://www.tavrenic.hu/letoltes\n",
                   "text/plain");
  AboutDialog about(Server());
  ASSERT_TRUE(WaitFor([&] { return about.OnlineVersion()->text() == "1.6.4.0"; }));
  about.show();
  QApplication::processEvents();
  ASSERT_TRUE(about.grab().save(QString(TVR_SCREENSHOT_DIR) + "/about-dialog.png"));
}

}  // namespace
