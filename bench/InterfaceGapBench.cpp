// The interface thread's longest gap while the user does something that waits on a
// server, a card or the PC/SC service, next to the longest gap of the same run with
// nothing happening (idle). A 10 ms heartbeat on the interface thread measures the gap
// (Heartbeat.h). Target: every scenario at most 50 ms above idle.
//
// Each scenario runs in rounds alternated with idle periods as long as its own act (idle,
// act, act, idle, ...); the medians are printed with their difference and ratio.
//
// Scenarios (the real program's objects; servers and services of the tests on 127.0.0.1
// or in a private folder):
//   about-stalled-fetch    the About dialog opened and closed while the update server
//                          takes the request and never answers
//   report-mute-pcscd      the system-information dialog, until its report, against a
//                          PC/SC service that takes the connection and never answers
//   detection-mute-pcscd   card detection started again (the restart timer) against it
//   sigterm-stalled-ocsp   what SIGTERM runs (the end-of-session clean-up) while a card's
//                          certificate waits for four OCSP responders that never answer
//   delete-stalled-ocsp    a certificate deleted from the card; the re-registration of
//                          the rest asks those responders again (measured until the first
//                          request and 200 ms into the wait)
//   pin-status-slow-module the PIN page's status with a module that takes 1.5 s to give
//                          the token information, until its message box
//   reader-slow-module     the reader chosen again: the card list's refresh with a module
//                          that takes 1.5 s for the slot list and for the token information
//   login-slow-module      the log-in button, PIN typed, with a module that takes 1.5 s to
//                          log in, until the card is read again
//   delete-slow-module     a certificate deleted with its keys, 1.5 s per object destroyed,
//                          until the tree is read again and the card registered again
//   renew-slow-module      a certificate renewed from a file, 1.5 s per object written
//   pfx-slow-module        a key and certificate imported from a PFX file, likewise
//
// Adding a scenario: a class deriving from Scenario (BeforeRound and AfterRound are not
// measured, Act is) and one line in the list in main(). CardRig gives a card token behind
// the test module, a scripted PC/SC service and the main window over them.
//
// Run: build/bench/bench_interface_gap [rounds]   (default 5; no root needed)
#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QMessageBox>

#include "AboutDialog.h"
#include "PfxImport.h"
#include "PinDialogs.h"
#include "Application.h"
#include "CardTables.h"
#include "CardTokenWriter.h"
#include "CertificateCommands.h"
#include "PinPage.h"
#include "Heartbeat.h"
#include "MainWindow.h"
#include "NetRig.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PcscRig.h"
#include "SystemInformationDialog.h"
#include "TestPki.h"
#include "monitor/FakePcsc.h"
#include "platform/CertStore.h"
#include "platform/Library.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr qint64 kTargetAboveIdleMs = 50;
constexpr const char* kReader = "Fake Reader 0";
const std::vector<uint8_t> kAtr = {0x3B, 0x0A, 0x54, 0x41, 0x56, 0x52, 0x45, 0x4E, 0x49, 0x43, 0x30, 0x31};

// Runs the event loop for a while.
void Spin(Ms duration) {
  QEventLoop loop;
  QTimer::singleShot(duration, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop until the condition holds; throws after `limit`.
void SpinUntil(const std::function<bool()>& condition, const char* what, Ms limit = std::chrono::seconds(30)) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) throw std::runtime_error(std::string("timed out waiting for ") + what);
    Spin(Ms(5));
  }
}

