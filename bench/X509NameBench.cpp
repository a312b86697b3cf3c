// Reading a certificate's subject the way callers do: an X509Certificate from DER, then
// GetSubjectDN() or GetSubject()->GetOneLine(), for an EC and an RSA certificate with a
// long UTF-8 subject. Each is timed next to bare OpenSSL making the same calls: d2i_X509,
// then X509_NAME_print_ex of the subject; for GetSubject() also the one X509_NAME_dup that
// an independent name object needs. The two sides are timed by turns in one process (batches
// of calls, A B then B A) and compared by their medians. Target: at most 1.05x.
#include "Alternation.h"
#include "DERBytes.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "X509Name.h"

#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <string>

namespace {

// Arg 0: EC P-256, arg 1: RSA 2048.
const TvrASN1::DERBytes& Der(int keyType)
{
    static const TvrASN1::DERBytes der[2] = {
        [] {
            TvrTest::CertSpec spec;
            spec.keyType = "ec";
            spec.subject =
                "/C=HU/ST=Győr-Moson-Sopron vármegye/L=Mosonmagyaróvár/O=Árvíztűrő Tükörfúrógép Szolgáltató Kft."
                "/OU=Minősített Elektronikus Aláírás Üzletág/OU=Ügyfélszolgálati Főosztály"
                "/CN=Őrszentmiklósi-Kőszegfalvi Zsófia Erzsébet/serialNumber=PNOHU-1234567890";
            std::vector<unsigned char> bytes = TvrTest::CertBuilder::Issue(spec, nullptr).Der();
            return TvrASN1::DERBytes(bytes.data(), bytes.size());
        }(),
        [] {
            TvrTest::CertSpec spec;
            spec.keyType = "rsa";
            spec.subject =
                "/C=HU/ST=Szabolcs-Szatmár-Bereg vármegye/L=Nyíregyháza/O=Ünnepélyes Őszibarack Termelő Zrt."
                "/OU=Hitelesítés-szolgáltatási Igazgatóság/OU=Időbélyegző és Tanúsítványkiadó Részleg"
                "/CN=Széchenyi-Bölöni Gergő Ábrahám/serialNumber=PNOHU-0987654321";
            std::vector<unsigned char> bytes = TvrTest::CertBuilder::Issue(spec, nullptr).Der();
            return TvrASN1::DERBytes(bytes.data(), bytes.size());
        }(),
    };
    return der[keyType];
}

const unsigned long kFlags = XN_FLAG_RFC2253 & ~static_cast<unsigned long>(ASN1_STRFLGS_ESC_MSB);

std::string Print(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(bio, name, 0, kFlags);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(length));
    BIO_free(bio);
    return text;
}

constexpr double kTarget = 1.05;
constexpr size_t kRounds = 101;
constexpr size_t kBatch = 200;

std::string LibrarySubjectDN(const TvrASN1::DERBytes& der)
{
    TvrX509::X509Certificate certificate(der);
    return certificate.GetSubjectDN();
}

std::string BareSubjectDN(const TvrASN1::DERBytes& der)
{
    const unsigned char* p = der.GetData();
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.GetSize()));
    std::string text = Print(X509_get_subject_name(certificate));
    X509_free(certificate);
    return text;
}

std::string LibraryOneLine(const TvrASN1::DERBytes& der)
{
    TvrX509::X509Certificate certificate(der);
    return certificate.GetSubject()->GetOneLine();
}

std::string BareOneLine(const TvrASN1::DERBytes& der)
{
    const unsigned char* p = der.GetData();
    X509* certificate = d2i_X509(nullptr, &p, static_cast<long>(der.GetSize()));
    X509_NAME* subject = X509_NAME_dup(X509_get_subject_name(certificate));
    std::string text = Print(subject);
    X509_NAME_free(subject);
    X509_free(certificate);
    return text;
}

// Times `ours` and `bare` by turns, each sample a batch of calls.
template <typename Ours, typename Bare>
void Compare(benchmark::State& state, Ours ours, Bare bare)
{
    for (auto _ : state) {
        const auto figures = BenchAlternation::Alternate(
            kRounds, [&] { return BenchAlternation::PerCall(kBatch, ours); },
            [&] { return BenchAlternation::PerCall(kBatch, bare); });
        BenchAlternation::Report(state, figures, kTarget);
    }
}

void BM_SubjectDN(benchmark::State& state)
{
    const TvrASN1::DERBytes& der = Der(static_cast<int>(state.range(0)));
    Compare(
        state, [&] { benchmark::DoNotOptimize(LibrarySubjectDN(der)); },
        [&] { benchmark::DoNotOptimize(BareSubjectDN(der)); });
}
BENCHMARK(BM_SubjectDN)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_GetSubjectOneLine(benchmark::State& state)
{
    const TvrASN1::DERBytes& der = Der(static_cast<int>(state.range(0)));
    Compare(
        state, [&] { benchmark::DoNotOptimize(LibraryOneLine(der)); },
        [&] { benchmark::DoNotOptimize(BareOneLine(der)); });
}
BENCHMARK(BM_GetSubjectOneLine)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The same two calls on a certificate decoded once, so the name work is not hidden behind
// the decoding of the public key, which dominates the figures above.
void BM_DecodedSubject(benchmark::State& state)
{
    const TvrASN1::DERBytes& der = Der(static_cast<int>(state.range(0)));
    TvrX509::X509Certificate certificate(der);
    const unsigned char* p = der.GetData();
    X509* bare = d2i_X509(nullptr, &p, static_cast<long>(der.GetSize()));
    Compare(
        state,
        [&] {
            std::string dn = certificate.GetSubjectDN();
            std::string text = certificate.GetSubject()->GetOneLine();
            benchmark::DoNotOptimize(dn);
            benchmark::DoNotOptimize(text);
        },
        [&] {
            std::string dn = Print(X509_get_subject_name(bare));
            X509_NAME* subject = X509_NAME_dup(X509_get_subject_name(bare));
            std::string text = Print(subject);
            benchmark::DoNotOptimize(dn);
            benchmark::DoNotOptimize(text);
            X509_NAME_free(subject);
        });
    X509_free(bare);
}
BENCHMARK(BM_DecodedSubject)->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
