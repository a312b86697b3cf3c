// Pairing of card objects with renewal candidates, and the operations and steps a
// confirmed pairing gives.
#include "RenewalPairing.h"

#include "SearchTestCertificates.h"
#include "SharedUtilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <map>

using namespace TvrServices;
using TvrTest::PkiItem;

namespace {

constexpr std::time_t kDay = 86400;

using KeyPtr = std::unique_ptr<EVP_PKEY, SearchTestCertificates::KeyFree>;

KeyPtr RsaKey(unsigned exponent) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  BIGNUM* e = BN_new();
  BN_set_word(e, exponent);
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen_init(context) == 1 && EVP_PKEY_CTX_set_rsa_keygen_bits(context, 1024) == 1
      && EVP_PKEY_CTX_set1_rsa_keygen_pubexp(context, e) == 1)
    EVP_PKEY_keygen(context, &key);
  BN_free(e);
  EVP_PKEY_CTX_free(context);
  return KeyPtr(key);
}

PkiItem Issue(const std::string& cn, std::time_t notBefore, EVP_PKEY* key, std::time_t notAfter = 0,
              const std::string& keyUsage = "critical,digitalSignature,nonRepudiation") {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notBefore;
  spec.notAfter = notAfter;
  if (!keyUsage.empty()) spec.extensions = {{"keyUsage", keyUsage}};
  return TvrTest::CertBuilder::Issue(spec, &TvrTest::TestPki::Get().Intermediate(), key);
}

std::string Thumb(const PkiItem& item) { return CertificateThumbprintHex(item.Cert()); }

EvpPkeyPtr CopyKey(EVP_PKEY* key) {
  EVP_PKEY_up_ref(key);
  return EvpPkeyPtr(key);
}

struct Card {
  TokenObjects objects;
  CK_OBJECT_HANDLE next = 1;
  CK_OBJECT_HANDLE Certificate(const PkiItem& item, const std::string& id) {
    objects.AddCertificate(next, id, "cert " + id, item.Der());
    return next++;
  }
  CK_OBJECT_HANDLE PublicKey(EVP_PKEY* key, const std::string& id) {
    objects.AddPublicKey(next, id, "pub " + id, false)->publicKey = CopyKey(key);
    return next++;
  }
  CK_OBJECT_HANDLE PrivateKey(const std::string& id) {
    objects.AddPrivateKey(next, id, "priv " + id, false);
    return next++;
  }
};

CandidateMap MapOf(const std::vector<const PkiItem*>& items) {
  CandidateMap map;
  for (const PkiItem* item : items) map[Thumb(*item)] = item->Cert();
  return map;
}

// The test PKI's root as the trust anchor, its intermediate as a further issuer.
RenewalTrustStores TestPkiStores() {
  RenewalTrustStores stores;
  stores.anchors.emplace_back(X509_dup(TvrTest::TestPki::Get().Root().Cert()));
  stores.issuers.emplace_back(X509_dup(TvrTest::TestPki::Get().Intermediate().Cert()));
  return stores;
}

RenewalTrust TrustOf(const Card& card, const CandidateMap& candidates, const RenewalTrustStores& stores = TestPkiStores()) {
  return RenewalTrust(card.objects, candidates, stores, TvrCommon::Date::Now(), nullptr);
}

std::map<CK_OBJECT_HANDLE, RenewalRow> ByHandle(const std::vector<RenewalRow>& rows) {
  std::map<CK_OBJECT_HANDLE, RenewalRow> map;
  for (const RenewalRow& row : rows) map[row.handle] = row;
  return map;
}

}  // namespace

