// Building all chains of a leaf: against 200 unrelated CA certificates plus the leaf's own
// three-level chain, and against 10 CAs that cross-certify their ring neighbours both ways
// (one of them also a trusted self-signed root). Each iteration runs on a fresh copy of a
// prepared context, so no signature checked in an earlier iteration is taken as known.
// Target: the cross-certified ring stays within 10x of the unrelated pool.
#include "Date.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "X509StoreContext.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrX509::X509Certificate;
using TvrX509::X509StoreContext;

PkiItem Ca(const std::string& cn, const PkiItem* issuer, EVP_PKEY* key = nullptr)
{
    CertSpec spec;
    spec.subject = "/O=Tavrenic Bench/CN=" + cn;
    spec.ca = true;
    return CertBuilder::Issue(spec, issuer, key);
}

TvrCommon::Date Instant()
{
    return TvrCommon::Date(static_cast<uint64_t>(TvrTest::TestPki::Get().SigningLeaf().NotBefore() + 3600),
                           TvrCommon::Date::Seconds);
}

const X509StoreContext& UnrelatedPool()
{
    static const std::unique_ptr<X509StoreContext> context = [] {
        const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
        auto c = std::make_unique<X509StoreContext>(nullptr);
        for (int i = 0; i < 200; ++i)
            c->AddTrustedCertificate(X509Certificate(Ca("Unrelated " + std::to_string(i), nullptr).Cert()));
        c->AddTrustedCertificate(X509Certificate(pki.Root().Cert()));
        c->AddUntrustedCertificate(X509Certificate(pki.Intermediate().Cert()));
        c->SetTargetCertificate(X509Certificate(pki.SigningLeaf().Cert()), 0);
        return c;
    }();
    return *context;
}

const X509StoreContext& CrossCertifiedRing()
{
    static const std::unique_ptr<X509StoreContext> context = [] {
        constexpr int kRing = 10;
        std::vector<EVP_PKEY*> keys;
        std::vector<PkiItem> selfSigned;
        for (int i = 0; i < kRing; ++i) {
            keys.push_back(CertBuilder::NewKey("ec"));
            selfSigned.push_back(Ca("Ring " + std::to_string(i), nullptr, keys[i]));
        }
        auto c = std::make_unique<X509StoreContext>(nullptr);
        for (int i = 0; i < kRing; ++i) {
            for (int neighbour : {(i + 1) % kRing, (i + kRing - 1) % kRing})
                c->AddUntrustedCertificate(
                    X509Certificate(Ca("Ring " + std::to_string(i), &selfSigned[neighbour], keys[i]).Cert()));
        }
        c->AddTrustedCertificate(X509Certificate(selfSigned[kRing / 2].Cert()));
        CertSpec spec;
        spec.subject = "/O=Tavrenic Bench/CN=Ring Leaf";
        c->SetTargetCertificate(X509Certificate(CertBuilder::Issue(spec, &selfSigned[0]).Cert()), 0);
        for (EVP_PKEY* key : keys)
            EVP_PKEY_free(key);
        return c;
    }();
    return *context;
}

void Run(benchmark::State& state, const X509StoreContext& prepared, size_t expectedChains)
{
    const TvrCommon::Date t = Instant();
    for (auto _ : state) {
        state.PauseTiming();
        X509StoreContext context(prepared);
        state.ResumeTiming();
        bool found = context.OpenSSLVerify("", t);
        if (!found || context.GetCertificateChainCount() != expectedChains) {
            state.SkipWithError("unexpected chains");
            break;
        }
    }
}

void BM_UnrelatedPool200(benchmark::State& state)
{
    Run(state, UnrelatedPool(), 1);
}
BENCHMARK(BM_UnrelatedPool200)->Unit(benchmark::kMicrosecond);

void BM_CrossCertifiedRing10(benchmark::State& state)
{
    Run(state, CrossCertifiedRing(), 2);
}
BENCHMARK(BM_CrossCertifiedRing10)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
