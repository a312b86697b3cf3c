// Pulling the card at every point where a command of the main window waits for the user:
// each dialog of each command, the log-in PIN dialog, the task list of the renewal, and
// the window's end (tray Close, end of session) meanwhile. The real window over a PC/SC
// service in memory and the test module posing as the Gemalto module over SoftHSM2.
// Expected everywhere: no crash (the table runs under AddressSanitizer as well), the
// command stops with its message, the card holds at least what it held, and the window
// takes the card again once it is back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <set>

#include "Application.h"
#include "CardDataDialogs.h"
#include "CardTables.h"
#include "CardTokenWriter.h"
#include "ContentsPage.h"
#include "ContentsTree.h"
#include "EncryptedData.h"
#include "MainWindow.h"
#include "NetRig.h"
#include "WindowSettled.h"
#include "P11Rig.h"
#include "PKCS11Versions.h"
#include "PinDialogs.h"
#include "PinPage.h"
#include "RenewCertificatesDialog.h"
#include "TaskListDialog.h"
#include "TestPki.h"
#include "TrayController.h"
#include "UiTestSupport.h"
#include "monitor/FakePcsc.h"
#include "platform/CertStore.h"
#include "platform/Library.h"
#include "platform/Profile.h"

namespace {

constexpr const char* kReader = "Fake Reader 0";
const std::vector<uint8_t> kAtr = {0x3B, 0x0A, 0x54, 0x41, 0x56, 0x52, 0x45, 0x4E, 0x49, 0x43, 0x30, 0x31};

enum class Pull {
  Remove,       // the card leaves the reader
  Replace,      // the card leaves and one comes back
  Swap,         // another card of the same type in its place at once: the reader never looks empty
  Unavailable,  // the reader goes unavailable (and comes back with the card at the end)
  PlugReader,   // another reader is plugged in
  CloseWindow,  // tray Close (the question is then answered "no")
  EndSession,   // the program's end-of-session clean-up (likewise)
};

// Answers the modal windows of a command in order; at the pull point it first changes the
// world and waits until the window has heard of it.
class Driver {
 public:
  Driver(MainWindow& window, FakePcsc& pcsc, TvrTest::InstalledShim& shim)
      : window_(window), pcsc_(pcsc), shim_(shim) {
    Schedule();
  }

  // The pull made by the command's own script, away from any dialog.
  void PullNow() {
    pulled = true;
    sincePull.start();
    DoPull();
  }

  int pullAt = -1;
  // The pull comes while a card task works, once `pullAt` windows have been seen.
  bool duringTask = false;
  Pull pull = Pull::Remove;
  std::string file;
  std::string folder;
  std::vector<QString> boxes;
  std::vector<QString> windows;  // class names, in order
  bool pulled = false;
  // The buttons of the message box at the pull point.
  QMessageBox::StandardButtons buttonsAtPull;
  // The task list's rows as its OK found them, and whether its worker still ran at the pull.
  std::vector<TaskImage> taskImages;
  bool workerRanAtPull = false;
  // The window freed the card or stopped detection while something held the card.
  bool letGoWhileHeld = false;
  std::string letGoSeen;  // what the window's state was when it was first seen
  // The holds never reported the pulled card.
  bool unheard = false;
  QElapsedTimer sincePull;
  // How long the end took, and the windows that reached the screen after it.
  qint64 endMs = -1;
  std::vector<QString> shownAfterEnd;

 private:
  // A fresh timer for every tick: an answer may run a loop of its own (the renewal
  // dialog's OK runs the task list), and Qt never fires a timer inside its own timeout.
  void Schedule() { QTimer::singleShot(10, &context_, [this] { Tick(); }); }