// The program's folders, settings and stores in a private folder for the run.
struct Sandbox {
  TvrTest::TempDir dir;
  Sandbox() {
    const std::string root = dir.Path();
    for (const char* name : {"/config/Tavrenic", "/machine/Tavrenic", "/data", "/runtime", "/modules"})
      std::filesystem::create_directories(root + name);
    std::filesystem::permissions(root + "/runtime", std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    ::setenv("TVR_SYSTEM_CONFIG_DIR", (root + "/machine").c_str(), 1);
    ::setenv("TVR_TEST_MODULE_DIR", (root + "/modules").c_str(), 1);
    std::ofstream(root + "/bundle.crt").close();
    ::setenv("TVR_TRUST_BUNDLE", (root + "/bundle.crt").c_str(), 1);
    std::ofstream(root + "/machine/Tavrenic/smartcards.conf") << "[Classic TPC]\nATR = 3B0A54415652454E49433031\n";
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  }
};

// A card in a scripted reader: the given certificates (with their keys) on a SoftHSM2
// token behind the test module posing as the Gemalto module, and the main window over
// them. "ROOT" and "CA" hold the test PKI, so that revocation checks ask the responders.
class CardRig {
 public:
  CardRig(const std::string& folder, const std::vector<TvrTest::PkiItem>& items) : folder_(folder) {
    const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
    for (const auto& [name, item] : {std::pair<const char*, const TvrTest::PkiItem*>{"ROOT", &pki.Root()},
                                     {"CA", &pki.Intermediate()}}) {
      const std::vector<unsigned char> der = item->Der();
      auto context = Platform::CertContext::Create(der.data(), der.size());
      auto store = Platform::CertStore::OpenSystem(name);
      if (!context || !store || !store->Add(*context, Platform::CertAddDisposition::ReplaceExisting))
        throw std::runtime_error("cannot fill the system stores");
    }
    TvrTest::TokenSpec token;
    token.label = "Card0";
    token.withKeyAndCertificate = false;
    tokens_.AddToken(token);
    for (size_t i = 0; i < items.size(); ++i) UiTest::WriteCardObject(folder, "Card0", items[i], "0" + std::to_string(i + 1));
    TvrTest::ShimOptions options;
    options.readers = {{"Card0", kReader}};
    shim_.emplace("libgclib.so", options);
    primary_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary(shim_->Path().c_str()));
    if (!primary_ || !primary_->IsValid()) throw std::runtime_error("cannot load the test module");
    pcsc_.AddReader(kReader);
  }

  FakePcsc& Pcsc() { return pcsc_; }
  TvrTest::InstalledShim& Shim() { return *shim_; }
  // Puts a certificate with its key on the card under the identifier (two hex digits).
  void Write(const TvrTest::PkiItem& item, const std::string& id) { UiTest::WriteCardObject(folder_, "Card0", item, id); }
  // The main window over the card's module and the scripted PC/SC service (the system's
  // PC/SC when `systemPcsc`); revocation checks give up after `httpTimeoutMs`.
  std::unique_ptr<MainWindow> OpenWindow(bool systemPcsc = false, long httpTimeoutMs = 30000) {
    MainWindow::Options options;
    options.pcsc = systemPcsc ? nullptr : &pcsc_;
    options.http.totalTimeoutMs = httpTimeoutMs;
    auto window = std::make_unique<MainWindow>(TokenRefMap{{"Gemalto", primary_.get()}}, port_, options);
    window->show();
    return window;
  }
  static size_t StoreSize() {
    std::vector<Platform::CertContextPtr> all;
    if (auto store = Platform::CertStore::OpenSystem("MY")) store->Enumerate(all);
    return all.size();
  }

 private:
  std::string folder_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> primary_;
  FakePcsc pcsc_;
  QtUserPort port_;
};

class Scenario {
 public:
  virtual ~Scenario() = default;
  virtual const char* Name() const = 0;
  virtual void BeforeRound() {}
  // What the user does and waits for; measured.
  virtual void Act() = 0;
  virtual void AfterRound() {}
};

class AboutStalledFetch : public Scenario {
 public:
  const char* Name() const override { return "about-stalled-fetch"; }
  void Act() override {
    TvrServices::UpdateServer server;
    server.base = server_.Base() + "/stall";
    server.http.caFile = TvrTest::TestPki::Get().CaBundlePath();
    const size_t before = server_.Requests().size();
    auto dialog = std::make_unique<AboutDialog>(server);
    dialog->show();
    SpinUntil([&] { return server_.Requests().size() > before; }, "the update request");
    dialog->accept();
    dialog.reset();
    Spin(Ms(30));
  }

 private:
  // The update server is asked over https only.
  TvrTest::HttpTestServer server_{TvrTest::TestPki::Get().TlsServer().pemPath,
                                  TvrTest::TestPki::Get().TlsServer().keyPath};
};

