// The renewal command over a SoftHSM2 card, the renewal dialog's table and the task
// list's states.
#include <gtest/gtest.h>

#include <zip.h>

#include "CertificateTexts.h"
#include "ContentsFixture.h"
#include "RenewalCommand.h"
#include "RenewalTable.h"
#include "RenewalWorker.h"
#include "SharedUtilities.h"
#include "TaskListState.h"
#include "platform/CertStore.h"
#include "platform/Profile.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

constexpr std::time_t kDay = 86400;

PkiItem Leaf(const std::string& cn, EVP_PKEY* key = nullptr, std::time_t notBefore = 0, std::time_t notAfter = 0) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notBefore;
  spec.notAfter = notAfter;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

class NoProgress : public TvrServices::IRenewalProgress {
 public:
  void TaskStarted(int, int) override {}
  void TaskFinished(int, int) override {}
};

// The user's side of the command: a scripted file choice, and a dialog that confirms
// every proposal and runs the worker (or only records what it was given).
class ScriptedRenewalView : public IRenewalView {
 public:
  std::optional<std::string> ChooseZipFile() override {
    ++zipChoices;
    return zipFile;
  }
  bool RunRenewalDialog(const TvrServices::RenewalSource& source, const TvrServices::CandidateMap& candidates) override {
    for (const auto& [thumbprint, certificate] : candidates) offered.push_back(thumbprint);
    if (!confirm) return false;
    RenewalTable table(*source.objects, candidates, *source.trust);
    const auto operations = table.Operations();
    NoProgress progress;
    TvrServices::RenewalWorker worker(*source.token, operations, progress);
    worker.Start();
    worker.Join();
    return worker.Changed();
  }

  std::optional<std::string> zipFile;
  bool confirm = true;
  int zipChoices = 0;
  std::vector<std::string> offered;
};

class RenewalCommandTest : public UiTest::ContentsFixture {
 protected:
  void SetUp() override {
    AddCertificate(signer_.Der(), "a1", "Aláíró kulcs", &signer_, "kulcs");
    Open();
    Platform::Profile().WriteDword("RenewCertificatesSettings", "Mode", 1);
    // The user's stores know the test PKI as they would know a certification authority.
    const std::pair<const char*, const PkiItem*> stores[] = {{"ROOT", &TestPki::Get().Root()},
                                                             {"CA", &TestPki::Get().Intermediate()}};
    for (const auto& [store, item] : stores) {
      const std::vector<unsigned char> der = item->Der();
      auto certificate = Platform::CertContext::Create(der.data(), der.size());
      ASSERT_TRUE(certificate && Platform::CertStore::OpenSystem(store)->Add(
                                     *certificate, Platform::CertAddDisposition::ReplaceExisting));
    }
  }
  // The certificates as certs/<n>.cer, and a text file.
  std::string Zip(const std::string& name, const std::vector<const PkiItem*>& items) {
    const std::string path = dir_.Path() + "/" + name;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    std::vector<std::vector<unsigned char>> ders;
    for (const PkiItem* item : items) ders.push_back(item->Der());
    for (size_t i = 0; i < ders.size(); ++i) {
      zip_source_t* source = zip_source_buffer(archive, ders[i].data(), ders[i].size(), 0);
      EXPECT_GE(zip_file_add(archive, ("certs/" + std::to_string(i) + ".cer").c_str(), source, 0), 0);
    }
    // Never empty: libzip writes no file for an archive without entries.
    static const char kReadme[] = "Tanúsítványok";
    zip_file_add(archive, "readme.txt", zip_source_buffer(archive, kReadme, sizeof kReadme - 1, 0), 0);
    EXPECT_EQ(zip_close(archive), 0);
    return path;
  }

  PkiItem signer_ = Leaf("Kovács Éva");
  PkiItem renewed_ = Leaf("Kovács Éva", signer_.Key());
  ScriptedRenewalView renewal_;
  int reregistered_ = 0;
  RenewalCommand command_{*this, *this, port_, renewal_, [this] { ++reregistered_; }};
};

}  // namespace

