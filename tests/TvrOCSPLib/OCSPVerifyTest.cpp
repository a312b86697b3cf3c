#include "BasicOCSPResponseImpl.h"
#include "LogCapture.h"
#include "OCSPLibLogger.h"
#include "OcspTestUtil.h"

#include <gtest/gtest.h>

using namespace OcspTest;
using TvrOCSP::BasicOCSPResponse;
using TvrOCSP::OCSPRequest;
using TvrOCSP::SingleResponse;
using TvrX509::X509Certificate;

namespace {

BasicSpec GoodFor(const PkiItem& leaf)
{
    BasicSpec spec;
    spec.singles = {{&leaf}};
    return spec;
}

// A good answer about the signing leaf, signed by `signer`.
BasicOCSPResponse GoodSignedBy(const PkiItem& signer)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.signer = &signer;
    return Basic(spec);
}

bool Contains(const std::ostringstream& stream, const std::string& text)
{
    return stream.str().find(text) != std::string::npos;
}

// The test PKI's CA certificates and OCSP signer as Verify candidates.
class Candidates {
public:
    Candidates()
        : root_(Cert(Pki().Root())), intermediate_(Cert(Pki().Intermediate())), signer_(Cert(Pki().OcspSigner()))
    {
        set_ = {&root_, &intermediate_, &signer_};
    }
    const std::set<X509Certificate*>* Get() const { return &set_; }

private:
    X509Certificate root_, intermediate_, signer_;
    std::set<X509Certificate*> set_;
};

} // namespace

TEST(OcspVerify, EmbeddedSignerVerifiesAndIsAuthorised)
{
    BasicOCSPResponse basic = Basic(GoodFor(Pki().SigningLeaf()));
    X509Certificate responder;
    ASSERT_TRUE(basic.Verify(responder, nullptr));
    EXPECT_TRUE(responder == Cert(Pki().OcspSigner()));
    EXPECT_TRUE(basic.IsResponderCertificate(Cert(Pki().OcspSigner())));
    EXPECT_FALSE(basic.IsResponderCertificate(Cert(Pki().Intermediate())));
    EXPECT_TRUE(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate())));
    // Authorised for the intermediate's certificates only.
    EXPECT_FALSE(basic.IsAuthorizedResponder(responder, Cert(Pki().Root())));
}

TEST(OcspVerify, IssuerSigningItselfIsAuthorised)
{
    BasicOCSPResponse basic = GoodSignedBy(Pki().Intermediate());
    X509Certificate responder;
    ASSERT_TRUE(basic.Verify(responder, nullptr));
    EXPECT_TRUE(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate())));
}

// CAs renew their own certificate under the same name and key and go on signing OCSP
// answers with that key: the renewed certificate is the issuer answering for itself. The
// same name under another key, or the same key under another name, is not.
TEST(OcspVerify, RenewedIssuerCertificateWithTheSameKeyIsTheIssuer)
{
    const std::time_t now = std::time(nullptr);
    auto issue = [&](EVP_PKEY* key, const X509_NAME* subject) {
        TvrTest::CertSpec spec;
        spec.subject = "/CN=Placeholder";
        spec.ca = true;
        spec.notBefore = now - 3600;
        spec.notAfter = now + 3650 * 24 * 3600;
        PkiItem item = TvrTest::CertBuilder::Issue(spec, &Pki().Root(), key);
        X509_set_subject_name(item.Cert(), subject);
        EXPECT_GT(X509_sign(item.Cert(), Pki().Root().Key(), EVP_sha256()), 0);
        return item;
    };
    const X509_NAME* issuerName = X509_get_subject_name(Pki().Intermediate().Cert());
    const PkiItem renewed = issue(Pki().Intermediate().Key(), issuerName);
    ASSERT_NE(X509_cmp(renewed.Cert(), Pki().Intermediate().Cert()), 0);
    const PkiItem otherKey = issue(nullptr, issuerName);
    TvrTest::CertSpec renamedSpec;
    renamedSpec.subject = "/CN=Renamed Intermediate";
    renamedSpec.ca = true;
    const PkiItem renamed = TvrTest::CertBuilder::Issue(renamedSpec, &Pki().Root(), Pki().Intermediate().Key());

    struct Case {
        const char* name;
        const PkiItem* signer;
        bool authorised;
    };
    const Case cases[] = {
        {"renewed: same name and key", &renewed, true},
        {"same name, another key", &otherKey, false},
        {"same key, another name", &renamed, false},
    };
    for (const Case& c : cases) {
        BasicOCSPResponse basic = GoodSignedBy(*c.signer);
        X509Certificate responder;
        ASSERT_TRUE(basic.Verify(responder, nullptr)) << c.name;
        EXPECT_EQ(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate()), now), c.authorised) << c.name;
    }
}