  void Tick() {
    Schedule();
    CardSession& session = window_.Session();
    // The window's own card work has the card out of the session while its hold lasts; after
    // the end the program leaves whatever holds the card.
    if (!window_.Ended() && session.Keeper().Held() && !session.Working() &&
        (!session.Token() || !window_.Monitor().Running())) {
      if (!letGoWhileHeld)
        letGoSeen = std::string(session.Token() ? "" : "no token; ") +
                    (window_.Monitor().Running() ? "" : "detection stopped; ") +
                    (window_.TaskWorking() ? "a card task working" : "no card task working");
      letGoWhileHeld = true;
    }
    if (duringTask && !pulled && static_cast<int>(windows.size()) == pullAt && window_.TaskWorking()) {
      pulled = true;
      sincePull.start();
      DoPull();
      return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (pulled && !Waits()) {
      // Nothing may reach the screen after the end.
      for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible() && !widget->testAttribute(Qt::WA_DontShowOnScreen) &&
            std::find(seenAfterEnd_.begin(), seenAfterEnd_.end(), widget) == seenAfterEnd_.end()) {
          seenAfterEnd_.push_back(widget);
          shownAfterEnd.push_back(widget->metaObject()->className());
        }
      return;
    }
    if (!modal || !modal->isVisible()) return;
    if (current_.isNull() || current_.data() != modal) {
      current_ = modal;
      index_ = static_cast<int>(windows.size());
      windows.push_back(modal->metaObject()->className());
    }
    if (index_ == pullAt && !pulled && !duringTask) {
      pulled = true;
      sincePull.start();
      if (auto* tasks = qobject_cast<TaskListDialog*>(modal)) workerRanAtPull = !tasks->State().Finished();
      DoPull();
      return;
    }
    if (index_ == pullAt && Waits() && !window_.Session().Keeper().CardLeft() && !unheard) {
      // A window that never tells the holder gets its answer late, not never.
      if (!sincePull.hasExpired(5000)) return;
      unheard = true;
    }
    if (index_ == pullAt && pull == Pull::Replace) {
      // The other card comes once the window heard that this one left.
      if (!reinserted_) {
        reinserted_ = true;
        pcsc_.InsertCard(kReader, kAtr);
      }
      if (window_.Monitor().CardName().empty()) return;
    }
    if (index_ == pullAt)
      if (auto* box = qobject_cast<QMessageBox*>(modal)) buttonsAtPull = box->standardButtons();
    Answer(modal, index_ == pullAt && !Waits());
  }
  bool Waits() const { return pull != Pull::CloseWindow && pull != Pull::EndSession; }

  void DoPull() {
    switch (pull) {
      case Pull::Remove: pcsc_.RemoveCard(kReader); break;
      case Pull::Replace: pcsc_.RemoveCard(kReader); break;
      case Pull::Swap:
        // The module loses its sessions as with any new card.
        shim_.DropSessions();
        pcsc_.SwapCard(kReader, kAtr);
        break;
      case Pull::Unavailable: pcsc_.SetUnavailable(kReader); break;
      case Pull::PlugReader: pcsc_.AddReader("Fake Reader 1"); break;
      case Pull::CloseWindow: window_.Destroy(); break;
      case Pull::EndSession: window_.EndSessionCleanup(); break;
    }
    if (!Waits()) endMs = sincePull.elapsed();
  }

  void Answer(QWidget* modal, bool decline) {
    if (auto* tasks = qobject_cast<TaskListDialog*>(modal)) {
      // OK only once the worker has finished: its final report comes first.
      if (!tasks->OkButton()->isEnabled()) return;
      taskImages = tasks->State().Images();
      tasks->OkButton()->click();
      return;
    }
    auto* dialog = qobject_cast<QDialog*>(modal);
    if (!dialog) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      boxes.push_back(box->text());
      QAbstractButton* button = nullptr;
      for (auto role : decline ? std::vector{QMessageBox::No, QMessageBox::Cancel, QMessageBox::Ok}
                               : std::vector{QMessageBox::Yes, QMessageBox::Ok})
        if (!button) button = box->button(role);
      if (button) button->click();
      else box->reject();
      return;
    }
    if (decline) {
      dialog->reject();
      return;
    }
    if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      const bool directory = files->fileMode() == QFileDialog::Directory;
      const QString path = QString::fromStdString(directory ? folder : file);
      files->setDirectory(directory ? path : QFileInfo(path).absolutePath());
      files->selectFile(path);
      if (auto* name = files->findChild<QLineEdit*>("fileNameEdit")) name->setText(path);
      // Past the dialog's own checks, which wait for its directory model.
      static_cast<QDialog*>(files)->done(QDialog::Accepted);
      return;
    }
    if (auto* change = qobject_cast<PinChangeDialog*>(modal)) {
      change->CurrentEdit()->setText("1234");
      change->NewEdit()->setText("5678");
      change->RepeatEdit()->setText("5678");
    } else if (auto* unblock = qobject_cast<PinUnblockDialog*>(modal)) {
      unblock->PukEdit()->setText("87654321");
      unblock->NewEdit()->setText("5678");
      unblock->RepeatEdit()->setText("5678");
    } else if (auto* pin = qobject_cast<PinDialog*>(modal)) {
      pin->Edit()->setText("1234");
    } else if (auto* data = qobject_cast<EncryptedDataDialog*>(modal)) {
      data->TextEdit()->setPlainText("a megváltozott titok");
    }
    dialog->accept();
  }

  MainWindow& window_;
  FakePcsc& pcsc_;
  TvrTest::InstalledShim& shim_;
  QObject context_;  // drops the next tick with the driver
  QPointer<QWidget> current_;
  std::vector<QPointer<QWidget>> seenAfterEnd_;
  int index_ = -1;
  bool reinserted_ = false;
};