TEST_F(RenewalCommandTest, ZipRenewalReplacesTheCertificateAndRegistersAgain) {
  renewal_.zipFile = Zip("renewal.zip", {&renewed_, &signer_});
  command_.Run();
  EXPECT_TRUE(port_.boxes.empty());
  EXPECT_EQ(renewal_.offered.size(), 2u);
  auto card = ReadCard();
  ASSERT_EQ(card->certificates.size(), 1u);
  EXPECT_EQ(card->certificates.begin()->second->value, renewed_.Der());
  EXPECT_EQ(card->certificates.begin()->second->label, "Aláíró kulcs");
  EXPECT_EQ(refreshes_, 1);
  EXPECT_EQ(reregistered_, 1);
  EXPECT_EQ(busy_, 0);

  // Cancelled in the dialog: the tree and the registration stay as they are.
  renewal_.confirm = false;
  command_.Run();
  EXPECT_EQ(refreshes_, 1);
  EXPECT_EQ(reregistered_, 1);
}

TEST_F(RenewalCommandTest, ACertificateFromAnUntrustedIssuerReplacesNothing) {
  // Made for the card's key by a CA of the sender's own, named like the real issuer.
  CertSpec ca;
  ca.subject = "/C=HU/O=Tavrenic Test/OU=Issuing/CN=Tavrenic Test Intermediate CA";
  ca.ca = true;
  const PkiItem forgedCa = CertBuilder::Issue(ca, nullptr);
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=Kovács Éva";
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  const PkiItem forged = CertBuilder::Issue(spec, &forgedCa, signer_.Key());
  renewal_.zipFile = Zip("forged.zip", {&forged, &forgedCa});
  command_.Run();
  EXPECT_EQ(renewal_.offered.size(), 2u);
  auto card = ReadCard();
  ASSERT_EQ(card->certificates.size(), 1u);
  EXPECT_EQ(card->certificates.begin()->second->value, signer_.Der());
  EXPECT_EQ(refreshes_, 0);
  EXPECT_EQ(reregistered_, 0);
}

TEST_F(RenewalCommandTest, WhatTheUserIsToldWithoutCandidates) {
  const std::string corrupt = TempFile("corrupt.zip", "PK\x03\x04 not really an archive");
  struct Case {
    std::optional<std::string> file;
    std::vector<std::string> texts;
    unsigned flags;
  } cases[] = {
      {std::nullopt, {}, 0},  // cancelled: nothing at all
      {corrupt, {"A fájl hibás."}, Platform::kMbIconError},
      {Zip("empty.zip", {}), {"Nem állnak rendelkezésre tanúsítványok!"}, 0},
  };
  for (const Case& c : cases) {
    port_.boxes.clear();
    renewal_.zipFile = c.file;
    command_.Run();
    EXPECT_EQ(BoxTexts(), c.texts);
    if (!c.texts.empty()) {
      EXPECT_EQ(port_.boxes[0].flags, c.flags);
    }
  }
  EXPECT_TRUE(renewal_.offered.empty());
  EXPECT_EQ(refreshes_, 0);

  // Logged out: asked to log in before any file is chosen.
  port_.boxes.clear();
  ASSERT_TRUE(token_->Logout());
  const int choices = renewal_.zipChoices;
  command_.Run();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Kérem, jelentkezzen be!"});
  EXPECT_EQ(port_.boxes[0].flags, 0u);
  EXPECT_EQ(renewal_.zipChoices, choices);
}

