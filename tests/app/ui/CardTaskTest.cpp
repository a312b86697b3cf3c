// The main window's card work away from the interface thread: the re-registration after a
// delete waits for a responder that never answers, the PIN page's calls, the window's own
// card reads, the log-in and the contents page's writes for a slow module, and a 10 ms
// heartbeat on the interface thread records the longest pause meanwhile.
// The faults are pauses of seconds; a gap under 1 s leaves room for a busy machine.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CardDataDialogs.h"
#include "CardPropertiesPage.h"
#include "CardTables.h"
#include "CardTokenWriter.h"
#include "CertificateCommands.h"
#include "ContentsPage.h"
#include "PinDialogs.h"
#include "Heartbeat.h"
#include "MainWindow.h"
#include "WindowSettled.h"
#include "NetRig.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PinPage.h"
#include "RenewalCommand.h"
#include "RenewalSearch.h"
#include "TestPki.h"
#include "UiTestSupport.h"
#include "monitor/FakePcsc.h"
#include "platform/CertStore.h"
#include "platform/Library.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kReader = "Fake Reader 0";
const std::vector<uint8_t> kAtr = {0x3B, 0x0A, 0x54, 0x41, 0x56, 0x52, 0x45, 0x4E, 0x49, 0x43, 0x30, 0x31};
constexpr qint64 kMaxGapMs = 1000;
// How long a revocation check waits for the responder that never answers.
constexpr long kResponderTimeoutMs = 3000;

using UiTest::WaitSettled;

// A signing certificate whose OCSP responder takes the request and never answers.
TvrTest::PkiItem StalledLeaf(const TvrTest::HttpTestServer& responder) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Stalled";
  spec.keyType = "rsa";
  spec.extensions = {{"keyUsage", "critical,digitalSignature"},
                     {"authorityInfoAccess", "OCSP;URI:" + responder.Base() + "/stall/1"}};
  return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate());
}

std::string Thumbprint(const TvrTest::PkiItem& item) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(item.Cert(), EVP_sha1(), digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) text += {kHex[digest[i] >> 4], kHex[digest[i] & 0xF]};
  return text;
}

// The contents page's view as the commands see it (a refresh re-reads the card, as the
// page's tree does), recording the commands' state.
class RecordingView : public IContentsView {
 public:
  explicit RecordingView(IContentsHost& host) : host_(host) {}
  void RefreshTree(bool refresh) override {
    host_.GetTokenInfo(refresh);
    host_.GetTokenObjects(refresh);
  }
  void SetBusy(bool) override {}
  void SetCommandsEnabled(bool on) { enabled.push_back(on); }
  std::optional<std::string> ChooseCertificateFile() override { return std::nullopt; }
  std::optional<std::string> ChooseFolder() override { return std::nullopt; }
  void OpenFolder(const std::string&) override {}
  bool ShowCertificate(const std::vector<uint8_t>&) override { return true; }
  std::vector<bool> enabled;

 private:
  IContentsHost& host_;
};