class ReportMutePcscd : public Scenario {
 public:
  const char* Name() const override { return "report-mute-pcscd"; }
  void Act() override {
    QtUserPort port;
    SystemInformationDialog dialog(port, SystemInfoProbes());
    dialog.show();
    SpinUntil([&] { return dialog.ReportReady(); }, "the report");
    dialog.accept();
    Spin(Ms(30));
  }
};

class DetectionMutePcscd : public Scenario {
 public:
  explicit DetectionMutePcscd(CardRig& rig) : rig_(rig) {}
  const char* Name() const override { return "detection-mute-pcscd"; }
  void BeforeRound() override {
    window_ = rig_.OpenWindow(true);
    SpinUntil([&] { return !window_->Monitor().Running(); }, "the first detection attempt");
  }
  void Act() override {
    window_->RestartTimer().stop();
    QMetaObject::invokeMethod(&window_->RestartTimer(), "timeout", Qt::DirectConnection);
    SpinUntil([&] { return window_->RestartTimer().isActive(); }, "the restart timer");
    Spin(Ms(30));
  }
  void AfterRound() override { window_.reset(); }

 private:
  CardRig& rig_;
  std::unique_ptr<MainWindow> window_;
};

class SigtermStalledOcsp : public Scenario {
 public:
  explicit SigtermStalledOcsp(CardRig& rig, TvrTest::HttpTestServer& responders) : rig_(rig), responders_(responders) {}
  const char* Name() const override { return "sigterm-stalled-ocsp"; }
  void BeforeRound() override {
    const size_t before = responders_.Requests().size();
    window_ = rig_.OpenWindow();
    rig_.Pcsc().InsertCard(kReader, kAtr);
    SpinUntil([&] { return responders_.Requests().size() > before; }, "the first OCSP request");
  }
  void Act() override {
    window_->EndSessionCleanup();
    Spin(Ms(30));
  }
  void AfterRound() override {
    if (CardRig::StoreSize() != 0) std::fprintf(stderr, "%s: certificates left in the store\n", Name());
    window_.reset();
    rig_.Pcsc().RemoveCard(kReader);
  }

 private:
  CardRig& rig_;
  TvrTest::HttpTestServer& responders_;
  std::unique_ptr<MainWindow> window_;
};

// The contents page's view for the commands: a refresh re-reads the card, as the page does.
class CommandView : public IContentsView {
 public:
  explicit CommandView(IContentsHost& host) : host_(host) {}
  void RefreshTree(bool refresh) override {
    host_.GetTokenInfo(refresh);
    host_.GetTokenObjects(refresh);
  }
  void SetBusy(bool) override {}
  std::optional<std::string> ChooseCertificateFile() override { return file; }
  std::optional<std::string> ChooseFolder() override { return std::nullopt; }
  void OpenFolder(const std::string&) override {}
  bool ShowCertificate(const std::vector<uint8_t>&) override { return true; }
  std::optional<std::string> file;

 private:
  IContentsHost& host_;
};

// The PFX file named, no password, the labels offered.
class PfxPort : public IPfxImportPort {
 public:
  explicit PfxPort(std::string file) : file_(std::move(file)) {}
  std::optional<std::string> ChoosePfxFile() override { return file_; }
  std::optional<TvrCommon::SecureString> AskPfxPassword(const std::string&) override { return std::nullopt; }
  std::optional<KeyAndCertLabels> AskLabels(const std::string& prefix, const TokenObjects&) override {
    return LabelsForPrefix(prefix);
  }

 private:
  std::string file_;
};

// Answers Yes to the delete and to its keys (the next round writes them again), OK to the rest.
class DeletePort : public IUserPort {
 public:
  int MessageBox(const std::string&, const std::string&, unsigned flags) override {
    return (flags & 0x0F) == Platform::kMbOk ? Platform::kIdOk : Platform::kIdYes;
  }
};

