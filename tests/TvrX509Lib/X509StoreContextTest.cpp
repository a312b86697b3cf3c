// Chain building over a pool of certificates: trust anchors, cross-certification, the
// candidate filters, issuer download through the downloader, trust-list hooks and
// certification cycles. Every verification runs at an explicit instant.
#include "CertTestUtil.h"
#include "ChainTestUtil.h"
#include "ErrCodeException.h"
#include "LogCapture.h"
#include "X509LibLogger.h"
#include "X509StoreContext.h"
#include "X509CertificateImpl.h"
#include "X509StoreContextImpl.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

using ChainTest::At;
using ChainTest::Ca;
using ChainTest::Cert;
using ChainTest::FakeDownloader;
using ChainTest::Leaf;
using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrTest::TestPki;
using TvrX509::X509Certificate;
using TvrX509::X509StoreContext;

namespace {

constexpr std::time_t kDay = 24 * 3600;

// A time when every certificate of the test PKI is valid.
TvrCommon::Date Now()
{
    return At(TestPki::Get().SigningLeaf().NotBefore() + 3600);
}

std::vector<std::string> Names(const std::vector<X509Certificate>& chain)
{
    std::vector<std::string> names;
    for (const X509Certificate& certificate : chain)
        names.push_back(certificate.GetSubjectCN());
    return names;
}

std::set<std::vector<std::string>> AllNames(const X509StoreContext& context)
{
    std::set<std::vector<std::string>> all;
    for (const auto& chain : context.GetCertificateChains())
        all.insert(Names(chain));
    return all;
}

size_t Count(const std::ostringstream& stream, const std::string& text)
{
    auto lines = LogCapture::Lines(stream);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

const std::string kRootCn = "Tavrenic Test Root CA";
const std::string kInterCn = "Tavrenic Test Intermediate CA";
const std::string kRootSubject = "/C=HU/O=Tavrenic Test/CN=" + kRootCn;
const std::string kInterSubject = "/C=HU/O=Tavrenic Test/OU=Issuing/CN=" + kInterCn;

} // namespace

TEST(X509StoreContextTest, TrustedTargetIsItsOwnChainWithoutVerification)
{
    CertSpec spec;
    spec.subject = "/CN=Broken But Trusted";
    spec.breakSignature = true;
    PkiItem leaf = CertBuilder::Issue(spec, &TestPki::Get().Intermediate());
    X509StoreContext context(nullptr);
    context.AddTrustedCertificate(Cert(leaf));
    EXPECT_EQ(context.SetTargetCertificate(Cert(leaf), 4), 4);
    EXPECT_TRUE(context.OpenSSLVerify("", Now()));
    ASSERT_EQ(context.GetCertificateChainCount(), 1u);
    EXPECT_EQ(context.GetCertificateChain(0), std::vector<X509Certificate>{Cert(leaf)});
}

TEST(X509StoreContextTest, ChainsEndAtTheFirstTrustedIssuer)
{
    const TestPki& pki = TestPki::Get();
    struct Row {
        bool intermediateTrusted;
        std::vector<std::string> chain;
    };
    for (const Row& row : {Row{true, {"Tavrenic No Key Usage", kInterCn}},
                           Row{false, {"Tavrenic No Key Usage", kInterCn, kRootCn}}}) {
        SCOPED_TRACE(row.intermediateTrusted);
        X509StoreContext context(nullptr);
        context.AddTrustedCertificate(Cert(pki.Root()));
        if (row.intermediateTrusted)
            context.AddTrustedCertificate(Cert(pki.Intermediate()));
        else
            context.AddUntrustedCertificate(Cert(pki.Intermediate()));
        context.SetTargetCertificate(Cert(pki.NoKeyUsageLeaf()), 0);
        EXPECT_TRUE(context.OpenSSLVerify("", Now()));
        ASSERT_EQ(context.GetCertificateChainCount(), 1u);
        EXPECT_EQ(Names(context.GetCertificateChain(0)), row.chain);
    }
}

TEST(X509StoreContextTest, CrossSignedRootsGiveTwoChains)
{
    const TestPki& pki = TestPki::Get();
    PkiItem otherRoot = Ca("Other Root", nullptr);
    CertSpec spec;
    spec.subject = kRootSubject;
    spec.ca = true;
    PkiItem rootByOther = CertBuilder::Issue(spec, &otherRoot, pki.Root().Key());

    // Both versions of the root trusted: two chains, in the certificate order of the roots.
    X509StoreContext both(nullptr);
    both.AddTrustedCertificate(Cert(pki.Root()));
    both.AddTrustedCertificate(Cert(rootByOther));
    both.AddUntrustedCertificate(Cert(pki.Intermediate()));
    both.SetTargetCertificate(Cert(pki.SigningLeaf()), 0);
    ASSERT_TRUE(both.OpenSSLVerify("", Now()));
    ASSERT_EQ(both.GetCertificateChainCount(), 2u);
    X509Certificate first = both.GetCertificateChain(0).back();
    X509Certificate second = both.GetCertificateChain(1).back();
    EXPECT_TRUE(first < second);
    EXPECT_EQ(std::set<X509Certificate>({first, second}),
              std::set<X509Certificate>({Cert(pki.Root()), Cert(rootByOther)}));

    // Only the other root trusted beside ours: the cross-certificate leads one level further.
    X509StoreContext cross(nullptr);
    cross.AddTrustedCertificate(Cert(pki.Root()));
    cross.AddTrustedCertificate(Cert(otherRoot));
    cross.AddUntrustedCertificate(Cert(rootByOther));
    cross.AddUntrustedCertificate(Cert(pki.Intermediate()));
    cross.SetTargetCertificate(Cert(pki.SigningLeaf()), 0);
    ASSERT_TRUE(cross.OpenSSLVerify("", Now()));
    const std::string leafCn = Cert(pki.SigningLeaf()).GetSubjectCN();
    EXPECT_EQ(AllNames(cross), (std::set<std::vector<std::string>>{{leafCn, kInterCn, kRootCn},
                                                                   {leafCn, kInterCn, kRootCn, "Other Root"}}));
}

// A pool certificate named like the issuer but with another key identifier is no
// candidate; without an authorityKeyIdentifier in the target the name alone decides.
TEST(X509StoreContextTest, KeyIdentifierMismatchIsNoCandidate)
{
    const TestPki& pki = TestPki::Get();
    CertSpec spec;
    spec.subject = kInterSubject;
    spec.ca = true;
    PkiItem impostor = CertBuilder::Issue(spec, &pki.Root());
    spec = CertSpec{};
    spec.subject = "/CN=Leaf Without Key Id";
    spec.authorityKeyId = false;
    PkiItem leafWithoutAkid = CertBuilder::Issue(spec, &pki.Intermediate());

    struct Row {
        const PkiItem* target;
        size_t trustedCandidateLines;
    };
    for (const Row& row : {Row{&pki.SigningLeaf(), 0}, Row{&leafWithoutAkid, 1}}) {
        SCOPED_TRACE(row.trustedCandidateLines);
        LogCapture capture(TvrX509::SetLogger);
        X509StoreContext context(nullptr);
        context.AddTrustedCertificate(Cert(pki.Root()));
        context.AddTrustedCertificate(Cert(impostor));
        context.AddUntrustedCertificate(Cert(pki.Intermediate()));
        context.SetTargetCertificate(Cert(*row.target), 0);
        EXPECT_TRUE(context.OpenSSLVerify("", Now()));
        ASSERT_EQ(context.GetCertificateChainCount(), 1u);
        EXPECT_EQ(context.GetCertificateChain(0)[1], Cert(pki.Intermediate()));
        EXPECT_EQ(Count(capture.debug, "Trusted:  CN: " + kInterCn), row.trustedCandidateLines);
    }
}

TEST(X509StoreContextTest, IssuersOutsideTheirValidityAreIgnored)
{
    const std::time_t now = TestPki::Get().SigningLeaf().NotBefore();
    TvrTest::CertSpec spec;
    spec.subject = "/O=Tavrenic Chain Test/CN=Old Root";
    spec.ca = true;
    spec.notBefore = now - 1000 * kDay;
    spec.notAfter = now + 1000 * kDay;
    PkiItem root = CertBuilder::Issue(spec, nullptr);
    EVP_PKEY* key = CertBuilder::NewKey("ec");
    spec.subject = "/O=Tavrenic Chain Test/CN=Renewed CA";
    spec.notBefore = now - 400 * kDay;
    spec.notAfter = now - 30 * kDay;
    PkiItem expired = CertBuilder::Issue(spec, &root, key);
    spec.notBefore = now - 10 * kDay;
    spec.notAfter = now + 365 * kDay;
    PkiItem current = CertBuilder::Issue(spec, &root, key);
    EVP_PKEY_free(key);
    spec = CertSpec{};
    spec.subject = "/CN=Long Lived Leaf";
    spec.notBefore = now - 500 * kDay;
    PkiItem leaf = CertBuilder::Issue(spec, &current);

    struct Row {
        std::time_t t;
        const PkiItem* used;
        const PkiItem* ignored;
    };
    for (const Row& row : {Row{now, &current, &expired}, Row{now - 200 * kDay, &expired, &current}}) {
        SCOPED_TRACE(ChainTest::At(row.t).ToIso8601String());
        LogCapture capture(TvrX509::SetLogger);
        X509StoreContext context(nullptr);
        context.AddTrustedCertificate(Cert(root));
        context.AddUntrustedCertificate(Cert(expired));
        context.AddUntrustedCertificate(Cert(current));
        context.SetTargetCertificate(Cert(leaf), 0);
        EXPECT_TRUE(context.OpenSSLVerify("", At(row.t)));
        ASSERT_EQ(context.GetCertificateChainCount(), 1u);
        EXPECT_EQ(context.GetCertificateChain(0)[1], Cert(*row.used));
        const std::string ignoredHeader = "Ignored issuers, because validity period does not fit ";
        EXPECT_EQ(Count(capture.debug, ignoredHeader + At(row.t).ToIso8601String()), 1u);
        const std::string ignoredLine = "Issuer:  CN: Renewed CA, validity: ";
        EXPECT_EQ(Count(capture.debug, ignoredLine + At(row.ignored->NotBefore()).ToIso8601String()), 1u);
    }
    // No issuer valid at all: nothing is built, although the signatures would verify.
    X509StoreContext context(nullptr);
    context.AddTrustedCertificate(Cert(root));
    context.AddUntrustedCertificate(Cert(expired));
    context.SetTargetCertificate(Cert(leaf), 0);
    EXPECT_FALSE(context.OpenSSLVerify("", At(now)));
    EXPECT_EQ(context.GetCertificateChainCount(), 0u);
}

namespace {
int g_notified = 0;
void Notify(const X509Certificate& certificate, int value)
{
    EXPECT_EQ(value, 0);
    EXPECT_EQ(certificate.GetTag(), 3);
    ++g_notified;
}
} // namespace

TEST(X509StoreContextTest, MissingIssuerIsDownloadedOnceByItsAIAAddress)
{
    const TestPki& pki = TestPki::Get();
    FakeDownloader downloader;
    downloader.Serve(TestPki::kIntermediateUrl, pki.Intermediate());
    X509StoreContext context(&downloader);
    context.AddTrustedCertificate(Cert(pki.Root()));
    context.SetTargetCertificate(Cert(pki.SigningLeaf()), 0);

    context.SetAIADownload(false);
    EXPECT_FALSE(context.OpenSSLVerify("", Now()));
    EXPECT_EQ(downloader.Total(), 0);

    g_notified = 0;
    context.SetDownloadNotifyCallback(Notify);
    EXPECT_TRUE(context.SetAIADownload(true));
    ASSERT_TRUE(context.OpenSSLVerify("", Now()));
    ASSERT_EQ(context.GetCertificateChainCount(), 1u);
    std::vector<X509Certificate> chain = context.GetCertificateChain(0);
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[1], Cert(pki.Intermediate()));
    EXPECT_EQ(chain[1].GetTag(), 3);
    EXPECT_EQ(downloader.requests, (std::map<std::string, int>{{TestPki::kIntermediateUrl, 1}}));
    EXPECT_EQ(g_notified, 1);