// What the card holds, read on a session of its own: the values of its certificates and
// data objects and the labels of its keys.
struct CardContents {
  std::multiset<std::string> certificates, publicKeys, privateKeys, data;
};

struct PullCase {
  const char* name;
  bool login;  // PIN commands want the card logged out
  std::function<void(MainWindow&, struct CardPullTest&)> run;
  int pullAt;
  Pull pull;
  bool expectMessage;
  // The command may have written before the pull (the renewal's task list): the card
  // then holds the old or the new certificate of every key.
  bool writesBefore = false;
  // What the card's module does meanwhile (keys of the test module, set when the command
  // starts and cleared once it has ended, when the card is back).
  std::vector<std::pair<std::string, std::string>> module = {};
  // The task list's rows at its end.
  std::vector<TaskImage> tasks = {};
  // The buttons of the question at the pull point.
  QMessageBox::StandardButtons buttons = {};
  // The command logs in (once); no other row may send a PIN.
  bool logsIn = false;
  // No card read may fail meanwhile (the card reads fine until it is pulled).
  bool quietReads = false;
  // The pull comes while a card task of the command works (after `pullAt` windows).
  bool duringTask = false;
  // In the end the personal store holds exactly the card's certificates (CAs aside).
  bool storeFollowsCard = false;
  // The pull comes after the command's write, which deleted the leaf with its keys.
  bool leafDeleted = false;
};

// A failing row is named, not dumped.
void PrintTo(const PullCase& c, std::ostream* os) { *os << c.name; }