TEST(RenewalPairingTest, RowsAndActionsOfCardObjectsAgainstCandidates) {
  const std::time_t now = std::time(nullptr);
  KeyPtr signKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr expiredSignKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr expiredCryptKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr validSignKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr noUsageKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr bareKey(TvrTest::CertBuilder::NewKey("ec"));
  KeyPtr lonelyKey(TvrTest::CertBuilder::NewKey("ec"));

  PkiItem old = Issue("Old", now - 10 * kDay, signKey.get());
  PkiItem renewalA = Issue("RenewalA", now - kDay, signKey.get());
  PkiItem renewalB = Issue("RenewalB", now - kDay, signKey.get());
  PkiItem expiredSign = Issue("ExpiredSign", now - 400 * kDay, expiredSignKey.get(), now - kDay);
  PkiItem expiredCrypt = Issue("ExpiredCrypt", now - 400 * kDay, expiredCryptKey.get(), now - kDay,
                               "critical,digitalSignature,keyEncipherment");
  PkiItem validSign = Issue("ValidSign", now - kDay, validSignKey.get());
  PkiItem noUsage = Issue("NoUsage", now - 400 * kDay, noUsageKey.get(), now - kDay, "");
  PkiItem bare2018 = Issue("Bare2018", now - 3 * 365 * kDay, bareKey.get());
  PkiItem bare2020a = Issue("Bare2020a", now - 2 * 365 * kDay, bareKey.get());
  PkiItem bare2020b = Issue("Bare2020b", now - 2 * 365 * kDay, bareKey.get());
  // The same second: the one with the smaller thumbprint is proposed.
  const bool aFirst = Thumb(renewalA) < Thumb(renewalB);
  const PkiItem& smallerRenewal = aFirst ? renewalA : renewalB;
  const PkiItem& earlierBare = Thumb(bare2020a) < Thumb(bare2020b) ? bare2020a : bare2020b;

  Card card;
  const CK_OBJECT_HANDLE oldRow = card.Certificate(old, "01");
  card.PublicKey(signKey.get(), "01");  // has its certificate: no key row
  const CK_OBJECT_HANDLE expiredSignRow = card.Certificate(expiredSign, "02");
  const CK_OBJECT_HANDLE expiredCryptRow = card.Certificate(expiredCrypt, "04");
  const CK_OBJECT_HANDLE validSignRow = card.Certificate(validSign, "05");
  const CK_OBJECT_HANDLE noUsageRow = card.Certificate(noUsage, "06");
  const CK_OBJECT_HANDLE bareRow = card.PublicKey(bareKey.get(), "07");
  card.PublicKey(lonelyKey.get(), "08");  // no candidate: no row
  card.objects.AddCertificate(card.next++, "09", "broken", {0x30, 0x03, 0x02, 0x01, 0x01});

  // The old certificate itself is a candidate too, and must never be proposed.
  const CandidateMap candidates = MapOf({&old, &renewalA, &renewalB, &bare2018, &bare2020a, &bare2020b});
  const RenewalTrust trust = TrustOf(card, candidates);
  const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
  ASSERT_EQ(rows.size(), 7u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(rows[i].kind, RenewalRowKind::Certificate) << i;
  EXPECT_EQ(rows[6].kind, RenewalRowKind::Key);
  auto row = ByHandle(rows);

  struct Expect {
    CK_OBJECT_HANDLE handle;
    std::string decision;
    RenewalAction action;
  } expected[] = {
      {oldRow, Thumb(smallerRenewal), RenewalAction::Replace},
      {expiredSignRow, "", RenewalAction::Delete},
      {expiredCryptRow, Thumb(expiredCrypt), RenewalAction::None},
      {validSignRow, Thumb(validSign), RenewalAction::None},
      {noUsageRow, Thumb(noUsage), RenewalAction::None},
      {bareRow, Thumb(earlierBare), RenewalAction::Install},
  };
  for (const Expect& e : expected) {
    EXPECT_EQ(row[e.handle].decision, e.decision) << e.handle;
    EXPECT_EQ(row[e.handle].Action(), e.action) << e.handle;
  }
  EXPECT_EQ(rows[5].ownThumbprint, "");  // the undecodable certificate
  EXPECT_EQ(rows[5].Action(), RenewalAction::None);

  // Confirmed with everything ticked: a replacement (two steps), a deletion, an install.
  std::vector<bool> ticked;
  for (const RenewalRow& r : rows) ticked.push_back(r.Action() != RenewalAction::None);
  std::list<RenewalOperation> operations = BuildRenewalOperations(rows, ticked, card.objects, candidates, trust);
  ASSERT_EQ(operations.size(), 3u);
  auto it = operations.begin();
  EXPECT_EQ(it->oldCertificate, oldRow);
  EXPECT_EQ(it->newCertificate, smallerRenewal.Cert());
  EXPECT_EQ(it->label, "cert 01");
  EXPECT_EQ(it->id, "01");
  ++it;
  EXPECT_EQ(it->oldCertificate, expiredSignRow);
  EXPECT_EQ(it->newCertificate, nullptr);
  EXPECT_EQ(it->oldPublicKey, 0u);
  ++it;
  EXPECT_EQ(it->oldCertificate, 0u);
  EXPECT_EQ(it->label, "pub 07");
  EXPECT_EQ(it->newCertificate, earlierBare.Cert());
  std::vector<RenewalStep> steps;
  for (const RenewalTask& task : RenewalTasks(operations)) steps.push_back(task.step);
  // Every install before any deletion.
  EXPECT_EQ(steps, (std::vector<RenewalStep>{RenewalStep::InstallCertificate, RenewalStep::InstallCertificate,
                                             RenewalStep::DeleteCertificate, RenewalStep::DeleteCertificate}));

  // Unticked rows fall back to what the card holds; nothing ticked gives nothing to do.
  EXPECT_TRUE(BuildRenewalOperations(rows, std::vector<bool>(rows.size(), false), card.objects, candidates, trust)
                  .empty());
}

TEST(RenewalPairingTest, RenewedKeyPairIsDeletedWithItsKeysUnlessItsCertificateWasRenewed) {
  const std::time_t now = std::time(nullptr);
  KeyPtr oldKey = RsaKey(101);
  KeyPtr partnerKey = RsaKey(65537);
  ASSERT_TRUE(oldKey && partnerKey);
  EXPECT_TRUE(IsRenewalKeyObject(oldKey.get()));
  EXPECT_FALSE(IsRenewalKeyObject(partnerKey.get()));

  PkiItem old = Issue("Old pair", now - 10 * kDay, oldKey.get());
  PkiItem partner = Issue("Partner", now - kDay, partnerKey.get());

  struct Case {
    std::string oldId, partnerId;
    bool match;
  } cases[] = {{"445335", "445333", true}, {"445333", "445334", true}, {"445334", "445335", true},
               {"03", "13", true},         {"01", "11", true},         {"445335", "445334", false},
               {"02", "12", false}};
  for (const Case& c : cases) {
    Card card;
    const CK_OBJECT_HANDLE certificate = card.Certificate(old, c.oldId);
    const CK_OBJECT_HANDLE publicKey = card.PublicKey(oldKey.get(), c.oldId);
    const CK_OBJECT_HANDLE privateKey = card.PrivateKey(c.oldId);
    card.PublicKey(partnerKey.get(), c.partnerId);
    const CandidateMap candidates = MapOf({&partner});
    EXPECT_EQ(MatchRenewalKeyPair(*card.objects.FindCertificate(certificate), card.objects, candidates), c.match)
        << c.oldId;
    const RenewalTrust trust = TrustOf(card, candidates);
    const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
    // The partner key gets its certificate installed by a row of its own.
    ASSERT_EQ(rows.size(), 2u) << c.oldId;
    EXPECT_EQ(rows[0].Action(), c.match ? RenewalAction::Delete : RenewalAction::None) << c.oldId;
    EXPECT_EQ(rows[1].Action(), RenewalAction::Install) << c.oldId;
    if (!c.match) continue;
    // Without the partner's install in the same run the old pair stays.
    EXPECT_TRUE(BuildRenewalOperations(rows, {true, false}, card.objects, candidates, trust).empty()) << c.oldId;
    const auto operations = BuildRenewalOperations(rows, {true, true}, card.objects, candidates, trust);
    ASSERT_EQ(operations.size(), 2u);
    EXPECT_EQ(operations.front().oldPublicKey, publicKey);
    EXPECT_EQ(operations.front().oldPrivateKey, privateKey);
    EXPECT_EQ(operations.front().partnerCertificate, partner.Cert());
    std::vector<RenewalStep> steps;
    for (const RenewalTask& task : RenewalTasks(operations)) steps.push_back(task.step);
    EXPECT_EQ(steps, (std::vector<RenewalStep>{RenewalStep::InstallCertificate, RenewalStep::DeleteCertificate,
                                               RenewalStep::DeletePublicKey, RenewalStep::DeletePrivateKey}));
  }

  // A partner certificate that becomes valid only later cannot stand in yet: the old
  // pair is not proposed for deletion, and the partner key gets no install row either.
  {
    PkiItem later = Issue("Partner later", now + 10 * kDay, partnerKey.get(), now + 400 * kDay);
    Card card;
    const CK_OBJECT_HANDLE certificate = card.Certificate(old, "445335");
    card.PublicKey(oldKey.get(), "445335");
    card.PrivateKey("445335");
    card.PublicKey(partnerKey.get(), "445333");
    const CandidateMap candidates = MapOf({&later});
    EXPECT_FALSE(MatchRenewalKeyPair(*card.objects.FindCertificate(certificate), card.objects, candidates));
    const RenewalTrust trust = TrustOf(card, candidates);
    const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Action(), RenewalAction::None);
    // Even a delete-only decision forced on the row leaves the pair alone.
    std::vector<RenewalRow> forced = rows;
    forced[0].decision.clear();
    for (const RenewalOperation& operation :
         BuildRenewalOperations(forced, {true}, card.objects, candidates, trust)) {
      EXPECT_EQ(operation.oldPublicKey, 0u);
      EXPECT_EQ(operation.oldPrivateKey, 0u);
    }
  }

  // The partner's certificate is on the card already (an earlier run cut after its
  // install, or another tool): a valid one lets the old pair go on its own; one not yet
  // valid means the deletion is not offered at all, never a ticked row the run drops.
  {
    PkiItem onCardLater = Issue("Partner on card later", now + 10 * kDay, partnerKey.get(), now + 400 * kDay);
    struct OnCard {
      const PkiItem* partnerOnCard;
      bool offered;
    } onCardCases[] = {{&partner, true}, {&onCardLater, false}};
    for (const OnCard& c : onCardCases) {
      Card card;
      const CK_OBJECT_HANDLE certificate = card.Certificate(old, "445335");
      const CK_OBJECT_HANDLE publicKey = card.PublicKey(oldKey.get(), "445335");
      const CK_OBJECT_HANDLE privateKey = card.PrivateKey("445335");
      card.Certificate(*c.partnerOnCard, "445333");
      card.PublicKey(partnerKey.get(), "445333");
      const CandidateMap candidates = MapOf({&partner});
      const RenewalTrust trust = TrustOf(card, candidates);
      const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
      ASSERT_EQ(rows.size(), 2u);
      ASSERT_EQ(rows[0].handle, certificate);
      EXPECT_EQ(rows[0].Action(), c.offered ? RenewalAction::Delete : RenewalAction::None) << c.offered;
      EXPECT_EQ(rows[1].Action(), RenewalAction::None) << c.offered;
      const auto operations = BuildRenewalOperations(rows, {true, true}, card.objects, candidates, trust);
      if (!c.offered) {
        EXPECT_TRUE(operations.empty());
        continue;
      }
      ASSERT_EQ(operations.size(), 1u);
      EXPECT_EQ(operations.front().oldCertificate, certificate);
      EXPECT_EQ(operations.front().oldPublicKey, publicKey);
      EXPECT_EQ(operations.front().oldPrivateKey, privateKey);
      std::vector<RenewalStep> steps;
      for (const RenewalTask& task : RenewalTasks(operations)) steps.push_back(task.step);
      EXPECT_EQ(steps, (std::vector<RenewalStep>{RenewalStep::DeleteCertificate, RenewalStep::DeletePublicKey,
                                                 RenewalStep::DeletePrivateKey}));
    }
  }

  // A renewal of the old certificate itself wins: it is replaced, never only deleted,
  // and its keys stay.
  PkiItem renewed = Issue("Old pair renewed", now - kDay, oldKey.get());
  Card card;
  card.Certificate(old, "445335");
  card.PublicKey(oldKey.get(), "445335");
  card.PrivateKey("445335");
  card.PublicKey(partnerKey.get(), "445333");
  const CandidateMap candidates = MapOf({&partner, &renewed});
  const RenewalTrust trust = TrustOf(card, candidates);
  const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].decision, Thumb(renewed));
  EXPECT_EQ(rows[0].Action(), RenewalAction::Replace);
  std::vector<RenewalStep> steps;
  for (const RenewalTask& task : RenewalTasks(BuildRenewalOperations(rows, {true, false}, card.objects, candidates, trust)))
    steps.push_back(task.step);
  EXPECT_EQ(steps, (std::vector<RenewalStep>{RenewalStep::InstallCertificate, RenewalStep::DeleteCertificate}));
}