    // The download joined the pool: a second run finds the same chain without fetching.
    ASSERT_TRUE(context.OpenSSLVerify("", Now()));
    EXPECT_EQ(context.GetCertificateChains(), std::vector<std::vector<X509Certificate>>{chain});
    EXPECT_EQ(downloader.Total(), 1);
}

TEST(X509StoreContextTest, DownloadStepFailures)
{
    const TestPki& pki = TestPki::Get();
    const std::string first = "http://a.tavrenic.test/first.der";
    const std::string second = "http://b.tavrenic.test/second.der";
    // Listed in the other order: addresses are tried in ascending byte order.
    PkiItem leaf = Leaf("Two Issuer Addresses", pki.Intermediate(),
                        {{"keyUsage", "critical,digitalSignature"},
                         {"authorityInfoAccess", "caIssuers;URI:" + second + ",caIssuers;URI:" + first}});
    enum class First { Throws, Garbage, Nothing };
    struct Row {
        First first;
        bool found;
        std::vector<std::string> requested;
    };
    for (const Row& row : {Row{First::Throws, false, {first}}, Row{First::Garbage, true, {first, second}},
                           Row{First::Nothing, true, {first, second}}}) {
        SCOPED_TRACE(static_cast<int>(row.first));
        FakeDownloader downloader;
        downloader.Serve(second, pki.Intermediate());
        if (row.first == First::Throws)
            downloader.failing.insert(first);
        if (row.first == First::Garbage)
            downloader.ServeBytes(first, "0 not a certificate");
        LogCapture capture(TvrX509::SetLogger);
        X509StoreContext context(&downloader);
        context.AddTrustedCertificate(Cert(pki.Root()));
        context.SetTargetCertificate(Cert(leaf), 0);
        EXPECT_EQ(context.OpenSSLVerify("", Now()), row.found);
        EXPECT_EQ(downloader.order, row.requested);
        EXPECT_EQ(Count(capture.debug, "Exception thrown while downloading issuer... giving up."),
                  row.first == First::Throws ? 1u : 0u);
        EXPECT_EQ(Count(capture.debug, "Failed to create certificate from AIA url: " + first),
                  row.first == First::Garbage ? 1u : 0u);
    }
}