// A window over the card in the reader, its certificates checked (the responders given
// up on after a short while), logged in.
std::unique_ptr<MainWindow> OpenWithCard(CardRig& rig, size_t certificates) {
  auto window = rig.OpenWindow(false, 1000);
  rig.Pcsc().InsertCard(kReader, kAtr);
  // The window's own reads over, the one after the registration's notice included: the
  // state holds for a while on end.
  auto start = Clock::now();
  SpinUntil([&] {
    if (!window->Session().Token() || window->Registrar().RegisteredFor(kReader).size() != certificates ||
        !window->LoginButton()->isEnabled() || window->Busy()) {
      start = Clock::now();
      return false;
    }
    return Clock::now() - start >= Ms(300);
  }, "the card's registration");
  const TvrCommon::SecureString pin("1234");
  if (window->Session().Login(&pin) || !window->Session().IsLoggedIn()) throw std::runtime_error("cannot log in");
  return window;
}

class DeleteStalledOcsp : public Scenario {
 public:
  DeleteStalledOcsp(CardRig& rig, TvrTest::HttpTestServer& responders) : rig_(rig), responders_(responders) {}
  const char* Name() const override { return "delete-stalled-ocsp"; }
  void BeforeRound() override {
    rig_.Write(UiTest::EncryptionLeaf("Titkos Tivadar"), "09");
    window_ = OpenWithCard(rig_, 2);
  }
  void Act() override {
    CK_OBJECT_HANDLE handle = 0;
    for (const auto& [h, record] : window_->Session().GetTokenObjects(false)->certificates)
      if (record->id && *record->id == "09") handle = h;
    CommandView view(*window_);
    DeletePort port;
    ContentsCommands commands(*window_, view, port);
    const size_t before = responders_.Requests().size();
    commands.DeleteCertificate(handle);
    SpinUntil([&] { return responders_.Requests().size() > before; }, "the re-registration's OCSP request");
    Spin(Ms(200));
  }
  void AfterRound() override {
    window_.reset();
    rig_.Pcsc().RemoveCard(kReader);
  }

 private:
  CardRig& rig_;
  TvrTest::HttpTestServer& responders_;
  std::unique_ptr<MainWindow> window_;
};

class PinStatusSlowModule : public Scenario {
 public:
  explicit PinStatusSlowModule(CardRig& rig) : rig_(rig) {}
  const char* Name() const override { return "pin-status-slow-module"; }
  void BeforeRound() override {
    window_ = OpenWithCard(rig_, 1);
    window_->Sheet()->setCurrentIndex(MainWindow::kPinPage);
    SpinUntil([&] { return window_->Pins()->statusButton->isEnabled(); }, "the PIN page");
    rig_.Shim().SetOption("delay_us.C_GetTokenInfo", "1500000");
  }
  void Act() override {
    bool answered = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        answered = true;
        box->accept();
      }
    });
    answer.start(20);
    window_->Pins()->statusButton->click();
    SpinUntil([&] { return answered && !window_->Pins()->Running(); }, "the PIN status");
    Spin(Ms(30));
  }
  void AfterRound() override {
    rig_.Shim().ClearOption("delay_us.C_GetTokenInfo");
    window_.reset();
    rig_.Pcsc().RemoveCard(kReader);
  }

 private:
  CardRig& rig_;
  std::unique_ptr<MainWindow> window_;
};

// The window's own card work and the contents page's writes with a module that takes
// 1.5 s in the functions they wait for. Each round opens a window over the card, logged
// in (with `extra` written first, when given); `act` is measured until the window's card
// tasks are over; `after` takes back what the act wrote (not measured).
class SlowModule : public Scenario {
 public:
  struct Spec {
    const char* name;
    std::vector<const char*> slowed;
    std::function<void(MainWindow&)> act;
    std::function<void(MainWindow&)> after = {};
    std::optional<TvrTest::PkiItem> extra = {};
    std::function<void(MainWindow&)> before = {};
  };
  SlowModule(CardRig& rig, Spec spec) : rig_(rig), spec_(std::move(spec)) {}
  const char* Name() const override { return spec_.name; }
  void BeforeRound() override {
    if (spec_.extra) rig_.Write(*spec_.extra, "0b");
    window_ = OpenWithCard(rig_, spec_.extra ? 2 : 1);
    window_->RefreshPropertyPages();
    if (spec_.before) spec_.before(*window_);
    for (const char* function : spec_.slowed) rig_.Shim().SetOption(std::string("delay_us.") + function, "1500000");
  }
  void Act() override {
    spec_.act(*window_);
    SpinUntil([&] { return !window_->Busy() && !QApplication::activeModalWidget(); }, "the card work");
    Spin(Ms(30));
  }
  void AfterRound() override {
    for (const char* function : spec_.slowed) rig_.Shim().ClearOption(std::string("delay_us.") + function);
    if (spec_.after) {
      spec_.after(*window_);
      SpinUntil([&] { return !window_->Busy(); }, "the clean-up");
    }
    window_.reset();
    rig_.Pcsc().RemoveCard(kReader);
  }

