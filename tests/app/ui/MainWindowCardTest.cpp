// The main window with a card: a PC/SC service in memory, the test module posing as the
// Gemalto module over a SoftHSM2 token whose slot names the reader, test-PKI certificates.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPixmap>
#include <QTest>
#include <QTimer>

#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>

#include "CardPropertiesPage.h"
#include "CardTables.h"
#include "ContentsPage.h"
#include "PinPage.h"
#include "CardTokenWriter.h"
#include "monitor/FakePcsc.h"
#include "MainWindow.h"
#include "WindowSettled.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PinDialogs.h"
#include "TestPki.h"
#include "UiTestSupport.h"
#include "platform/CertStore.h"
#include "platform/Library.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kReader = "Fake Reader 0";
const std::vector<uint8_t> kAtr = {0x3B, 0x0A, 0x54, 0x41, 0x56, 0x52, 0x45, 0x4E, 0x49, 0x43, 0x30, 0x31};
const std::vector<uint8_t> kUnknownAtr = {0x3B, 0x0A, 0x54, 0x41, 0x56, 0x52, 0x45, 0x4E, 0x49, 0x43, 0x30, 0x39};

using UiTest::WaitSettled;

// Answers the next PIN dialog with the PIN, or cancels it when the PIN is empty.
void AnswerPinDialog(const QString& pin, QString* title = nullptr) {
  QTimer::singleShot(0, [pin, title] {
    auto* dialog = qobject_cast<PinDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    if (title) *title = dialog->windowTitle();
    if (pin.isEmpty()) {
      dialog->reject();
      return;
    }
    QTest::keyClicks(dialog->Edit(), pin);
    dialog->accept();
  });
}

class MainWindowCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform::Profile().WriteDword("", "EventLogLevel", 3);
    std::ofstream(sandbox.Root() + "/system/Tavrenic/smartcards.conf")
        << "[Classic TPC]\nATR = 3B0A54415652454E49433031\n";
    // An encryption certificate with its key (registered without a responder) and a CA
    // certificate (never registered).
    leaf_ = UiTest::EncryptionLeaf("Őrző Ágnes");
    TvrTest::TokenSpec token;
    token.label = label_;
    token.withKeyAndCertificate = false;
    tokens_.AddToken(token);
    UiTest::WriteCardObject(dir_.Path(), label_, leaf_, "01");
    UiTest::WriteCardObject(dir_.Path(), label_, TvrTest::TestPki::Get().Intermediate(), "02");

    TvrTest::ShimOptions options;
    options.readers = {{label_, reader_}};
    shim_.emplace("libgclib.so", options);
    primary_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
    ASSERT_TRUE(primary_ && primary_->IsValid());
  }

  std::unique_ptr<MainWindow> Open() {
    MainWindow::Options options;
    options.pcsc = &pcsc_;
    auto window = std::make_unique<MainWindow>(TokenRefMap{{"Gemalto", primary_.get()}}, port_, options);
    window->show();
    return window;
  }

  size_t StoreSize() const {
    std::vector<Platform::CertContextPtr> all;
    Platform::CertStore::OpenSystem("MY")->Enumerate(all);
    return all.size();
  }

  static bool Wait(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }

  std::string label_ = "Card0";
  std::string reader_ = kReader;
  UiTest::ProfileSandbox sandbox;
  TvrTest::TempDir dir_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> primary_;
  TvrTest::PkiItem leaf_;
  FakePcsc pcsc_;
  QtUserPort port_;
};

// A reader named after a USB device string and a card personalised elsewhere: shown as
// plain text (the reversing and control characters replaced) while the reader keeps its
// real name for the monitor, so that its card still connects.
class MainWindowOutsideTextTest : public MainWindowCardTest {
 protected:
  MainWindowOutsideTextTest() {
    label_ = "Card\xE2\x80\xAE" "0\x07";
    reader_ = "Fake <b>Reader</b> \xE2\x80\xAE" "0\x1B";
  }
};