namespace {
std::vector<std::string> g_callbackCalls;
std::unique_ptr<TvrCommon::ByteArray> DownloadByCallback(const std::string& url, int context,
                                                         const std::string& parameter)
{
    g_callbackCalls.push_back(url + "|" + std::to_string(context) + "|" + parameter);
    std::vector<unsigned char> der = TestPki::Get().Intermediate().Der();
    return std::make_unique<TvrCommon::ByteArray>(der.data(), der.size());
}
} // namespace

TEST(X509StoreContextTest, NullDownloaderIsSkippedAndTheCallbackTakesPrecedence)
{
    const TestPki& pki = TestPki::Get();
    LogCapture capture(TvrX509::SetLogger);
    X509StoreContext context(nullptr);
    context.AddTrustedCertificate(Cert(pki.Root()));
    context.SetTargetCertificate(Cert(pki.SigningLeaf()), 7);
    EXPECT_FALSE(context.OpenSSLVerify("", Now()));
    EXPECT_EQ(Count(capture.debug, "No downloader given, issuer download skipped."), 1u);

    g_callbackCalls.clear();
    context.SetDownloadCallback(DownloadByCallback);
    EXPECT_TRUE(context.OpenSSLVerify("parameter", Now()));
    EXPECT_EQ(g_callbackCalls, std::vector<std::string>{std::string(TestPki::kIntermediateUrl) + "|7|parameter"});
}

