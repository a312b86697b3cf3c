// The chain verification core on hand-made OpenSSL contexts: error codes and depths as the
// verify callback sees them, the side state kept beside the context, and the signature
// marks left on certificate objects.
#include "ChainTestUtil.h"
#include "ThreadFlagRegistry.h"
#include "ThreadId.h"
#include "VerifyAttempt.h"
#include "X509StoreContextImpl.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using ChainTest::Ca;
using ChainTest::Leaf;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;
using TvrX509::VerifyAttempt;
using TvrX509::X509StoreContextImpl;

namespace {

// Certificates of every shape the cases below need, made once per process.
struct Shapes {
    PkiItem selfSignedLeaf;      // no keyUsage, so it counts as self-issued
    PkiItem notCa, underNotCa;   // CA:FALSE with keyCertSign, and a leaf under it
    PkiItem certSignLeaf;        // keyCertSign without basicConstraints
    PkiItem brokenRoot, underBrokenRoot, leafUnderBrokenRoot;
    PkiItem brokenIntermediate, underBrokenIntermediate;
    PkiItem criticalLeaf;        // unknown critical extension
    PkiItem criticalIntermediate, underCriticalIntermediate;
    PkiItem pathLenZero, underPathLenZero, leafTooDeep;
    PkiItem proxy;               // proxy certificate issued by the signing leaf

    static const Shapes& Get()
    {
        static const Shapes shapes;
        return shapes;
    }

private:
    Shapes()
    {
        const TestPki& pki = TestPki::Get();
        const auto unknownCritical =
            std::make_pair(std::string("1.3.6.1.4.1.99999.9.9"), std::string("critical,DER:05:00"));
        CertSpec spec;
        spec.subject = "/CN=Self Signed Leaf";
        selfSignedLeaf = CertBuilder::Issue(spec, nullptr);

        spec = CertSpec{};
        spec.subject = "/CN=Not A CA";
        spec.extensions = {{"basicConstraints", "critical,CA:FALSE"}, {"keyUsage", "critical,keyCertSign"}};
        notCa = CertBuilder::Issue(spec, &pki.Root());
        underNotCa = Leaf("Under Not A CA", notCa);
        certSignLeaf =
            Leaf("Cert Sign Leaf", pki.Intermediate(), {{"keyUsage", "critical,digitalSignature,keyCertSign"}});

        spec = CertSpec{};
        spec.subject = "/CN=Broken Root";
        spec.ca = true;
        spec.breakSignature = true;
        brokenRoot = CertBuilder::Issue(spec, nullptr);
        underBrokenRoot = Ca("Under Broken Root", &brokenRoot);
        leafUnderBrokenRoot = Leaf("Leaf Under Broken Root", underBrokenRoot);

        spec = CertSpec{};
        spec.subject = "/CN=Broken Intermediate";
        spec.ca = true;
        spec.breakSignature = true;
        brokenIntermediate = CertBuilder::Issue(spec, &pki.Root());
        underBrokenIntermediate = Leaf("Under Broken Intermediate", brokenIntermediate);

        criticalLeaf = Leaf("Critical Leaf", pki.Intermediate(),
                            {{"keyUsage", "critical,digitalSignature"}, unknownCritical});
        criticalIntermediate = Ca("Critical Intermediate", &pki.Root(), nullptr, {unknownCritical});
        underCriticalIntermediate = Leaf("Under Critical Intermediate", criticalIntermediate);

        spec = CertSpec{};
        spec.subject = "/CN=Path Length Zero";
        spec.extensions = {{"basicConstraints", "critical,CA:TRUE,pathlen:0"}, {"keyUsage", "critical,keyCertSign"}};
        pathLenZero = CertBuilder::Issue(spec, &pki.Root());
        underPathLenZero = Ca("Under Path Length Zero", &pathLenZero);
        leafTooDeep = Leaf("Too Deep", underPathLenZero);

        spec = CertSpec{};
        spec.subject = "/CN=Proxy";
        spec.extensions = {{"proxyCertInfo", "critical,language:id-ppl-inheritAll"}};
        proxy = CertBuilder::Issue(spec, &pki.SigningLeaf());
    }
};

struct Outcome {
    int ok;
    int error;
    int depth;
    int chainLength;
};

Outcome Verify(const PkiItem& target, const std::vector<const PkiItem*>& untrusted,
               const std::vector<const PkiItem*>& trusted, unsigned long flags = 0, int purpose = 0)
{
    std::vector<X509*> untrustedCerts;
    std::vector<X509*> trustedCerts;
    for (const PkiItem* item : untrusted)
        untrustedCerts.push_back(item->Cert());
    for (const PkiItem* item : trusted)
        trustedCerts.push_back(item->Cert());
    VerifyAttempt attempt;
    EXPECT_TRUE(attempt.Prepare(target.Cert(), untrustedCerts, trustedCerts));
    if (flags)
        X509_STORE_CTX_set_flags(attempt.Context(), flags);
    attempt.State().purpose = purpose;
    Outcome outcome;
    outcome.ok = attempt.Run();
    outcome.error = X509_STORE_CTX_get_error(attempt.Context());
    outcome.depth = X509_STORE_CTX_get_error_depth(attempt.Context());
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(attempt.Context());
    outcome.chainLength = chain ? sk_X509_num(chain) : 0;
    return outcome;
}

struct Case {
    const char* name;
    std::function<Outcome()> run;
    int error;  // 0: must verify
    int depth;
    int chainLength;  // checked on success only
};

} // namespace

