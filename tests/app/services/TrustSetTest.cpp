// The revocation check's trust set: built once per version of the "ROOT" and "CA" stores,
// shared by every checker, and built again whenever either store (or the trust bundle
// behind "ROOT") changes.
#include "ServicesFixture.h"
#include "TrustSet.h"

#include "X509CertificateImpl.h"
#include "platform/CertStore.h"

#include <cstdlib>
#include <fstream>

using TvrServices::TrustSet;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

PkiItem SelfSignedCa(const std::string& cn) {
  TvrTest::CertSpec spec;
  spec.subject = "/C=HU/O=Tavrenic/CN=" + cn;
  spec.ca = true;
  return TvrTest::CertBuilder::Issue(spec, nullptr);
}

// The set's certificates named like `item`, as (trusted) flags.
std::vector<bool> Named(const TrustSet& set, const PkiItem& item) {
  std::vector<bool> found;
  for (const auto* certificate : set.WithSubject(X509_get_subject_name(item.Cert())))
    found.push_back(certificate->IsTrusted());
  return found;
}

using TrustSetTest = ServicesFixture;

TEST_F(TrustSetTest, BuiltOncePerVersionOfTheStores) {
  const TestPki& pki = TestPki::Get();
  auto first = TrustSet::Current();
  EXPECT_EQ(TrustSet::Current(), first);
  EXPECT_EQ(first->Certificates().size(), 2u);
  EXPECT_EQ(Named(*first, pki.Root()), std::vector<bool>{true});
  EXPECT_EQ(Named(*first, pki.Intermediate()), std::vector<bool>{false});

  // A root that is in "CA" as well stays a trust anchor, once.
  AddToStore("CA", pki.Root());
  auto second = TrustSet::Current();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->Certificates().size(), 2u);
  EXPECT_EQ(Named(*second, pki.Root()), std::vector<bool>{true});

  // The bundle behind "ROOT" rewritten: its certificate comes in, decoded once by the store
  // layer and shared, not decoded again.
  const PkiItem bundled = SelfSignedCa("Bundled Root");
  std::ofstream(std::getenv("TVR_TRUST_BUNDLE")) << bundled.Pem();
  auto third = TrustSet::Current();
  EXPECT_NE(third, second);
  ASSERT_EQ(Named(*third, bundled), std::vector<bool>{true});
  auto root = Platform::CertStore::OpenSystem("ROOT");
  std::vector<unsigned char> der = bundled.Der();
  auto fromBundle = root->FindByThumbprint(Platform::CertContext::Create(der.data(), der.size())->Thumbprint());
  ASSERT_TRUE(fromBundle);
  EXPECT_EQ(TvrX509::X509CertificateImpl::Get(*third->WithSubject(X509_get_subject_name(bundled.Cert()))[0]),
            fromBundle->Certificate());
  EXPECT_EQ(TrustSet::Current(), third);

  // A certificate taken out of "CA" leaves the set.
  auto ca = Platform::CertStore::OpenSystem("CA");
  der = pki.Intermediate().Der();
  ASSERT_TRUE(ca->Delete(*Platform::CertContext::Create(der.data(), der.size())));
  auto fourth = TrustSet::Current();
  EXPECT_NE(fourth, third);
  EXPECT_TRUE(Named(*fourth, pki.Intermediate()).empty());
}

}  // namespace