// CAs that certify each other both ways around a ring, one of them also a trusted
// self-signed root: the search must not walk the ring again and again.
TEST(X509StoreContextTest, CertificationCycleEndsWithTheRightChains)
{
    constexpr int kRing = 5;
    std::vector<EVP_PKEY*> keys;
    std::vector<PkiItem> selfSigned;
    for (int i = 0; i < kRing; ++i) {
        keys.push_back(CertBuilder::NewKey("ec"));
        selfSigned.push_back(Ca("Ring " + std::to_string(i), nullptr, keys[i]));
    }
    std::vector<PkiItem> crosses;
    for (int i = 0; i < kRing; ++i) {
        for (int neighbour : {(i + 1) % kRing, (i + kRing - 1) % kRing})
            crosses.push_back(Ca("Ring " + std::to_string(i), &selfSigned[neighbour], keys[i]));
    }
    for (EVP_PKEY* key : keys)
        EVP_PKEY_free(key);
    PkiItem leaf = Leaf("Ring Leaf", selfSigned[0]);

    for (bool anchored : {false, true}) {
        SCOPED_TRACE(anchored);
        LogCapture capture(TvrX509::SetLogger);
        FakeDownloader downloader;
        X509StoreContext context(&downloader);
        for (const PkiItem& cross : crosses)
            context.AddUntrustedCertificate(Cert(cross));
        if (anchored)
            context.AddTrustedCertificate(Cert(selfSigned[2]));
        context.SetTargetCertificate(Cert(leaf), 0);
        EXPECT_EQ(context.OpenSSLVerify("", Now()), anchored);
        if (anchored) {
            EXPECT_EQ(AllNames(context), (std::set<std::vector<std::string>>{
                                             {"Ring Leaf", "Ring 0", "Ring 1", "Ring 2"},
                                             {"Ring Leaf", "Ring 0", "Ring 4", "Ring 3", "Ring 2"}}));
        }
        // Each simple path around the ring is tried once (19 lookups here), where walking
        // the ring up to the verification depth would never end in practice.
        EXPECT_LE(Count(capture.debug, "Lookup issuer for"), 40u);
        EXPECT_EQ(downloader.Total(), 0);
    }
}

TEST(X509StoreContextTest, SelfNamedNonCaStopsTheSearch)
{
    CertSpec spec;
    spec.subject = "/CN=Self Named";
    spec.extensions = {{"keyUsage", "critical,digitalSignature"},
                       {"authorityInfoAccess", "caIssuers;URI:http://self.tavrenic.test/issuer.der"}};
    PkiItem selfNamed = CertBuilder::Issue(spec, nullptr);
    LogCapture capture(TvrX509::SetLogger);
    FakeDownloader downloader;
    X509StoreContext context(&downloader);
    context.SetTargetCertificate(Cert(selfNamed), 0);
    EXPECT_FALSE(context.OpenSSLVerify("", Now()));
    EXPECT_EQ(Count(capture.debug, "Rejecting self-signed non-CA certificate:  CN: Self Named"), 1u);
    EXPECT_EQ(downloader.Total(), 0);
    EXPECT_TRUE(context.GetCertificateChain(0).empty());
    EXPECT_EQ(Count(capture.error, "CertificateChain index 0 out of range!"), 1u);
}

