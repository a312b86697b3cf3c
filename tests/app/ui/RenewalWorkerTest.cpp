// The renewal worker on a SoftHSM2 card: the steps it reports and what the card holds
// afterwards, also when the module refuses a deletion or a creation.
#include <gtest/gtest.h>

#include <mutex>
#include <set>

#include "ContentsFixture.h"
#include "RenewalTable.h"
#include "RenewalWorker.h"
#include "SharedUtilities.h"

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

PkiItem Leaf(const std::string& cn, EVP_PKEY* key = nullptr) {
  CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  return CertBuilder::Issue(spec, &TestPki::Get().Intermediate(), key);
}

// The reports as "S kind index" (started) and "F kind index" (finished), in order.
class RecordingProgress : public TvrServices::IRenewalProgress {
 public:
  void TaskStarted(int kind, int index) override { Add("S", kind, index); }
  void TaskFinished(int kind, int index) override { Add("F", kind, index); }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.clear();
  }
  std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }

 private:
  void Add(const char* what, int kind, int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.push_back(std::string(what) + " " + std::to_string(kind) + " " + std::to_string(index));
  }
  std::mutex mutex_;
  std::vector<std::string> reports_;
};

class RenewalWorkerTest : public UiTest::ContentsFixture {
 protected:
  void SetUp() override {
    AddCertificate(signer_.Der(), "a1", "Aláíró kulcs", &signer_, "kulcs a1");
    AddCertificate(second_.Der(), "b2", "Második", &second_, "kulcs b2");
    Open();
    candidates_ = {{CertificateThumbprintHex(signerRenewed_.Cert()), signerRenewed_.Cert()},
                   {CertificateThumbprintHex(secondRenewed_.Cert()), secondRenewed_.Cert()}};
  }

  // Pairs the card with the candidates, confirms every proposal and runs the worker on
  // its thread; answers whether the card changed.
  bool Renew(std::vector<std::string>* texts = nullptr) {
    const TvrServices::RenewalTrust trust = UiTest::TestPkiTrust(*GetTokenObjects(false), candidates_);
    RenewalTable table(*GetTokenObjects(false), candidates_, trust);
    const std::list<TvrServices::RenewalOperation> operations = table.Operations();
    if (texts) *texts = RenewalTable::TaskTexts(operations);
    TvrServices::RenewalWorker worker(*token_, operations, progress_);
    worker.Start();
    worker.Join();
    return worker.Changed();
  }

  // The DER of each certificate on the card by CKA_ID, with its label.
  std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> CardCertificates() {
    std::map<std::string, std::pair<std::string, std::vector<uint8_t>>> result;
    const std::unique_ptr<TokenObjects> now = ReadCard();
    for (const auto& [handle, record] : now->certificates)
      result[record->GetId()] = {record->label, record->value};
    return result;
  }
  // Every certificate's DER on the card under the CKA_ID.
  std::multiset<std::vector<uint8_t>> CertificatesWithId(const std::string& id) {
    std::multiset<std::vector<uint8_t>> result;
    const std::unique_ptr<TokenObjects> now = ReadCard();
    for (const auto& [handle, record] : now->certificates)
      if (record->GetId() == id) result.insert(record->value);
    return result;
  }
  // The CKA_ID of the certificate that comes first in handle order (its operation runs
  // first).
  std::string FirstId() { return GetTokenObjects(false)->certificates.begin()->second->GetId(); }
  // The old certificates alone on the card again, and the cache read afresh.
  void RestoreCard() {
    const std::unique_ptr<TokenObjects> now = ReadCard();
    for (const auto& [handle, record] : now->certificates) ASSERT_TRUE(token_->DestroyObject(handle));
    for (const std::string id : {"a1", "b2"}) {
      const std::string label = id == "a1" ? "Aláíró kulcs" : "Második";
      ASSERT_TRUE(token_->CreateCertificate(&id, &label, 0, OldOf(id).Cert()));
    }
    GetTokenObjects(true);
  }
  const PkiItem& OldOf(const std::string& id) { return id == "a1" ? signer_ : second_; }
  const PkiItem& NewOf(const std::string& id) { return id == "a1" ? signerRenewed_ : secondRenewed_; }

  PkiItem signer_ = Leaf("Kovács Éva");
  PkiItem second_ = Leaf("Második Márta");
  PkiItem signerRenewed_ = Leaf("Kovács Éva", signer_.Key());
  PkiItem secondRenewed_ = Leaf("Második Márta", second_.Key());
  TvrServices::CandidateMap candidates_;
  RecordingProgress progress_;
};

}  // namespace

