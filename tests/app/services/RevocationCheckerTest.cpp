// The revocation check against `openssl ocsp` on 127.0.0.1, reached through the scripted
// server's relay, so the tests also see which addresses were asked and in what order.
#include "RevocationChecker.h"
#include "ServicesFixture.h"

#include "HttpClient.h"
#include "OCSPRequest.h"
#include "X509Certificate.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

using TvrServices::HttpOptions;
using TvrServices::RevocationChecker;
using TvrTest::HttpTestServer;
using TvrTest::PkiItem;
using TvrTest::TestPki;

namespace {

class RevocationCheckerTest : public ServicesFixture {
 protected:
  static TvrX509::X509Certificate Cert(const PkiItem& item) {
    std::vector<unsigned char> der = item.Der();
    return TvrX509::X509Certificate(der.data(), static_cast<int>(der.size()));
  }
  std::vector<std::string> AskedPaths() const {
    std::vector<std::string> paths;
    for (const auto& r : server_.Requests()) paths.push_back(r.path);
    return paths;
  }
  bool Check(const PkiItem& leaf, std::set<std::string>& revoked) {
    RevocationChecker checker;
    return checker.DoRevocationCheck(Cert(leaf), revoked);
  }

  HttpTestServer server_;
};

TEST_F(RevocationCheckerTest, ResponderStatusDecidesAndOnlyARealRevocationIsRemembered) {
  std::string url = server_.Base() + "/fwd/r";
  PkiItem good = Leaf({url}, "Good");
  PkiItem compromised = Leaf({url}, "Compromised");
  PkiItem onHold = Leaf({url}, "On hold");
  auto responder = Responder({IndexLine(good), IndexLine(compromised, "keyCompromise"),
                              IndexLine(onHold, "certificateHold")});
  server_.Forward("r", responder->Port());

  struct Case {
    const PkiItem* leaf;
    bool expected;
    bool remembered;
  };
  const Case cases[] = {{&good, true, false}, {&compromised, false, true}, {&onHold, false, false}};
  for (const Case& c : cases) {
    std::set<std::string> revoked;
    EXPECT_EQ(Check(*c.leaf, revoked), c.expected) << Cert(*c.leaf).GetSubjectCN();
    EXPECT_EQ(revoked.count(Cert(*c.leaf).GetThumbprint()), c.remembered ? 1u : 0u);
    if (c.remembered) {
      EXPECT_EQ(revoked.begin()->size(), 40u);
    }
  }
}

TEST_F(RevocationCheckerTest, FailingAddressesBeforeTheResponderArePassedOver) {
  // Distinct hosts order the addresses: 127.0.0.1 sorts before localhost.
  std::string failing = server_.Base() + "/status/500";
  std::string garbage = server_.Base() + "/garbage";
  std::string relay = "http://localhost:" + std::to_string(server_.Port()) + "/fwd/r";
  std::string after = "http://localhost:" + std::to_string(server_.Port()) + "/status/502";
  PkiItem compromised = Leaf({after, relay, garbage, failing, relay}, "Compromised");
  auto responder = Responder({IndexLine(compromised, "keyCompromise")});
  server_.Forward("r", responder->Port());
  std::set<std::string> revoked;
  EXPECT_FALSE(Check(compromised, revoked));
  // Ascending, each address once, and the first answer ends the walk.
  EXPECT_EQ(AskedPaths(), (std::vector<std::string>{"/garbage", "/status/500", "/fwd/r"}));
  EXPECT_EQ(revoked.size(), 1u);
}

TEST_F(RevocationCheckerTest, NoAnswerAnywhereLetsTheCertificateThrough) {
  PkiItem leaf = Leaf({server_.Base() + "/status/500", server_.Base() + "/status/503"});
  std::set<std::string> revoked;
  EXPECT_TRUE(Check(leaf, revoked));
  EXPECT_EQ(AskedPaths(), (std::vector<std::string>{"/status/500", "/status/503"}));
  EXPECT_TRUE(Check(Leaf({}), revoked));  // no OCSP address at all
  EXPECT_TRUE(revoked.empty());
}

TEST_F(RevocationCheckerTest, KnownRevokedCertificateCostsNoNetwork) {
  PkiItem leaf = Leaf({server_.Base() + "/fwd/r"});
  std::set<std::string> revoked = {Cert(leaf).GetThumbprint()};
  EXPECT_FALSE(Check(leaf, revoked));
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(RevocationCheckerTest, UnauthorisedOrStaleRevocationsAreNotBelieved) {
  const TestPki& pki = TestPki::Get();
  std::string url = server_.Base() + "/fwd/r";
  PkiItem victim = Leaf({url}, "Victim");
  std::vector<std::string> index = {IndexLine(victim, "keyCompromise")};

  // A responder of another, trusted CA.
  TvrTest::CertSpec caSpec;
  caSpec.subject = "/CN=Other Root";
  caSpec.ca = true;
  PkiItem otherRoot = TvrTest::CertBuilder::Issue(caSpec, nullptr);
  AddToStore("ROOT", otherRoot);
  TvrTest::CertSpec signerSpec;
  signerSpec.subject = "/CN=Other OCSP";
  signerSpec.extensions = {{"extendedKeyUsage", "OCSPSigning"}, {"keyUsage", "digitalSignature"}};
  PkiItem foreignSigner = TvrTest::CertBuilder::Issue(signerSpec, &otherRoot);
  Save(foreignSigner, "foreign-signer");
  // Issued by the right CA but not for OCSP.
  signerSpec.subject = "/CN=Not An OCSP Signer";
  signerSpec.extensions = {{"extendedKeyUsage", "clientAuth"}};
  PkiItem plainSigner = TvrTest::CertBuilder::Issue(signerSpec, &pki.Intermediate());
  Save(plainSigner, "plain-signer");

  struct Case {
    const char* what;
    const PkiItem* signer;
    TvrCommon::Date now;
  };
  const int64_t now = TvrCommon::Date::Now().GetValue(TvrCommon::Date::Seconds);
  auto at = [](int64_t seconds) { return TvrCommon::Date(static_cast<uint64_t>(seconds), TvrCommon::Date::Seconds); };
  const Case cases[] = {
      {"another CA's responder", &foreignSigner, at(now)},
      {"no OCSP signing", &plainSigner, at(now)},
      {"nextUpdate two days past", nullptr, at(now + 2 * 86400)},
      {"thisUpdate an hour ahead", nullptr, at(now - 3600)},
  };
  for (const Case& c : cases) {
    auto responder = Responder(index, c.signer);
    server_.Forward("r", responder->Port());
    sink_->Clear();
    std::set<std::string> revoked;
    RevocationChecker checker(HttpOptions(), c.now);
    EXPECT_TRUE(checker.DoRevocationCheck(Cert(victim), revoked)) << c.what;
    EXPECT_TRUE(revoked.empty()) << c.what;
    EXPECT_EQ(Events().size(), 1u) << c.what;
  }
  // The same answer from the real responder is believed.
  auto responder = Responder(index);
  server_.Forward("r", responder->Port());
  std::set<std::string> revoked;
  EXPECT_FALSE(Check(victim, revoked));
  EXPECT_EQ(revoked.size(), 1u);
}

// A CA that renewed its own certificate (same name and key, new serial and validity) signs
// its answers under the renewed one: that is still the issuer speaking.
TEST_F(RevocationCheckerTest, IssuerAnsweringUnderItsRenewedCertificateIsBelieved) {
  const TestPki& pki = TestPki::Get();
  PkiItem victim = Leaf({server_.Base() + "/fwd/r"}, "Victim");
  TvrTest::CertSpec spec;
  spec.subject = "/CN=Placeholder";
  spec.ca = true;
  spec.notBefore = std::time(nullptr) - 3600;
  PkiItem renewed = TvrTest::CertBuilder::Issue(spec, &pki.Root(), pki.Intermediate().Key());
  X509_set_subject_name(renewed.Cert(), X509_get_subject_name(pki.Intermediate().Cert()));
  ASSERT_GT(X509_sign(renewed.Cert(), pki.Root().Key(), EVP_sha256()), 0);
  ASSERT_NE(renewed.SerialHex(), pki.Intermediate().SerialHex());
  Save(renewed, "renewed-intermediate");

  auto responder = Responder({IndexLine(victim, "keyCompromise")}, &renewed);
  server_.Forward("r", responder->Port());
  std::set<std::string> revoked;
  EXPECT_FALSE(Check(victim, revoked));
  EXPECT_EQ(revoked, std::set<std::string>{Cert(victim).GetThumbprint()});
  EXPECT_TRUE(Events().empty()) << Events().front();
}

// Many responders hand out answers signed beforehand (RFC 5019), without the request's
// nonce: an authorised, current one is believed. One carrying another request's nonce
// answers another request and is not.
TEST_F(RevocationCheckerTest, AnswerWithoutTheNonceIsBelievedOneWithAnotherNonceIsNot) {
  const PkiItem presigned = Leaf({server_.Base() + "/answer/presigned"}, "Presigned");
  const PkiItem otherNonce = Leaf({server_.Base() + "/answer/other-nonce"}, "Other nonce");
  auto responder = Responder({IndexLine(presigned, "keyCompromise"), IndexLine(otherNonce, "keyCompromise")});
  // Each answer fetched beforehand from the responder, for a request of its own.
  auto fetch = [&](const PkiItem& leaf, bool nonce) {
    TvrOCSP::OCSPRequest request("sha256", Cert(leaf), Cert(TestPki::Get().Intermediate()), false, nonce);
    auto der = request.GetDER();
    TvrCommon::ByteArray body(der->GetData(), der->GetSize());
    auto answer =
        TvrServices::DownloadUrl(true, "http://127.0.0.1:" + std::to_string(responder->Port()) + "/", &body);
    return answer ? answer->ToString() : std::string();
  };
  server_.AddAnswer("presigned", fetch(presigned, false), "application/ocsp-response");
  server_.AddAnswer("other-nonce", fetch(otherNonce, true), "application/ocsp-response");

  std::set<std::string> revoked;
  EXPECT_FALSE(Check(presigned, revoked));
  EXPECT_EQ(revoked, std::set<std::string>{Cert(presigned).GetThumbprint()});
  sink_->Clear();
  EXPECT_TRUE(Check(otherNonce, revoked));
  EXPECT_EQ(revoked.size(), 1u);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_NE(Events()[0].find("carries the nonce of another request"), std::string::npos) << Events()[0];
}

TEST_F(RevocationCheckerTest, IncompleteChainLetsTheCertificateThroughUnasked) {
  // Its issuer is missing from the stores, so no chain: the answer is "not revoked".
  TvrTest::CertSpec spec;
  spec.subject = "/CN=Orphan";
  spec.extensions = {{"authorityInfoAccess", "OCSP;URI:" + server_.Base() + "/fwd/r"}};
  TvrTest::CertSpec caSpec;
  caSpec.subject = "/CN=Unknown CA";
  caSpec.ca = true;
  PkiItem unknownCa = TvrTest::CertBuilder::Issue(caSpec, nullptr);
  PkiItem orphan = TvrTest::CertBuilder::Issue(spec, &unknownCa);
  std::set<std::string> revoked;
  EXPECT_TRUE(Check(orphan, revoked));
  EXPECT_TRUE(server_.Requests().empty());
}

}  // namespace