class CardTaskTest : public ::testing::Test {
 protected:
  std::string Describe(const UiTest::ScriptedUserPort& port, MainWindow& window, size_t requests) {
    std::string text = "requests " + std::to_string(requests) + " -> " + std::to_string(responder_.Requests().size()) +
                       "; busy " + std::to_string(window.Busy()) + "; registered";
    for (const std::string& t : window.Registrar().RegisteredFor(kReader)) text += " " + t;
    for (const auto& box : port.boxes) text += "\nbox: " + box.text;
    return text;
  }
  void SetUp() override {
    std::ofstream(sandbox.Root() + "/system/Tavrenic/smartcards.conf")
        << "[Classic TPC]\nATR = 3B0A54415652454E49433031\n";
    // The test PKI in "ROOT" and "CA": the revocation check asks the certificate's responder.
    const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
    for (const auto& [name, item] : {std::pair<const char*, const TvrTest::PkiItem*>{"ROOT", &pki.Root()},
                                     {"CA", &pki.Intermediate()}}) {
      const std::vector<unsigned char> der = item->Der();
      auto context = Platform::CertContext::Create(der.data(), der.size());
      ASSERT_TRUE(context && Platform::CertStore::OpenSystem(name)->Add(
                                 *context, Platform::CertAddDisposition::ReplaceExisting));
    }
    std::ofstream(sandbox.Root() + "/bundle.crt").close();
    ::setenv("TVR_TRUST_BUNDLE", (sandbox.Root() + "/bundle.crt").c_str(), 1);
    encryption_ = UiTest::EncryptionLeaf("Titkos Tivadar");
    stalled_ = StalledLeaf(responder_);
    TvrTest::TokenSpec token;
    token.label = "Card0";
    token.withKeyAndCertificate = false;
    tokens_.AddToken(token);
    UiTest::WriteCardObject(dir_.Path(), "Card0", encryption_, "01");
    UiTest::WriteCardObject(dir_.Path(), "Card0", stalled_, "02");
    TvrTest::ShimOptions options;
    options.readers = {{"Card0", kReader}};
    shim_.emplace("libgclib.so", options);
    primary_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
    ASSERT_TRUE(primary_ && primary_->IsValid());
    pcsc_.AddReader(kReader);
  }

  // The window over the inserted card, once its certificates are registered.
  std::unique_ptr<MainWindow> OpenWithCard() {
    MainWindow::Options options;
    options.pcsc = &pcsc_;
    options.http.totalTimeoutMs = kResponderTimeoutMs;
    auto window = std::make_unique<MainWindow>(TokenRefMap{{"Gemalto", primary_.get()}}, port_, options);
    window->show();
    pcsc_.InsertCard(kReader, kAtr);
    // The window's own reads are over: the log-in button is back.
    const bool ready = WaitSettled(*window, [&] {
      return window->Registrar().RegisteredFor(kReader).size() == 2 && window->Session().Token();
    }, kResponderTimeoutMs + 15000);
    EXPECT_TRUE(ready);
    return window;
  }

  static CK_OBJECT_HANDLE HandleOf(MainWindow& window, const std::string& id) {
    for (const auto& [handle, record] : window.Session().GetTokenObjects(false)->certificates)
      if (record->id && *record->id == id) return handle;
    return 0;
  }

  static bool Wait(const std::function<bool()>& condition, int ms = 15000) { return QTest::qWaitFor(condition, ms); }

  UiTest::ProfileSandbox sandbox;
  TvrTest::TempDir dir_;
  TvrTest::HttpTestServer responder_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> primary_;
  TvrTest::PkiItem encryption_, stalled_;
  FakePcsc pcsc_;
  QtUserPort port_;
};

TEST_F(CardTaskTest, DeleteWithAStalledResponderKeepsTheWindowBeating) {
  auto window = OpenWithCard();
  ASSERT_FALSE(HasFailure());
  const TvrCommon::SecureString pin("1234");
  ASSERT_FALSE(window->Session().Login(&pin).has_value());
  const std::string stalledThumbprint = Thumbprint(stalled_);
  RecordingView view(*window);
  UiTest::ScriptedUserPort port;
  // Yes to the delete, No to its keys, then the result.
  port.answers = {Platform::kIdYes, Platform::kIdNo};
  ContentsCommands commands(*window, view, port);
  const size_t requests = responder_.Requests().size();

  Heartbeat beat;
  QTest::qWait(30);
  beat.Reset();
  commands.DeleteCertificate(HandleOf(*window, "01"));
  // The re-registration asks the responder again and gets the stalled certificate back in.
  ASSERT_TRUE(Wait([&] {
    return responder_.Requests().size() > requests &&
           window->Registrar().RegisteredFor(kReader) == std::vector<std::string>{stalledThumbprint} && !window->Busy();
  }, kResponderTimeoutMs + 15000)) << Describe(port, *window, requests);
  EXPECT_LT(beat.LongestGapMs(), kMaxGapMs);
  ASSERT_GE(port.boxes.size(), 3u);
  // Off for the delete's card task and again for the re-registration's.
  EXPECT_EQ(view.enabled, (std::vector<bool>{false, true, false, true}));
}

