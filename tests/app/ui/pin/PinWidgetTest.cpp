// The Qt side of the PIN work: questions of the monitor thread answered on the interface
// thread, shutdown with such a question open, and the PIN page for two card types.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

#include "InterfaceThreadPrompter.h"
#include "PinActivation.h"
#include "PinDialogs.h"
#include "PinPage.h"
#include "PinTestSupport.h"
#include "QtPinPrompts.h"
#include "QtUserPort.h"
#include "UiTestSupport.h"

namespace {

using namespace Platform;

// Runs the interface thread's event loop until done() holds or the time is up, calling
// act() on each turn (it answers whatever question is on the screen).
bool SpinUntil(const std::function<bool()>& done, const std::function<void()>& act,
               int milliseconds = 5000) {
  QElapsedTimer timer;
  timer.start();
  QTimer ticker;
  ticker.setInterval(10);
  QObject::connect(&ticker, &QTimer::timeout, act);
  ticker.start();
  while (!done() && timer.elapsed() < milliseconds) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return done();
}

TEST(InterfaceThreadPrompterTest, QuestionsOfAWorkerAreAnsweredOnTheInterfaceThread) {
  QtUserPort port;
  QtPinPrompts prompts(port);
  InterfaceThreadPrompter prompter(port, prompts);
  std::atomic<bool> finished{false};
  int boxAnswer = 0;
  std::optional<PinPair> values;
  std::thread::id shownOn;
  std::thread worker([&] {
    boxAnswer = prompter.MessageBox("Újra megpróbálja?", "", kMbYesNo | kMbIconError);
    values = prompter.AskUnblock("Globál PIN feloldása", 4, 8, 8, 12);
    finished = true;
  });
  const auto answer = [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal) return;
    shownOn = std::this_thread::get_id();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      EXPECT_EQ(box->text(), QString::fromUtf8("Újra megpróbálja?"));
      box->button(QMessageBox::Yes)->click();
    } else if (auto* dialog = qobject_cast<PinUnblockDialog*>(modal)) {
      EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8("Globál PIN feloldása"));
      dialog->PukEdit()->setText("11223344");
      dialog->NewEdit()->setText("2468");
      dialog->RepeatEdit()->setText("2468");
      dialog->accept();
    }
  };
  const bool done = SpinUntil([&] { return finished.load(); }, answer);
  worker.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(shownOn, std::this_thread::get_id());
  EXPECT_EQ(boxAnswer, kIdYes);
  ASSERT_TRUE(values);
  EXPECT_EQ(PinTest::Text(values->first), "11223344");
  EXPECT_EQ(PinTest::Text(values->second), "2468");
}

// The program shuts down while the activation waits for the user, in its first box or
// in its PIN dialog: the pending question is cancelled, the window closes and the
// monitor thread can be joined.
TEST(InterfaceThreadPrompterTest, ShutdownWithAnActivationPromptOpenEndsQuickly) {
  for (const bool inDialog : {false, true}) {
    SCOPED_TRACE(inDialog ? "PIN dialog open" : "first box open");
    QtUserPort port;
    QtPinPrompts prompts(port);
    InterfaceThreadPrompter prompter(port, prompts);
    PinTest::FakeVendorPaths paths;
    TransportPinActivation activation(prompter, prompter, paths);
    std::unique_ptr<PKCS11Base> token = PKCS11V220::Create(&VendorModuleTable[1], nullptr);
    std::atomic<bool> finished{false};
    bool result = true;
    std::thread monitor([&] {
      result = activation.Run(token.get(), TokenInfo{}, false);
      finished = true;
    });
    QElapsedTimer sinceCancel;
    bool cancelledInDialog = false;
    const auto cancelWhenShown = [&] {
      QWidget* modal = QApplication::activeModalWidget();
      if (sinceCancel.isValid() || !modal) return;
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (box && inDialog) {
        box->button(QMessageBox::Ok)->click();  // on to the PIN dialog
        return;
      }
      cancelledInDialog = qobject_cast<PinUnblockDialog*>(modal) != nullptr;
      sinceCancel.start();
      prompter.CancelPending();
    };
    ASSERT_TRUE(SpinUntil([&] { return finished.load(); }, cancelWhenShown));
    monitor.join();
    ASSERT_TRUE(sinceCancel.isValid());
    EXPECT_LT(sinceCancel.elapsed(), 2000);
    EXPECT_EQ(cancelledInDialog, inDialog);
    EXPECT_FALSE(result);
    QApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // Later questions are cancelled at once, with no window.
    std::optional<PinPair> later{PinPair{}};
    int box = 0;
    std::thread another([&] {
      box = prompter.MessageBox("x", "", kMbOkCancel);
      later = prompter.AskChange("x", 1, 8);
    });
    another.join();
    EXPECT_EQ(box, kIdCancel);
    EXPECT_FALSE(later);
  }
}