TEST_F(MainWindowOutsideTextTest, ReaderAndTokenLabelShowAsPlainText) {
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return pcsc_.Count("GetStatusChange") > 0; }));
  pcsc_.AddReader(reader_);
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1; }));
  EXPECT_EQ(window->ReaderList()->currentText(), QString::fromUtf8("Fake <b>Reader</b> \uFFFD0\uFFFD"));
  pcsc_.InsertCard(reader_, kAtr);
  ASSERT_TRUE(Wait([&] { return window->LoginButton()->isEnabled(); }));
  EXPECT_EQ(window->Properties()->labelEdit->text(), QString::fromUtf8("Card\uFFFD0\uFFFD"));
  EXPECT_FALSE(window->Properties()->serialEdit->text().isEmpty());
}

// A card personalised by a Windows tool: label and serial number in Windows-1250, shown
// as the contents tree shows them, not as replacement characters.
class MainWindowCp1250Test : public MainWindowCardTest {
 protected:
  void SetUp() override {
    MainWindowCardTest::SetUp();
    if (HasFatalFailure()) return;
    shim_->SetOption("token_label", "\xC1rv\xEDzt\xFBr\xF5 t\xFCk\xF6rf\xFAr\xF3g\xE9p");
    shim_->SetOption("token_serial", "\xD5RZ\xD5-0001");
  }
};

TEST_F(MainWindowCp1250Test, LabelAndSerialFallBackToWindows1250) {
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return pcsc_.Count("GetStatusChange") > 0; }));
  pcsc_.AddReader(reader_);
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1; }));
  pcsc_.InsertCard(reader_, kAtr);
  ASSERT_TRUE(WaitSettled(*window, [&] { return !window->Properties()->labelEdit->text().isEmpty(); }));
  EXPECT_EQ(window->Properties()->labelEdit->text(), QString::fromUtf8("Árvíztűrő tükörfúrógép"));
  EXPECT_EQ(window->Properties()->serialEdit->text(), QString::fromUtf8("ŐRZŐ-0001"));
  window->Sheet()->setCurrentIndex(MainWindow::kPropertiesPage);
  window->resize(640, 480);
  QApplication::processEvents();
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  ASSERT_TRUE(window->grab().save(QString(TVR_SCREENSHOT_DIR) + "/card-properties-cp1250.png"));
}

TEST_F(MainWindowCardTest, ReaderAppearingFillsTheListAndACardConnectsAndFillsPageOne) {
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return pcsc_.Count("GetStatusChange") > 0; }));
  EXPECT_FALSE(window->ReaderList()->isEnabled());
  EXPECT_FALSE(window->CardList()->isEnabled());
  EXPECT_FALSE(window->LoginButton()->isEnabled());

  pcsc_.AddReader(kReader);
  // Enabled once the window's read of the reader is over.
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1 && window->ReaderList()->isEnabled(); }));
  EXPECT_EQ(window->ReaderList()->currentText(), kReader);
  EXPECT_FALSE(window->LoginButton()->isEnabled());

  pcsc_.InsertCard(kReader, kAtr);
  ASSERT_TRUE(WaitSettled(*window, [&] { return StoreSize() == 1; }));
  EXPECT_EQ(window->CardList()->count(), 1);
  EXPECT_EQ(window->CardList()->currentText(), "Gemalto Classic TPC IM CC (oVG)");
  EXPECT_FALSE(window->CardList()->isEnabled());  // one slot: nothing to choose
  EXPECT_EQ(window->LoginButton()->text(), QString::fromUtf8("Bejelentkezés"));
  EXPECT_EQ(window->Properties()->labelEdit->text(), "Card0");
  EXPECT_EQ(window->Properties()->modelEdit->text(), "SoftHSM v2");
  EXPECT_FALSE(window->Properties()->serialEdit->text().isEmpty());
  // The monitor registered the encryption certificate, not the CA certificate.
  ASSERT_TRUE(Wait([&] { return StoreSize() == 1; }));

  // The other card pages read the same connection.
  window->Sheet()->setCurrentIndex(MainWindow::kContentsPage);
  EXPECT_GE(window->Contents()->Tree()->topLevelItemCount(), 1);
  window->Sheet()->setCurrentIndex(MainWindow::kPinPage);
  EXPECT_TRUE(window->Pins()->changeButton->isEnabled());
  window->Sheet()->setCurrentIndex(MainWindow::kPropertiesPage);

  window->resize(640, 480);
  QApplication::processEvents();
  const QPixmap shot = window->grab();
  QDir().mkpath(TVR_SCREENSHOT_DIR);
  // scripts/screenshots.sh runs this case on its X server as well.
  const QString suffix = QGuiApplication::platformName() == "offscreen" ? "" : "-" + QGuiApplication::platformName();
  ASSERT_TRUE(shot.save(QString(TVR_SCREENSHOT_DIR) + "/main-window-card" + suffix + ".png"));

  // Removal: no card, page 1 empty, the certificate gone.
  pcsc_.RemoveCard(kReader);
  ASSERT_TRUE(Wait([&] {
    return !window->LoginButton()->isEnabled() && window->CardList()->count() == 0 && !window->Busy();
  }));
  EXPECT_TRUE(window->Properties()->labelEdit->text().isEmpty());
  EXPECT_EQ(window->Session().Token(), nullptr);
  ASSERT_TRUE(Wait([&] { return StoreSize() == 0; }));
}

