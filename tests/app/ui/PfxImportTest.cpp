// The PFX import over a SoftHSM2 token, with files made by the openssl tool at test time.
#include <gtest/gtest.h>

#include <deque>
#include <regex>

#include "CardPull.h"
#include "ContentsFixture.h"
#include "ContentsTree.h"
#include "PfxImport.h"
#include "SharedUtilities.h"

namespace {

using Platform::kIdOk;
using Platform::kIdYes;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

constexpr unsigned kError = Platform::kMbIconError;
constexpr unsigned kInformation = Platform::kMbIconInformation;
const char* const kAllWritten = "Privát kulcs importálva: igen\nPublikus kulcs importálva: igen\nTanúsítvány importálva: igen";

PkiItem Leaf(const std::string& cn, const std::string& keyType) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.keyType = keyType;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,keyEncipherment"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
}

std::string HexToText(const std::string& hex) {
  std::string text;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return text;
}

class PfxImportTest : public UiTest::ContentsFixture, public IPfxImportPort {
 protected:
  void SetUp() override {
    Open();
    import_.Install();
  }

  // IPfxImportPort
  std::optional<std::string> ChoosePfxFile() override { return file_; }
  std::optional<TvrCommon::SecureString> AskPfxPassword(const std::string& fileName) override {
    prompts_.push_back(fileName);
    if (passwords_.empty()) return std::nullopt;
    const std::optional<std::string> answer = passwords_.front();
    passwords_.pop_front();
    if (!answer) return std::nullopt;
    return TvrCommon::SecureString(answer->c_str());
  }
  std::optional<KeyAndCertLabels> AskLabels(const std::string& prefix, const TokenObjects&) override {
    prefixes_.push_back(prefix);
    return LabelsForPrefix(prefix);
  }

  // A PKCS #12 file of the item made by the openssl tool with these options.
  std::string MakePfx(const PkiItem& item, const std::vector<std::string>& options, bool withCertificate = true) {
    const std::string base = dir_.Path() + "/pfx" + std::to_string(++files_);
    TempFile("pfx" + std::to_string(files_) + ".key.pem", item.KeyPem());
    std::vector<std::string> argv = {"openssl", "pkcs12", "-export", "-inkey", base + ".key.pem", "-out",
                                     base + ".pfx"};
    if (withCertificate) {
      TempFile("pfx" + std::to_string(files_) + ".pem", item.Pem());
      argv.insert(argv.end(), {"-in", base + ".pem"});
    } else {
      argv.push_back("-nocerts");
    }
    argv.insert(argv.end(), options.begin(), options.end());
    Tool(argv);
    return base + ".pfx";
  }
  void Import(const std::string& path) {
    file_ = path;
    port_.boxes.clear();
    prompts_.clear();
    commands_.Run(kCmdImportKeyAndCertificate, std::nullopt);
  }

  // The three objects with the labels of the prefix; all with one 36-byte UUID CKA_ID.
  void ExpectImported(const std::string& prefix, bool withCertificate) {
    card_ = ReadCard();
    const KeyAndCertLabels labels = LabelsForPrefix(prefix);
    std::vector<std::string> ids;
    for (const auto& [h, r] : card_->privateKeys)
      if (r->label == labels.privateKey) ids.push_back(r->GetId());
    for (const auto& [h, r] : card_->publicKeys)
      if (r->label == labels.publicKey) ids.push_back(r->GetId());
    for (const auto& [h, r] : card_->certificates)
      if (r->label == labels.certificate) ids.push_back(r->GetId());
    ASSERT_EQ(ids.size(), withCertificate ? 3u : 2u);
    const std::string id = HexToText(ids[0]);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;
    for (const std::string& other : ids) EXPECT_EQ(other, ids[0]);
  }

  ContentsCommands commands_{*this, *this, port_};
  PfxImport import_{*this, *this, port_, *this, commands_};
  std::optional<std::string> file_;
  std::deque<std::optional<std::string>> passwords_;
  std::vector<std::string> prompts_;
  std::vector<std::string> prefixes_;
  std::unique_ptr<TokenObjects> card_;
};