TEST(ChainVerifyTest, ErrorCodesAndDepthsOfInProcessChains)
{
    const TestPki& pki = TestPki::Get();
    const Shapes& s = Shapes::Get();
    const PkiItem* root = &pki.Root();
    const PkiItem* inter = &pki.Intermediate();
    const std::vector<Case> cases = {
        {"full chain", [&] { return Verify(pki.SigningLeaf(), {inter}, {root}); }, 0, 0, 3},
        {"no keyUsage leaf accepted", [&] { return Verify(pki.NoKeyUsageLeaf(), {inter}, {root}); }, 0, 0, 3},
        {"keyCertSign leaf without basicConstraints", [&] { return Verify(s.certSignLeaf, {inter}, {root}); }, 0, 0, 3},
        {"trusted intermediate ends the chain", [&] { return Verify(pki.SigningLeaf(), {}, {inter}); }, 0, 0, 2},
        {"unknown critical ignored by flag",
         [&] { return Verify(s.criticalLeaf, {inter}, {root}, X509_V_FLAG_IGNORE_CRITICAL); }, 0, 0, 3},
        {"proxy allowed by flag",
         [&] { return Verify(s.proxy, {&pki.SigningLeaf(), inter}, {root}, X509_V_FLAG_ALLOW_PROXY_CERTS); }, 0, 0, 4},
        {"self-signed target", [&] { return Verify(s.selfSignedLeaf, {}, {}); },
         X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 0, 0},
        {"untrusted root in chain", [&] { return Verify(pki.SigningLeaf(), {inter, root}, {}); },
         X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN, 2, 0},
        {"issuer missing", [&] { return Verify(pki.SigningLeaf(), {}, {}); },
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, 0, 0},
        {"trusted leaf that is not self-signed", [&] { return Verify(pki.SigningLeaf(), {}, {&pki.SigningLeaf()}); },
         X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, 0, 0},
        {"CA:FALSE intermediate with keyCertSign", [&] { return Verify(s.underNotCa, {&s.notCa}, {root}); },
         X509_V_ERR_APPLICATION_VERIFICATION, 1, 0},
        {"broken root self-signature",
         [&] { return Verify(s.leafUnderBrokenRoot, {&s.underBrokenRoot}, {&s.brokenRoot}); },
         X509_V_ERR_CERT_SIGNATURE_FAILURE, 2, 0},
        {"broken intermediate signature",
         [&] { return Verify(s.underBrokenIntermediate, {&s.brokenIntermediate}, {root}); },
         X509_V_ERR_CERT_SIGNATURE_FAILURE, 1, 0},
        {"unknown critical extension on the target", [&] { return Verify(s.criticalLeaf, {inter}, {root}); },
         X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION, 0, 0},
        {"unknown critical extension on the intermediate",
         [&] { return Verify(s.underCriticalIntermediate, {&s.criticalIntermediate}, {root}); },
         X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION, 1, 0},
        {"path length exceeded",
         [&] { return Verify(s.leafTooDeep, {&s.underPathLenZero, &s.pathLenZero}, {root}); },
         X509_V_ERR_PATH_LENGTH_EXCEEDED, 2, 0},
        {"proxy certificate not allowed", [&] { return Verify(s.proxy, {&pki.SigningLeaf(), inter}, {root}); },
         X509_V_ERR_PROXY_CERTIFICATES_NOT_ALLOWED, 0, 0},
        {"purpose from the side state",
         [&] { return Verify(pki.SigningLeaf(), {inter}, {root}, 0, X509_PURPOSE_SSL_SERVER); },
         X509_V_ERR_INVALID_PURPOSE, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome outcome = c.run();
        if (c.error == 0) {
            EXPECT_EQ(outcome.ok, 1);
            EXPECT_EQ(outcome.error, X509_V_OK);
            EXPECT_EQ(outcome.chainLength, c.chainLength);
        } else {
            EXPECT_EQ(outcome.ok, 0);
            EXPECT_EQ(outcome.error, c.error) << X509_verify_cert_error_string(outcome.error);
            EXPECT_EQ(outcome.depth, c.depth);
        }
    }
}

TEST(ChainVerifyTest, ProxyCertificatesAdmittedByTheEnvironmentVariable)
{
    const TestPki& pki = TestPki::Get();
    ASSERT_EQ(setenv("OPENSSL_ALLOW_PROXY_CERTS", "", 1), 0);
    Outcome outcome = Verify(Shapes::Get().proxy, {&pki.SigningLeaf(), &pki.Intermediate()}, {&pki.Root()});
    unsetenv("OPENSSL_ALLOW_PROXY_CERTS");
    EXPECT_EQ(outcome.ok, 1) << X509_verify_cert_error_string(outcome.error);
}

// A verified signature is remembered per issuer key: an impostor CA with the same name
// (the leaf carries no key identifier) must not inherit the mark.
TEST(ChainVerifyTest, SignatureMarkDoesNotCarryOverToAnotherIssuerKey)
{
    PkiItem genuine = Ca("Same Name CA", nullptr);
    PkiItem impostor = Ca("Same Name CA", nullptr);
    CertSpec spec;
    spec.subject = "/CN=No Key Id Leaf";
    spec.authorityKeyId = false;
    PkiItem leaf = CertBuilder::Issue(spec, &genuine);

    Outcome first = Verify(leaf, {}, {&genuine});
    EXPECT_EQ(first.ok, 1);
    Outcome second = Verify(leaf, {}, {&impostor});
    EXPECT_EQ(second.ok, 0);
    EXPECT_EQ(second.error, X509_V_ERR_CERT_SIGNATURE_FAILURE);
    EXPECT_EQ(second.depth, 0);
    EXPECT_EQ(Verify(leaf, {}, {&genuine}).ok, 1);
}

TEST(ChainVerifyTest, ThreadFlagIsRestoredAroundTrustedSignatureChecks)
{
    PkiItem root = Ca("Fresh Root", nullptr);  // not yet marked, so its signature is checked
    PkiItem leaf = Leaf("Fresh Leaf", root);
    const unsigned long thread = TvrCommon::CurrentThreadId();
    TvrCrypto::ThreadFlagRegistry::SetFlag1(thread, 5);
    EXPECT_EQ(Verify(leaf, {}, {&root}).ok, 1);
    EXPECT_EQ(TvrCrypto::ThreadFlagRegistry::GetFlag1(thread), 5);
    TvrCrypto::ThreadFlagRegistry::SetFlag1(thread, 0);
}

TEST(ChainVerifyTest, NoCertificateAndIssuerCheckReporting)
{
    std::unique_ptr<X509_STORE_CTX, void (*)(X509_STORE_CTX*)> bare(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    EXPECT_EQ(X509StoreContextImpl::VerifyCert(bare.get()), -1);

    const TestPki& pki = TestPki::Get();
    for (bool report : {false, true}) {
        SCOPED_TRACE(report);
        VerifyAttempt attempt;
        ASSERT_TRUE(attempt.Prepare(pki.SigningLeaf().Cert(), {}, {}));
        if (report)
            attempt.State().flags |= TvrX509::VerifyState::kCbIssuerCheck;
        X509_STORE_CTX* ctx = attempt.Context();
        EXPECT_EQ(X509StoreContextImpl::CheckIssued(ctx, pki.SigningLeaf().Cert(), pki.Root().Cert()), 0);
        EXPECT_EQ(X509StoreContextImpl::CheckIssued(ctx, pki.SigningLeaf().Cert(), pki.Intermediate().Cert()), 1);
        EXPECT_EQ(X509_STORE_CTX_get_error(ctx), report ? X509_V_ERR_SUBJECT_ISSUER_MISMATCH : X509_V_OK);
        EXPECT_EQ(attempt.State().currentIssuer, report ? pki.Root().Cert() : nullptr);
    }
}
