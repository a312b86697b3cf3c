// One revocation check against `openssl ocsp` on 127.0.0.1, next to the bare work it
// stands for, in the same process and run: one libcurl POST of an equivalent request
// (new nonce each time), d2i_OCSP_RESPONSE, OCSP_basic_verify and OCSP_resp_find_status.
// The checker is made once, as the registration makes one per run of certificates.
// Target: ours at most 1.3x the bare work.
#include "BareOcsp.h"
#include "NetRig.h"
#include "RevocationChecker.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "platform/CertStore.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/ocsp.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using TvrTest::PkiItem;
using TvrTest::TestPki;

struct Rig {
    TvrTest::TempDir dir;
    PkiItem leaf;
    std::string url;
    std::unique_ptr<TvrTest::OcspResponderProcess> responder;
    std::unique_ptr<TvrServices::RevocationChecker> checker;
    X509_STORE* store = nullptr;

    Rig()
    {
        ::setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
        std::ofstream(dir.Path() + "/bundle.crt").close();
        ::setenv("TVR_TRUST_BUNDLE", (dir.Path() + "/bundle.crt").c_str(), 1);
        const TestPki& pki = TestPki::Get();
        Add("ROOT", pki.Root());
        Add("CA", pki.Intermediate());

        int port = TvrTest::FreeTcpPort();
        url = "http://127.0.0.1:" + std::to_string(port) + "/";
        TvrTest::CertSpec spec;
        spec.subject = "/C=HU/O=Tavrenic/CN=Bench Leaf";
        spec.extensions = {{"authorityInfoAccess", "OCSP;URI:" + url}};
        leaf = TvrTest::CertBuilder::Issue(spec, &pki.Intermediate());
        std::string index = dir.Path() + "/index.txt";
        char* subject = X509_NAME_oneline(X509_get_subject_name(leaf.Cert()), nullptr, 0);
        char notAfter[32];
        std::time_t t = leaf.NotAfter();
        std::tm tm{};
        gmtime_r(&t, &tm);
        std::strftime(notAfter, sizeof notAfter, "%y%m%d%H%M%SZ", &tm);
        std::ofstream(index) << "V\t" << notAfter << "\t\t" << leaf.SerialHex() << "\tunknown\t" << subject << "\n";
        OPENSSL_free(subject);
        responder = std::make_unique<TvrTest::OcspResponderProcess>(
            index, pki.Intermediate().pemPath, pki.OcspSigner().pemPath, pki.OcspSigner().keyPath,
            std::vector<std::string>{"-nmin", "5"}, port);
        checker = std::make_unique<TvrServices::RevocationChecker>();

        store = X509_STORE_new();
        X509_STORE_add_cert(store, pki.Root().Cert());
        X509_STORE_add_cert(store, pki.Intermediate().Cert());
    }
    ~Rig() { X509_STORE_free(store); }

    static void Add(const std::string& name, const PkiItem& item)
    {
        auto opened = Platform::CertStore::OpenSystem(name);
        std::vector<unsigned char> der = item.Der();
        auto context = Platform::CertContext::Create(der.data(), der.size());
        if (!opened || !context || !opened->Add(*context, Platform::CertAddDisposition::ReplaceExisting))
            throw std::runtime_error("cannot fill the " + name + " store");
    }
};

Rig& TheRig()
{
    static Rig rig;
    return rig;
}

void BM_RevocationCheck(benchmark::State& state)
{
    Rig& rig = TheRig();
    std::vector<unsigned char> der = rig.leaf.Der();
    TvrX509::X509Certificate certificate(der.data(), static_cast<int>(der.size()));
    for (auto _ : state) {
        std::set<std::string> revoked;
        if (!rig.checker->DoRevocationCheck(certificate, revoked) || !revoked.empty())
            state.SkipWithError("the check did not say good");
    }
}
BENCHMARK(BM_RevocationCheck)->Unit(benchmark::kMillisecond);

void BM_BareOcspExchange(benchmark::State& state)
{
    Rig& rig = TheRig();
    const TestPki& pki = TestPki::Get();
    for (auto _ : state) {
        if (!BenchBare::OcspExchange(rig.url, rig.leaf.Cert(), pki.Intermediate().Cert(), rig.store))
            state.SkipWithError("the bare exchange did not say good");
    }
}
BENCHMARK(BM_BareOcspExchange)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