TEST(OcspVerify, SignersThatMayNotAnswerForTheIssuer)
{
    LogCapture log(TvrOCSP::SetLogger);
    struct Case {
        const char* name;
        const PkiItem* signer;
        const char* logged;
    };
    const Case cases[] = {
        {"signer of another CA", &Foreign().signer, "not issued by the certificate's issuer"},
        {"issued by the issuer without id-kp-OCSPSigning", &Pki().TlsServer(), "not entrusted with OCSP signing"},
        {"a sibling end entity", &Pki().SigningLeaf(), "not entrusted with OCSP signing"},
    };
    for (const Case& c : cases) {
        BasicOCSPResponse basic = GoodSignedBy(*c.signer);
        X509Certificate responder;
        // Verify checks the signature only, so it accepts the embedded signer ...
        ASSERT_TRUE(basic.Verify(responder, nullptr)) << c.name;
        EXPECT_TRUE(responder == Cert(*c.signer)) << c.name;
        // ... and the authorisation check refuses it.
        EXPECT_FALSE(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate()))) << c.name;
        EXPECT_TRUE(Contains(log.error, c.logged)) << c.name << ": " << log.error.str();
        log.error.str("");
    }
}

TEST(OcspVerify, AuthorisedCertificateThatDidNotSignIsRefused)
{
    BasicOCSPResponse basic = GoodSignedBy(Foreign().signer);
    // The real OCSP signer is authorised, but this response is not its signature.
    EXPECT_FALSE(basic.IsAuthorizedResponder(Cert(Pki().OcspSigner()), Cert(Pki().Intermediate())));
    EXPECT_FALSE(basic.IsAuthorizedResponder(Cert(Pki().Intermediate()), Cert(Pki().Intermediate())));
    EXPECT_FALSE(basic.IsAuthorizedResponder(X509Certificate(), Cert(Pki().Intermediate())));
}

// The signer is the certificate the responder ID names, wherever it sits among the
// embedded ones; when none of them is named, the candidates are searched.
TEST(OcspVerify, SignerIsTheCertificateTheResponderIdNames)
{
    Candidates candidates;
    struct Case {
        const char* name;
        unsigned long flags;
        std::vector<const PkiItem*> embedded;
        bool withCandidates;
        bool verified;
    };
    const Case cases[] = {
        {"by name, signer second", OCSP_NOCERTS, {&Pki().Root(), &Pki().OcspSigner()}, false, true},
        {"by key, signer last", OCSP_NOCERTS | OCSP_RESPID_KEY,
         {&Pki().Root(), &Pki().Intermediate(), &Pki().OcspSigner()}, false, true},
        {"signer not embedded, among the candidates", OCSP_NOCERTS, {&Pki().Root()}, true, true},
        {"signer not embedded, by key, among the candidates", OCSP_NOCERTS | OCSP_RESPID_KEY, {&Pki().Root()},
         true, true},
        {"signer nowhere", OCSP_NOCERTS, {&Pki().Root(), &Pki().Intermediate()}, false, false},
    };
    for (const Case& c : cases) {
        BasicSpec spec = GoodFor(Pki().SigningLeaf());
        spec.flags = c.flags;
        spec.appendedCerts = c.embedded;
        BasicOCSPResponse basic = Basic(spec);
        X509Certificate responder(Pki().ExpiredLeaf().Cert());
        EXPECT_EQ(basic.Verify(responder, c.withCandidates ? candidates.Get() : nullptr), c.verified) << c.name;
        EXPECT_TRUE(responder == Cert(c.verified ? Pki().OcspSigner() : Pki().ExpiredLeaf())) << c.name;
    }
}