struct CardPullTest : ::testing::TestWithParam<PullCase> {
  void SetUp() override {
    Platform::Profile().WriteDword("", "EventLogLevel", 3);
    Platform::Profile().WriteDword("RenewCertificatesSettings", "Mode", 1);
    std::ofstream(sandbox.Root() + "/system/Tavrenic/smartcards.conf")
        << "[Classic TPC]\nATR = 3B0A54415652454E49433031\n";
    for (const auto& [store, item] : {std::pair<const char*, const TvrTest::PkiItem*>{"ROOT", &TvrTest::TestPki::Get().Root()},
                                      {"CA", &TvrTest::TestPki::Get().Intermediate()}}) {
      const std::vector<unsigned char> der = item->Der();
      auto certificate = Platform::CertContext::Create(der.data(), der.size());
      ASSERT_TRUE(certificate && Platform::CertStore::OpenSystem(store)->Add(
                                     *certificate, Platform::CertAddDisposition::ReplaceExisting));
    }
    leaf_ = UiTest::EncryptionLeaf("Őrző Ágnes");
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic/CN=Őrző Ágnes";
    spec.keyType = "rsa";
    spec.extensions = {{"keyUsage", "critical,keyEncipherment"}};
    renewed_ = TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), leaf_.Key());
    spare_ = UiTest::EncryptionLeaf("Tartalék Tamás");
    TvrTest::TokenSpec token;
    token.label = "Card0";
    token.withKeyAndCertificate = false;
    tokens_.AddToken(token);
    UiTest::WriteCardObject(dir_.Path(), "Card0", leaf_, "01");
    UiTest::WriteCardObject(dir_.Path(), "Card0", TvrTest::TestPki::Get().Intermediate(), "02");
    // A key pair without a certificate, for the assignment.
    const std::string spareKey = dir_.Path() + "/spare.key.pem";
    std::ofstream(spareKey) << spare_.KeyPem();
    std::string output;
    ASSERT_EQ(TvrTest::RunCommand({TVR_SOFTHSM2_UTIL, "--import", spareKey, "--token", "Card0", "--id", "03",
                                   "--label", "spare", "--pin", "1234"},
                                  &output),
              0)
        << output;

    TvrTest::ShimOptions options;
    options.readers = {{"Card0", kReader}};
    shim_.emplace("libgclib.so", options);
    primary_ = PKCS11V220::Create(&VendorModuleTable[1], Platform::LoadLibrary("gclib.dll"));
    ASSERT_TRUE(primary_ && primary_->IsValid());
    AddEncryptedData();

    pcsc_.AddReader(kReader);
    pcsc_.InsertCard(kReader, kAtr);
    MainWindow::Options windowOptions;
    windowOptions.pcsc = &pcsc_;
    window_ = std::make_unique<MainWindow>(TokenRefMap{{"Gemalto", primary_.get()}}, port_, windowOptions);
    window_->SetOnDestroyed([this] { ++destroyed_; });
    window_->show();
    // The window's reads are over, the one after the registration's notice included.
    ASSERT_TRUE(Settled([&] { return window_->Registrar().RegisteredFor(kReader).size() == 1; }));
  }

  bool Settled(const std::function<bool()>& also) { return UiTest::WaitSettled(*window_, also); }

  void TearDown() override {
    window_.reset();
    shim_.reset();
  }

  // The renewal searches a directory that takes the connection and never answers.
  void UseMuteDirectory() {
    directory_.emplace();
    Platform::Profile profile;
    ASSERT_TRUE(profile.WriteDword("RenewCertificatesSettings", "Mode", 2));
    ASSERT_TRUE(profile.WriteString("RenewCertificatesSettings", "LDAPHostname", "127.0.0.1"));
    ASSERT_TRUE(profile.WriteDword("RenewCertificatesSettings", "LDAPPortnumber", directory_->Port()));
  }

  static size_t StoreSize() {
    std::vector<Platform::CertContextPtr> all;
    auto store = Platform::CertStore::OpenSystem("MY");
    if (store) store->Enumerate(all);
    return all.size();
  }

  // An "Encrypted Data" object for the leaf, written before the window connects.
  void AddEncryptedData() {
    std::unique_ptr<PKCS11Base> token = Session();
    std::vector<uint8_t> der;
    const std::string text = "a titok";
    ASSERT_TRUE(CmsEncryptForCertificates(leaf_.Cert(), reinterpret_cast<const uint8_t*>(text.data()),
                                          static_cast<int>(text.size()), der));
    const std::string label = "titok", application = kEncryptedDataApplication;
    ASSERT_TRUE(token->CreateDataObject(false, &label, &application, der.data(), static_cast<uint32_t>(der.size())));
  }

  std::unique_ptr<PKCS11Base> Session() {
    std::unique_ptr<PKCS11Base> token = primary_->Clone();
    const auto slotList = token->GetSlotList(true);
    EXPECT_EQ(slotList.size(), 1u);
    if (slotList.empty()) return token;
    token->SetSlot(slotList[0]);
    EXPECT_TRUE(token->OpenSession(true));
    TvrCommon::SecureString pin("1234");
    token->Login(&pin, CKU_USER);
    return token;
  }

  // The thumbprints of the certificates the card holds now that registration puts in
  // the store (no CA), in order.
  std::vector<std::string> CardThumbprints() {
    std::unique_ptr<PKCS11Base> token = Session();
    std::unique_ptr<TokenObjects> objects = token->ReadObjects();
    token->Logout();
    std::vector<std::string> thumbprints;
    if (objects)
      for (const auto& [h, o] : objects->certificates)
        if (o && o->certificate && X509_check_ca(o->certificate.get()) != 1) thumbprints.push_back(o->GetThumbprint());
    std::sort(thumbprints.begin(), thumbprints.end());
    return thumbprints;
  }
  std::vector<std::string> Registered() {
    std::vector<std::string> thumbprints = window_->Registrar().RegisteredFor(kReader);
    std::sort(thumbprints.begin(), thumbprints.end());
    return thumbprints;
  }

  CardContents Contents() {
    std::unique_ptr<PKCS11Base> token = Session();
    std::unique_ptr<TokenObjects> objects = token->ReadObjects();
    token->Logout();
    CardContents c;
    if (!objects) return c;
    for (const auto& [h, o] : objects->certificates) c.certificates.insert(std::string(o->value.begin(), o->value.end()));
    for (const auto& [h, o] : objects->publicKeys) c.publicKeys.insert(o->label);
    for (const auto& [h, o] : objects->privateKeys) c.privateKeys.insert(o->label);
    for (const auto& [h, o] : objects->dataObjects) c.data.insert(std::string(o->value.begin(), o->value.end()));
    return c;
  }

  void LogIn() {
    TvrCommon::SecureString pin("1234");
    ASSERT_FALSE(window_->Session().Login(&pin).has_value());
    window_->RefreshPropertyPages();
  }

  // The handle of the first cached object of a kind that matches.
  template <typename Map, typename Match>
  static CK_OBJECT_HANDLE HandleOf(const Map& map, Match match) {
    for (const auto& [handle, object] : map)
      if (object && match(*object)) return handle;
    return 0;
  }
  CK_OBJECT_HANDLE LeafCertificate() {
    const std::vector<unsigned char> bytes = leaf_.Der();
    const std::string der(bytes.begin(), bytes.end());
    return HandleOf(window_->GetTokenObjects(false)->certificates,
                    [&](const CertificateObject& o) { return std::string(o.value.begin(), o.value.end()) == der; });
  }
  CK_OBJECT_HANDLE SparePublicKey() {
    return HandleOf(window_->GetTokenObjects(false)->publicKeys, [](const PublicKeyObject& o) { return o.label == "spare"; });
  }
  CK_OBJECT_HANDLE EncryptedData() {
    return HandleOf(window_->GetTokenObjects(false)->dataObjects, [](const DataObject& o) { return o.label == "titok"; });
  }
  void RunCommand(int command, std::optional<CK_OBJECT_HANDLE> caret) { window_->Contents()->Commands().Run(command, caret); }

  std::string WriteFile(const std::string& name, const std::vector<unsigned char>& bytes) {
    const std::string path = dir_.Path() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string Pfx() {
    const std::string base = dir_.Path() + "/import";
    std::ofstream(base + ".key.pem") << spare_.KeyPem();
    std::ofstream(base + ".pem") << spare_.Pem();
    std::string output;
    EXPECT_EQ(TvrTest::RunCommand({"openssl", "pkcs12", "-export", "-inkey", base + ".key.pem", "-in", base + ".pem",
                                   "-out", base + ".pfx", "-passout", "pass:"},
                                  &output),
              0)
        << output;
    return base + ".pfx";
  }
  std::string Zip() {
    const std::string path = dir_.Path() + "/renewal.zip";
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    static std::vector<unsigned char> der;
    der = renewed_.Der();
    zip_file_add(archive, "certs/0.cer", zip_source_buffer(archive, der.data(), der.size(), 0), 0);
    EXPECT_EQ(zip_close(archive), 0);
    return path;
  }

  static bool Wait(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 15000); }

  UiTest::ProfileSandbox sandbox;
  TvrTest::TempDir dir_;
  TvrTest::SoftHsmTokens tokens_;
  std::optional<TvrTest::InstalledShim> shim_;
  std::unique_ptr<PKCS11Base> primary_;
  TvrTest::PkiItem leaf_, renewed_, spare_;
  FakePcsc pcsc_;
  QtUserPort port_;
  std::unique_ptr<MainWindow> window_;
  Driver* driver_ = nullptr;
  int destroyed_ = 0;
  std::optional<TvrTest::MuteTcpListener> directory_;
};

