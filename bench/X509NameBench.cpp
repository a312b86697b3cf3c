// Decoding a certificate and printing its subject: the library's path (DER decoding
// through OpenSSLBase with its error-queue guard, one-line text through X509NameImpl)
// against bare d2i_X509 + X509_NAME_print_ex. Target: at most 1.3x.
#include "OpenSSLBase.h"
#include "TestPki.h"
#include "X509NameImpl.h"

#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

namespace {

class CertificateObject : public TvrASN1::OpenSSLBase<X509> {
public:
    explicit CertificateObject(const TvrASN1::DERBytes& der)
        : OpenSSLBase(der, X509_new, X509_free, X509_dup, d2i_X509, i2d_X509) {}
};

const TvrASN1::DERBytes& Der()
{
    static const TvrASN1::DERBytes der = [] {
        std::vector<unsigned char> bytes = TvrTest::TestPki::Get().SigningLeaf().Der();
        return TvrASN1::DERBytes(bytes.data(), bytes.size());
    }();
    return der;
}

void BM_Library(benchmark::State& state)
{
    const TvrASN1::DERBytes& der = Der();
    for (auto _ : state) {
        CertificateObject cert(der);
        std::string text = TvrX509::X509NameImpl::GetOneLine(X509_get_subject_name(cert.object));
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_Library);

void BM_BareOpenSSL(benchmark::State& state)
{
    const TvrASN1::DERBytes& der = Der();
    const unsigned long flags = XN_FLAG_RFC2253 & ~static_cast<unsigned long>(ASN1_STRFLGS_ESC_MSB);
    for (auto _ : state) {
        const unsigned char* p = der.GetData();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.GetSize()));
        BIO* bio = BIO_new(BIO_s_mem());
        X509_NAME_print_ex(bio, X509_get_subject_name(cert), 0, flags);
        char* data = nullptr;
        long length = BIO_get_mem_data(bio, &data);
        std::string text(data, static_cast<size_t>(length));
        benchmark::DoNotOptimize(text);
        BIO_free(bio);
        X509_free(cert);
    }
}
BENCHMARK(BM_BareOpenSSL);

} // namespace

BENCHMARK_MAIN();
