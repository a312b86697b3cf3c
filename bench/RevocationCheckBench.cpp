// One revocation check against `openssl ocsp` on 127.0.0.1, as a registration pays for it:
// a new checker (the registration makes one per card) and its check of one certificate,
// with the system's trust bundle behind "ROOT" (Debian's /etc/ssl/certs/ca-certificates.crt,
// or, where there is none, a bundle of as many CA certificates made for the run) and the
// test PKI's root and intermediate in "ROOT" and "CA". The network stack is reached through
// its module, as the program reaches it.
//
// RevocationCheck: next to it, in the same process and by turns (A B, B A), the bare work
// it stands for: one libcurl POST of an equivalent request (new nonce each time),
// d2i_OCSP_RESPONSE, OCSP_basic_verify against a store holding the same bundle (built once,
// as a bare program keeps its store) and OCSP_resp_find_status. Target: ours at most 1.3x
// the bare work.
// FirstCheck: the first check of a process that starts as the program does (nothing
// decoded, the network module not loaded) and has run the program's warm-up, as it has by
// the time a user puts a card in, next to the third check of the same process; one pair per
// process. Target: at most 1.2x. cold_first_ms: the first check of such a process without
// the warm-up, for reference (what the warm-up takes off the registration road).
// Both print min/min, the median of the per-pair ratios and the load at the start and the end.
#include "Alternation.h"
#include "BareOcsp.h"
#include "CryptoAlgJanitor.h"
#include "NetRig.h"
#include "RegistrationWarmUp.h"
#include "RevocationChecker.h"
#include "TestPki.h"
#include "X509Certificate.h"
#include "platform/CertStore.h"

#include <benchmark/benchmark.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
constexpr int kFirstCheckProcesses = 21;
constexpr int kChecksPerProcess = 3;
constexpr double kTargetFirst = 1.2;

struct Rig {
    TvrTest::TempDir dir;
    std::string bundle;
    PkiItem leaf;
    std::string leafPath;
    std::string url;
    std::unique_ptr<TvrTest::OcspResponderProcess> responder;
    X509_STORE* store = nullptr;

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
        leafPath = dir.Path() + "/leaf.pem";
        std::ofstream(leafPath) << leaf.Pem();
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
    const double load = BenchAlternation::LoadAverage();
    // Warmed up as the program is once it runs: every round counts.
    TvrServices::WarmUpRegistrationRoad();
    bool ok = true;
    for (auto _ : state) {
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
    BenchAlternation::ReportLoad(state, load);
    state.SetLabel(rig.bundle);
}
BENCHMARK(BM_RevocationCheck)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// A process that starts as the program does: the warm-up when asked, then the checks of the
// certificate in the PEM file, each one's seconds on a line of standard output (-1: not good).
int FirstCheckProcess(const std::string& leafPath, bool warm)
{
    std::FILE* file = std::fopen(leafPath.c_str(), "r");
    X509* leaf = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
    if (file)
        std::fclose(file);
    if (!leaf)
        return 2;
    // The program sets OpenSSL up (its providers loaded) at start, before any insertion.
    const TvrCrypto::CryptoAlgJanitor openssl;
    if (warm)
        TvrServices::WarmUpRegistrationRoad();
    for (int i = 0; i < kChecksPerProcess; ++i) {
        const auto t = Clock::now();
        const bool good = CheckAsRegistered(leaf);
        std::printf("%.9f\n", good ? BenchAlternation::Seconds(Clock::now() - t) : -1.0);
    }
    X509_free(leaf);
    return 0;
}

// One such process: its checks' seconds, or none when one failed.
std::vector<double> ChecksOfANewProcess(const Rig& rig, bool warm)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t child = ::fork();
    if (child < 0)
        return {};
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        const char* argv[] = {"bench_revocation_check", "--first_check_process", rig.leafPath.c_str(),
                              warm ? "warm" : "cold", nullptr};
        ::execv("/proc/self/exe", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::vector<double> seconds;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        seconds.push_back(std::atof(out.substr(start, end - start).c_str()));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || seconds.size() != kChecksPerProcess)
        return {};
    for (double s : seconds)
        if (s <= 0)
            return {};
    return seconds;
}

void BM_FirstCheck(benchmark::State& state)
{
    Rig& rig = TheRig();
    const double load = BenchAlternation::LoadAverage();
    std::vector<double> first, later, cold;
    for (auto _ : state) {
        for (int i = 0; i < kFirstCheckProcesses; ++i) {
            const std::vector<double> warm = ChecksOfANewProcess(rig, true);
            // One process in three starts cold, for the reference figure.
            const std::vector<double> coldChecks = i % 3 == 0 ? ChecksOfANewProcess(rig, false) : std::vector<double>{0};
            if (warm.empty() || coldChecks.empty()) {
                state.SkipWithError("a check of a new process did not say good");
                return;
            }
            first.push_back(warm.front());
            later.push_back(warm.back());
            if (i % 3 == 0)
                cold.push_back(coldChecks.front());
        }
    }
    BenchAlternation::Report(state, BenchAlternation::FromPairs(first, later), kTargetFirst, 1e-3);
    BenchAlternation::ReportLoad(state, load);
    state.counters["cold_first_ms"] = BenchAlternation::Median(cold) * 1e3;
    state.SetLabel("first check after the warm-up (ours) next to the third (bare) of the same process");
}
BENCHMARK(BM_FirstCheck)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--first_check_process")
        return FirstCheckProcess(argv[2], std::string(argv[3]) == "warm");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