// The removal wins, whether the monitor saw it before the re-registration began (the
// window's refresh not yet run) or while it waited for the responder.
TEST_F(CardTaskTest, CardRemovedAroundTheReregistrationEndsUnregistered) {
  for (const bool before : {true, false}) {
    SCOPED_TRACE(before ? "removed before" : "removed during");
    auto window = OpenWithCard();
    ASSERT_FALSE(HasFailure());
    RecordingView view(*window);
    UiTest::ScriptedUserPort port;
    ContentsCommands commands(*window, view, port);
    const size_t requests = responder_.Requests().size();
    if (before) {
      pcsc_.RemoveCard(kReader);
      // The monitor thread takes the certificates out; the window's notice stays queued.
      for (int i = 0; i < 1000 && !window->Registrar().RegisteredFor(kReader).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ASSERT_TRUE(window->Registrar().RegisteredFor(kReader).empty());
      ASSERT_NE(window->Session().Token(), nullptr);
    }
    commands.ReregisterCertificates();
    if (!before) {
      ASSERT_TRUE(Wait([&] { return responder_.Requests().size() > requests; }));
      pcsc_.RemoveCard(kReader);
    }
    ASSERT_TRUE(Wait([&] { return !window->Busy() && view.enabled.size() == 2; }, kResponderTimeoutMs + 15000));
    EXPECT_TRUE(window->Registrar().RegisteredFor(kReader).empty());
    std::vector<Platform::CertContextPtr> all;
    Platform::CertStore::OpenSystem("MY")->Enumerate(all);
    EXPECT_TRUE(all.empty());
    window.reset();
  }
}

// Runs `click`, answers every message box that opens (recording its text) and returns the
// longest gap of the interface thread until the PIN page's buttons are back.
qint64 GapWhile(MainWindow& window, const std::function<void()>& click, std::vector<QString>& texts) {
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      texts.push_back(box->text());
      box->accept();
    }
  });
  answer.start(50);
  Heartbeat beat;
  QTest::qWait(30);
  beat.Reset();
  click();
  const bool ended = QTest::qWaitFor([&] { return !window.Pins()->Running() && !texts.empty(); }, 15000);
  const qint64 gap = beat.LongestGapMs();
  EXPECT_TRUE(ended);
  return gap;
}

TEST_F(CardTaskTest, PinStatusAndChangeWithASlowModuleKeepTheWindowBeating) {
  // The card's own PIN pad: the change needs no dialog.
  shim_->SetOption("token_flags_set", "0x100");  // CKF_PROTECTED_AUTHENTICATION_PATH
  auto window = OpenWithCard();
  ASSERT_FALSE(HasFailure());
  window->Sheet()->setCurrentIndex(MainWindow::kPinPage);
  ASSERT_TRUE(Wait([&] { return window->Pins()->statusButton->isEnabled(); }));
  shim_->SetOption("delay_us.C_GetTokenInfo", "1500000");

  std::vector<QString> texts;
  EXPECT_LT(GapWhile(*window, [&] { window->Pins()->statusButton->click(); }, texts), kMaxGapMs);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].startsWith(QString::fromUtf8("Transzport állapot: nem"))) << texts[0].toStdString();
  EXPECT_TRUE(window->Pins()->statusButton->isEnabled());

  texts.clear();
  EXPECT_LT(GapWhile(*window, [&] { window->Pins()->changeButton->click(); }, texts), kMaxGapMs);
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].contains(QString::fromUtf8("PIN megváltoztatás"))) << texts[0].toStdString();
  EXPECT_TRUE(window->Pins()->changeButton->isEnabled());
}