namespace {

// Serves fixed files by address and remembers what was asked.
class FileDownloader : public TvrX509::IStoreContextDownloader {
 public:
  std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url) override {
    asked.push_back(url);
    const auto found = files.find(url);
    if (found == files.end()) return nullptr;
    return std::make_unique<TvrCommon::ByteArray>(found->second.data(), found->second.size());
  }
  std::map<std::string, std::vector<unsigned char>> files;
  std::vector<std::string> asked;
};

constexpr const char* kIssuerUrl = "http://aia.test/issuer.der";
constexpr const char* kOtherUrl = "http://aia.test/other.der";
const std::string kIntermediateSubject = "/C=HU/O=Tavrenic Test/OU=Issuing/CN=Tavrenic Test Intermediate CA";

PkiItem Ca(const std::string& subject, const PkiItem* issuer) {
  TvrTest::CertSpec spec;
  spec.subject = subject;
  spec.ca = true;
  return TvrTest::CertBuilder::Issue(spec, issuer);
}

// A signing certificate for `key` from `issuer`, naming `aia` as where its issuer is.
PkiItem IssuedBy(const PkiItem& issuer, const std::string& cn, std::time_t notBefore, EVP_PKEY* key,
                 const std::string& aia = {}) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.notBefore = notBefore;
  spec.extensions = {{"keyUsage", "critical,digitalSignature,nonRepudiation"}};
  if (!aia.empty()) spec.extensions.push_back({"authorityInfoAccess", "caIssuers;URI:" + aia});
  return TvrTest::CertBuilder::Issue(spec, &issuer, key);
}