TEST(X509StoreContextTest, PoolAdditionsKeepTrustAndTags)
{
    const TestPki& pki = TestPki::Get();
    X509Certificate storeRoot = Cert(pki.Root());
    storeRoot.AddTag(2);
    X509StoreContext context(nullptr);
    context.AddUntrustedCertificate(storeRoot);
    context.AddUntrustedCertificate(Cert(pki.Intermediate()));
    context.SetTargetCertificate(Cert(pki.SigningLeaf()), 0);
    EXPECT_FALSE(context.OpenSSLVerify("", Now()));

    context.AddTrustedCertificate(Cert(pki.Root()));  // promotes, keeping the store tag
    context.AddUntrustedCertificate(Cert(pki.Root()));  // stays trusted
    X509StoreContext copy(context);
    for (X509StoreContext* c : {&context, &copy}) {
        ASSERT_TRUE(c->OpenSSLVerify("", Now()));
        ASSERT_EQ(c->GetCertificateChainCount(), 1u);
        EXPECT_EQ(c->GetCertificateChain(0).back().GetTag(), 2);
    }
    X509StoreContext assigned(nullptr);
    assigned = context;
    EXPECT_EQ(assigned.GetCertificateChains(), context.GetCertificateChains());
}

namespace {
std::map<std::string, int> g_checked;
std::map<std::string, int> g_issuersAsked;
bool CheckOnList(const X509Certificate& certificate, std::set<X509Certificate>&, const TvrCommon::Date&)
{
    ++g_checked[certificate.GetSubjectCN()];
    return false;
}
bool IssuersOnList(const X509Certificate& certificate, std::set<X509Certificate>& found, const TvrCommon::Date&)
{
    ++g_issuersAsked[certificate.GetSubjectCN()];
    if (certificate.GetIssuerCN() != kRootCn)
        return false;
    found.insert(Cert(TestPki::Get().Root()));
    return true;
}
} // namespace

TEST(X509StoreContextTest, TrustListHooksAreAskedOncePerCertificate)
{
    const TestPki& pki = TestPki::Get();
    g_checked.clear();
    g_issuersAsked.clear();
    X509StoreContext context(nullptr);
    context.SetTslCheckCallback(CheckOnList);
    context.SetTslIssuerCallback(IssuersOnList);
    context.AddUntrustedCertificate(Cert(pki.Intermediate()));
    context.SetTargetCertificate(Cert(pki.EncryptionLeaf()), 0);
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ASSERT_TRUE(context.OpenSSLVerify("", Now()));
        ASSERT_EQ(context.GetCertificateChainCount(), 1u);
        EXPECT_EQ(Names(context.GetCertificateChain(0)),
                  (std::vector<std::string>{"Tavrenic Encryption", kInterCn, kRootCn}));
    }
    EXPECT_EQ(g_checked, (std::map<std::string, int>{{"Tavrenic Encryption", 1}, {kInterCn, 1}}));
    EXPECT_EQ(g_issuersAsked, (std::map<std::string, int>{{"Tavrenic Encryption", 1}, {kInterCn, 1}}));
}

// A certificate without a subject name (allowed when a critical subjectAltName names it) is
// a pool member like any other: it neither stops the search for other targets nor fails to
// match an issuer name that is empty too.
TEST(X509StoreContextTest, EmptySubjectNameIsMatchedAsAName)
{
    const TestPki& pki = TestPki::Get();
    CertSpec spec;
    spec.subject = "";
    spec.extensions = {{"keyUsage", "critical,digitalSignature"},
                       {"subjectAltName", "critical,email:nameless@tavrenic.test"}};
    PkiItem nameless = CertBuilder::Issue(spec, &pki.Intermediate());
    spec.ca = true;
    spec.extensions = {{"subjectAltName", "critical,email:nameless-ca@tavrenic.test"}};
    PkiItem namelessCa = CertBuilder::Issue(spec, nullptr);
    PkiItem underNamelessCa = Leaf("Under Nameless CA", namelessCa);

    struct Row {
        const PkiItem* target;
        std::vector<const PkiItem*> chain;
    };
    for (const Row& row : {Row{&pki.SigningLeaf(), {&pki.SigningLeaf(), &pki.Intermediate(), &pki.Root()}},
                           Row{&nameless, {&nameless, &pki.Intermediate(), &pki.Root()}},
                           Row{&underNamelessCa, {&underNamelessCa, &namelessCa}}}) {
        SCOPED_TRACE(row.chain.size());
        for (bool logging : {false, true}) {
            std::unique_ptr<LogCapture> capture;
            if (logging)
                capture = std::make_unique<LogCapture>(TvrX509::SetLogger);
            X509StoreContext context(nullptr);
            context.AddTrustedCertificate(Cert(pki.Root()));
            context.AddTrustedCertificate(Cert(namelessCa));
            context.AddUntrustedCertificate(Cert(pki.Intermediate()));
            context.AddUntrustedCertificate(Cert(nameless));
            context.SetTargetCertificate(Cert(*row.target), 0);
            ASSERT_TRUE(context.OpenSSLVerify("", Now()));
            ASSERT_EQ(context.GetCertificateChainCount(), 1u);
            std::vector<X509Certificate> expected;
            for (const PkiItem* item : row.chain)
                expected.push_back(Cert(*item));
            EXPECT_EQ(context.GetCertificateChain(0), expected);
        }
    }
}

