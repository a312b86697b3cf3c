#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <set>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "CardPull.h"
#include "CertificateCommands.h"
#include "ContentsFixture.h"
#include "ContentsTree.h"
#include "platform/Profile.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;
using Platform::kIdCancel;
using Platform::kIdNo;
using Platform::kIdYes;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kError = Platform::kMbIconError;
constexpr unsigned kInformation = Platform::kMbIconInformation;

// A leaf of the intermediate; with `key` a certificate for that key pair.
PkiItem Leaf(const std::string& cn, EVP_PKEY* key = nullptr) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class CertificateCommandsTest : public UiTest::ContentsFixture {
 protected:
  void SetUp() override {
    AddCertificate(owner_.Der(), "a1", "Aláíró kulcs", &owner_, "kulcs");
    Open();
    handle_ = GetTokenObjects(false)->certificates.begin()->first;
  }
  // The one certificate on the card now.
  const CertificateObject& OnlyCertificate() {
    card_ = ReadCard();
    EXPECT_EQ(card_->certificates.size(), 1u);
    return *card_->certificates.begin()->second;
  }

  ContentsCommands commands_{*this, *this, port_};
  PkiItem owner_ = Leaf("Kovács Éva");
  CK_OBJECT_HANDLE handle_ = 0;
  std::unique_ptr<TokenObjects> card_;
};

TEST_F(CertificateCommandsTest, RenewalFromDerAndFromPemWithTextInFront) {
  PkiItem renewed = Leaf("Kovács Éva", owner_.Key());
  file_ = WriteFile(dir_.Path() + "/renewed.cer", renewed.Der());
  commands_.Run(kCmdRenewCertificate, handle_);
  ASSERT_EQ(port_.boxes.size(), 1u);
  EXPECT_EQ(port_.boxes[0].text, "Sikeres tanúsítvány megújítás!");
  EXPECT_EQ(port_.boxes[0].flags, kInformation);
  const CertificateObject& first = OnlyCertificate();
  EXPECT_EQ(first.value, renewed.Der());
  EXPECT_EQ(first.label, "Aláíró kulcs");
  EXPECT_EQ(first.GetId(), "a1");
  EXPECT_EQ(refreshes_, 1);
  EXPECT_EQ(busy_, 0);
  EXPECT_EQ(registrations_, (std::vector<std::string>{"unregister Virtual PCD 00 00",
                                                      "register Virtual PCD 00 00|Gemalto Classic Card CSP||token"}));

  // The cache was refreshed by the command: renew the new object again, from PEM text
  // with a description in front and Windows line ends.
  PkiItem again = Leaf("Kovács Éva", owner_.Key());
  std::string pem = again.Pem();
  std::string crlf;
  for (char c : pem) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  file_ = TempFile("again.pem", "Subject: Kovács Éva\r\nIssuer: Tavrenic Test Intermediate\r\n" + crlf);
  port_.boxes.clear();
  commands_.Run(kCmdRenewCertificate, GetTokenObjects(false)->certificates.begin()->first);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Sikeres tanúsítvány megújítás!"});
  const CertificateObject& second = OnlyCertificate();
  EXPECT_EQ(second.value, again.Der());
  EXPECT_EQ(second.label, "Aláíró kulcs");
  EXPECT_EQ(second.GetId(), "a1");
}