// The renewal's search over a directory that takes the connection and never answers: the
// window keeps painting while the search waits for its time limit, and the command ends
// with the search's error once it is over.
TEST_F(CardTaskTest, RenewalSearchWithAMuteDirectoryKeepsTheWindowBeating) {
  const TvrTest::MuteTcpListener listener;
  Platform::Profile profile;
  ASSERT_TRUE(profile.WriteInt(TvrServices::kRenewalSettingsSection, "Mode", 2));
  ASSERT_TRUE(profile.WriteString(TvrServices::kRenewalSettingsSection, "LDAPHostname", "127.0.0.1"));
  ASSERT_TRUE(profile.WriteInt(TvrServices::kRenewalSettingsSection, "LDAPPortnumber", listener.Port()));

  auto window = OpenWithCard();
  ASSERT_FALSE(HasFailure());
  const TvrCommon::SecureString pin("1234");
  ASSERT_FALSE(window->Session().Login(&pin).has_value());
  RecordingView view(*window);
  UiTest::ScriptedUserPort port;
  struct NoDialog : IRenewalView {
    std::optional<std::string> ChooseZipFile() override { return std::nullopt; }
    bool RunRenewalDialog(const TvrServices::RenewalSource&, const TvrServices::CandidateMap&) override {
      return false;
    }
  } renewal;
  RenewalCommand command(*window, view, port, renewal, nullptr);

  Heartbeat beat;
  QTest::qWait(30);
  beat.Reset();
  command.Run();
  ASSERT_TRUE(Wait([&] { return view.enabled.size() == 2; }, (TvrServices::kLdapTimeoutSeconds + 15) * 1000));
  EXPECT_LT(beat.LongestGapMs(), kMaxGapMs);
  EXPECT_EQ(view.enabled, (std::vector<bool>{false, true}));
  ASSERT_EQ(port.boxes.size(), 1u);  // the search's failure
  EXPECT_TRUE(port.boxes[0].flags & Platform::kMbIconError);
}

// Answers what the window's commands ask, as a user would: the PIN, Yes and OK, the
// file named, the labels as offered.
class Answerer {
 public:
  Answerer() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Answer(); });
    timer_.start(20);
  }
  std::string file;
  std::vector<QString> boxes;

 private:
  void Answer() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      boxes.push_back(box->text());
      QAbstractButton* button = box->button(QMessageBox::Yes);
      if (!button) button = box->button(QMessageBox::Ok);
      if (button) button->click();
      else box->reject();
    } else if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      const QString path = QString::fromStdString(file);
      files->setDirectory(QFileInfo(path).absolutePath());
      files->selectFile(path);
      if (auto* name = files->findChild<QLineEdit*>("fileNameEdit")) name->setText(path);
      static_cast<QDialog*>(files)->done(QDialog::Accepted);
    } else if (auto* pin = qobject_cast<PinDialog*>(modal)) {
      pin->Edit()->setText("1234");
      pin->accept();
    } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->accept();
    }
  }
  QTimer timer_;
};

