// The encrypted data objects over a SoftHSM2 token: what lands on the card, what is read
// back through the card's key, and what is (not) written when the user edits.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <set>

#include <openssl/cms.h>
#include <openssl/err.h>

#include "CardKeys.h"
#include "CardPull.h"
#include "CardTokenWriter.h"
#include "ContentsFixture.h"
#include "ContentsTree.h"
#include "CryptoAlgJanitor.h"
#include "EncryptedData.h"

namespace {

using Platform::kIdNo;
using Platform::kIdYes;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

constexpr unsigned kError = Platform::kMbIconError;

PkiItem Leaf(const std::string& cn, const std::string& usage, EVP_PKEY* key = nullptr,
             const std::string& keyType = "rsa") {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.keyType = keyType;
  if (!usage.empty()) spec.extensions = {{"keyUsage", usage}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

CmsPtr DecodeCms(const std::vector<uint8_t>& der) {
  const unsigned char* p = der.data();
  return CmsPtr(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
}

// The content of the object, opened with the software key (not through the card).
std::string OpenWith(const std::vector<uint8_t>& der, const PkiItem& item) {
  CmsPtr cms = DecodeCms(der);
  BIO* sink = BIO_new(BIO_s_mem());
  std::string out;
  if (cms && CMS_decrypt(cms.get(), item.Key(), item.Cert(), nullptr, sink, CMS_DEBUG_DECRYPT) == 1) {
    char* bytes = nullptr;
    const long length = BIO_get_mem_data(sink, &bytes);
    out.assign(bytes, static_cast<size_t>(length));
  }
  BIO_free(sink);
  ERR_clear_error();
  return out;
}

// True when the only recipient is named by subject key identifier.
bool NamedByKeyId(const std::vector<uint8_t>& der) {
  CmsPtr cms = DecodeCms(der);
  STACK_OF(CMS_RecipientInfo)* infos = cms ? CMS_get0_RecipientInfos(cms.get()) : nullptr;
  if (!infos || sk_CMS_RecipientInfo_num(infos) != 1) return false;
  ASN1_OCTET_STRING* keyId = nullptr;
  X509_NAME* issuer = nullptr;
  ASN1_INTEGER* serial = nullptr;
  return CMS_RecipientInfo_ktri_get0_signer_id(sk_CMS_RecipientInfo_value(infos, 0), &keyId, &issuer, &serial) ==
             1 &&
         keyId && !issuer;
}

bool UsesTripleDes(const std::vector<uint8_t>& der) {
  const std::vector<uint8_t> oid = {0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x03, 0x07};
  return std::search(der.begin(), der.end(), oid.begin(), oid.end()) != der.end();
}

class EncryptedDataTest : public UiTest::ContentsFixture, public IEncryptedDataPort {
 protected:
  void SetUp() override {
    RegisterCardKeyExIndex();
    AddCertificate(encryption_.Der(), "e1", "Titkosító", &encryption_);
    AddCertificate(signing_.Der(), "51", "Aláíró", &signing_);
    Open();
    commands_.Install(contents_);
  }

  // IEncryptedDataPort: answers from the scripts, recording what was asked.
  std::optional<std::string> ChooseEncryptionCertificate(
      const std::vector<const CertificateObject*>& offered) override {
    std::vector<std::string> labels;
    for (const CertificateObject* record : offered) labels.push_back(record->label);
    offers_.push_back(labels);
    return choice_;
  }
  std::optional<EncryptedDataText> EditEncryptedData(bool labelReadOnly, const std::string& label,
                                                     const std::string& text) override {
    edits_.push_back({labelReadOnly, label, text});
    if (editAnswers_.empty()) return std::nullopt;
    std::optional<EncryptedDataText> answer = editAnswers_.front();
    editAnswers_.pop_front();
    return answer;
  }

  std::string EncryptionThumbprint() {
    for (const auto& [handle, record] : GetTokenObjects(false)->certificates)
      if (record->label == "Titkosító") return record->GetThumbprint();
    ADD_FAILURE() << "no encryption certificate";
    return {};
  }
  // The one "Encrypted Data" object on the card now.
  std::pair<CK_OBJECT_HANDLE, const DataObject*> OnlyObject() {
    card_ = ReadCard();
    std::vector<std::pair<CK_OBJECT_HANDLE, const DataObject*>> found;
    for (const auto& [handle, record] : card_->dataObjects)
      if (record->application == kEncryptedDataApplication) found.emplace_back(handle, record.get());
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? std::make_pair(CK_OBJECT_HANDLE(0), nullptr) : found[0];
  }
  void WriteObject(const std::string& label, const std::vector<uint8_t>& der) {
    const std::string path = WriteFile(dir_.Path() + "/object" + std::to_string(++files_), der);
    Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", kLabel, "--login", "--pin", "1234",
          "--write-object", path, "--type", "data", "--application-label", kEncryptedDataApplication, "--label",
          label});
    GetTokenObjects(true);
  }
  std::vector<uint8_t> Encrypt(X509* recipient, const std::string& text) {
    std::vector<uint8_t> der;
    EXPECT_TRUE(CmsEncryptForCertificates(recipient, reinterpret_cast<const uint8_t*>(text.data()),
                                          static_cast<int>(text.size()), der));
    return der;
  }
  // One object for the encryption certificate, through the create command.
  void CreateObject(const std::string& label, const std::string& text) {
    editAnswers_.push_back(EncryptedDataText{label, text});
    contents_.Run(kCmdCreateEncryptedData, std::nullopt);
  }

  struct Edit {
    bool labelReadOnly;
    std::string label, text;
  };

  TvrCrypto::CryptoAlgJanitor openssl_;
  PkiItem encryption_ = Leaf("Titkos Tímea", "critical,keyEncipherment,dataEncipherment");
  PkiItem signing_ = Leaf("Aláíró Aladár", "critical,digitalSignature,keyEncipherment");
  ContentsCommands contents_{*this, *this, port_};
  EncryptedDataCommands commands_{*this, *this, port_, *this};
  std::optional<std::string> choice_;
  std::vector<std::vector<std::string>> offers_;
  std::deque<std::optional<EncryptedDataText>> editAnswers_;
  std::vector<Edit> edits_;
  std::unique_ptr<TokenObjects> card_;
};

TEST_F(EncryptedDataTest, CreateOpenAndEditOnTheCard) {
  choice_ = EncryptionThumbprint();
  CreateObject("Jegyzet – őszi", "első sor\nmásodik sor\n");
  EXPECT_TRUE(port_.boxes.empty()) << port_.boxes[0].text;
  ASSERT_EQ(offers_.size(), 1u);
  EXPECT_EQ(offers_[0], std::vector<std::string>{"Titkosító"});  // signing usage is not offered
  ASSERT_EQ(edits_.size(), 1u);
  EXPECT_FALSE(edits_[0].labelReadOnly);

  auto [handle, object] = OnlyObject();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->label, "Jegyzet – őszi");
  const std::vector<uint8_t> stored = object->value;
  EXPECT_EQ(OpenWith(stored, encryption_), "első sor\r\nmásodik sor\r\n");
  EXPECT_TRUE(NamedByKeyId(stored));
  EXPECT_TRUE(UsesTripleDes(stored));
  EXPECT_EQ(busy_, 0);
  const std::unique_ptr<std::string> application = token_->GetAttribute(handle, CKA_APPLICATION);
  ASSERT_TRUE(application);
  EXPECT_EQ(*application, std::string("Encrypted Data"));  // 14 bytes, no terminator
  const std::unique_ptr<std::string> isPrivate = token_->GetAttribute(handle, CKA_PRIVATE);
  ASSERT_TRUE(isPrivate && isPrivate->size() == 1);
  EXPECT_EQ((*isPrivate)[0], '\0');

  // Opened through the card; OK with the editor's LF line ends writes nothing.
  shim_->ClearLog();
  editAnswers_.push_back(EncryptedDataText{"ignored", "első sor\nmásodik sor\n"});
  contents_.Run(kCmdViewEditEncryptedData, handle);
  EXPECT_TRUE(port_.boxes.empty());
  ASSERT_EQ(edits_.size(), 2u);
  EXPECT_TRUE(edits_[1].labelReadOnly);
  EXPECT_EQ(edits_[1].label, "Jegyzet – őszi");
  EXPECT_EQ(edits_[1].text, "első sor\r\nmásodik sor\r\n");
  EXPECT_GE(shim_->CountCalls("C_Decrypt"), 1u);
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
  EXPECT_EQ(shim_->CountCalls("C_CreateObject"), 0u);
  EXPECT_EQ(offers_.size(), 1u);  // the card's certificate was the recipient

  // A change replaces the object: same label, new handle, the new text.
  editAnswers_.push_back(EncryptedDataText{"", "új tartalom"});
  contents_.Run(kCmdViewEditEncryptedData, handle);
  EXPECT_TRUE(port_.boxes.empty());
  auto [newHandle, changed] = OnlyObject();
  ASSERT_NE(changed, nullptr);
  EXPECT_NE(newHandle, handle);
  EXPECT_EQ(changed->label, "Jegyzet – őszi");
  EXPECT_EQ(OpenWith(changed->value, encryption_), "új tartalom");

  // Cancel in the editor writes nothing either.
  shim_->ClearLog();
  contents_.Run(kCmdViewEditEncryptedData, newHandle);
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
}

TEST_F(EncryptedDataTest, CreateRefusals) {
  // A data object of another application already has the label.
  WriteObject("Foglalt", {1, 2, 3});
  Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", kLabel, "--login", "--pin", "1234",
        "--write-object", WriteFile(dir_.Path() + "/csp", {1, 1, 1}), "--type", "data", "--application-label", "CSP",
        "--label", "Másik"});
  GetTokenObjects(true);
  choice_ = EncryptionThumbprint();
  for (const char* label : {"Foglalt", "Másik"}) {  // encrypted data, and another application
    SCOPED_TRACE(label);
    port_.boxes.clear();
    CreateObject(label, "x");
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"Az objektum már létezik."});
    EXPECT_EQ(port_.boxes[0].flags, kError);
  }

  // No certificate chosen (cancel, or none offered).
  port_.boxes.clear();
  choice_.reset();
  CreateObject("Új", "x");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Nem érhető el a titkosító tanúsítvány!"});
  EXPECT_EQ(edits_.size(), 2u);  // the editor was not opened

  // Logged out.
  port_.boxes.clear();
  ASSERT_TRUE(token_->Logout());
  CreateObject("Új", "x");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kérem, jelentkezzen be!"});
  EXPECT_EQ(port_.boxes[0].flags, 0u);
  EXPECT_EQ(ReadCard()->dataObjects.size(), 2u);
}