TEST_F(MainWindowCardTest, UnsupportedCardLeavesTheListsEmpty) {
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kUnknownAtr);
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1; }));
  QTest::qWait(200);
  EXPECT_EQ(window->CardList()->count(), 0);
  EXPECT_FALSE(window->CardList()->isEnabled());
  EXPECT_FALSE(window->LoginButton()->isEnabled());
  EXPECT_TRUE(window->Properties()->labelEdit->text().isEmpty());
  EXPECT_EQ(window->Session().Token(), nullptr);
}

TEST_F(MainWindowCardTest, LogInRightWrongCancelledAndLogOut) {
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  ASSERT_TRUE(WaitSettled(*window, [&] { return StoreSize() == 1; }));

  // Cancelled: still logged out, the card not read again.
  shim_->ClearLog();
  QString title;
  AnswerPinDialog("", &title);
  window->LoginButton()->click();
  EXPECT_EQ(title, QString::fromUtf8("PIN kód megadása"));
  EXPECT_FALSE(window->Session().IsLoggedIn());
  EXPECT_EQ(shim_->CountCalls("C_GetTokenInfo"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_Login"), 0u);

  // Wrong PIN: the failure text with the tries left, as the token layer builds it.
  ASSERT_TRUE(WaitSettled(*window, nullptr));
  AnswerPinDialog("9999");
  QString failure;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      failure = box->text();
      box->accept();
    }
  });
  poll.start(20);
  window->LoginButton()->click();
  ASSERT_TRUE(Wait([&] { return !failure.isEmpty() && !window->Busy(); }));
  poll.stop();
  // No PC/SC service answers the card's counter here, so the text has no tries line.
  EXPECT_EQ(failure, QString::fromUtf8("Sikertelen bejelentkezés!"));
  EXPECT_FALSE(window->Session().IsLoggedIn());
  EXPECT_EQ(window->LoginButton()->text(), QString::fromUtf8("Bejelentkezés"));

  ASSERT_TRUE(WaitSettled(*window, nullptr));
  AnswerPinDialog("1234");
  window->LoginButton()->click();
  // The log-in runs on a card task: the button is off until it is over.
  EXPECT_FALSE(window->LoginButton()->isEnabled());
  ASSERT_TRUE(Wait([&] { return !window->Busy(); }));
  EXPECT_TRUE(window->Session().IsLoggedIn());
  EXPECT_EQ(window->LoginButton()->text(), QString::fromUtf8("Kijelentkezés"));
  EXPECT_TRUE(window->LoginButton()->isEnabled());

  window->LoginButton()->click();
  ASSERT_TRUE(Wait([&] { return !window->Busy(); }));
  EXPECT_FALSE(window->Session().IsLoggedIn());
  EXPECT_EQ(window->LoginButton()->text(), QString::fromUtf8("Bejelentkezés"));
}

TEST_F(MainWindowCardTest, UninitialisedUserPinKeepsTheLogInButtonDisabled) {
  shim_->SetOption("token_flags_clear", "0x8");  // CKF_USER_PIN_INITIALIZED
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  // Such a card is in transport state: the user declines its activation.
  QTimer decline;
  QObject::connect(&decline, &QTimer::timeout, [] {
    if (auto* question = qobject_cast<QDialog*>(QApplication::activeModalWidget())) question->reject();
  });
  decline.start(20);
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return window->Session().GetTokenInfo(false) != nullptr; }));
  QTest::qWait(100);
  EXPECT_FALSE(window->Session().GetTokenInfo(false)->userPinInitialized);
  EXPECT_FALSE(window->LoginButton()->isEnabled());
  EXPECT_EQ(window->Properties()->labelEdit->text(), "Card0");
}