TEST_F(RenewalWorkerTest, InstallsEverythingBeforeDeletingAnything) {
  std::vector<std::string> texts;
  EXPECT_TRUE(Renew(&texts));
  // Operations follow the card's handle order; every install comes before any deletion.
  std::vector<std::string> installs, deletions;
  for (const auto& [handle, record] : GetTokenObjects(false)->certificates) {
    installs.push_back("Új tanúsítvány telepítése: " + record->label);
    deletions.push_back("Régi tanúsítvány törlése: " + record->label);
  }
  installs.insert(installs.end(), deletions.begin(), deletions.end());
  EXPECT_EQ(texts, installs);
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 0 0", "S 1 1", "F 0 1", "S 1 2",
                                                            "F 0 2", "S 1 3", "F 0 3", "F 2 -1"}));
  const auto card = CardCertificates();
  ASSERT_EQ(card.size(), 2u);
  EXPECT_EQ(card.at("a1"), std::make_pair(std::string("Aláíró kulcs"), signerRenewed_.Der()));
  EXPECT_EQ(card.at("b2"), std::make_pair(std::string("Második"), secondRenewed_.Der()));
  EXPECT_EQ(ReadCard()->privateKeys.size(), 2u);
}

TEST_F(RenewalWorkerTest, AFailedInstallKeepsTheOldCertificateAndItsDeletionIsNeverBegun) {
  shim_->SetOption("rv_times.C_CreateObject", "1");
  shim_->InjectRv("C_CreateObject", 0x6);  // CKR_FUNCTION_FAILED, once
  EXPECT_TRUE(Renew());
  // Step 2 (the first old certificate's deletion) stays pending.
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 1 0", "S 1 1", "F 0 1", "S 1 3",
                                                            "F 0 3", "F 2 -1"}));
  const std::string first = FirstId();
  const std::string other = first == "a1" ? "b2" : "a1";
  EXPECT_EQ(CertificatesWithId(first), std::multiset<std::vector<uint8_t>>{OldOf(first).Der()});
  EXPECT_EQ(CertificatesWithId(other), std::multiset<std::vector<uint8_t>>{NewOf(other).Der()});
}

TEST_F(RenewalWorkerTest, AFailedDeletionLeavesBothCertificates) {
  shim_->SetOption("rv_times.C_DestroyObject", "1");
  shim_->InjectRv("C_DestroyObject", 0x6);
  EXPECT_TRUE(Renew());
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 0 0", "S 1 1", "F 0 1", "S 1 2",
                                                            "F 1 2", "S 1 3", "F 0 3", "F 2 -1"}));
  const std::string first = FirstId();
  const std::string other = first == "a1" ? "b2" : "a1";
  EXPECT_EQ(CertificatesWithId(first), (std::multiset<std::vector<uint8_t>>{OldOf(first).Der(), NewOf(first).Der()}));
  EXPECT_EQ(CertificatesWithId(other), std::multiset<std::vector<uint8_t>>{NewOf(other).Der()});
}

// The card leaves at one call of the run (before the call reaches it, or after it took the
// call but before the answer came back): the step is reported failed, nothing more is sent,
// the final report comes, and every key keeps its old or its new certificate.
TEST_F(RenewalWorkerTest, ACardPulledAtAnyStepKeepsACertificateForEveryKey) {
  struct Case {
    const char* function;
    int call;
    int step;  // the step that fails
  } cases[] = {{"C_CreateObject", 1, 0}, {"C_CreateObject", 2, 1}, {"C_DestroyObject", 1, 2},
               {"C_DestroyObject", 2, 3}};
  for (const Case& c : cases) {
    for (const bool afterCall : {false, true}) {
      SCOPED_TRACE(std::string(c.function) + " #" + std::to_string(c.call) + (afterCall ? " after the call" : ""));
      RestoreCard();
      progress_.Reset();
      shim_->ClearLog();
      shim_->SetOption(std::string("removed_at.") + c.function, std::to_string(c.call));
      if (afterCall) shim_->SetOption("removed_after_call", "1");
      Renew();
      std::vector<std::string> expected = {"S 0 -1"};
      for (int step = 0; step < c.step; ++step)
        for (const char* report : {"S 1 ", "F 0 "}) expected.push_back(report + std::to_string(step));
      expected.push_back("S 1 " + std::to_string(c.step));
      expected.push_back("F 1 " + std::to_string(c.step));
      expected.push_back("F 2 -1");
      EXPECT_EQ(progress_.Reports(), expected);
      // Nothing was sent after the call that met the removal.
      const std::vector<std::string> log = shim_->CallLog();
      size_t writes = 0;
      for (const std::string& line : log) writes += line == "C_CreateObject" || line == "C_DestroyObject";
      EXPECT_EQ(writes, static_cast<size_t>(c.step + 1));
      // The card comes back.
      shim_->ClearOption(std::string("removed_at.") + c.function);
      shim_->ClearOption("removed_after_call");
      ASSERT_TRUE(token_->OpenSession(true));
      for (const std::string id : {"a1", "b2"}) {
        const std::multiset<std::vector<uint8_t>> held = CertificatesWithId(id);
        EXPECT_FALSE(held.empty()) << id;
        for (const std::vector<uint8_t>& der : held)
          EXPECT_TRUE(der == OldOf(id).Der() || der == NewOf(id).Der()) << id;
      }
    }
  }
}