TEST_F(EncryptedDataTest, ObjectOfAnotherCertificateOpensAndIsRewrittenForTheCard) {
  // Written by the openssl tool for another certificate of the same key pair, recipient by
  // issuer and serial number.
  PkiItem sameKey = Leaf("Titkos Tímea", "critical,keyEncipherment", encryption_.Key());
  const std::string in = TempFile("plain.txt", "régi jegyzet\r\nmásodik sor\r\n");
  const std::string recipient = TempFile("recipient.pem", sameKey.Pem());
  const std::string out = dir_.Path() + "/object.der";
  Tool({"openssl", "cms", "-encrypt", "-des3", "-binary", "-in", in, "-outform", "DER", "-out", out, recipient});
  std::ifstream file(out, std::ios::binary);
  const std::vector<uint8_t> der{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(NamedByKeyId(der));
  WriteObject("Idegen", der);
  const CK_OBJECT_HANDLE handle = GetTokenObjects(false)->dataObjects.begin()->first;

  // Cancelling the choice of certificate stops.
  contents_.Run(kCmdViewEditEncryptedData, handle);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Nem érhető el a titkosító tanúsítvány!"});
  EXPECT_TRUE(edits_.empty());

  port_.boxes.clear();
  choice_ = EncryptionThumbprint();
  editAnswers_.push_back(EncryptedDataText{"", "régi jegyzet\nmásodik sor\n"});  // unchanged
  contents_.Run(kCmdViewEditEncryptedData, handle);
  EXPECT_TRUE(port_.boxes.empty()) << port_.boxes[0].text;
  ASSERT_EQ(edits_.size(), 1u);
  EXPECT_EQ(edits_[0].text, "régi jegyzet\r\nmásodik sor\r\n");
  auto [newHandle, object] = OnlyObject();
  ASSERT_NE(object, nullptr);
  EXPECT_NE(newHandle, handle);
  EXPECT_EQ(object->label, "Idegen");
  EXPECT_TRUE(NamedByKeyId(object->value));
  EXPECT_EQ(OpenWith(object->value, encryption_), "régi jegyzet\r\nmásodik sor\r\n");

  // Now the card's certificate is the recipient: no question, nothing written.
  shim_->ClearLog();
  editAnswers_.push_back(EncryptedDataText{"", "régi jegyzet\nmásodik sor\n"});
  contents_.Run(kCmdViewEditEncryptedData, newHandle);
  EXPECT_EQ(offers_.size(), 2u);
  EXPECT_EQ(shim_->CountCalls("C_CreateObject"), 0u);
}

TEST_F(EncryptedDataTest, WrongKeyGivesTheFailureAndLeavesTheObject) {
  // A certificate on the card whose card key is another key pair.
  PkiItem other = Leaf("Más Máté", "critical,keyEncipherment");
  PkiItem mismatched = Leaf("Hamis Hanna", "critical,keyEncipherment");
  AddCertificate(mismatched.Der(), "f1", "Hamis", &other, "hamis kulcs");
  for (int i = 0; i < 12; ++i) WriteObject("Hamis " + std::to_string(i), Encrypt(mismatched.Cert(), "titok"));
  card_ = ReadCard();
  std::map<CK_OBJECT_HANDLE, std::vector<uint8_t>> before;
  for (const auto& [handle, record] : card_->dataObjects) before[handle] = record->value;
  ASSERT_EQ(before.size(), 12u);
  for (const auto& [handle, value] : before) {
    port_.boxes.clear();
    editAnswers_.push_back(EncryptedDataText{"", "felülírva"});
    contents_.Run(kCmdViewEditEncryptedData, handle);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Nem sikerült a titkosított adat dekódolása!"});
  }
  EXPECT_TRUE(edits_.empty());
  card_ = ReadCard();
  for (const auto& [handle, record] : card_->dataObjects) EXPECT_EQ(record->value, before[handle]);
  EXPECT_EQ(card_->dataObjects.size(), 12u);
}

TEST_F(EncryptedDataTest, ContentThatIsNoUtf8IsNeitherShownNorWrittenBack) {
  // Written by another program in Latin-2: the card's key opens it, but it does not decode.
  WriteObject("Latin-2", Encrypt(encryption_.Cert(), "\xE1rv\xEDzt\xFBr\xF5"));
  const auto [handle, object] = OnlyObject();
  ASSERT_NE(object, nullptr);
  const std::vector<uint8_t> before = object->value;
  editAnswers_.push_back(EncryptedDataText{"", "felülírva"});
  contents_.Run(kCmdViewEditEncryptedData, handle);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Nem sikerült a titkosított adat dekódolása!"});
  EXPECT_TRUE(edits_.empty());
  EXPECT_EQ(OnlyObject().second->value, before);
}

// An edit writes the new object before the old one goes: whatever fails, and wherever the
// card is pulled, the text stays on the card (old or new, or both under one label), and
// the message says which; only an object lost by other means is reported gone.
TEST_F(EncryptedDataTest, AnEditNeverLosesTheText) {
  choice_ = EncryptionThumbprint();
  const std::string notCreated = "Nem sikerült a titkosított adat létrehozása!";
  const std::string bothKept =
      "Az új titkosított adat létrejött, de a régi törlése sikertelen! A régi is a kártyán maradhatott, azonos "
      "címkével.";
  const std::multiset<std::string> onlyOld = {"eredeti"}, onlyNew = {"módosított"}, both = {"eredeti", "módosított"};
  CK_OBJECT_HANDLE handle = 0;
  struct Case {
    const char* what;
    std::function<void()> fault;
    std::string pulledAt;
    std::string text;
    std::multiset<std::string> card;
  } cases[] = {
      {"creation refused", [&] { shim_->InjectRv("C_CreateObject", CKR_DEVICE_ERROR); }, "", notCreated, onlyOld},
      {"deletion refused", [&] { shim_->InjectRv("C_DestroyObject", CKR_DEVICE_ERROR); }, "", bothKept, both},
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
         ASSERT_TRUE(token_->DestroyObject(handle));
         shim_->InjectRv("C_CreateObject", CKR_DEVICE_ERROR);
       },
       "", "Nem sikerült a titkosított adat létrehozása, és a régi titkosított adat sincs már a kártyán!", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The original object alone on the card again.
    {
      const std::unique_ptr<TokenObjects> now = ReadCard();
      for (const auto& [object, record] : now->dataObjects) ASSERT_TRUE(token_->DestroyObject(object));
      GetTokenObjects(true);
      CreateObject("Fontos", "eredeti");
      handle = OnlyObject().first;
      GetTokenObjects(true);
    }
    port_.boxes.clear();
    c.fault();
    editAnswers_.push_back(EncryptedDataText{"", "módosított"});
    contents_.Run(kCmdViewEditEncryptedData, handle);
    ASSERT_EQ(port_.boxes.size(), 1u);
    EXPECT_EQ(port_.boxes[0].text, c.text);
    EXPECT_EQ(port_.boxes[0].flags, kError);
    EXPECT_EQ(busy_, 0);
    shim_->ClearRv("C_CreateObject");
    shim_->ClearRv("C_DestroyObject");
    if (!c.pulledAt.empty()) UiTest::PutCardBack(*shim_, *token_, c.pulledAt);
    std::multiset<std::string> held;
    card_ = ReadCard();
    for (const auto& [object, record] : card_->dataObjects) {
      EXPECT_EQ(record->label, "Fontos");
      held.insert(OpenWith(record->value, encryption_));
    }
    EXPECT_EQ(held, c.card);
  }
}