bool Contains(const std::multiset<std::string>& all, const std::multiset<std::string>& part) {
  return std::includes(all.begin(), all.end(), part.begin(), part.end());
}

TEST_P(CardPullTest, TheCommandStopsAndTheCardKeepsWhatItHeld) {
  const PullCase& c = GetParam();
  if (c.login) LogIn();
  const CardContents before = Contents();
  shim_->ClearLog();
  Driver driver(*window_, pcsc_, *shim_);
  driver_ = &driver;
  driver.pullAt = c.pullAt;
  driver.duringTask = c.duringTask;
  driver.pull = c.pull;
  driver.folder = dir_.Path();
  for (const auto& [key, value] : c.module) shim_->SetOption(key, value);
  c.run(*window_, *this);
  // A command may go on after a task of its own (the renewal's search): its end lets the
  // card go.
  EXPECT_TRUE(Wait([&] { return !window_->Session().Keeper().Held(); }));
  QTest::qWait(50);
  for (const auto& [key, value] : c.module) shim_->ClearOption(key);
  // No PIN reached any card: neither a log-in nor a PIN change was sent.
  EXPECT_EQ(shim_->CountCalls("C_Login"), c.logsIn ? 1u : 0u);
  EXPECT_EQ(shim_->CountCalls("C_SetPIN"), 0u);
  EXPECT_TRUE(driver.pulled) << "the command showed only " << driver.windows.size() << " windows";

  const QString changed = QString::fromUtf8("A parancs végrehajtása közben a kártya megváltozott vagy eltávolították.");
  const bool told = std::find(driver.boxes.begin(), driver.boxes.end(), changed) != driver.boxes.end();
  if (c.buttons) {
    EXPECT_EQ(driver.buttonsAtPull, c.buttons);
  }
  if (!c.tasks.empty()) {
    EXPECT_TRUE(driver.workerRanAtPull);
    EXPECT_EQ(driver.taskImages, c.tasks);
  }
  EXPECT_FALSE(driver.letGoWhileHeld) << driver.letGoSeen;
  if (c.quietReads) {
    const QString readError = QString::fromUtf8("Hiba történt a kártya olvasása során!");
    EXPECT_EQ(std::count(driver.boxes.begin(), driver.boxes.end(), readError), 0);
  }
  EXPECT_FALSE(driver.unheard);
  EXPECT_EQ(told, c.expectMessage) << [&] {
    std::string seen;
    for (const QString& w : driver.windows) seen += w.toStdString() + " ";
    for (const QString& b : driver.boxes) seen += "| " + b.toStdString();
    return seen;
  }();

  const CardContents after = Contents();
  std::multiset<std::string> kept = before.certificates;
  CardContents held = before;
  if (c.leafDeleted) {
    const std::vector<unsigned char> leaf = leaf_.Der();
    const std::string leafDer(leaf.begin(), leaf.end());
    EXPECT_EQ(after.certificates.count(leafDer), 0u);
    kept.erase(leafDer);
    held.publicKeys = after.publicKeys;
    held.privateKeys = after.privateKeys;
  }
  if (c.writesBefore) {
    // The leaf keeps a certificate: the old one, the renewed one or both.
    const std::vector<unsigned char> old = leaf_.Der(), renewed = renewed_.Der();
    const std::string oldDer(old.begin(), old.end()), renewedDer(renewed.begin(), renewed.end());
    EXPECT_TRUE(after.certificates.count(oldDer) || after.certificates.count(renewedDer));
    kept.erase(oldDer);
  }
  EXPECT_TRUE(Contains(after.certificates, kept));
  EXPECT_TRUE(Contains(after.publicKeys, held.publicKeys));
  EXPECT_TRUE(Contains(after.privateKeys, held.privateKeys));
  EXPECT_TRUE(Contains(after.data, before.data));

  if (c.pull == Pull::CloseWindow || c.pull == Pull::EndSession) {
    // The end comes at once, whatever the command still does, and nothing of the command
    // reaches the screen after it.
    EXPECT_EQ(destroyed_, 1);
    EXPECT_GE(driver.endMs, 0);
    EXPECT_LT(driver.endMs, 3000);
    EXPECT_TRUE(driver.shownAfterEnd.empty()) << [&] {
      std::string seen;
      for (const QString& w : driver.shownAfterEnd) seen += w.toStdString() + " ";
      return seen;
    }();
    EXPECT_EQ(StoreSize(), 0u);
    return;
  }
  // The window takes the card again once it is back.
  if (c.pull == Pull::Remove) pcsc_.InsertCard(kReader, kAtr);
  if (c.pull == Pull::Unavailable) pcsc_.SetUnavailable(kReader, false);
  ASSERT_TRUE(Wait([&] { return window_->LoginButton()->isEnabled() && !window_->Session().Keeper().CardLeft(); }));
  EXPECT_TRUE(window_->ReaderList()->isEnabled());
  // The card in the reader now is the one registered.
  if (c.pull == Pull::Swap || c.pull == Pull::Unavailable) {
    EXPECT_TRUE(Wait([&] { return window_->Registrar().RegisteredFor(kReader).size() == 1 && StoreSize() == 1; }));
  }
  if (c.storeFollowsCard) {
    const std::vector<std::string> onCard = CardThumbprints();
    EXPECT_TRUE(Settled([&] { return Registered() == onCard; })) << [&] {
      std::string seen = "card:";
      for (const std::string& t : onCard) seen += " " + t;
      seen += " registered:";
      for (const std::string& t : Registered()) seen += " " + t;
      return seen;
    }();
    EXPECT_EQ(StoreSize(), onCard.size());
  }
}