// An issuer that was downloaded is held to its validity period like any pool certificate:
// outside it, the download joins the pool but leads nowhere.
TEST(X509StoreContextTest, DownloadedIssuerOutsideItsValidityIsIgnored)
{
    const std::time_t now = TestPki::Get().SigningLeaf().NotBefore();
    const std::string url = "http://ca.tavrenic.test/expired.der";
    CertSpec spec;
    spec.subject = "/O=Tavrenic Chain Test/CN=Download Root";
    spec.ca = true;
    spec.notBefore = now - 1000 * kDay;
    PkiItem root = CertBuilder::Issue(spec, nullptr);
    spec = CertSpec{};
    spec.subject = "/O=Tavrenic Chain Test/CN=Expired Download";
    spec.ca = true;
    spec.notBefore = now - 400 * kDay;
    spec.notAfter = now - 30 * kDay;
    PkiItem expired = CertBuilder::Issue(spec, &root);
    spec = CertSpec{};
    spec.subject = "/CN=Leaf Of Expired Download";
    spec.notBefore = now - 100 * kDay;
    spec.extensions = {{"authorityInfoAccess", "caIssuers;URI:" + url}};
    PkiItem leaf = CertBuilder::Issue(spec, &expired);

    struct Row {
        std::time_t t;
        bool found;
    };
    for (const Row& row : {Row{now - 60 * kDay, true}, Row{now, false}}) {
        SCOPED_TRACE(At(row.t).ToIso8601String());
        FakeDownloader downloader;
        downloader.Serve(url, expired);
        g_notified = 0;
        X509StoreContext context(&downloader);
        context.SetDownloadNotifyCallback(Notify);
        context.AddTrustedCertificate(Cert(root));
        context.SetTargetCertificate(Cert(leaf), 0);
        EXPECT_EQ(context.OpenSSLVerify("", At(row.t)), row.found);
        EXPECT_EQ(context.GetCertificateChainCount(), row.found ? 1u : 0u);
        EXPECT_EQ(downloader.Total(), 1);
        EXPECT_EQ(g_notified, 1);
    }
}

namespace {
// The DER of `item` with letters for the month of its notBefore: the certificate still
// decodes, but its time cannot be read.
std::vector<unsigned char> WithUnreadableTime(const PkiItem& item)
{
    std::vector<unsigned char> der = item.Der();
    for (size_t i = 0; i + 15 <= der.size(); ++i) {
        if (der[i] == V_ASN1_UTCTIME && der[i + 1] == 13) {
            der[i + 4] = 'M';
            der[i + 5] = 'M';
            return der;
        }
    }
    throw std::runtime_error("no UTCTime in the certificate");
}
} // namespace

TEST(X509StoreContextTest, CertificateWithUnreadableTimeDoesNotDisturbThePool)
{
    const TestPki& pki = TestPki::Get();
    std::vector<unsigned char> der = WithUnreadableTime(Leaf("Unreadable Time", Ca("Unrelated CA", nullptr)));
    X509Certificate unreadable(der.data(), static_cast<int>(der.size()));
    ASSERT_THROW(unreadable.GetNotBefore(), TvrCommon::ErrCodeException);

    X509StoreContext context(nullptr);
    EXPECT_NO_THROW(context.AddUntrustedCertificate(unreadable));
    EXPECT_NO_THROW(context.AddTrustedCertificate(unreadable));  // promotion
    EXPECT_NO_THROW(context.AddUntrustedCertificate(unreadable));
    context.AddTrustedCertificate(Cert(pki.Root()));
    context.AddUntrustedCertificate(Cert(pki.Intermediate()));
    context.SetTargetCertificate(Cert(pki.SigningLeaf()), 0);
    ASSERT_TRUE(context.OpenSSLVerify("", Now()));
    EXPECT_EQ(context.GetCertificateChain(0).size(), 3u);
}