// A responder whose key was renewed may carry its old certificate as well, under the same
// name: every certificate the responder ID names is tried, embedded ones first, then the
// candidates.
TEST(OcspVerify, EveryCertificateTheResponderIdNamesIsTried)
{
    const std::vector<std::pair<std::string, std::string>> ocsp = {{"keyUsage", "critical,digitalSignature"},
                                                                    {"extendedKeyUsage", "OCSPSigning"}};
    const PkiItem current = Responder("Renewed Responder", ocsp);
    const PkiItem old = Responder("Renewed Responder", ocsp);  // the same name, another key
    X509Certificate currentCert = Cert(current);
    const std::set<X509Certificate*> withCurrent = {&currentCert};
    struct Case {
        const char* name;
        std::vector<const PkiItem*> embedded;
        const std::set<X509Certificate*>* candidates;
    };
    const Case cases[] = {
        {"old one first", {&old, &current}, nullptr},
        {"current one first", {&current, &old}, nullptr},
        {"only the old one embedded, the current one a candidate", {&old}, &withCurrent},
    };
    for (const Case& c : cases) {
        BasicSpec spec = GoodFor(Pki().SigningLeaf());
        spec.signer = &current;
        spec.flags = OCSP_NOCERTS;
        spec.appendedCerts = c.embedded;
        X509Certificate responder;
        ASSERT_TRUE(Basic(spec).Verify(responder, c.candidates)) << c.name;
        EXPECT_TRUE(responder == currentCert) << c.name;
        EXPECT_TRUE(Basic(spec).IsAuthorizedResponder(responder, Cert(Pki().Intermediate()))) << c.name;
    }
}

TEST(OcspVerify, CandidatesWhenNothingIsEmbedded)
{
    Candidates candidates;
    for (unsigned long flags : {OCSP_NOCERTS, OCSP_NOCERTS | OCSP_RESPID_KEY}) {
        BasicSpec spec = GoodFor(Pki().SigningLeaf());
        spec.flags = flags;
        BasicOCSPResponse basic = Basic(spec);
        {
            LogCapture log(TvrOCSP::SetLogger);
            X509Certificate responder;
            EXPECT_FALSE(basic.Verify(responder, nullptr)) << flags;
            EXPECT_TRUE(Contains(log.info, "Certificate not found in OCSP response! OCSP Responder ID: "));
            EXPECT_TRUE(Contains(log.error, "Basic OCSP response validation failed!"));
        }
        {
            LogCapture log(TvrOCSP::SetLogger);
            std::set<X509Certificate*> none;
            X509Certificate responder;
            EXPECT_FALSE(basic.Verify(responder, &none)) << flags;
            EXPECT_TRUE(Contains(log.error, "No OCSP responder certificate found by ID"));
        }
        X509Certificate responder;
        ASSERT_TRUE(basic.Verify(responder, candidates.Get())) << flags;
        EXPECT_TRUE(responder == Cert(Pki().OcspSigner()));
        EXPECT_TRUE(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate())));
    }
}