// The page over a card of a type: a token object of the vendor row (no module needed)
// and the main window's cached information.
class PageHost : public IPinPageHost {
 public:
  explicit PageHost(size_t row) : token(PKCS11V220::Create(&VendorModuleTable[row], nullptr)) {
    info.userPinInitialized = true;
  }
  PKCS11Base* Token() override { return token.get(); }
  TokenInfo* GetTokenInfo(bool) override { return &info; }
  std::unique_ptr<TokenInfo> ReadTokenInfo() override { return std::make_unique<TokenInfo>(info); }
  CardHold HoldCard() override { return keeper.HoldCard(); }
  CardKeeper keeper;
  std::unique_ptr<PKCS11Base> token;
  TokenInfo info;
};

class PinPageWidgetTest : public ::testing::Test {
 protected:
  PinPageWidgetTest() {
    QApplication::setApplicationDisplayName(QString::fromUtf8("TAVRENIC - Olvanta Zavadorerido"));
    QDir().mkpath(TVR_SCREENSHOT_DIR);
  }
  static void Save(QWidget& widget, const char* name) {
    widget.resize(560, 200);
    widget.show();
    QApplication::processEvents();
    const QPixmap shot = widget.grab();
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/" + name + ".png")) << name;
  }
  UiTest::ScriptedUserPort port;
  PinTest::FakeVendorPaths paths;
};

TEST_F(PinPageWidgetTest, Bit4idPageShowsTheSigningButtons) {
  PageHost host(0);
  PinPage page(host, port, paths);
  Save(page, "pin-page-bit4id");
  EXPECT_EQ(page.changeButton->text(), QString::fromUtf8("Globál PIN megváltoztatása"));
  EXPECT_EQ(page.unblockButton->text(), QString::fromUtf8("Globál PIN feloldása"));
  EXPECT_TRUE(page.signingChangeButton->isVisible() && page.signingChangeButton->isEnabled());
  EXPECT_TRUE(page.signingUnblockButton->isVisible() && page.signingUnblockButton->isEnabled());
  // A button reaches its operation: the status of the card.
  paths.bit4[0] = 3;
  page.statusButton->click();
  ASSERT_EQ(port.boxes.size(), 1u);
  EXPECT_EQ(port.boxes[0].text,
            "Transzport állapot: nem\nGlobál PIN kód zárolva lesz 3 hibás próbálkozás után.");
}

TEST_F(PinPageWidgetTest, GemaltoPageHasOnePinAndFollowsTheTransportState) {
  PageHost host(1);
  PinPage page(host, port, paths);
  Save(page, "pin-page-gemalto");
  EXPECT_EQ(page.changeButton->text(), QString::fromUtf8("PIN megváltoztatása"));
  EXPECT_EQ(page.unblockButton->text(), QString::fromUtf8("PIN feloldása"));
  EXPECT_FALSE(page.signingChangeButton->isVisible());
  EXPECT_FALSE(page.signingUnblockButton->isVisible());
  EXPECT_TRUE(page.changeButton->isEnabled());
  host.info.userPinInitialized = false;
  page.UpdateButtons();
  EXPECT_FALSE(page.changeButton->isEnabled() || page.unblockButton->isEnabled());
  EXPECT_TRUE(page.statusButton->isEnabled());
  host.token.reset();
  page.UpdateButtons();
  EXPECT_FALSE(page.statusButton->isEnabled());
}

}  // namespace