X509Ptr Dup(const PkiItem& item) { return X509Ptr(X509_dup(item.Cert())); }

}  // namespace

TEST(RenewalPairingTest, OnlyCandidatesOfTheIssuerOrChainingToAnAnchorAreProposed) {
  const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
  const std::time_t now = std::time(nullptr);
  KeyPtr key(TvrTest::CertBuilder::NewKey("ec"));
  const PkiItem old = IssuedBy(pki.Intermediate(), "Old", now - 10 * kDay, key.get(), kIssuerUrl);
  // Another issuing CA under the same root, and a self-made one named like the real issuer.
  const PkiItem otherCa = Ca(kIntermediateSubject + " 2", &pki.Root());
  const PkiItem forgedCa = Ca(kIntermediateSubject, nullptr);
  const PkiItem fromIssuer = IssuedBy(pki.Intermediate(), "Renewal", now - kDay, key.get());
  const PkiItem fromOther = IssuedBy(otherCa, "Renewal", now - kDay, key.get(), kOtherUrl);
  const PkiItem forged = IssuedBy(forgedCa, "Renewal", now - kDay, key.get(), kIssuerUrl);
  // The issuer's name and key in a certificate that expired, and in one that is no CA:
  // each verifies what the issuer signed, but neither may vouch for it.
  TvrTest::CertSpec expiredSpec;
  expiredSpec.subject = kIntermediateSubject;
  expiredSpec.ca = true;
  expiredSpec.notBefore = now - 800 * kDay;
  expiredSpec.notAfter = now - 30 * kDay;
  const PkiItem expiredIssuer = TvrTest::CertBuilder::Issue(expiredSpec, &pki.Root(), pki.Intermediate().Key());
  TvrTest::CertSpec endEntitySpec;
  endEntitySpec.subject = kIntermediateSubject;
  const PkiItem endEntityIssuer = TvrTest::CertBuilder::Issue(endEntitySpec, &pki.Root(), pki.Intermediate().Key());

  struct Case {
    const char* what;
    const PkiItem* candidate;
    std::vector<const PkiItem*> anchors, issuers;
    const PkiItem* issuerOnCard;
    std::map<std::string, const PkiItem*> served;
    bool proposed;
  };
  const Case cases[] = {
      {"from the issuer, chaining to the root", &fromIssuer, {&pki.Root()}, {&pki.Intermediate()}, nullptr, {}, true},
      {"from the issuer the card holds", &fromIssuer, {}, {}, &pki.Intermediate(), {}, true},
      {"from the issuer in CA, without any anchor", &fromIssuer, {}, {&pki.Intermediate()}, nullptr, {}, true},
      {"from the issuer fetched from the card certificate's address", &fromIssuer, {}, {}, nullptr,
       {{kIssuerUrl, &pki.Intermediate()}}, true},
      {"a fetched certificate that did not sign the card's", &fromIssuer, {}, {}, nullptr,
       {{kIssuerUrl, &forgedCa}}, false},
      {"from another CA chaining to the root", &fromOther, {&pki.Root()}, {&otherCa}, nullptr, {}, true},
      {"from another CA known only at the candidate's own address", &fromOther, {&pki.Root()}, {}, nullptr,
       {{kOtherUrl, &otherCa}, {kIssuerUrl, &pki.Intermediate()}}, false},
      {"from a self-made CA named like the issuer", &forged, {&pki.Root()}, {&pki.Intermediate()},
       &pki.Intermediate(), {{kIssuerUrl, &pki.Intermediate()}}, false},
      {"from the issuer, whose certificate on the card expired", &fromIssuer, {}, {}, &expiredIssuer, {}, false},
      {"from the issuer, whose fetched certificate expired", &fromIssuer, {}, {}, nullptr,
       {{kIssuerUrl, &expiredIssuer}}, false},
      {"from the issuer, expired on the card but current at its address", &fromIssuer, {}, {}, &expiredIssuer,
       {{kIssuerUrl, &pki.Intermediate()}}, true},
      {"from the issuer's key in a certificate that is no CA, on the card", &fromIssuer, {}, {}, &endEntityIssuer,
       {}, false},
      {"from the issuer's key in a fetched certificate that is no CA", &fromIssuer, {}, {}, nullptr,
       {{kIssuerUrl, &endEntityIssuer}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Card card;
    const CK_OBJECT_HANDLE certificate = card.Certificate(old, "01");
    if (c.issuerOnCard) card.Certificate(*c.issuerOnCard, "ca");
    RenewalTrustStores stores;
    for (const PkiItem* item : c.anchors) stores.anchors.push_back(Dup(*item));
    for (const PkiItem* item : c.issuers) stores.issuers.push_back(Dup(*item));
    FileDownloader downloader;
    for (const auto& [url, item] : c.served) downloader.files[url] = item->Der();
    // The self-made CA comes with its candidate, as a source would send it.
    const CandidateMap candidates = MapOf({c.candidate, &forgedCa});
    const RenewalTrust trust(card.objects, candidates, stores, TvrCommon::Date::Now(), &downloader);

    const RenewalRow row = ByHandle(PairRenewalCandidates(card.objects, candidates, trust))[certificate];
    EXPECT_EQ(row.decision, c.proposed ? Thumb(*c.candidate) : Thumb(old));
    EXPECT_EQ(CandidatesForRow(row, card.objects, candidates, trust).size(), c.proposed ? 1u : 0u);
    // A choice the trust does not back is no operation either.
    RenewalRow chosen = row;
    chosen.decision = Thumb(*c.candidate);
    EXPECT_EQ(BuildRenewalOperations({chosen}, {true}, card.objects, candidates, trust).size(), c.proposed ? 1u : 0u);
    // A candidate's own address is never fetched.
    for (const std::string& url : downloader.asked) EXPECT_NE(url, kOtherUrl);
  }
}

TEST(RenewalPairingTest, AForgedPartnerCertificateNeverDeletesTheOldKeyPair) {
  const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
  const std::time_t now = std::time(nullptr);
  KeyPtr oldKey = RsaKey(101);
  KeyPtr partnerKey = RsaKey(65537);
  ASSERT_TRUE(oldKey && partnerKey);
  const PkiItem old = IssuedBy(pki.Intermediate(), "Old pair", now - 10 * kDay, oldKey.get());
  const PkiItem forgedCa = Ca(kIntermediateSubject, nullptr);
  const PkiItem partner = IssuedBy(pki.Intermediate(), "Partner", now - kDay, partnerKey.get());
  const PkiItem forgedPartner = IssuedBy(forgedCa, "Partner", now - kDay, partnerKey.get());
  struct Case {
    const PkiItem* partner;
    bool deleted;
  };
  for (const Case& c : {Case{&forgedPartner, false}, Case{&partner, true}}) {
    Card card;
    const CK_OBJECT_HANDLE certificate = card.Certificate(old, "445335");
    card.PublicKey(oldKey.get(), "445335");
    card.PrivateKey("445335");
    card.PublicKey(partnerKey.get(), "445333");
    const CandidateMap candidates = MapOf({c.partner, &forgedCa});
    const RenewalTrust trust = TrustOf(card, candidates);
    const std::vector<RenewalRow> rows = PairRenewalCandidates(card.objects, candidates, trust);
    EXPECT_EQ(ByHandle(rows)[certificate].Action(), c.deleted ? RenewalAction::Delete : RenewalAction::None);
    // Even a row turned into a deletion by hand keeps the keys without a vouched partner.
    // (with every other row, the partner's install among them, confirmed as well).
    std::vector<RenewalRow> confirmed = rows;
    for (RenewalRow& row : confirmed)
      if (row.handle == certificate) row.decision.clear();
    const auto operations = BuildRenewalOperations(confirmed, std::vector<bool>(confirmed.size(), true), card.objects,
                                                   candidates, trust);
    const auto deletion = std::find_if(operations.begin(), operations.end(),
                                       [&](const RenewalOperation& o) { return o.oldCertificate == certificate; });
    ASSERT_NE(deletion, operations.end());
    EXPECT_EQ(deletion->oldPublicKey != 0, c.deleted);
    EXPECT_EQ(deletion->oldPrivateKey != 0, c.deleted);
  }
}