void DeleteLeaf(MainWindow&, CardPullTest& t) { t.RunCommand(kCmdDeleteCertificate, t.LeafCertificate()); }
void RenewLeaf(MainWindow&, CardPullTest& t) {
  t.driver_->file = t.WriteFile("renewed.cer", t.renewed_.Der());
  t.RunCommand(kCmdRenewCertificate, t.LeafCertificate());
}
void AssignSpare(MainWindow&, CardPullTest& t) {
  t.driver_->file = t.WriteFile("spare.cer", t.spare_.Der());
  t.RunCommand(kCmdAssignCertificate, t.SparePublicKey());
}
void CopyToFolder(MainWindow&, CardPullTest& t) { t.RunCommand(kCmdCopyCertificatesToFolder, std::nullopt); }
void ImportPfx(MainWindow&, CardPullTest& t) {
  t.driver_->file = t.Pfx();
  t.RunCommand(kCmdImportKeyAndCertificate, std::nullopt);
}
void EditData(MainWindow&, CardPullTest& t) { t.RunCommand(kCmdViewEditEncryptedData, t.EncryptedData()); }
void DeleteData(MainWindow&, CardPullTest& t) { t.RunCommand(kCmdDeleteEncryptedData, t.EncryptedData()); }
void RenewAll(MainWindow&, CardPullTest& t) {
  t.driver_->file = t.Zip();
  t.RunCommand(kCmdRenewCertificates, std::nullopt);
}
void ChangePin(MainWindow& w, CardPullTest&) {
  w.Sheet()->setCurrentIndex(MainWindow::kPinPage);
  w.Pins()->changeButton->click();
}
void LogInByButton(MainWindow& w, CardPullTest&) { w.LoginButton()->click(); }
// The log-in button (log-in or log-out) with the module slowed: while the window's own
// card work runs, the window is hidden to the tray and shown again and the contents and
// PIN pages are shown in turn, each asking for what the work replaces; then the card
// leaves, the work still running.
void PagesDuringLogInOut(MainWindow& w, CardPullTest& t) {
  w.LoginButton()->click();
  QElapsedTimer clock;
  clock.start();
  for (int round = 0; w.Busy() && !clock.hasExpired(15000); ++round) {
    emit w.Tray().hideRequested();
    emit w.Tray().showRequested(true);
    w.Sheet()->setCurrentIndex(round % 2 ? MainWindow::kPinPage : MainWindow::kContentsPage);
    if (round == 6) t.driver_->PullNow();
    QTest::qWait(40);
  }
}
void PinStatus(MainWindow& w, CardPullTest&) {
  w.Sheet()->setCurrentIndex(MainWindow::kPinPage);
  w.Pins()->statusButton->click();
}
void RenewFromMuteDirectory(MainWindow&, CardPullTest& t) {
  t.UseMuteDirectory();
  t.RunCommand(kCmdRenewCertificates, std::nullopt);
}