TEST_F(PfxImportTest, FilesOfEveryKindLandOnTheCard) {
  struct Case {
    const char* what;
    const char* cn;
    const char* keyType;
    std::vector<std::string> options;
    std::deque<std::optional<std::string>> passwords;
    size_t prompts;
  };
  const std::vector<Case> cases = {
      {"modern, password", "Modern Márta", "rsa", {"-passout", "pass:titok"}, {"titok"}, 1},
      {"legacy RC2/3DES", "Régi Róbert", "rsa", {"-legacy", "-passout", "pass:jelszó"}, {"jelszó"}, 1},
      {"empty password", "Üres Ödön", "ec", {"-passout", "pass:"}, {}, 0},
      {"no MAC", "MAC Nélküli Nóra", "ec", {"-nomac", "-passout", "pass:titok"}, {"titok"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const PkiItem item = Leaf(c.cn, c.keyType);
    const std::string path = MakePfx(item, c.options);
    passwords_ = c.passwords;
    const bool noMac = std::string(c.what) == "no MAC";
    port_.answers = noMac ? std::deque<int>{kIdOk, kIdYes} : std::deque<int>{kIdYes};
    registrations_.clear();
    Import(path);
    EXPECT_EQ(prompts_.size(), c.prompts);
    if (!prompts_.empty()) {
      EXPECT_EQ(prompts_[0], path);
    }
    ASSERT_FALSE(port_.boxes.empty());
    if (noMac) {
      EXPECT_EQ(port_.boxes[0].text,
                "A PFX fájl nem tartalmaz integritásvédelmet (MAC), ezért a jelszó helyessége nem ellenőrizhető.");
    }
    EXPECT_EQ(port_.boxes[port_.boxes.size() - 2].text, "Indulhat a kulcs és tanúsítvány importálása?");
    EXPECT_EQ(port_.boxes.back().text, kAllWritten);
    EXPECT_EQ(port_.boxes.back().flags, kInformation);
    EXPECT_EQ(prefixes_.back(), c.cn);
    ExpectImported(c.cn, true);
    EXPECT_EQ(registrations_.size(), 2u);  // taken out and registered again
  }
  EXPECT_EQ(busy_, 0);
}

TEST_F(PfxImportTest, KeyOnlyFileSaysTheCertificateWasNotWritten) {
  const std::string path = MakePfx(Leaf("Kulcs Kálmán", "rsa"), {"-passout", "pass:k"}, false);
  passwords_ = {"k"};
  port_.answers = {kIdYes};
  Import(path);
  EXPECT_EQ(prefixes_, std::vector<std::string>{"UNKNOWN"});
  EXPECT_EQ(port_.boxes.back().text,
            "Privát kulcs importálva: igen\nPublikus kulcs importálva: igen\nTanúsítvány importálva: nem");
  EXPECT_EQ(port_.boxes.back().flags, kError);
  ExpectImported("UNKNOWN", false);

  // The same labels again are refused by the labels check.
  EXPECT_EQ(ExistingLabel(*GetTokenObjects(false), LabelsForPrefix("UNKNOWN")),
            Res::StringId::PfxPrivateKeyExists);
  EXPECT_EQ(ExistingLabel(*GetTokenObjects(false), LabelsForPrefix("Más")), std::nullopt);
}

// A write that fails half-way takes back what the import wrote, so that the same file
// with the same prefix can be imported again; a card that leaves keeps what it took. The
// result never claims what the card may contradict: an object whose answer was lost, or
// that a half-done roll-back may have left, is named as possibly on the card.
TEST_F(PfxImportTest, AnImportThatFailsHalfWayCanBeRepeated) {
  const PkiItem item = Leaf("Félbe Maradt", "ec");
  const std::string path = MakePfx(item, {"-passout", "pass:"});
  const KeyAndCertLabels labels = LabelsForPrefix("Félbe Maradt");
  const std::string noneWritten =
      "Privát kulcs importálva: nem\nPublikus kulcs importálva: nem\nTanúsítvány importálva: nem";
  const std::string reread = "\n\nA kártyán maradhattak az importálás objektumai! Olvassa be újra a kártyát!";
  struct Case {
    const char* what;
    const char* failingCall;  // of C_CreateObject: 1 the private key, 2 the public key, 3 the certificate
    enum { Refused, Pulled, AnswerLost } how;
    bool rollbackRefused;  // the first deletion of the roll-back is refused
    std::string text;
    size_t keysLeft;  // private and public keys of the import still on the card
  } cases[] = {
      {"public key refused", "2", Case::Refused, false, noneWritten, 0},
      {"certificate refused", "3", Case::Refused, false, noneWritten, 0},
      {"certificate refused, roll-back half done", "3", Case::Refused, true,
       "Privát kulcs importálva: nem biztos, a kártyán lehet\nPublikus kulcs importálva: nem biztos, a kártyán "
       "lehet\nTanúsítvány importálva: nem" + reread,
       1},
      {"card pulled at the certificate", "3", Case::Pulled, false,
       "Privát kulcs importálva: igen\nPublikus kulcs importálva: igen\nTanúsítvány importálva: nem biztos, a "
       "kártyán lehet" + reread,
       2},
      {"answer of the private key lost", "1", Case::AnswerLost, false,
       "Privát kulcs importálva: nem biztos, a kártyán lehet\nPublikus kulcs importálva: nem\nTanúsítvány "
       "importálva: nem" + reread,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    shim_->ClearLog();
    if (c.how == Case::Refused) {
      shim_->SetOption("rv_at.C_CreateObject", c.failingCall);
      shim_->InjectRv("C_CreateObject", 0x6);
    } else {
      UiTest::PullCardAt(*shim_, "C_CreateObject", std::stoi(c.failingCall), c.how == Case::AnswerLost);
    }
    if (c.rollbackRefused) {
      shim_->SetOption("rv_at.C_DestroyObject", "1");
      shim_->InjectRv("C_DestroyObject", 0x6);
    }
    port_.answers = {kIdYes};
    Import(path);
    ASSERT_EQ(port_.boxes.size(), 2u);
    EXPECT_EQ(port_.boxes[1].text, c.text);
    EXPECT_EQ(port_.boxes[1].flags, kError);
    shim_->ClearRv("C_CreateObject");
    shim_->ClearOption("rv_at.C_CreateObject");
    shim_->ClearRv("C_DestroyObject");
    shim_->ClearOption("rv_at.C_DestroyObject");
    if (c.how != Case::Refused) UiTest::PutCardBack(*shim_, *token_, "C_CreateObject");
    card_ = ReadCard();
    size_t keys = 0;
    for (const auto& [h, r] : card_->privateKeys) keys += r->label == labels.privateKey;
    for (const auto& [h, r] : card_->publicKeys) keys += r->label == labels.publicKey;
    EXPECT_EQ(keys, c.keysLeft);
    if (c.keysLeft) {
      for (const auto& [h, r] : card_->privateKeys) ASSERT_TRUE(token_->DestroyObject(h));
      for (const auto& [h, r] : card_->publicKeys) ASSERT_TRUE(token_->DestroyObject(h));
      GetTokenObjects(true);
      continue;
    }
    EXPECT_TRUE(card_->certificates.empty());
    EXPECT_TRUE(card_->publicKeys.empty());
    // The labels dialog has nothing to refuse, and the retry writes all three.
    EXPECT_EQ(ExistingLabel(*GetTokenObjects(true), labels), std::nullopt);
    port_.answers = {kIdYes};
    Import(path);
    EXPECT_EQ(port_.boxes.back().text, kAllWritten);
    ExpectImported("Félbe Maradt", true);
    // Off again for the next round.
    for (const auto& [h, r] : card_->privateKeys) ASSERT_TRUE(token_->DestroyObject(h));
    for (const auto& [h, r] : card_->publicKeys) ASSERT_TRUE(token_->DestroyObject(h));
    for (const auto& [h, r] : card_->certificates) ASSERT_TRUE(token_->DestroyObject(h));
    GetTokenObjects(true);
  }
}

TEST_F(PfxImportTest, PasswordsAndRefusals) {
  const PkiItem item = Leaf("Jelszó János", "ec");
  const std::string path = MakePfx(item, {"-passout", "pass:helyes"});

  // Two wrong passwords, then the right one.
  passwords_ = {"rossz", "", "helyes"};
  port_.answers = {kIdOk, kIdOk, kIdYes};
  Import(path);
  EXPECT_EQ(prompts_.size(), 3u);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Hibás jelszó!", "Hibás jelszó!",
                                                  "Indulhat a kulcs és tanúsítvány importálása?", kAllWritten}));
  EXPECT_EQ(port_.boxes[0].flags, kError);

  // Cancel at the prompt ends silently; so does No at the confirmation.
  passwords_ = {std::nullopt};
  Import(path);
  EXPECT_TRUE(port_.boxes.empty());
  passwords_ = {"helyes"};
  port_.answers = {Platform::kIdNo};
  const size_t objectsBefore = ReadCard()->privateKeys.size();
  Import(path);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Indulhat a kulcs és tanúsítvány importálása?"});
  EXPECT_EQ(ReadCard()->privateKeys.size(), objectsBefore);

  // A file without a MAC asks once: a wrong password cannot be told from a broken file.
  const std::string noMac = MakePfx(item, {"-nomac", "-passout", "pass:helyes"});
  passwords_ = {"rossz", "helyes"};
  Import(noMac);
  EXPECT_EQ(prompts_.size(), 1u);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{
                            "A PFX fájl nem tartalmaz integritásvédelmet (MAC), ezért a jelszó helyessége nem "
                            "ellenőrizhető.",
                            "A PFX fájl feldolgozása sikertelen!"}));

  // Files that are no PFX, and a key type that cannot go on the card.
  const std::string dsaKey = dir_.Path() + "/dsa.pem";
  const std::string dsaParams = dir_.Path() + "/dsaparam.pem";
  Tool({"openssl", "genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:1024", "-out",
        dsaParams});
  Tool({"openssl", "genpkey", "-paramfile", dsaParams, "-out", dsaKey});
  const std::string dsaPfx = dir_.Path() + "/dsa.pfx";
  Tool({"openssl", "pkcs12", "-export", "-nocerts", "-inkey", dsaKey, "-out", dsaPfx, "-passout", "pass:"});
  struct Case {
    std::string path;
    const char* text;
  };
  for (const Case& c : {Case{dir_.Path() + "/nincs.pfx", "A PFX fájl megnyitása sikertelen!"},
                        Case{TempFile("text.pfx", "nem PFX"), "A PFX fájl feldolgozása sikertelen!"},
                        Case{dsaPfx, "Nincs implementálva!"}}) {
    SCOPED_TRACE(c.path);
    passwords_.clear();
    Import(c.path);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.text});
    EXPECT_EQ(port_.boxes[0].flags, kError);
    EXPECT_TRUE(prompts_.empty());
  }

  // Logged out: nothing is asked.
  ASSERT_TRUE(token_->Logout());
  Import(path);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kérem, jelentkezzen be!"});
  EXPECT_TRUE(prompts_.empty());
}

}  // namespace