 private:
  CardRig& rig_;
  Spec spec_;
  std::unique_ptr<MainWindow> window_;
};

// The handle of the card's certificate with that DER; 0 when there is none.
CK_OBJECT_HANDLE CertificateOf(MainWindow& window, const TvrTest::PkiItem& item) {
  const std::vector<unsigned char> der = item.Der();
  if (const TokenObjects* objects = window.Session().GetTokenObjects(false))
    for (const auto& [handle, record] : objects->certificates)
      if (record->value == std::vector<uint8_t>(der.begin(), der.end())) return handle;
  return 0;
}

// Answers the log-in's PIN dialog.
void AnswerPin() {
  QTimer::singleShot(20, [] {
    if (auto* dialog = qobject_cast<PinDialog*>(QApplication::activeModalWidget())) {
      dialog->Edit()->setText("1234");
      dialog->accept();
    } else {
      AnswerPin();
    }
  });
}

// A signing certificate whose four OCSP addresses take the request and never answer.
TvrTest::PkiItem StalledLeaf(const TvrTest::HttpTestServer& responders) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Stalled";
  spec.keyType = "rsa";
  std::string aia;
  for (int i = 1; i <= 4; ++i)
    aia += (i > 1 ? "," : "") + ("OCSP;URI:" + responders.Base() + "/stall/" + std::to_string(i));
  spec.extensions = {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", aia}};
  return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate());
}

struct Result {
  std::vector<qint64> gaps;
  std::vector<qint64> idle;
};