TEST_F(CertificateCommandsTest, RenewalRefusals) {
  const std::vector<uint8_t> before = GetTokenObjects(false)->certificates.begin()->second->value;
  struct Case {
    const char* what;
    std::string content;
    const char* text;
  };
  const std::vector<unsigned char> otherDer = Leaf("Kovács Éva").Der();  // another key pair
  const std::vector<Case> cases = {
      {"another key", std::string(otherDer.begin(), otherDer.end()),
       "A régi és az új tanúsítvány nyilvános kulcsa nem egyezik meg! A tanúsítvány megújítása nem sikerült."},
      {"empty file", "", "Sikertelen tanúsítvány megújítás!"},
      {"0x30 but no certificate", std::string("\x30\x03\x02\x01\x05", 5), "Sikertelen tanúsítvány megújítás!"},
      {"broken Base64", "-----BEGIN CERTIFICATE-----\nMIIB!!\n-----END CERTIFICATE-----\n",
       "Sikertelen tanúsítvány megújítás!"},
      // A certificate file is a few kilobytes: one over 1 MiB is not read, whatever it holds.
      {"over 1 MiB", std::string(otherDer.begin(), otherDer.end()) + std::string(1 << 20, '\0'),
       "Sikertelen tanúsítvány megújítás!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    port_.boxes.clear();
    file_ = TempFile("refused", c.content);
    commands_.Run(kCmdRenewCertificate, handle_);
    ASSERT_EQ(port_.boxes.size(), 1u);
    EXPECT_EQ(port_.boxes[0].text, c.text);
    EXPECT_EQ(port_.boxes[0].flags, kError);
  }
  port_.boxes.clear();
  file_ = dir_.Path() + "/missing.cer";
  commands_.Run(kCmdRenewCertificate, handle_);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A tanúsítvány fájl megnyitása sikertelen!"});
  {
    // A FIFO is no file: refused at once, not waited on for a writer that never comes (if
    // the command did wait, a late writer lets it go on, so that the test ends).
    port_.boxes.clear();
    file_ = dir_.Path() + "/pipe.cer";
    ASSERT_EQ(::mkfifo(file_->c_str(), 0600), 0);
    std::promise<void> done;
    std::thread writer([&, finished = done.get_future()] {
      if (finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return;
      const int fd = ::open(file_->c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    });
    commands_.Run(kCmdRenewCertificate, handle_);
    done.set_value();
    writer.join();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A tanúsítvány fájl megnyitása sikertelen!"});
  }
  port_.boxes.clear();
  file_.reset();  // cancelled
  commands_.Run(kCmdRenewCertificate, handle_);
  commands_.Run(kCmdRenewCertificate, std::nullopt);
  EXPECT_TRUE(port_.boxes.empty());

  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_CreateObject"), 0u);
  EXPECT_EQ(OnlyCertificate().value, before);
  EXPECT_EQ(refreshes_, 0);
}

// The new certificate is written before the old one goes: whatever fails, and wherever
// the card is pulled, the key keeps its old or its new certificate, and the text says
// which; only a card that lost the old certificate by other means hears that it is gone.
// A module that refuses a second certificate with the CKA_ID gets the old one deleted
// first and written back when the new one fails.
TEST_F(CertificateCommandsTest, RenewalNeverLeavesTheKeyWithoutACertificate) {
  const PkiItem renewed = Leaf("Kovács Éva", owner_.Key());
  const std::multiset<std::vector<uint8_t>> onlyOld = {owner_.Der()}, onlyNew = {renewed.Der()},
                                             both = {owner_.Der(), renewed.Der()};
  const std::string notCreated = "Az új tanúsítvány létrehozása sikertelen!";
  const std::string bothKept =
      "Az új tanúsítvány létrejött, de a régi tanúsítvány törlése sikertelen! A régi tanúsítvány is a kártyán "
      "maradhatott.";
  const std::string restored = "Az új tanúsítvány létrehozása sikertelen! A kártyán a régi tanúsítvány maradt.";
  const std::string oldLost = "Az új tanúsítvány létrehozása sikertelen, és a régi tanúsítvány sincs már a kártyán!";
  struct Case {
    const char* what;
    std::function<void()> fault;
    std::string pulledAt;  // the function whose call pulls the card, if any
    std::string text;
    std::multiset<std::vector<uint8_t>> card;
  } cases[] = {
      // A refused creation while the old certificate is there (as a module that keeps one
      // object per CKA_ID does) is tried again after the deletion, and the old one is
      // written back when that fails too.
      {"module refuses a second CKA_ID", [&] { shim_->SetOption("refuse_duplicate_id", "1"); }, "",
       "Sikeres tanúsítvány megújítás!", onlyNew},
      {"second CKA_ID refused, then the creation refused",
       [&] {
         shim_->SetOption("refuse_duplicate_id", "1");
         shim_->SetOption("rv_at.C_CreateObject", "2");
         shim_->InjectRv("C_CreateObject", 0x6);
       },
       "", restored, onlyOld},
      {"creation refused twice",
       [&] {
         shim_->SetOption("rv_times.C_CreateObject", "2");
         shim_->InjectRv("C_CreateObject", 0x6);
       },
       "", restored, onlyOld},
      {"every creation refused, the old one written back in vain",
       [&] { shim_->InjectRv("C_CreateObject", 0x6); }, "", oldLost, {}},
      {"deletion refused", [&] { shim_->InjectRv("C_DestroyObject", 0x6); }, "", bothKept, both},
      {"pulled before the creation", [&] { UiTest::PullCardAt(*shim_, "C_CreateObject", 1); }, "C_CreateObject",
       notCreated, onlyOld},
      {"pulled as the creation landed", [&] { UiTest::PullCardAt(*shim_, "C_CreateObject", 1, true); },
       "C_CreateObject", notCreated, both},
      {"pulled before the deletion", [&] { UiTest::PullCardAt(*shim_, "C_DestroyObject", 1); }, "C_DestroyObject",
       bothKept, both},
      {"pulled as the deletion landed", [&] { UiTest::PullCardAt(*shim_, "C_DestroyObject", 1, true); },
       "C_DestroyObject", bothKept, onlyNew},
      {"old one gone meanwhile, creation refused",
       [&] {
         ASSERT_TRUE(token_->DestroyObject(handle_));
         shim_->InjectRv("C_CreateObject", 0x6);
       },
       "", oldLost, {}},
  };
  file_ = WriteFile(dir_.Path() + "/renewed.cer", renewed.Der());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The old certificate alone on the card again.
    {
      const std::unique_ptr<TokenObjects> now = ReadCard();
      for (const auto& [handle, record] : now->certificates) ASSERT_TRUE(token_->DestroyObject(handle));
      const std::string id = "a1", label = "Aláíró kulcs";
      ASSERT_TRUE(token_->CreateCertificate(&id, &label, 0, owner_.Cert()));
      handle_ = GetTokenObjects(true)->certificates.begin()->first;
    }
    port_.boxes.clear();
    c.fault();
    commands_.Run(kCmdRenewCertificate, handle_);
    ASSERT_EQ(port_.boxes.size(), 1u);
    EXPECT_EQ(port_.boxes[0].text, c.text);
    EXPECT_EQ(port_.boxes[0].flags, c.card == onlyNew && c.pulledAt.empty() ? kInformation : kError);
    shim_->ClearRv("C_CreateObject");
    shim_->ClearRv("C_DestroyObject");
    for (const char* option : {"refuse_duplicate_id", "rv_at.C_CreateObject", "rv_times.C_CreateObject"})
      shim_->ClearOption(option);
    if (!c.pulledAt.empty()) UiTest::PutCardBack(*shim_, *token_, c.pulledAt);
    std::multiset<std::vector<uint8_t>> held;
    const std::unique_ptr<TokenObjects> now = ReadCard();
    for (const auto& [handle, record] : now->certificates) {
      EXPECT_EQ(record->GetId(), "a1");
      EXPECT_EQ(record->label, "Aláíró kulcs");
      held.insert(record->value);
    }
    EXPECT_EQ(held, c.card);
  }
}

TEST_F(CertificateCommandsTest, NotLoggedIn) {
  ASSERT_TRUE(token_->Logout());
  for (int command : {kCmdRenewCertificate, kCmdDeleteCertificate, kCmdAssignCertificate}) {
    port_.boxes.clear();
    commands_.Run(command, handle_);
    ASSERT_EQ(port_.boxes.size(), 1u);
    EXPECT_EQ(port_.boxes[0].text, "Kérem, jelentkezzen be!");
    EXPECT_EQ(port_.boxes[0].flags, 0u);
  }
}

TEST_F(CertificateCommandsTest, DeletionWithKeysListsTheAnswersInOrder) {
  port_.answers = {kIdYes, kIdYes};
  commands_.Run(kCmdDeleteCertificate, handle_);
  ASSERT_EQ(port_.boxes.size(), 3u);
  EXPECT_EQ(port_.boxes[0].text,
            "A törlés hatására az adatok végérvényesen elvesznek! Biztosan folytatni akarja a törlést?");
  EXPECT_EQ(port_.boxes[0].flags, Platform::kMbYesNo | Platform::kMbIconWarning);
  EXPECT_EQ(port_.boxes[1].text, "Szeretné törölni a tanúsítványhoz tartozó privát és publikus kulcsot is?");
  EXPECT_EQ(port_.boxes[1].flags, 0x3u | Platform::kMbIconQuestion);
  EXPECT_EQ(port_.boxes[2].text, "Privát kulcs törölve: igen\nPublikus kulcs törölve: igen\nTanúsítvány törölve: igen");
  EXPECT_EQ(port_.boxes[2].flags, kInformation);
  card_ = ReadCard();
  EXPECT_TRUE(card_->certificates.empty());
  EXPECT_TRUE(card_->publicKeys.empty());
  EXPECT_TRUE(card_->privateKeys.empty());
  EXPECT_EQ(refreshes_, 1);
  EXPECT_EQ(busy_, 0);
}

TEST_F(CertificateCommandsTest, DeletionAnswers) {
  port_.answers = {kIdYes, kIdCancel};
  commands_.Run(kCmdDeleteCertificate, handle_);
  port_.answers = {kIdNo};
  commands_.Run(kCmdDeleteCertificate, handle_);
  EXPECT_EQ(port_.boxes.size(), 3u);
  EXPECT_EQ(ReadCard()->certificates.size(), 1u);
  EXPECT_EQ(refreshes_, 0);

  port_.boxes.clear();
  port_.answers = {kIdYes, kIdNo};
  commands_.Run(kCmdDeleteCertificate, handle_);
  EXPECT_EQ(port_.boxes.back().text, "Tanúsítvány törölve: igen");
  card_ = ReadCard();
  EXPECT_TRUE(card_->certificates.empty());
  EXPECT_EQ(card_->publicKeys.size(), 1u);
  EXPECT_EQ(card_->privateKeys.size(), 1u);
}

TEST_F(CertificateCommandsTest, DeletionFailureShowsTheErrorIcon) {
  // Keys with another id: no second question, one line.
  PkiItem other = Leaf("Other");
  AddCertificate(other.Der(), "b2", "other");
  AddKeyPair(other, "b3", "other key");
  GetTokenObjects(true);
  CK_OBJECT_HANDLE otherHandle = 0;
  for (const auto& [handle, record] : GetTokenObjects(false)->certificates)
    if (record->GetId() == "b2") otherHandle = handle;
  shim_->InjectRv("C_DestroyObject", 0x6);
  port_.answers = {kIdYes};
  commands_.Run(kCmdDeleteCertificate, otherHandle);
  ASSERT_EQ(port_.boxes.size(), 2u);
  EXPECT_EQ(port_.boxes[1].text, "Tanúsítvány törölve: nem");
  EXPECT_EQ(port_.boxes[1].flags, kError);
}

TEST_F(CertificateCommandsTest, AssignToAKeyWithoutCertificate) {
  PkiItem lone = Leaf("Lone");
  AddKeyPair(lone, "c1", "magányos");
  GetTokenObjects(true);
  CK_OBJECT_HANDLE key = 0;
  for (const auto& [handle, record] : GetTokenObjects(false)->publicKeys)
    if (record->GetId() == "c1") key = handle;
  file_ = WriteFile(dir_.Path() + "/other.cer", owner_.Der());
  commands_.Run(kCmdAssignCertificate, key);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A régi nyilvános kulcs és az új tanúsítvány nyilvános kulcsa nem "
                                                 "egyezik meg! A tanúsítvány hozzárendelése nem sikerült."});
  port_.boxes.clear();
  file_ = WriteFile(dir_.Path() + "/lone.cer", lone.Der());
  commands_.Run(kCmdAssignCertificate, key);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Sikeres tanúsítvány hozzárendelés!"});
  card_ = ReadCard();
  ASSERT_EQ(card_->certificates.size(), 2u);
  bool found = false;
  for (const auto& [handle, record] : card_->certificates)
    if (record->value == lone.Der()) found = record->GetId() == "c1" && record->label == "magányos";
  EXPECT_TRUE(found);
}

