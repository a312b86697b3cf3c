// Building all chains of a leaf through the public X509StoreContext path:
// - against 200 unrelated trusted CAs plus the leaf's own three-level chain (acyclic pool);
// - against 10 CAs that cross-certify their ring neighbours both ways (one of them also a
//   trusted self-signed root);
// - against a full mesh of n CAs where every CA certifies every other one: the number of
//   simple paths grows like (n-2)!, so this shows whether the search is bounded.
// Every sample decodes its certificates afresh (outside the timing) into a new context, so
// nothing a previous sample computed on the certificate objects is reused.
// Comparisons, each timed by turns in one process (A B, B A) and given as the ratio of the
// medians: the mesh of 10 against the acyclic pool (target: within 10x), and the acyclic pool
// against bare OpenSSL verifying the leaf against the same pool (for reference: OpenSSL stops
// at the first chain, we collect all).
#include "Alternation.h"
#include "Date.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "X509StoreContext.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509_vfy.h>

#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using TvrTest::CertBuilder;
using TvrTest::CertSpec;
using TvrTest::PkiItem;
using TvrX509::X509Certificate;
using TvrX509::X509StoreContext;

using Der = std::vector<unsigned char>;

// The DER encodings of a pool: trusted, untrusted and the target.
struct Pool {
    std::vector<Der> trusted;
    std::vector<Der> untrusted;
    Der target;
};

PkiItem Ca(const std::string& cn, const PkiItem* issuer, EVP_PKEY* key = nullptr)
{
    CertSpec spec;
    spec.subject = "/O=Tavrenic Bench/CN=" + cn;
    spec.ca = true;
    return CertBuilder::Issue(spec, issuer, key);
}

PkiItem BenchLeaf(const PkiItem& issuer)
{
    CertSpec spec;
    spec.subject = "/O=Tavrenic Bench/CN=Leaf";
    return CertBuilder::Issue(spec, &issuer);
}

TvrCommon::Date Instant()
{
    return TvrCommon::Date(static_cast<uint64_t>(TvrTest::TestPki::Get().SigningLeaf().NotBefore() + 3600),
                           TvrCommon::Date::Seconds);
}

const Pool& UnrelatedPool()
{
    static const Pool pool = [] {
        const TvrTest::TestPki& pki = TvrTest::TestPki::Get();
        Pool p;
        for (int i = 0; i < 200; ++i)
            p.trusted.push_back(Ca("Unrelated " + std::to_string(i), nullptr).Der());
        p.trusted.push_back(pki.Root().Der());
        p.untrusted.push_back(pki.Intermediate().Der());
        p.target = pki.SigningLeaf().Der();
        return p;
    }();
    return pool;
}

// CAs 0..n-1, each with its own key; CA i is certified by the self-signed version of every
// CA in `issuersOf(i)`. The self-signed CA n/2 is trusted; the leaf is issued by CA 0.
template <typename IssuersOf>
Pool CrossCertified(int n, IssuersOf issuersOf)
{
    std::vector<EVP_PKEY*> keys;
    std::vector<PkiItem> selfSigned;
    for (int i = 0; i < n; ++i) {
        keys.push_back(CertBuilder::NewKey("ec"));
        selfSigned.push_back(Ca("Cross " + std::to_string(i), nullptr, keys[i]));
    }
    Pool p;
    for (int i = 0; i < n; ++i) {
        for (int issuer : issuersOf(i))
            p.untrusted.push_back(Ca("Cross " + std::to_string(i), &selfSigned[issuer], keys[i]).Der());
    }
    p.trusted.push_back(selfSigned[n / 2].Der());
    p.target = BenchLeaf(selfSigned[0]).Der();
    for (EVP_PKEY* key : keys)
        EVP_PKEY_free(key);
    return p;
}

const Pool& Ring10()
{
    static const Pool pool = CrossCertified(10, [](int i) { return std::vector<int>{(i + 1) % 10, (i + 9) % 10}; });
    return pool;
}

const Pool& FullMesh(int n)
{
    static std::map<int, Pool> pools;
    auto it = pools.find(n);
    if (it == pools.end()) {
        it = pools
                 .emplace(n, CrossCertified(n,
                                            [n](int i) {
                                                std::vector<int> others;
                                                for (int j = 0; j < n; ++j)
                                                    if (j != i)
                                                        others.push_back(j);
                                                return others;
                                            }))
                 .first;
    }
    return it->second;
}

X509Certificate Decode(const Der& der)
{
    return X509Certificate(der.data(), static_cast<int>(der.size()));
}

