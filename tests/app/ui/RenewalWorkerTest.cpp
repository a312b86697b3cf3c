// The renewal worker on a SoftHSM2 card: the steps it reports and what the card holds
// afterwards, also when the module refuses a deletion or a creation.
#include <gtest/gtest.h>

#include <mutex>

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

  PkiItem signer_ = Leaf("Kovács Éva");
  PkiItem second_ = Leaf("Második Márta");
  PkiItem signerRenewed_ = Leaf("Kovács Éva", signer_.Key());
  PkiItem secondRenewed_ = Leaf("Második Márta", second_.Key());
  TvrServices::CandidateMap candidates_;
  RecordingProgress progress_;
};

}  // namespace

TEST_F(RenewalWorkerTest, ReplacesTheCertificatesStepByStep) {
  std::vector<std::string> texts;
  EXPECT_TRUE(Renew(&texts));
  // Operations follow the card's handle order.
  std::vector<std::string> expected;
  for (const auto& [handle, record] : GetTokenObjects(false)->certificates) {
    expected.push_back("Régi tanúsítvány törlése: " + record->label);
    expected.push_back("Új tanúsítvány telepítése: " + record->label);
  }
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 0 0", "S 1 1", "F 0 1", "S 1 2",
                                                            "F 0 2", "S 1 3", "F 0 3", "F 2 -1"}));
  const auto card = CardCertificates();
  ASSERT_EQ(card.size(), 2u);
  EXPECT_EQ(card.at("a1"), std::make_pair(std::string("Aláíró kulcs"), signerRenewed_.Der()));
  EXPECT_EQ(card.at("b2"), std::make_pair(std::string("Második"), secondRenewed_.Der()));
  EXPECT_EQ(ReadCard()->privateKeys.size(), 2u);
}

TEST_F(RenewalWorkerTest, AFailedInstallLeavesTheOldCertificateOnTheCard) {
  shim_->SetOption("rv_times.C_CreateObject", "1");
  shim_->InjectRv("C_CreateObject", 0x6);  // CKR_FUNCTION_FAILED, once
  EXPECT_TRUE(Renew());
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 0 0", "S 1 1", "F 1 1", "S 1 2",
                                                            "F 0 2", "S 1 3", "F 0 3", "F 2 -1"}));
  // The first certificate in handle order kept its old content, label and id.
  const CertificateObject& first = *GetTokenObjects(false)->certificates.begin()->second;
  const bool signerFirst = first.GetId() == "a1";
  const auto card = CardCertificates();
  ASSERT_EQ(card.size(), 2u);
  EXPECT_EQ(card.at(first.GetId()), std::make_pair(first.label, first.value));
  EXPECT_EQ(card.at(signerFirst ? "b2" : "a1").second, (signerFirst ? secondRenewed_ : signerRenewed_).Der());
}

TEST_F(RenewalWorkerTest, AFailedDeletionSkipsItsInstallButKeepsTheSteps) {
  shim_->SetOption("rv_times.C_DestroyObject", "1");
  shim_->InjectRv("C_DestroyObject", 0x6);
  EXPECT_TRUE(Renew());
  // Step 1 never begins; the second certificate's steps keep their numbers.
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "S 1 0", "F 1 0", "S 1 2", "F 0 2", "S 1 3",
                                                            "F 0 3", "F 2 -1"}));
  const CertificateObject& first = *GetTokenObjects(false)->certificates.begin()->second;
  const bool signerFirst = first.GetId() == "a1";
  const auto card = CardCertificates();
  EXPECT_EQ(card.at(first.GetId()).second, first.value);
  EXPECT_EQ(card.at(signerFirst ? "b2" : "a1").second, (signerFirst ? secondRenewed_ : signerRenewed_).Der());
}

TEST_F(RenewalWorkerTest, NothingConfirmedChangesNothing) {
  candidates_.clear();
  EXPECT_FALSE(Renew());
  EXPECT_EQ(progress_.Reports(), (std::vector<std::string>{"S 0 -1", "F 2 -1"}));
  EXPECT_EQ(shim_->CountCalls("C_DestroyObject"), 0u);
}