TEST_F(CertificateCommandsTest, RegisterOneCertificateByCardType) {
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf")
      << "[IDPrime MD T=0]\nKeyStorageProvider = SafeNet Smart Card Key Storage Provider\n";
  // The EC key goes through the key storage provider, found by the eToken key name.
  shim_->SetOption("key_name.a1", "6b65792d6131");
  struct Case {
    std::string card;
    const char* text;
    unsigned flags;
  };
  const std::vector<Case> cases = {
      {"Unknown Card", "A tanúsítvány nem regisztrálható!", kError},
      {"Oberthur Technologies IAS-ECC Device", "Nincs implementálva!", kError},
      {"IDPrime MD T=0", "A tanúsítvány regisztrálva!", kInformation},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.card);
    cardName_ = c.card;
    port_.boxes.clear();
    commands_.Run(kCmdRegisterCertificate, handle_);
    ASSERT_EQ(port_.boxes.size(), 1u);
    EXPECT_EQ(port_.boxes[0].text, c.text);
    EXPECT_EQ(port_.boxes[0].flags, c.flags);
  }
  std::vector<Platform::CertContextPtr> all;
  store_->Enumerate(all);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0]->Encoded(), owner_.Der());
  // The one certificate is not in the per-reader list: nothing goes through the host.
  EXPECT_TRUE(registrations_.empty());
  EXPECT_EQ(refreshes_, 0);
}