// One search over a freshly decoded pool; seconds, or a negative value when the chains
// were not as expected (expectedChains 0: any number, at least one).
double VerifyOnce(const Pool& pool, size_t expectedChains, size_t* chains = nullptr)
{
    const TvrCommon::Date t = Instant();
    auto context = std::make_unique<X509StoreContext>(nullptr);
    for (const Der& der : pool.trusted)
        context->AddTrustedCertificate(Decode(der));
    for (const Der& der : pool.untrusted)
        context->AddUntrustedCertificate(Decode(der));
    context->SetTargetCertificate(Decode(pool.target), 0);
    const auto start = BenchAlternation::Clock::now();
    const bool found = context->OpenSSLVerify("", t);
    const double seconds = BenchAlternation::Seconds(BenchAlternation::Clock::now() - start);
    const size_t count = context->GetCertificateChainCount();
    if (chains)
        *chains = count;
    return found && (!expectedChains || count == expectedChains) ? seconds : -1;
}

// Bare OpenSSL on a pool: the same freshly decoded certificates in a store, one
// X509_verify_cert (which stops at the first chain it finds). Seconds, negative on failure.
double BareVerifyOnce(const Pool& pool)
{
    std::vector<X509*> decoded;
    auto decode = [&](const Der& der) {
        const unsigned char* p = der.data();
        decoded.push_back(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        return decoded.back();
    };
    X509_STORE* store = X509_STORE_new();
    for (const Der& der : pool.trusted)
        X509_STORE_add_cert(store, decode(der));
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    for (const Der& der : pool.untrusted)
        sk_X509_push(untrusted, decode(der));
    X509* target = decode(pool.target);
    const auto start = BenchAlternation::Clock::now();
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, target, untrusted);
    X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx),
                               static_cast<time_t>(Instant().GetValue(TvrCommon::Date::Seconds)));
    const int ok = X509_verify_cert(ctx);
    X509_STORE_CTX_free(ctx);
    const double seconds = BenchAlternation::Seconds(BenchAlternation::Clock::now() - start);
    sk_X509_free(untrusted);
    X509_STORE_free(store);
    for (X509* x : decoded)
        X509_free(x);
    return ok == 1 ? seconds : -1;
}

void Run(benchmark::State& state, const Pool& pool, size_t expectedChains)
{
    size_t chains = 0;
    for (auto _ : state) {
        const double seconds = VerifyOnce(pool, expectedChains, &chains);
        if (seconds < 0) {
            state.SkipWithError("unexpected chains");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.counters["chains"] = static_cast<double>(chains);
}

void BM_UnrelatedPool200(benchmark::State& state)
{
    Run(state, UnrelatedPool(), 1);
}
BENCHMARK(BM_UnrelatedPool200)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_CrossCertifiedRing10(benchmark::State& state)
{
    Run(state, Ring10(), 2);
}
BENCHMARK(BM_CrossCertifiedRing10)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_FullMesh(benchmark::State& state)
{
    Run(state, FullMesh(static_cast<int>(state.range(0))), 0);
}
BENCHMARK(BM_FullMesh)->Arg(5)->Arg(6)->Arg(7)->Arg(8)->Arg(10)->UseManualTime()->Unit(benchmark::kMicrosecond);

constexpr size_t kRounds = 41;

// Takes a sample, marking a failed one.
template <typename Sample>
auto Checked(bool& failed, Sample sample)
{
    return [&failed, sample] {
        const double seconds = sample();
        failed = failed || seconds < 0;
        return seconds;
    };
}

// The mesh of 10 against the acyclic pool of 200. Target: within 10x.
void BM_Mesh10AgainstPool200(benchmark::State& state)
{
    bool failed = false;
    for (auto _ : state) {
        const auto figures =
            BenchAlternation::Alternate(kRounds, Checked(failed, [] { return VerifyOnce(FullMesh(10), 0); }),
                                        Checked(failed, [] { return VerifyOnce(UnrelatedPool(), 1); }));
        BenchAlternation::Report(state, figures, 10.0);
    }
    if (failed)
        state.SkipWithError("unexpected chains");
}
BENCHMARK(BM_Mesh10AgainstPool200)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The acyclic pool of 200, ours against bare OpenSSL; for reference.
void BM_Pool200AgainstBareOpenSSL(benchmark::State& state)
{
    bool failed = false;
    for (auto _ : state) {
        const auto figures =
            BenchAlternation::Alternate(kRounds, Checked(failed, [] { return VerifyOnce(UnrelatedPool(), 1); }),
                                        Checked(failed, [] { return BareVerifyOnce(UnrelatedPool()); }));
        BenchAlternation::Report(state, figures, 0);
    }
    if (failed)
        state.SkipWithError("a verification failed");
}
BENCHMARK(BM_Pool200AgainstBareOpenSSL)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