// The renewal's task list: the leaf's new certificate installed, then its old one deleted.
// Each step is slowed so that the pull comes while the worker runs.
constexpr int kTaskList = 2;
using Module = std::vector<std::pair<std::string, std::string>>;
const Module kSlowSteps = {{"delay_us.C_CreateObject", "300000"}, {"delay_us.C_DestroyObject", "300000"}};
Module SlowStepsAnd(Module more) {
  more.insert(more.end(), kSlowSteps.begin(), kSlowSteps.end());
  return more;
}
constexpr TaskImage kOk = TaskImage::Succeeded, kFailed = TaskImage::Failed, kPending = TaskImage::Pending;
constexpr auto kYesNo = QMessageBox::Yes | QMessageBox::No;

// Window order per command: delete: confirmation, keys question; renew/assign: file
// dialog; copy: folder dialog; PFX: file dialog, labels, confirmation; encrypted data:
// editor (delete: confirmation); renewal: ZIP dialog, renewal dialog, task list.
const PullCase kCases[] = {
    {"DeleteConfirmation", true, DeleteLeaf, 0, Pull::Remove, true, false, {}, {}, kYesNo},
    {"DeleteKeysQuestion", true, DeleteLeaf, 1, Pull::Remove, true, false, {}, {}, kYesNo | QMessageBox::Cancel},
    // A reader plugged in at the result: the deleted certificate leaves the store.
    {"DeleteResultReaderPlugged", true, DeleteLeaf, 2, Pull::PlugReader, false, false, {}, {}, {}, false, false, false,
     true, true},
    {"RenewFileDialog", true, RenewLeaf, 0, Pull::Remove, true},
    {"AssignFileDialog", true, AssignSpare, 0, Pull::Remove, true},
    {"CopyFolderDialogReaderPlugged", true, CopyToFolder, 0, Pull::PlugReader, true},
    {"CopyFolderDialog", true, CopyToFolder, 0, Pull::Remove, true},
    {"PfxFileDialog", true, ImportPfx, 0, Pull::Remove, true},
    {"PfxLabelsDialog", true, ImportPfx, 1, Pull::Remove, true},
    {"PfxConfirmation", true, ImportPfx, 2, Pull::Replace, true},
    {"EncryptedDataEditor", true, EditData, 0, Pull::Remove, true},
    {"EncryptedDataDeleteConfirmation", true, DeleteData, 0, Pull::Remove, true},
    {"RenewalZipDialog", true, RenewAll, 0, Pull::Remove, true},
    {"RenewalDialog", true, RenewAll, 1, Pull::Remove, true},
    {"PinChangeDialog", false, ChangePin, 0, Pull::Remove, true},
    {"LogInPinDialogCardReplaced", false, LogInByButton, 0, Pull::Replace, true},
    {"LogInPinDialogCardSwapped", false, LogInByButton, 0, Pull::Swap, true},
    {"DeleteConfirmationCardSwapped", true, DeleteLeaf, 0, Pull::Swap, true, false, {}, {}, kYesNo},
    {"PinChangeDialogCardSwapped", false, ChangePin, 0, Pull::Swap, true},
    {"DeleteConfirmationReaderUnavailable", true, DeleteLeaf, 0, Pull::Unavailable, true, false, {}, {}, kYesNo},
    {"TrayCloseDuringDeleteConfirmation", true, DeleteLeaf, 0, Pull::CloseWindow, false},
    {"EndOfSessionDuringEncryptedDataEditor", true, EditData, 0, Pull::EndSession, false},
    // The card leaves while the worker runs: the step that met the removal fails, the
    // worker sends nothing more, and the leaf keeps a certificate.
    {"RenewalTaskListInstall", true, RenewAll, kTaskList, Pull::Remove, true, true,
     SlowStepsAnd({{"removed_at.C_CreateObject", "1"}}), {kFailed, kPending}},
    {"RenewalTaskListInstallAnswerLost", true, RenewAll, kTaskList, Pull::Remove, true, true,
     SlowStepsAnd({{"removed_at.C_CreateObject", "1"}, {"removed_after_call", "1"}}), {kFailed, kPending}},
    {"RenewalTaskListDelete", true, RenewAll, kTaskList, Pull::Remove, true, true,
     SlowStepsAnd({{"removed_at.C_DestroyObject", "1"}}), {kOk, kFailed}},
    {"RenewalTaskListDeleteAnswerLost", true, RenewAll, kTaskList, Pull::Remove, true, true,
     SlowStepsAnd({{"removed_at.C_DestroyObject", "1"}, {"removed_after_call", "1"}}), {kOk, kFailed}},
    // The reader alone says so; the module still answers: the worker ends its list.
    {"RenewalTaskListReaderOnly", true, RenewAll, kTaskList, Pull::Remove, true, true, kSlowSteps, {kOk, kOk}},
    // A reader plugged in initialises the modules afresh under the worker: its later steps
    // fail, and the store follows what the card holds in the end.
    {"RenewalTaskListReaderPlugged", true, RenewAll, kTaskList, Pull::PlugReader, true, true, kSlowSteps, {}, {},
     false, false, false, true},
    // The end comes at once; the worker, unseen, ends its list.
    {"TrayCloseDuringRenewalTaskList", true, RenewAll, kTaskList, Pull::CloseWindow, false, true, kSlowSteps},
    {"EndOfSessionDuringRenewalTaskList", true, RenewAll, kTaskList, Pull::EndSession, false, true, kSlowSteps},
    // The end while a command's card task works (slowed, or waiting for a directory that
    // never answers): the follow-up (the PIN dialog, the status, a failure, the renewal
    // dialog or its time-out) never shows.
    {"TrayCloseDuringPinChangeFirstTask", false, ChangePin, 0, Pull::CloseWindow, false, false,
     {{"delay_us.C_GetTokenInfo", "8000000"}}, {}, {}, false, false, true},
    {"TrayCloseDuringPinChangeTask", false, ChangePin, 1, Pull::CloseWindow, false, false,
     {{"delay_us.C_GetSlotInfo", "8000000"}}, {}, {}, false, false, true},
    {"EndOfSessionDuringPinStatusTask", false, PinStatus, 0, Pull::EndSession, false, false,
     {{"delay_us.C_GetTokenInfo", "8000000"}}, {}, {}, false, false, true},
    {"TrayCloseDuringRenewalSearch", true, RenewFromMuteDirectory, 0, Pull::CloseWindow, false, false, {}, {}, {}, false, false,
     true},
    // Pages shown while the window's own card work has the card: they keep what they
    // show, never read what the work replaces, and raise no false read errors.
    {"PagesShownDuringLogOut", true, PagesDuringLogInOut, -1, Pull::Remove, false, false,
     {{"delay_us.C_Logout", "1500000"}, {"delay_us.C_GetTokenInfo", "200000"}, {"delay_us.C_FindObjectsInit", "100000"}},
     {}, {}, false, true, false},
    {"PagesShownDuringLogIn", false, PagesDuringLogInOut, -1, Pull::Remove, false, false,
     {{"delay_us.C_Login", "1500000"}, {"delay_us.C_GetTokenInfo", "200000"}, {"delay_us.C_FindObjectsInit", "100000"}},
     {}, {}, true, true, false},
};

INSTANTIATE_TEST_SUITE_P(PullPoints, CardPullTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PullCase>& info) { return std::string(info.param.name); });

}  // namespace