// The command keeps its registration out of the per-reader list, so a revoked certificate
// it let in would stay in the store for good: what "RevokedKeys" lists, in either letter
// case, is refused.
TEST_F(CertificateCommandsTest, RegisterRefusesACertificateListedInRevokedKeys) {
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf")
      << "[IDPrime MD T=0]\nKeyStorageProvider = SafeNet Smart Card Key Storage Provider\n";
  shim_->SetOption("key_name.a1", "6b65792d6131");
  cardName_ = "IDPrime MD T=0";
  std::vector<unsigned char> der = owner_.Der();
  std::string thumbprint = Platform::CertContext::Create(der.data(), der.size())->Thumbprint();
  ASSERT_EQ(thumbprint.size(), 40u);
  std::string upper = thumbprint;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::vector<std::string> revokedKeys;
    const char* text;
  };
  const Case cases[] = {
      {"lower case", {std::string(40, '0'), thumbprint}, "A tanúsítvány nem regisztrálható!"},
      {"upper case", {upper}, "A tanúsítvány nem regisztrálható!"},
      {"another certificate's", {std::string(40, 'a')}, "A tanúsítvány regisztrálva!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Platform::Profile().WriteMultiString("", "RevokedKeys", c.revokedKeys));
    port_.boxes.clear();
    commands_.Run(kCmdRegisterCertificate, handle_);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.text});
    std::vector<Platform::CertContextPtr> all;
    store_->Enumerate(all);
    EXPECT_EQ(all.size(), std::string(c.text) == "A tanúsítvány regisztrálva!" ? 1u : 0u);
  }
}