TEST(OcspVerify, ByKeyIdThatIsNotSha1)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.flags = OCSP_NOCERTS | OCSP_RESPID_KEY;
    BasicPtr built = BuildBasic(spec);
    const ASN1_OCTET_STRING* keyHash = nullptr;
    const X509_NAME* name = nullptr;
    ASSERT_EQ(OCSP_resp_get0_id(built.get(), &keyHash, &name), 1);
    ASSERT_TRUE(keyHash);
    ASN1_OCTET_STRING_set(const_cast<ASN1_OCTET_STRING*>(keyHash), ASN1_STRING_get0_data(keyHash), 16);
    BasicOCSPResponse basic = ToBasic(built.get());

    Candidates candidates;
    {
        LogCapture log(TvrOCSP::SetLogger);
        X509Certificate responder;
        EXPECT_FALSE(basic.Verify(responder, candidates.Get()));
        EXPECT_TRUE(Contains(log.error, "Malformed OCSP responder ID! Non SHA-1 key hash, length:16"))
            << log.error.str();
    }
    {
        LogCapture log(TvrOCSP::SetLogger);
        std::set<X509Certificate*> none;
        X509Certificate responder;
        EXPECT_FALSE(basic.Verify(responder, &none));
        EXPECT_TRUE(Contains(log.error, "No OCSP responder certificate found by ID"));
        EXPECT_FALSE(Contains(log.error, "Non SHA-1"));
    }
    EXPECT_FALSE(basic.IsResponderCertificate(Cert(Pki().OcspSigner())));
}

TEST(OcspVerify, BrokenSignatureFailsAndLeavesTheResponderAlone)
{
    BasicPtr built = BuildBasic(GoodFor(Pki().SigningLeaf()));
    const ASN1_OCTET_STRING* signature = OCSP_resp_get0_signature(built.get());
    const_cast<unsigned char*>(ASN1_STRING_get0_data(signature))[10] ^= 0x01;
    BasicOCSPResponse basic = ToBasic(built.get());
    X509Certificate responder(Pki().Root().Cert());
    EXPECT_FALSE(basic.Verify(responder, nullptr));
    EXPECT_TRUE(responder == Cert(Pki().Root()));
    EXPECT_FALSE(basic.IsAuthorizedResponder(Cert(Pki().OcspSigner()), Cert(Pki().Intermediate())));
}

TEST(OcspVerify, CriticalResponseExtensionFailsAfterFillingTheResponder)
{
    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.nonce = std::vector<unsigned char>(16, 1);
    X509Certificate withNonce;
    EXPECT_TRUE(Basic(spec).Verify(withNonce, nullptr));

    spec.criticalExtension = true;
    X509Certificate responder;
    EXPECT_FALSE(Basic(spec).Verify(responder, nullptr));
    EXPECT_TRUE(responder == Cert(Pki().OcspSigner()));
}