TEST_F(EncryptedDataTest, DeleteAsksFirst) {
  choice_ = EncryptionThumbprint();
  CreateObject("Törlendő", "x");
  const CK_OBJECT_HANDLE handle = OnlyObject().first;
  port_.answers = {kIdNo};
  contents_.Run(kCmdDeleteEncryptedData, handle);
  ASSERT_EQ(port_.boxes.size(), 1u);
  EXPECT_EQ(port_.boxes[0].text,
            "A törlés hatására az adatok végérvényesen elvesznek! Biztosan folytatni akarja a törlést?");
  EXPECT_EQ(port_.boxes[0].flags, Platform::kMbYesNo | Platform::kMbIconWarning);
  EXPECT_EQ(OnlyObject().first, handle);

  // A handle that is no encrypted data object is never destroyed.
  Tool({TVR_PKCS11_TOOL, "--module", TVR_SOFTHSM2_MODULE, "--token-label", kLabel, "--login", "--pin", "1234",
        "--write-object", WriteFile(dir_.Path() + "/csp", {1, 1, 1}), "--type", "data", "--application-label", "CSP",
        "--label", "Tároló"});
  GetTokenObjects(true);
  CK_OBJECT_HANDLE container = 0;
  for (const auto& [h, record] : GetTokenObjects(false)->dataObjects)
    if (record->application == "CSP") container = h;
  ASSERT_NE(container, 0u);
  for (CK_OBJECT_HANDLE other : {GetTokenObjects(false)->certificates.begin()->first, container}) {
    port_.answers = {kIdYes};
    contents_.Run(kCmdDeleteEncryptedData, other);
  }
  EXPECT_EQ(ReadCard()->certificates.size(), 2u);
  EXPECT_EQ(ReadCard()->dataObjects.size(), 2u);

  port_.boxes.clear();
  port_.answers = {kIdYes};
  contents_.Run(kCmdDeleteEncryptedData, handle);
  EXPECT_EQ(port_.boxes.size(), 1u);
  EXPECT_EQ(ReadCard()->dataObjects.size(), 1u);
  EXPECT_FALSE(GetTokenObjects(false)->FindDataObject(handle));  // the tree was refreshed
}