TEST_F(MainWindowCardTest, ProtectedAuthenticationPathLogsInWithoutADialog) {
  shim_->SetOption("token_flags_set", "0x100");  // CKF_PROTECTED_AUTHENTICATION_PATH
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  ASSERT_TRUE(WaitSettled(*window, [&] { return StoreSize() == 1; }));
  ASSERT_TRUE(window->Session().GetTokenInfo(false)->protectedAuthenticationPath);
  shim_->ClearLog();
  // SoftHSM2 has no PIN pad: the log-in fails and says so, but no PIN is asked for.
  bool pinDialog = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      pinDialog |= qobject_cast<PinDialog*>(modal) != nullptr;
      modal->close();
    }
  });
  poll.start(20);
  window->LoginButton()->click();
  ASSERT_TRUE(Wait([&] { return !window->Busy() && !QApplication::activeModalWidget(); }));
  poll.stop();
  EXPECT_FALSE(pinDialog);
  EXPECT_EQ(shim_->CountCalls("C_Login"), 1u);
}

TEST_F(MainWindowCardTest, RemovalWhileLoggedInLogsOutAndFindsNoCard) {
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  ASSERT_TRUE(WaitSettled(*window, [&] { return StoreSize() == 1; }));
  AnswerPinDialog("1234");
  window->LoginButton()->click();
  ASSERT_TRUE(Wait([&] { return !window->Busy(); }));
  ASSERT_TRUE(window->Session().IsLoggedIn());
  shim_->ClearLog();
  pcsc_.RemoveCard(kReader);
  ASSERT_TRUE(Wait([&] { return window->Session().Token() == nullptr && !window->Busy(); }));
  EXPECT_EQ(shim_->CountCalls("C_Logout"), 1u);
  EXPECT_EQ(window->LoginButton()->text(), QString::fromUtf8("Bejelentkezés"));
  EXPECT_FALSE(window->LoginButton()->isEnabled());
}

TEST_F(MainWindowCardTest, EndOfSessionUnregistersEverythingAndHidesTheWindow) {
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  ASSERT_TRUE(WaitSettled(*window, [&] { return StoreSize() == 1; }));
  window->QueueBalloon("a", "b", kBalloonInformation);
  window->EndSessionCleanup();
  EXPECT_EQ(StoreSize(), 0u);
  EXPECT_EQ(window->Balloons().Size(), 0u);
  EXPECT_FALSE(window->Monitor().Running());
  EXPECT_FALSE(window->isVisible());
  // Nothing registers afterwards, whatever the card does.
  pcsc_.RemoveCard(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  window->Registrar().RegisterCertificates(kReader, "Gemalto Classic Card CSP", "", window->Token(),
                                           window->GetTokenObjects(false));
  EXPECT_EQ(StoreSize(), 0u);
  bool logged = false;
  for (const std::string& e : sandbox.events->Texts()) logged |= e == "The session is actually ending.";
  EXPECT_TRUE(logged);
}

TEST_F(MainWindowCardTest, ClosingWithAnActivationQuestionOpenEndsAtOnce) {
  shim_->SetOption("token_flags_set", "0x80000");  // CKF_USER_PIN_TO_BE_CHANGED: transport state
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  int destroyed = 0;
  window->SetOnDestroyed([&] { ++destroyed; });
  // The monitor thread asks on the interface thread and waits for the answer; the
  // question's own event loop runs the close.
  QElapsedTimer clock;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (clock.isValid() || !QApplication::activeModalWidget()) return;
    clock.start();
    window->Destroy();
  });
  poll.start(20);
  ASSERT_TRUE(Wait([&] { return destroyed == 1; }));
  poll.stop();
  EXPECT_LT(clock.elapsed(), 2000);
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(window->Monitor().Running());
  EXPECT_EQ(StoreSize(), 0u);
}

