#include "CertificateCandidates.h"
#include "SearchTestCertificates.h"
#include "SharedUtilities.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

using TvrServices::CandidateSet;
using TvrTest::PkiItem;

namespace {

X509Ptr Copy(const PkiItem& item) {
  X509_up_ref(item.Cert());
  return X509Ptr(item.Cert());
}

}  // namespace

TEST(RenewalTest, OnlyLaterValidCertificatesOfTheSameKeyRenew) {
  SearchTestCertificates certs;
  EVP_PKEY* key = certs.cardKey.get();
  // Same second as the old one, same key, other content (serial): still a renewal.
  PkiItem sameSecond = certs.Issue("Same second", certs.old.NotBefore(), key);
  PkiItem earlier = certs.Issue("Earlier", certs.old.NotBefore() - 60, key);
  PkiItem notYetValid = certs.Issue("Future", certs.now + 86400, key, certs.now + 400 * 86400);
  PkiItem expired = certs.Issue("Expired", certs.now - 5 * 86400, key, certs.now - 86400);
  struct Case {
    const char* what;
    const PkiItem& candidate;
    bool renews;
  } cases[] = {
      {"later, same key", certs.renewal, true},
      {"same second, same key", sameSecond, true},
      {"the old certificate itself", certs.old, false},
      {"another key", certs.stranger, false},
      {"issued earlier", earlier, false},
      {"not yet valid", notYetValid, false},
      {"expired", expired, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TvrServices::IsRenewalCertificate(certs.old.Cert(), c.candidate.Cert()), c.renews) << c.what;
  // An identical copy decoded anew is still the same certificate.
  std::vector<unsigned char> der = certs.old.Der();
  const unsigned char* cursor = der.data();
  X509Ptr copy(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  EXPECT_FALSE(TvrServices::IsRenewalCertificate(certs.old.Cert(), copy.get()));
  EXPECT_FALSE(TvrServices::IsRenewalCertificate(nullptr, certs.renewal.Cert()));
}

TEST(CandidateMapTest, KeysByThumbprintAndCollapsesEqualCertificates) {
  SearchTestCertificates certs;
  CandidateSet set;
  TvrServices::AddCandidate(set, Copy(certs.renewal));
  TvrServices::AddCandidate(set, Copy(certs.stranger));
  // The same certificate decoded twice: two objects in the set, one key in the map.
  std::vector<unsigned char> der = certs.renewal.Der();
  const unsigned char* cursor = der.data();
  TvrServices::AddCandidate(set, X509Ptr(d2i_X509(nullptr, &cursor, static_cast<long>(der.size()))));
  TvrServices::AddCandidate(set, nullptr);
  ASSERT_EQ(set.size(), 3u);

  TvrServices::CandidateMap map = TvrServices::MapCertificatesByThumbprint(set);
  ASSERT_EQ(map.size(), 2u);
  std::string renewal = CertificateThumbprintHex(certs.renewal.Cert());
  ASSERT_TRUE(map.count(renewal));
  EXPECT_EQ(X509_cmp(map.at(renewal), certs.renewal.Cert()), 0);
}