TEST(EncryptedDataRules, RecipientsOfKeyAgreementMatchTheirOwnCertificate) {
  TvrCrypto::CryptoAlgJanitor openssl;
  PkiItem ec = Leaf("EC Elemér", "critical,keyAgreement", nullptr, "ec");
  PkiItem otherEc = Leaf("EC Elemér", "critical,keyAgreement", nullptr, "ec");
  PkiItem rsa = Leaf("RSA Réka", "critical,keyEncipherment");
  std::vector<uint8_t> der;
  ASSERT_TRUE(CmsEncryptForCertificates(ec.Cert(), reinterpret_cast<const uint8_t*>("x"), 1, der));
  CmsPtr cms = DecodeCms(der);
  EXPECT_TRUE(IsCmsRecipient(cms.get(), ec.Cert()));
  EXPECT_FALSE(IsCmsRecipient(cms.get(), otherEc.Cert()));
  EXPECT_FALSE(IsCmsRecipient(cms.get(), rsa.Cert()));
}

// Without OpenSSL's debug flag a wrong key passes now and then (a random content key
// whose padding happens to fit) and garbage comes out as success.
TEST(EncryptedDataRules, WrongKeyNeverPassesAsSuccess) {
  TvrCrypto::CryptoAlgJanitor openssl;
  PkiItem recipient = Leaf("Címzett Csaba", "critical,keyEncipherment");
  PkiItem other = Leaf("Más Máté", "critical,keyEncipherment");
  std::vector<uint8_t> der;
  ASSERT_TRUE(CmsEncryptForCertificates(recipient.Cert(), reinterpret_cast<const uint8_t*>("titok"), 5, der));
  int passed = 0;
  for (int i = 0; i < 2000; ++i) {
    CmsPtr cms = DecodeCms(der);
    std::vector<uint8_t> plain;
    if (CmsDecryptWithCardKey(cms.get(), other.Key(), recipient.Cert(), plain)) ++passed;
  }
  EXPECT_EQ(passed, 0);
  CmsPtr cms = DecodeCms(der);
  std::vector<uint8_t> plain;
  ASSERT_TRUE(CmsDecryptWithCardKey(cms.get(), recipient.Key(), recipient.Cert(), plain));
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "titok");
}

TEST(EncryptedDataRules, TextChecks) {
  EXPECT_TRUE(SameTextIgnoringLineEnds("a\r\nb\r\n", "a\nb\n"));
  EXPECT_TRUE(SameTextIgnoringLineEnds("a\rb", "a\nb"));
  EXPECT_FALSE(SameTextIgnoringLineEnds("a\r\nb", "a\nb\n"));
  EXPECT_FALSE(SameTextIgnoringLineEnds("a b", "a\nb"));
  struct Case {
    std::string bytes;
    bool valid;
  };
  for (const Case& c : std::vector<Case>{{"árvíztűrő 😀", true},
                                         {"", true},
                                         {"\xC3", false},           // cut short
                                         {"\xC0\xAF", false},       // overlong
                                         {"\xE0\x80\xAF", false},   // overlong
                                         {"\xED\xA0\x80", false},   // surrogate
                                         {"\xF4\x90\x80\x80", false},  // past U+10FFFF
                                         {"a\x80", false},
                                         {"\xFF", false}}) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
  }
}

}  // namespace