TEST_F(MainWindowCardTest, FailedDetectionRestartsEveryTenSecondsOnTheInterfaceThread) {
  pcsc_.AddReader(kReader);
  pcsc_.InsertCard(kReader, kAtr);
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return StoreSize() == 1; }));
  // The service stops: everything unregistered, the lists emptied, the timer armed.
  pcsc_.SetServiceUp(false);
  pcsc_.FailNextWait(SCARD_F_COMM_ERROR);  // what pcsc-lite says when pcscd dies
  ASSERT_TRUE(Wait([&] { return window->RestartTimer().isActive(); }));
  EXPECT_EQ(window->RestartTimer().interval(), 10000);
  EXPECT_EQ(StoreSize(), 0u);
  // Emptied once a card read of the window that was under way is over.
  EXPECT_TRUE(Wait([&] { return window->ReaderList()->count() == 0 && !window->Busy(); }));
  bool logged = false;
  for (const std::string& e : sandbox.events->Texts()) logged |= e == "SCardGetStatusChange returned: 80100013";
  EXPECT_TRUE(logged) << ::testing::PrintToString(sandbox.events->Texts());

  // Still no service: armed again (by the monitor's thread, which made the attempt). Then
  // it is back: the card is registered again.
  window->RestartTimer().stop();
  QMetaObject::invokeMethod(&window->RestartTimer(), "timeout", Qt::DirectConnection);
  ASSERT_TRUE(Wait([&] { return window->RestartTimer().isActive(); }));
  pcsc_.SetServiceUp(true);
  window->RestartTimer().stop();
  QMetaObject::invokeMethod(&window->RestartTimer(), "timeout", Qt::DirectConnection);
  ASSERT_TRUE(Wait([&] { return StoreSize() == 1; }));
  EXPECT_FALSE(window->RestartTimer().isActive());
  EXPECT_EQ(window->ReaderList()->currentText(), kReader);
}

}  // namespace

namespace {

// A card that cannot be read, pulled and put back while its notice is open: the later
// failures are part of the open notice, never boxes nested in its loop.
TEST_F(MainWindowCardTest, CardReadFailuresWhileANoticeIsOpenAreNotNested) {
  shim_->SetOption("rv.C_GetTokenInfo", "0x30");  // CKR_DEVICE_ERROR
  pcsc_.AddReader(kReader);
  auto window = Open();
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1; }));
  auto openBoxes = [] {
    int open = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (qobject_cast<QMessageBox*>(widget) && widget->isVisible()) ++open;
    return open;
  };
  int most = 0;
  int toggles = 0;
  QElapsedTimer sinceToggle;
  sinceToggle.start();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    const int open = openBoxes();
    most = std::max(most, open);
    if (open == 0 || sinceToggle.elapsed() < 300) return;
    if (toggles < 6) {
      // Out and in again, quickly, with the first notice still open.
      if (toggles % 2 == 0) pcsc_.RemoveCard(kReader);
      else pcsc_.InsertCard(kReader, kAtr);
      ++toggles;
      sinceToggle.restart();
    } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      box->accept();
    }
  });
  poll.start(20);
  pcsc_.InsertCard(kReader, kAtr);
  ASSERT_TRUE(Wait([&] { return toggles == 6 && openBoxes() == 0 && !window->Busy(); }));
  QTest::qWait(500);  // refreshes still queued would open their boxes now
  poll.stop();
  EXPECT_EQ(most, 1);
  EXPECT_EQ(openBoxes(), 0);
}

}  // namespace

namespace {

// Closing takes the window away and ends the program at once, also while a card read
// runs.
TEST_F(MainWindowCardTest, ClosingHidesTheWindowAtOnce) {
  pcsc_.AddReader(kReader);
  auto window = Open();
  int destroyed = 0;
  window->SetOnDestroyed([&] { ++destroyed; });
  ASSERT_TRUE(Wait([&] { return window->ReaderList()->count() == 1; }));
  shim_->SetOption("delay_us.C_GetTokenInfo", "1500000");
  // The read runs in a loop of its own: the timer acts inside it.
  bool closed = false, hiddenAtOnce = false, destroyedAtOnce = true;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (closed || !window->Busy()) return;
    closed = true;
    window->Destroy();
    hiddenAtOnce = !window->isVisible();
    destroyedAtOnce = destroyed != 0;
  });
  poll.start(10);
  pcsc_.InsertCard(kReader, kAtr);
  ASSERT_TRUE(Wait([&] { return destroyed == 1; }));
  EXPECT_TRUE(closed);
  EXPECT_TRUE(hiddenAtOnce);
  EXPECT_TRUE(destroyedAtOnce);  // the end waits for no card read
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(StoreSize(), 0u);
}

}  // namespace