qint64 Median(std::vector<qint64> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

qint64 IdleGap(Ms duration) {
  Heartbeat beat;
  Spin(Ms(20));
  beat.Reset();
  Spin(duration);
  return beat.LongestGapMs();
}

Result Measure(Scenario& scenario, int rounds) {
  Result result;
  Ms last(500);
  for (int round = 0; round < rounds; ++round) {
    // Idle before the act in even rounds, after it in odd ones.
    if (round % 2 == 0) result.idle.push_back(IdleGap(last));
    scenario.BeforeRound();
    Heartbeat beat;
    Spin(Ms(20));
    beat.Reset();
    const auto start = Clock::now();
    scenario.Act();
    result.gaps.push_back(beat.LongestGapMs());
    last = std::chrono::duration_cast<Ms>(Clock::now() - start);
    scenario.AfterRound();
    if (round % 2 == 1) result.idle.push_back(IdleGap(last));
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  Sandbox sandbox;
  // Every PC/SC call of the program goes to a service that never answers; the card
  // scenarios use the scripted one.
  TvrTest::MutePcscd mute;
  ::setenv("PCSCLITE_CSOCK_NAME", mute.SocketPath().c_str(), 1);
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  InitProgramResources();
  try {
    TvrTest::HttpTestServer responders;
    CardRig card(sandbox.dir.Path(), {StalledLeaf(responders)});
    std::vector<std::unique_ptr<Scenario>> scenarios;
    scenarios.push_back(std::make_unique<AboutStalledFetch>());
    scenarios.push_back(std::make_unique<ReportMutePcscd>());
    scenarios.push_back(std::make_unique<DetectionMutePcscd>(card));
    scenarios.push_back(std::make_unique<SigtermStalledOcsp>(card, responders));
    scenarios.push_back(std::make_unique<DeleteStalledOcsp>(card, responders));
    scenarios.push_back(std::make_unique<PinStatusSlowModule>(card));

    // What the slow-module scenarios write and read.
    const TvrTest::PkiItem leaf = UiTest::EncryptionLeaf("Lassú László");
    const TvrTest::PkiItem renewed = [&] {
      TvrTest::CertSpec spec;
      spec.subject = "/C=HU/O=Tavrenic/CN=Lassú László";
      spec.keyType = "rsa";
      spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
      return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), leaf.Key());
    }();
    const TvrTest::PkiItem spare = UiTest::EncryptionLeaf("Tartalék Tamás");
    const std::string folder = sandbox.dir.Path();
    const std::string renewedFile = folder + "/renewed.cer";
    {
      const std::vector<unsigned char> der = renewed.Der();
      std::ofstream(renewedFile, std::ios::binary)
          .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    }
    const std::string pfxFile = folder + "/import.pfx";
    std::ofstream(folder + "/import.key.pem") << spare.KeyPem();
    std::ofstream(folder + "/import.pem") << spare.Pem();
    if (TvrTest::RunCommand({"openssl", "pkcs12", "-export", "-inkey", folder + "/import.key.pem", "-in",
                             folder + "/import.pem", "-out", pfxFile, "-passout", "pass:"}) != 0)
      throw std::runtime_error("cannot write the PFX file");
    std::unique_ptr<CommandView> view;
    std::unique_ptr<ContentsCommands> commands;
    DeletePort port;
    auto commandsOf = [&](MainWindow& window) {
      commands.reset();
      view = std::make_unique<CommandView>(window);
      view->file = renewedFile;
      commands = std::make_unique<ContentsCommands>(window, *view, port);
      return commands.get();
    };
    PfxPort pfxPort(pfxFile);
    scenarios.push_back(std::make_unique<SlowModule>(
        card, SlowModule::Spec{"reader-slow-module", {"C_GetSlotList", "C_GetTokenInfo"},
                               [](MainWindow& w) { emit w.ReaderList()->activated(0); }}));
    scenarios.push_back(std::make_unique<SlowModule>(
        card, SlowModule::Spec{"login-slow-module", {"C_Login"},
                               [](MainWindow& w) {
                                 AnswerPin();
                                 w.LoginButton()->click();
                               },
                               {}, std::nullopt, [](MainWindow& w) { w.Session().Logout(); }}));
    scenarios.push_back(std::make_unique<SlowModule>(
        card, SlowModule::Spec{"delete-slow-module", {"C_DestroyObject"},
                               [&](MainWindow& w) { commandsOf(w)->DeleteCertificate(CertificateOf(w, leaf)); },
                               {}, leaf}));
    scenarios.push_back(std::make_unique<SlowModule>(
        card, SlowModule::Spec{"renew-slow-module", {"C_CreateObject"},
                               [&](MainWindow& w) { commandsOf(w)->RenewCertificate(CertificateOf(w, leaf)); },
                               [&](MainWindow& w) { commandsOf(w)->DeleteCertificate(CertificateOf(w, renewed)); },
                               leaf}));
    std::unique_ptr<PfxImport> import;
    scenarios.push_back(std::make_unique<SlowModule>(
        card, SlowModule::Spec{"pfx-slow-module", {"C_CreateObject"},
                               [&](MainWindow& w) {
                                 ContentsCommands* commands = commandsOf(w);
                                 import = std::make_unique<PfxImport>(w, *view, port, pfxPort, *commands);
                                 import->Run();
                               },
                               [&](MainWindow& w) {
                                 import.reset();
                                 commandsOf(w)->DeleteCertificate(CertificateOf(w, spare));
                               }}));

    std::printf("%-24s %7s %12s %12s %12s %7s  %s\n", "scenario", "rounds", "gap ms", "idle ms", "above ms",
                "ratio", "target: <= 50 ms above idle");
    bool allMet = true;
    for (auto& scenario : scenarios) {
      const Result result = Measure(*scenario, rounds);
      const qint64 gap = Median(result.gaps), idle = Median(result.idle);
      const bool met = gap - idle <= kTargetAboveIdleMs;
      allMet = allMet && met;
      std::printf("%-24s %7d %12lld %12lld %12lld %7.2f  %s\n", scenario->Name(), rounds,
                  static_cast<long long>(gap), static_cast<long long>(idle), static_cast<long long>(gap - idle),
                  idle > 0 ? static_cast<double>(gap) / static_cast<double>(idle) : 0.0, met ? "met" : "MISSED");
      std::fflush(stdout);
    }
    return allMet ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_interface_gap: %s\n", e.what());
    return 2;
  }
}