namespace {
// Counts the issuer lookups of a search, and ends a search that clearly runs unbounded by
// throwing from the logger.
class LookupCounter : public TvrLogger::ILogger, private std::streambuf {
public:
    explicit LookupCounter(size_t limit) : m_limit(limit), m_stream(this) { TvrX509::SetLogger(this); }
    ~LookupCounter() { TvrX509::SetLogger(nullptr); }

    std::ostream& Debug(const std::string&, int) override
    {
        if (lookups > m_limit)
            throw std::runtime_error("the chain search does not end");
        return m_stream;
    }
    std::ostream& Log(int, const std::string&, int) override { return m_stream; }
    std::ostream& Info(const std::string&, int) override { return m_stream; }
    std::ostream& Warn(const std::string&, int) override { return warn; }
    std::ostream& Error(const std::string&, int) override { return m_stream; }
    void Control(int) override {}
    bool IsActive() override { return true; }

    size_t lookups = 0;
    std::ostringstream warn;

private:
    int_type overflow(int_type ch) override
    {
        if (ch == '\n') {
            if (m_line.find("Lookup issuer for") != std::string::npos)
                ++lookups;
            m_line.clear();
        } else if (ch != traits_type::eof()) {
            m_line += static_cast<char>(ch);
        }
        return ch;
    }

    size_t m_limit;
    std::string m_line;
    std::ostream m_stream;
};
} // namespace

// Every CA certifies every other one; the leaf's own CA is the only trust anchor, so after
// the first chain every path through the mesh is a dead end, and there are (n-1)! of them.
// The search gives up after a bounded number of attempts and keeps the chain it found.
TEST(X509StoreContextTest, FullMeshOfCrossCertifiedCAsEndsWithTheFirstChain)
{
    constexpr int kMesh = 8;
    std::vector<EVP_PKEY*> keys;
    std::vector<PkiItem> selfSigned;
    for (int i = 0; i < kMesh; ++i) {
        keys.push_back(CertBuilder::NewKey("ec"));
        selfSigned.push_back(Ca("Mesh " + std::to_string(i), nullptr, keys[i]));
    }
    std::vector<PkiItem> crosses;
    for (int i = 0; i < kMesh; ++i)
        for (int j = 0; j < kMesh; ++j)
            if (i != j)
                crosses.push_back(Ca("Mesh " + std::to_string(i), &selfSigned[j], keys[i]));
    for (EVP_PKEY* key : keys)
        EVP_PKEY_free(key);
    PkiItem leaf = Leaf("Mesh Leaf", selfSigned[0]);

    for (bool anchored : {true, false}) {
        SCOPED_TRACE(anchored);
        LookupCounter counter(4 * TvrX509::X509StoreContextImpl::kMaxAttempts);
        X509StoreContext context(nullptr);
        for (const PkiItem& cross : crosses)
            context.AddUntrustedCertificate(Cert(cross));
        if (anchored)
            context.AddTrustedCertificate(Cert(selfSigned[0]));
        context.SetTargetCertificate(Cert(leaf), 0);
        EXPECT_EQ(context.OpenSSLVerify("", Now()), anchored);
        EXPECT_LE(counter.lookups, TvrX509::X509StoreContextImpl::kMaxAttempts);
        EXPECT_EQ(Count(counter.warn, "Chain search stopped after "), 1u);
        if (anchored) {
            ASSERT_EQ(context.GetCertificateChainCount(), 1u);
            EXPECT_EQ(context.GetCertificateChain(0), (std::vector<X509Certificate>{Cert(leaf), Cert(selfSigned[0])}));
        }
    }
}

// Chains hand out the very certificate objects of the pool: a copy shares the decoded
// certificate instead of encoding and decoding it again.
TEST(X509StoreContextTest, ChainsShareThePoolCertificates)
{
    const TestPki& pki = TestPki::Get();
    const X509Certificate root = Cert(pki.Root());
    const X509Certificate intermediate = Cert(pki.Intermediate());
    const X509Certificate leaf = Cert(pki.SigningLeaf());
    X509StoreContext context(nullptr);
    context.AddTrustedCertificate(root);
    context.AddUntrustedCertificate(intermediate);
    context.SetTargetCertificate(leaf, 0);
    ASSERT_TRUE(context.OpenSSLVerify("", Now()));
    const std::vector<X509Certificate> chain = context.GetCertificateChain(0);
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(TvrX509::X509CertificateImpl::Get(chain[0]), TvrX509::X509CertificateImpl::Get(leaf));
    EXPECT_EQ(TvrX509::X509CertificateImpl::Get(chain[1]), TvrX509::X509CertificateImpl::Get(intermediate));
    EXPECT_EQ(TvrX509::X509CertificateImpl::Get(chain[2]), TvrX509::X509CertificateImpl::Get(root));
}