TEST(OcspVerify, CheckNonce)
{
    OCSPRequest withNonce = RequestFor(Pki().SigningLeaf(), true);
    OCSPRequest otherNonce = RequestFor(Pki().SigningLeaf(), true);
    OCSPRequest withoutNonce = RequestFor(Pki().SigningLeaf(), false);

    BasicSpec echo = GoodFor(Pki().SigningLeaf());
    echo.echoNonceOf = &withNonce;
    BasicSpec own = GoodFor(Pki().SigningLeaf());
    own.nonce = std::vector<unsigned char>(16, 7);
    BasicSpec none = GoodFor(Pki().SigningLeaf());

    struct Case {
        const char* name;
        const BasicSpec* response;
        const OCSPRequest* request;
        bool expected;
    };
    const Case cases[] = {
        {"echoed", &echo, &withNonce, true},
        {"wrong nonce", &echo, &otherNonce, false},
        {"own nonce against a request nonce", &own, &withNonce, false},
        {"neither has one", &none, &withoutNonce, true},
        {"only the response has one", &own, &withoutNonce, true},
        {"response drops the request's nonce", &none, &withNonce, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Basic(*c.response).CheckNonce(*c.request), c.expected) << c.name;
}

TEST(OcspVerify, FindSingleResponse)
{
    const TestPki& pki = Pki();
    OCSPRequest request = RequestFor(pki.RevokedLeaf());
    BasicSpec spec;
    spec.singles = {{&pki.SigningLeaf()},
                    {&pki.RevokedLeaf(), V_OCSP_CERTSTATUS_REVOKED, OCSP_REVOKED_STATUS_KEYCOMPROMISE}};
    SingleResponse found;
    ASSERT_TRUE(Basic(spec).FindSingleResponse(request, found));
    EXPECT_EQ(found.GetCertStatus()->GetStatus(), 1);
    EXPECT_TRUE(*found.GetCertID() == request.GetRequests()->front().GetCertID());

    // A SHA-1 CertID of the same certificate does not answer a SHA-256 request.
    BasicSpec sha1;
    sha1.singles = {{&pki.RevokedLeaf(), V_OCSP_CERTSTATUS_GOOD, -1, EVP_sha1()}};
    SingleResponse untouched = found;
    EXPECT_FALSE(Basic(sha1).FindSingleResponse(request, untouched));
    EXPECT_EQ(untouched.GetCertStatus()->GetStatus(), 1);

    // No single response at all.
    BasicSpec empty;
    BasicOCSPResponse noSingles = Basic(empty);
    EXPECT_FALSE(noSingles.GetSingleResponses());
    EXPECT_FALSE(noSingles.FindSingleResponse(request, untouched));
}

TEST(OcspVerify, FindSingleResponseNeedsExactlyOneRequestEntry)
{
    BasicOCSPResponse basic = Basic(GoodFor(Pki().SigningLeaf()));
    SingleResponse found;
    EXPECT_EQ(CodeOf([&] { basic.FindSingleResponse(OCSPRequest(), found); }), 1);
    OCSPRequest two = RequestFor(Pki().SigningLeaf());
    TvrOCSP::OCSPRequestImpl::Of(two).AddCertID("sha256", Cert(Pki().RevokedLeaf()), Cert(Pki().Intermediate()));
    EXPECT_EQ(CodeOf([&] { basic.FindSingleResponse(two, found); }), 2);
}

// A delegated responder must be valid when the answer is checked and, when it states a key
// usage, be allowed to make digital signatures.
TEST(OcspVerify, DelegatedResponderValidityAndKeyUsage)
{
    const std::time_t now = std::time(nullptr);
    const std::time_t day = 24 * 3600;
    const std::pair<std::string, std::string> ocspSigning{"extendedKeyUsage", "OCSPSigning"};
    struct Case {
        const char* name;
        PkiItem responder;
        std::time_t at;
        bool authorised;
        const char* logged;
    };
    const PkiItem expired = Responder("Expired responder", {{"keyUsage", "digitalSignature"}, ocspSigning},
                                      now - 30 * day, now - day);
    const PkiItem notYetValid = Responder("Future responder", {{"keyUsage", "digitalSignature"}, ocspSigning},
                                          now + day, now + 30 * day);
    const Case cases[] = {
        {"expired", expired, now, false, "not valid at the time of the check"},
        {"expired, checked while it was valid", expired, now - 2 * day, true, nullptr},
        {"not yet valid", notYetValid, now, false, "not valid at the time of the check"},
        {"not yet valid, checked once it is", notYetValid, now + 2 * day, true, nullptr},
        {"key usage without digitalSignature", Responder("Encipher responder", {{"keyUsage", "keyAgreement"}, ocspSigning}),
         now, false, "does not allow digital signatures"},
        {"nonRepudiation only", Responder("NR responder", {{"keyUsage", "nonRepudiation"}, ocspSigning}), now, false,
         "does not allow digital signatures"},
        {"no key usage at all", Responder("Plain responder", {ocspSigning}), now, true, nullptr},
    };
    for (const Case& c : cases) {
        BasicSpec spec = GoodFor(Pki().SigningLeaf());
        spec.signer = &c.responder;
        BasicOCSPResponse basic = Basic(spec);
        LogCapture log(TvrOCSP::SetLogger);
        EXPECT_EQ(basic.IsAuthorizedResponder(Cert(c.responder), Cert(Pki().Intermediate()), c.at), c.authorised)
            << c.name;
        if (c.logged) {
            EXPECT_TRUE(Contains(log.error, c.logged)) << c.name << ": " << log.error.str();
        }
    }
    // The issuer answering for itself is not a delegation: its own validity is the chain's
    // business.
    BasicSpec bySelf = GoodFor(Pki().SigningLeaf());
    bySelf.signer = &Pki().Intermediate();
    EXPECT_TRUE(Basic(bySelf).IsAuthorizedResponder(Cert(Pki().Intermediate()), Cert(Pki().Intermediate()), now));
}

// A certificate that copies the issuer's name and carries OCSP signing but was signed by
// another key is no delegated responder.
TEST(OcspVerify, ForgedResponderCopyingTheIssuersNameIsRefused)
{
    TvrTest::CertSpec impostor;
    impostor.subject = "/CN=Impostor";
    impostor.ca = true;
    const PkiItem fakeIssuer = TvrTest::CertBuilder::Issue(impostor, nullptr);
    X509_set_subject_name(fakeIssuer.Cert(), X509_get_subject_name(Pki().Intermediate().Cert()));
    ASSERT_GT(X509_sign(fakeIssuer.Cert(), fakeIssuer.Key(), EVP_sha256()), 0);
    ASSERT_EQ(X509_NAME_cmp(X509_get_subject_name(fakeIssuer.Cert()),
                            X509_get_subject_name(Pki().Intermediate().Cert())),
              0)
        << "the impostor must carry the intermediate's exact name";
    const PkiItem forged = Responder("Forged responder", {{"keyUsage", "critical,digitalSignature"},
                                                           {"extendedKeyUsage", "OCSPSigning"}},
                                     0, 0, &fakeIssuer);
    ASSERT_EQ(X509_NAME_cmp(X509_get_issuer_name(forged.Cert()), X509_get_subject_name(Pki().Intermediate().Cert())), 0);

    BasicSpec spec = GoodFor(Pki().SigningLeaf());
    spec.signer = &forged;
    BasicOCSPResponse basic = Basic(spec);
    X509Certificate responder;
    ASSERT_TRUE(basic.Verify(responder, nullptr));  // the signature itself is good
    LogCapture log(TvrOCSP::SetLogger);
    EXPECT_FALSE(basic.IsAuthorizedResponder(responder, Cert(Pki().Intermediate()), std::time(nullptr)));
    EXPECT_TRUE(Contains(log.error, "not issued by the certificate's issuer")) << log.error.str();
    // The same shape signed by the real issuer passes, so only the signature decides.
    const PkiItem genuine = Responder("Genuine responder", {{"keyUsage", "critical,digitalSignature"},
                                                             {"extendedKeyUsage", "OCSPSigning"}});
    spec.signer = &genuine;
    EXPECT_TRUE(Basic(spec).IsAuthorizedResponder(Cert(genuine), Cert(Pki().Intermediate()), std::time(nullptr)));
}

// A responder whose subject is empty (its name lives in a critical subjectAltName) is named
// by an empty responder ID: that is a name like any other.
TEST(OcspVerify, EmptyResponderName)
{
    TvrTest::CertSpec spec;
    spec.subject = "";
    spec.extensions = {{"subjectAltName", "critical,DNS:ocsp.tavrenic.test"}, {"extendedKeyUsage", "OCSPSigning"}};
    const PkiItem nameless = TvrTest::CertBuilder::Issue(spec, &Pki().Intermediate());

    BasicSpec withCert = GoodFor(Pki().SigningLeaf());
    withCert.signer = &nameless;
    BasicOCSPResponse embedded = Basic(withCert);
    EXPECT_EQ(embedded.GetResponderID(), "");
    X509Certificate responder;
    EXPECT_TRUE(embedded.Verify(responder, nullptr));
    EXPECT_TRUE(responder == Cert(nameless));
    EXPECT_TRUE(embedded.IsAuthorizedResponder(responder, Cert(Pki().Intermediate()), std::time(nullptr)));

    withCert.flags = OCSP_NOCERTS;
    BasicOCSPResponse bare = Basic(withCert);
    Candidates candidates;  // none of them has an empty subject
    LogCapture log(TvrOCSP::SetLogger);
    X509Certificate untouched;
    EXPECT_FALSE(bare.Verify(untouched, nullptr));
    EXPECT_FALSE(bare.Verify(untouched, candidates.Get()));
    EXPECT_TRUE(Contains(log.info, "OCSP Responder ID: \n")) << log.info.str();
}