TEST_F(CertificateCommandsTest, RegisterRsaCertificateWithoutAProviderOfThatName) {
  // No CryptoAPI provider is installed by name here: the RSA certificate is registered
  // with provider type 0, as on insertion.
  std::ofstream(sandbox_.Root() + "/system/Tavrenic/smartcards.conf")
      << "[Incard  TS2048]\nCryptoProvider = Bit4id Universal Middleware Provider\n";
  cardName_ = "Incard  TS2048";
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Kovács RSA";
  spec.keyType = "rsa";
  spec.extensions = {{"keyUsage", "critical,nonRepudiation"}};
  const PkiItem rsa = CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
  AddCertificate(rsa.Der(), "445333", "DS3");
  CK_OBJECT_HANDLE handle = 0;
  for (const auto& [h, record] : GetTokenObjects(true)->certificates)
    if (record->value == rsa.Der()) handle = h;
  ASSERT_NE(handle, 0u);
  commands_.Run(kCmdRegisterCertificate, handle);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"A tanúsítvány regisztrálva!"});
  std::vector<Platform::CertContextPtr> all;
  store_->Enumerate(all);
  ASSERT_EQ(all.size(), 1u);
  ASSERT_TRUE(all[0]->Properties().keyProvInfo);
  EXPECT_EQ(*all[0]->Properties().keyProvInfo,
            (Platform::CertKeyProvInfo{"\\\\.\\Virtual PCD 00 00\\DS3", "Bit4id Universal Middleware Provider DS", 0,
                                       0, 2}));
}

TEST_F(CertificateCommandsTest, ViewShowsTheCardsDer) {
  commands_.Run(kCmdViewCertificate, handle_);
  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0], owner_.Der());
  commands_.Run(kCmdViewCertificate, 12345);
  EXPECT_EQ(shown_.size(), 1u);
  EXPECT_TRUE(port_.boxes.empty());
}