// A renewed key pair goes only once its partner's certificate is on the card: when that
// install fails, the old certificate and its keys stay.
TEST_F(RenewalWorkerTest, AnOldKeyPairStaysWhenItsPartnersInstallFails) {
  const TokenObjects& objects = *GetTokenObjects(false);
  std::list<TvrServices::RenewalOperation> operations(2);
  TvrServices::RenewalOperation& install = operations.front();
  install.id = "b2";
  install.label = "Második";
  install.newCertificate = secondRenewed_.Cert();
  TvrServices::RenewalOperation& deletion = operations.back();
  deletion.id = "a1";
  deletion.label = "Aláíró kulcs";
  deletion.oldCertificate = FindObjectHandleById(objects.certificates, "a1");
  deletion.oldPublicKey = FindObjectHandleById(objects.publicKeys, "a1");
  deletion.oldPrivateKey = FindObjectHandleById(objects.privateKeys, "a1");
  deletion.partnerCertificate = secondRenewed_.Cert();
  ASSERT_TRUE(deletion.oldCertificate && deletion.oldPublicKey && deletion.oldPrivateKey);

  shim_->InjectRv("C_CreateObject", 0x6);
  {
    TvrServices::RenewalWorker worker(*token_, operations, progress_);
    worker.Run();
    EXPECT_FALSE(worker.Changed());
  }
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 1 0", "F 2 -1"}));
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);

  // Once the partner's certificate is on, the old pair goes.
  shim_->ClearRv("C_CreateObject");
  progress_.Reset();
  {
    TvrServices::RenewalWorker worker(*token_, operations, progress_);
    worker.Run();
  }
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 0 0", "S 1 1", "F 0 1", "S 1 2",
                                                            "F 0 2", "S 1 3", "F 0 3", "F 2 -1"}));
  const std::unique_ptr<TokenObjects> card = ReadCard();
  EXPECT_EQ(FindObjectHandleById(card->certificates, "a1"), 0u);
  EXPECT_EQ(FindObjectHandleById(card->privateKeys, "a1"), 0u);
}

// A refused deletion of an old pair's certificate keeps that pair's keys (never a
// certificate without its key); the next pair is still deleted whole.
TEST_F(RenewalWorkerTest, ARefusedCertificateDeletionKeepsItsKeys) {
  const TokenObjects& objects = *GetTokenObjects(false);
  std::list<TvrServices::RenewalOperation> operations(2);
  for (auto [operation, id] : {std::pair{&operations.front(), "a1"}, std::pair{&operations.back(), "b2"}}) {
    operation->id = id;
    operation->label = id;
    operation->oldCertificate = FindObjectHandleById(objects.certificates, id);
    operation->oldPublicKey = FindObjectHandleById(objects.publicKeys, id);
    operation->oldPrivateKey = FindObjectHandleById(objects.privateKeys, id);
    ASSERT_TRUE(operation->oldCertificate && operation->oldPublicKey && operation->oldPrivateKey);
  }
  shim_->SetOption("rv_at.C_DestroyObject", "1");
  shim_->InjectRv("C_DestroyObject", 0x6);  // CKR_FUNCTION_FAILED for a1's certificate
  {
    TvrServices::RenewalWorker worker(*token_, operations, progress_);
    worker.Run();
  }
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 1 0", "S 1 3", "F 0 3", "S 1 4",
                                                            "F 0 4", "S 1 5", "F 0 5", "F 2 -1"}));
  const std::unique_ptr<TokenObjects> card = ReadCard();
  EXPECT_NE(FindObjectHandleById(card->certificates, "a1"), 0u);
  EXPECT_NE(FindObjectHandleById(card->publicKeys, "a1"), 0u);
  EXPECT_NE(FindObjectHandleById(card->privateKeys, "a1"), 0u);
  EXPECT_EQ(FindObjectHandleById(card->certificates, "b2"), 0u);
  EXPECT_EQ(FindObjectHandleById(card->publicKeys, "b2"), 0u);
  EXPECT_EQ(FindObjectHandleById(card->privateKeys, "b2"), 0u);
}

TEST_F(RenewalWorkerTest, NothingConfirmedChangesNothing) {
  candidates_.clear();
  EXPECT_FALSE(Renew());
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "F 2 -1"}));
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
}