namespace {
// Hands out a pool's certificates by subject name, as a caller with a large store does.
class PoolSource : public TvrX509::IStoreContextIssuerSource {
public:
    void Add(const X509Certificate& certificate, bool trusted)
    {
        TvrX509::X509CertificateInfo info(certificate);
        info.SetTrusted(trusted);
        pool.push_back(info);
    }
    void FindIssuers(const X509_NAME* issuerName, std::vector<TvrX509::X509CertificateInfo>& found) override
    {
        for (const TvrX509::X509CertificateInfo& info : pool)
            if (X509_NAME_cmp(X509_get_subject_name(TvrX509::X509CertificateImpl::Get(info)), issuerName) == 0)
                found.push_back(info);
    }
    std::vector<TvrX509::X509CertificateInfo> pool;
};
} // namespace

// CA1 is certified by G, under the trusted root R, and by six CAs D0..D5 that certify one
// another and lead to no anchor: far more paths run through the D certificates than the
// search may try. Whatever order the pool sorts into, the chain through G is found, as
// `openssl verify` finds it, whether the pool is added up front or supplied on demand.
TEST(X509StoreContextTest, CrossCertifiedDeadEndsDoNotHideTheAnchoredChain)
{
    constexpr int kPools = 6;
    constexpr int kDeadEnds = 6;
    const TvrCommon::Date now = At(std::time(nullptr));
    for (int pool = 0; pool < kPools; ++pool) {
        SCOPED_TRACE(pool);
        EVP_PKEY* ca1Key = CertBuilder::NewKey("ec");
        const PkiItem root = Ca("R", nullptr);
        const PkiItem g = Ca("G", &root);
        const PkiItem ca1ByG = Ca("CA1", &g, ca1Key);
        std::vector<PkiItem> untrusted = {g, ca1ByG};
        std::vector<EVP_PKEY*> deadKeys;
        std::vector<PkiItem> deadSelfSigned;  // only to sign with, never in the pool
        for (int i = 0; i < kDeadEnds; ++i) {
            deadKeys.push_back(CertBuilder::NewKey("ec"));
            deadSelfSigned.push_back(Ca("D" + std::to_string(i), nullptr, deadKeys[i]));
        }
        for (int i = 0; i < kDeadEnds; ++i) {
            untrusted.push_back(Ca("CA1", &deadSelfSigned[i], ca1Key));
            for (int j = 0; j < kDeadEnds; ++j)
                if (j != i)
                    untrusted.push_back(Ca("D" + std::to_string(i), &deadSelfSigned[j], deadKeys[i]));
        }
        const PkiItem leaf = Leaf("Leaf", ca1ByG);
        EVP_PKEY_free(ca1Key);
        for (EVP_PKEY* key : deadKeys)
            EVP_PKEY_free(key);

        char folder[] = "/tmp/tvr-chain-XXXXXX";
        ASSERT_TRUE(::mkdtemp(folder));
        const std::string dir = folder;
        std::ofstream(dir + "/root.pem") << root.Pem();
        std::ofstream(dir + "/leaf.pem") << leaf.Pem();
        std::ofstream others(dir + "/untrusted.pem");
        for (const PkiItem& item : untrusted)
            others << item.Pem();
        others.close();
        const std::string verified = CertTest::Run("openssl verify -CAfile " + dir + "/root.pem -untrusted " + dir +
                                                   "/untrusted.pem " + dir + "/leaf.pem 2>&1");
        std::filesystem::remove_all(dir);
        ASSERT_NE(verified.find("leaf.pem: OK"), std::string::npos) << verified;

        for (bool supplied : {false, true}) {
            SCOPED_TRACE(supplied);
            PoolSource source;
            X509StoreContext context(nullptr);
            if (supplied) {
                source.Add(Cert(root), true);
                for (const PkiItem& item : untrusted)
                    source.Add(Cert(item), false);
                context.SetIssuerSource(&source);
            } else {
                context.AddTrustedCertificate(Cert(root));
                for (const PkiItem& item : untrusted)
                    context.AddUntrustedCertificate(Cert(item));
            }
            context.SetTargetCertificate(Cert(leaf), 0);
            ASSERT_TRUE(context.OpenSSLVerify("", now));
            EXPECT_EQ(context.GetCertificateChain(0),
                      (std::vector<X509Certificate>{Cert(leaf), Cert(ca1ByG), Cert(g), Cert(root)}));
        }
    }
}