TEST(RenewalTableTest, RowsTextsLinksAndTheAdvancedView) {
  const std::time_t now = std::time(nullptr);
  PkiItem signer = Leaf("Kovács Éva", nullptr, now - 300 * kDay);
  PkiItem renewed = Leaf("Kovács Éva", signer.Key());
  PkiItem expired = Leaf("Lejárt Lili", nullptr, now - 400 * kDay, now - kDay);
  PkiItem keyOnly = Leaf("Kulcs Kata");
  TokenObjects objects;
  objects.AddCertificate(3, "a1", "Aláíró", signer.Der());
  objects.AddCertificate(5, "b2", "Régi", expired.Der());
  EVP_PKEY_up_ref(keyOnly.Key());
  objects.AddPublicKey(9, "c3", "Csak kulcs", false)->publicKey.reset(keyOnly.Key());
  const TvrServices::CandidateMap candidates = {{CertificateThumbprintHex(renewed.Cert()), renewed.Cert()},
                                                {CertificateThumbprintHex(keyOnly.Cert()), keyOnly.Cert()}};
  const TvrServices::RenewalTrust trust = UiTest::TestPkiTrust(objects, candidates);
  RenewalTable table(objects, candidates, trust);
  ASSERT_EQ(table.Rows().size(), 3u);
  const std::string none = "újabb tanúsítvány nem található";
  const std::string noValidity(36, '-');
  struct Expect {
    std::string old, fresh, validity, action;
    bool oldLink, newLink;
  } expected[] = {
      {GetCertificateDisplayName(signer.Cert(), false), GetCertificateDisplayName(renewed.Cert(), false),
       GetValidityText(renewed.Cert()), "törlés és telepítés", true, true},
      {GetCertificateDisplayName(expired.Cert(), false), none, noValidity, "törlés", true, false},
      {"még nem volt tanúsítvány telepítve", GetCertificateDisplayName(keyOnly.Cert(), false),
       GetValidityText(keyOnly.Cert()), "telepítés", false, true},
  };
  for (int row = 0; row < 3; ++row) {
    const RenewalTable::Row& r = table.Rows()[static_cast<size_t>(row)];
    const Expect& e = expected[row];
    EXPECT_EQ(r.texts[1], e.old) << row;
    EXPECT_EQ(r.texts[2], e.fresh) << row;
    EXPECT_EQ(r.texts[3], e.validity) << row;
    EXPECT_EQ(r.texts[4], e.action) << row;
    EXPECT_TRUE(r.ticked) << row;
    EXPECT_EQ(table.IsLinkCell(row, 1), e.oldLink) << row;
    EXPECT_EQ(table.IsLinkCell(row, 2), e.newLink) << row;
  }
  EXPECT_EQ(table.OldCertificateDer(0), signer.Der());
  EXPECT_EQ(table.NewCertificate(0), renewed.Cert());
  EXPECT_EQ(table.NewCertificate(1), nullptr);

  EXPECT_EQ(table.ColumnTitles(), (std::vector<std::string>{"", "Régi tanúsítvány", "Új tanúsítvány",
                                                            "Új tanúsítvány érvényessége", "Művelet"}));
  for (int round = 0; round < 2; ++round) {
    table.SetAdvanced(true);
    EXPECT_EQ(table.ColumnTitles().size(), 8u);
    EXPECT_EQ(table.ColumnTitles()[5], "Címke");
    EXPECT_EQ(table.ColumnTitles()[6], "Azonosító");
    EXPECT_EQ(table.Rows()[2].texts[5], "Csak kulcs");
    EXPECT_EQ(table.Rows()[2].texts[6], "c3");
    EXPECT_EQ(table.Rows()[2].texts[7], "Módosít");
    EXPECT_TRUE(table.IsLinkCell(2, 7));
    table.SetAdvanced(false);
  }
  EXPECT_EQ(table.ColumnTitles().size(), 5u);
  for (int row = 0; row < 3; ++row) EXPECT_FALSE(table.IsLinkCell(row, 7)) << row;

  // Unticked rows do nothing; the only choice for the signer's key is its renewal.
  table.SetTicked(1, false);
  table.SetTicked(2, false);
  const auto operations = table.Operations();
  ASSERT_EQ(operations.size(), 1u);
  EXPECT_EQ(RenewalTable::TaskTexts(operations),
            (std::vector<std::string>{"Új tanúsítvány telepítése: Aláíró", "Régi tanúsítvány törlése: Aláíró"}));
  EXPECT_EQ(table.ChoicesFor(0), std::vector<std::string>{CertificateThumbprintHex(renewed.Cert())});
  EXPECT_TRUE(table.ChoicesFor(1).empty());
  // Choosing a candidate ticks the row again.
  table.Choose(2, CertificateThumbprintHex(keyOnly.Cert()));
  EXPECT_TRUE(table.Rows()[2].ticked);
  table.Choose(1, "0000");  // no such candidate
  EXPECT_EQ(table.Rows()[1].texts[2], none);
}