TEST_F(CertificateCommandsTest, CopyToFolderWritesTheCardsBytesUnderSafeNames) {
  // A certificate whose common name would climb out of the folder.
  PkiItem sneaky = Leaf("placeholder");
  X509* x = X509_dup(sneaky.Cert());
  X509_NAME* name = X509_NAME_new();
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("../x/y"), -1, -1, 0);
  X509_set_subject_name(x, name);
  X509_NAME_free(name);
  ASSERT_GT(X509_sign(x, TestPki::Get().Intermediate().Key(), EVP_sha256()), 0);
  unsigned char* der = nullptr;
  const int length = i2d_X509(x, &der);
  const std::vector<unsigned char> sneakyDer(der, der + length);
  OPENSSL_free(der);
  X509_free(x);
  AddCertificate(sneakyDer, "d1", "sneaky");
  GetTokenObjects(true);

  ASSERT_TRUE(Platform::Profile().WriteDword("", "EventLogLevel", 2));
  const std::string folder = dir_.Path() + "/out/inner";
  fs::create_directories(folder);
  folder_ = folder;
  commands_.Run(kCmdCopyCertificatesToFolder, std::nullopt);
  commands_.Run(kCmdCopyCertificatesToFolder, std::nullopt);  // overwrites
  EXPECT_TRUE(port_.boxes.empty());
  EXPECT_EQ(opened_, (std::vector<std::string>{folder, folder}));

  // Numbered in handle order.
  const bool ownerFirst = GetTokenObjects(false)->certificates.begin()->first == handle_;
  const std::string first = folder + (ownerFirst ? "/1" : "/2") + " - Kovács Éva (tanúsítvány).cer";
  const std::string second = folder + (ownerFirst ? "/2" : "/1") + " - .._x_y (tanúsítvány).cer";
  EXPECT_EQ(ReadBytes(first), owner_.Der());
  EXPECT_EQ(ReadBytes(second), sneakyDer);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir_.Path() + "/out")) files += entry.is_regular_file();
  EXPECT_EQ(files, 2u);
  EXPECT_FALSE(fs::exists(dir_.Path() + "/out/x"));

  // A file that cannot be created costs its number; the others are written.
  fs::remove(first);
  fs::create_directory(first);
  fs::remove(second);
  commands_.Run(kCmdCopyCertificatesToFolder, std::nullopt);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Nem sikerült a tanúsítvány fájlba másolása: Aláíró kulcs"});
  EXPECT_EQ(port_.boxes[0].flags, 0u);
  EXPECT_EQ(ReadBytes(second), sneakyDer);
  bool logged = false;
  for (const std::string& text : sandbox_.events->Texts()) logged |= text.rfind("failed to open file: " + first, 0) == 0;
  EXPECT_TRUE(logged);

  port_.boxes.clear();
  folder_.reset();
  commands_.Run(kCmdCopyCertificatesToFolder, std::nullopt);
  EXPECT_EQ(opened_.size(), 3u);
}

TEST_F(CertificateCommandsTest, CopyToFolderReplacesWhatStandsUnderTheNameNeverWritingThroughIt) {
  const std::string folder = dir_.Path() + "/copies";
  const std::string output = folder + "/1 - Kovács Éva (tanúsítvány).cer";
  const std::string victim = dir_.Path() + "/victim.txt";
  folder_ = folder;
  struct Case {
    const char* what;
    void (*plant)(const std::string& victim, const std::string& output);
  };
  const Case cases[] = {
      {"symbolic link", [](const std::string& v, const std::string& o) { fs::create_symlink(v, o); }},
      {"hard link", [](const std::string& v, const std::string& o) { fs::create_hard_link(v, o); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(victim, std::ios::trunc) << "victim";
    c.plant(victim, output);
    commands_.Run(kCmdCopyCertificatesToFolder, std::nullopt);
    EXPECT_TRUE(port_.boxes.empty());
    EXPECT_EQ(ReadBytes(victim), (std::vector<uint8_t>{'v', 'i', 'c', 't', 'i', 'm'}));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(output)));
    EXPECT_EQ(ReadBytes(output), owner_.Der());
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(folder)) entries += entry.exists() ? 1 : 0;
    EXPECT_EQ(entries, 1u);  // no temp file left behind
  }
}

TEST(SafeFileNameTest, StaysInsideTheFolder) {
  EXPECT_EQ(SafeFileName("../x/y", ".cer"), "___x_y.cer");
  EXPECT_EQ(SafeFileName("a\\b", ".cer"), "a_b.cer");
  const std::string longName = SafeFileName(std::string(300, 'x') + "é", ".cer");
  EXPECT_LE(longName.size(), 255u);
  EXPECT_EQ(longName.substr(longName.size() - 4), ".cer");
  const std::string accents = SafeFileName(std::string(250, 'x') + "éééé", ".cer");
  EXPECT_LE(accents.size(), 255u);
  EXPECT_EQ(accents, std::string(250, 'x') + ".cer");  // no half character
}

}  // namespace