// Each of the window's card operations with the module slowed by seconds where it waits:
// the interface thread keeps beating, and a click on another tab is taken while the
// operation still runs. The faults are pauses as long as the delay.
TEST_F(CardTaskTest, SlowModuleKeepsTheWindowTakingClicks) {
  constexpr const char* kDelay = "3000000";
  const TvrTest::PkiItem renewed = [&] {
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic/CN=Titkos Tivadar";
    spec.keyType = "rsa";
    spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
    return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), encryption_.Key());
  }();
  const TvrTest::PkiItem spare = UiTest::EncryptionLeaf("Tartalék Tamás");
  const std::string renewedFile = dir_.Path() + "/renewed.cer";
  {
    const std::vector<unsigned char> der = renewed.Der();
    std::ofstream(renewedFile, std::ios::binary).write(reinterpret_cast<const char*>(der.data()), der.size());
  }
  const std::string pfxFile = dir_.Path() + "/import.pfx";
  {
    std::ofstream(dir_.Path() + "/import.key.pem") << spare.KeyPem();
    std::ofstream(dir_.Path() + "/import.pem") << spare.Pem();
    std::string output;
    ASSERT_EQ(TvrTest::RunCommand({"openssl", "pkcs12", "-export", "-inkey", dir_.Path() + "/import.key.pem", "-in",
                                   dir_.Path() + "/import.pem", "-out", pfxFile, "-passout", "pass:"},
                                  &output),
              0)
        << output;
  }

  auto window = OpenWithCard();
  ASSERT_FALSE(HasFailure());
  auto certificateWith = [&](const TvrTest::PkiItem& item) {
    const std::vector<unsigned char> der = item.Der();
    if (const TokenObjects* objects = window->Session().GetTokenObjects(false))
      for (const auto& [handle, record] : objects->certificates)
        if (record->value == std::vector<uint8_t>(der.begin(), der.end())) return handle;
    return CK_OBJECT_HANDLE(0);
  };
  auto contents = [&] { return window->Contents(); };

  struct Step {
    const char* name;
    std::vector<const char*> slowed;
    std::function<void()> act;
    std::function<bool()> outcome;
  };
  Answerer answers;
  const std::vector<Step> steps = {
      {"reader chosen again", {"C_GetSlotList", "C_GetTokenInfo"},
       [&] { emit window->ReaderList()->activated(0); },
       [&] { return window->Session().Token() && window->LoginButton()->isEnabled(); }},
      {"log-in", {"C_Login"}, [&] { window->LoginButton()->click(); },
       [&] { return window->Session().IsLoggedIn(); }},
      {"log-out", {"C_Logout"}, [&] { window->LoginButton()->click(); },
       [&] { return !window->Session().IsLoggedIn(); }},
      {"log-in again", {}, [&] { window->LoginButton()->click(); }, [&] { return window->Session().IsLoggedIn(); }},
      {"renew from a file", {"C_CreateObject"},
       [&] {
         answers.file = renewedFile;
         contents()->Commands().Run(kCmdRenewCertificate, certificateWith(encryption_));
       },
       [&] { return certificateWith(renewed) && !certificateWith(encryption_); }},
      {"delete", {"C_DestroyObject"},
       [&] { contents()->Commands().Run(kCmdDeleteCertificate, certificateWith(renewed)); },
       [&] { return !certificateWith(renewed); }},
      {"PFX import", {"C_CreateObject"},
       [&] {
         answers.file = pfxFile;
         contents()->Commands().Run(kCmdImportKeyAndCertificate, std::nullopt);
       },
       [&] { return certificateWith(spare) != 0; }},
  };
  QTabBar* tabs = window->Sheet()->tabBar();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    for (const char* function : step.slowed) shim_->SetOption(std::string("delay_us.") + function, kDelay);
    Heartbeat beat;
    QTest::qWait(30);
    beat.Reset();
    step.act();
    // The operation runs on: another tab is taken meanwhile, and the page shown then is
    // brought up to the card once it is over.
    const int other = window->Sheet()->currentIndex() == MainWindow::kContentsPage ? MainWindow::kPropertiesPage
                                                                                  : MainWindow::kContentsPage;
    EXPECT_TRUE(window->Busy());
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(other).center());
    EXPECT_EQ(window->Sheet()->currentIndex(), other);
    EXPECT_TRUE(window->Busy());
    const bool ended = Wait([&] { return !window->Busy() && !QApplication::activeModalWidget(); },
                            kResponderTimeoutMs + 20000);
    for (const char* function : step.slowed) shim_->ClearOption(std::string("delay_us.") + function);
    ASSERT_TRUE(ended);
    const qint64 gap = beat.LongestGapMs();
    std::printf("%-20s longest gap %4lld ms\n", step.name, static_cast<long long>(gap));
    EXPECT_LT(gap, kMaxGapMs);
    EXPECT_TRUE(step.outcome());
    if (other == MainWindow::kContentsPage) {
      EXPECT_GE(window->Contents()->Tree()->topLevelItemCount(), 1);
    } else {
      EXPECT_EQ(window->Properties()->labelEdit->text(), "Card0");
    }
    // The commands are started from the contents page.
    window->Sheet()->setCurrentIndex(MainWindow::kContentsPage);
  }
  for (const QString& box : answers.boxes)
    EXPECT_NE(box, QString::fromUtf8("Hiba történt a kártya olvasása során!"));
}

}  // namespace
