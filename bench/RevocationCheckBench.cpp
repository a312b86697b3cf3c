// One revocation check against `openssl ocsp` on 127.0.0.1, as a registration pays for it:
// a new checker (the registration makes one per card) and its check of one certificate,
// with the system's trust bundle behind "ROOT" (Debian's /etc/ssl/certs/ca-certificates.crt,
// or, where there is none, a bundle of as many CA certificates made for the run) and the
// test PKI's root and intermediate in "ROOT" and "CA". Next to it, in the same process and
// by turns (A B, B A), the bare work it stands for: one libcurl POST of an equivalent request
// (new nonce each time), d2i_OCSP_RESPONSE, OCSP_basic_verify against a store holding the
// same bundle (built once, as a bare program keeps its store) and OCSP_resp_find_status.
// Target: ours at most 1.3x the bare work. The first checker of the process, which decodes
// the trust set, is reported apart (first_ms).
#include "Alternation.h"
#include "BareOcsp.h"
#include "NetRig.h"
#include "RevocationChecker.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "platform/CertStore.h"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using BenchAlternation::Clock;
using TvrTest::PkiItem;
using TvrTest::TestPki;

constexpr const char* kSystemBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kMadeBundleSize = 146;  // Debian's bundle holds about as many
constexpr double kTarget = 1.3;
constexpr size_t kRounds = 61;

struct Rig {
    TvrTest::TempDir dir;
    std::string bundle;
    PkiItem leaf;
    std::string url;
    std::unique_ptr<TvrTest::OcspResponderProcess> responder;
    X509_STORE* store = nullptr;
    double firstCheckerMs = 0;

    Rig()
    {
        ::setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
        bundle = ::access(kSystemBundle, R_OK) == 0 ? kSystemBundle : MakeBundle();
        ::setenv("TVR_TRUST_BUNDLE", bundle.c_str(), 1);
        const TestPki& pki = TestPki::Get();
        Add("ROOT", pki.Root());
        Add("CA", pki.Intermediate());

        int port = TvrTest::FreeTcpPort();
        url = "http://127.0.0.1:" + std::to_string(port) + "/";
        TvrTest::CertSpec spec;
        spec.subject = "/C=HU/O=Tavrenic/CN=Bench Leaf";
        spec.extensions = {{"keyUsage", "critical,digitalSignature"}, {"authorityInfoAccess", "OCSP;URI:" + url}};
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

        store = X509_STORE_new();
        if (X509_STORE_load_file(store, bundle.c_str()) != 1)
            throw std::runtime_error("cannot load " + bundle);
        X509_STORE_add_cert(store, pki.Root().Cert());
    }
    ~Rig() { X509_STORE_free(store); }

    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // A PEM bundle of as many self-signed CA certificates as the system's holds.
    std::string MakeBundle() const
    {
        const std::string path = dir.Path() + "/bundle.crt";
        std::ofstream out(path);
        for (int i = 0; i < kMadeBundleSize; ++i) {
            TvrTest::CertSpec spec;
            spec.subject = "/C=HU/O=Bench Trust/CN=Bundle Root " + std::to_string(i);
            spec.ca = true;
            out << TvrTest::CertBuilder::Issue(spec, nullptr).Pem();
        }
        return path;
    }

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

// As the registration does it: a checker for the card, then the card's certificate (the
// token's decoded object) checked.
bool CheckAsRegistered(const X509* tokenCertificate)
{
    TvrServices::RevocationChecker checker{TvrServices::HttpOptions()};
    std::set<std::string> revoked;
    return checker.DoRevocationCheck(TvrX509::X509Certificate::Sharing(tokenCertificate), revoked) &&
           revoked.empty();
}

void BM_RevocationCheck(benchmark::State& state)
{
    Rig& rig = TheRig();
    const TestPki& pki = TestPki::Get();
    bool ok = true;
    for (auto _ : state) {
        const auto start = Clock::now();
        ok = CheckAsRegistered(rig.leaf.Cert());
        rig.firstCheckerMs = BenchAlternation::Seconds(Clock::now() - start) * 1e3;
        ok = ok && BenchBare::OcspExchange(rig.url, rig.leaf.Cert(), pki.Intermediate().Cert(), rig.store);
        const auto figures = BenchAlternation::Alternate(
            kRounds,
            [&] {
                const auto t = Clock::now();
                ok = CheckAsRegistered(rig.leaf.Cert()) && ok;
                return BenchAlternation::Seconds(Clock::now() - t);
            },
            [&] {
                const auto t = Clock::now();
                ok = BenchBare::OcspExchange(rig.url, rig.leaf.Cert(), pki.Intermediate().Cert(), rig.store) && ok;
                return BenchAlternation::Seconds(Clock::now() - t);
            });
        BenchAlternation::Report(state, figures, kTarget, 1e-3);
    }
    if (!ok)
        state.SkipWithError("a check did not say good");
    state.counters["first_ms"] = rig.firstCheckerMs;
    state.SetLabel(rig.bundle);
}
BENCHMARK(BM_RevocationCheck)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