// An old key pair's deletion goes only with its partner key's new certificate: the row
// follows the partner's install row, so no ticked row is dropped by OK.
TEST(RenewalTableTest, AnOldPairsDeletionFollowsItsPartnersInstall) {
  const UiTest::RenewedPairCard card;
  RenewalTable table(card.objects, card.candidates, card.trust);
  ASSERT_EQ(table.Rows().size(), 2u);
  ASSERT_EQ(table.Rows()[0].texts[RenewalTable::kActionColumn], "törlés");
  ASSERT_EQ(table.Rows()[1].texts[RenewalTable::kActionColumn], "telepítés");
  auto state = [&] {
    std::vector<std::pair<bool, bool>> rows;
    for (const RenewalTable::Row& r : table.Rows()) rows.emplace_back(r.ticked, r.enabled);
    return rows;
  };
  using State = std::vector<std::pair<bool, bool>>;
  EXPECT_EQ(state(), (State{{true, true}, {true, true}}));
  EXPECT_EQ(table.Operations().size(), 2u);

  // The partner's install unticked: the deletion goes with it and cannot be ticked alone.
  table.SetTicked(1, false);
  EXPECT_EQ(state(), (State{{false, false}, {false, true}}));
  table.SetTicked(0, true);
  EXPECT_EQ(state(), (State{{false, false}, {false, true}}));
  EXPECT_TRUE(table.Operations().empty());

  // Ticked again, the deletion comes back with it; unticked on its own it stays so.
  table.SetTicked(1, true);
  EXPECT_EQ(state(), (State{{true, true}, {true, true}}));
  table.SetTicked(0, false);
  EXPECT_EQ(state(), (State{{false, true}, {true, true}}));
  ASSERT_EQ(table.Operations().size(), 1u);
  EXPECT_EQ(table.Operations().front().oldCertificate, 0u);
  table.SetTicked(0, true);
  const auto operations = table.Operations();
  ASSERT_EQ(operations.size(), 2u);
  EXPECT_EQ(operations.front().oldCertificate, 1u);
  EXPECT_EQ(operations.front().oldPublicKey, 2u);
  EXPECT_EQ(operations.front().oldPrivateKey, 3u);
}

TEST(TaskListStateTest, ReportsMoveRowsAndTheSpinner) {
  TaskListState state({"egy", "kettő", "három"});
  // Without reports the spinner stands and OK stays disabled.
  state.OnTimer();
  EXPECT_EQ(state.Spinner(), "");
  EXPECT_FALSE(state.TimerRunning());
  EXPECT_FALSE(state.OkEnabled());

  state.OnTaskStarted(0, -1);
  EXPECT_TRUE(state.TimerRunning());
  std::vector<std::string> spins;
  for (int i = 0; i < 5; ++i) {
    state.OnTimer();
    spins.push_back(state.Spinner());
  }
  EXPECT_EQ(spins, (std::vector<std::string>{"|", "/", "-", "\\", "|"}));
  EXPECT_EQ(TaskListState::NextSpinner("x"), "|");

  state.OnTaskStarted(1, 0);
  EXPECT_EQ(state.CurrentStep(), "egy");
  state.OnTaskFinished(0, 0);
  state.OnTaskStarted(1, 1);
  EXPECT_EQ(state.CurrentStep(), "kettő");
  state.OnTaskFinished(1, 1);
  // Reports for rows the list does not have, and unknown kinds, change nothing.
  state.OnTaskStarted(1, 7);
  state.OnTaskFinished(0, 7);
  state.OnTaskFinished(1, -1);
  state.OnTaskFinished(5, 2);
  state.OnTaskStarted(4, 2);
  EXPECT_EQ(state.CurrentStep(), "kettő");
  EXPECT_FALSE(state.OkEnabled());
  state.OnTaskFinished(2, -1);
  EXPECT_EQ(state.Images(), (std::vector<TaskImage>{TaskImage::Succeeded, TaskImage::Failed, TaskImage::Pending}));
  EXPECT_EQ(state.Spinner(), "");
  EXPECT_EQ(state.CurrentStep(), "");
  EXPECT_FALSE(state.TimerRunning());
  EXPECT_TRUE(state.OkEnabled());
  state.OnTimer();
  EXPECT_EQ(state.Spinner(), "");
}
