// One revocation check against `openssl ocsp` on 127.0.0.1, next to the bare work it
// stands for, in the same process and run: one libcurl POST of an equivalent request
// (new nonce each time), d2i_OCSP_RESPONSE, OCSP_basic_verify and OCSP_resp_find_status.
// The checker is made once, as the registration makes one per run of certificates.
// Target: ours at most 1.3x the bare work.
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

size_t Collect(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

void BM_BareOcspExchange(benchmark::State& state)
{
    Rig& rig = TheRig();
    const TestPki& pki = TestPki::Get();
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    sk_X509_push(untrusted, pki.Intermediate().Cert());
    for (auto _ : state) {
        OCSP_REQUEST* request = OCSP_REQUEST_new();
        OCSP_CERTID* id = OCSP_cert_to_id(EVP_sha256(), rig.leaf.Cert(), pki.Intermediate().Cert());
        OCSP_request_add0_id(request, OCSP_CERTID_dup(id));
        OCSP_request_add1_nonce(request, nullptr, 16);
        unsigned char* body = nullptr;
        int bodyLength = i2d_OCSP_REQUEST(request, &body);

        CURL* curl = curl_easy_init();
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/ocsp-request");
        std::string answer;
        curl_easy_setopt(curl, CURLOPT_URL, rig.url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(bodyLength));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
        bool ok = curl_easy_perform(curl) == CURLE_OK;
        curl_slist_free_all(headers);
        curl_easy_cleanup(curl);

        const unsigned char* p = reinterpret_cast<const unsigned char*>(answer.data());
        OCSP_RESPONSE* response = ok ? d2i_OCSP_RESPONSE(nullptr, &p, static_cast<long>(answer.size())) : nullptr;
        OCSP_BASICRESP* basic = response ? OCSP_response_get1_basic(response) : nullptr;
        int status = -1, reason = 0;
        ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
        if (!basic || OCSP_basic_verify(basic, untrusted, rig.store, 0) <= 0
            || !OCSP_resp_find_status(basic, id, &status, &reason, &revokedAt, &thisUpdate, &nextUpdate)
            || status != V_OCSP_CERTSTATUS_GOOD)
            state.SkipWithError("the bare exchange did not say good");
        OCSP_BASICRESP_free(basic);
        OCSP_RESPONSE_free(response);
        OPENSSL_free(body);
        OCSP_CERTID_free(id);
        OCSP_REQUEST_free(request);
    }
    sk_X509_free(untrusted);
}
BENCHMARK(BM_BareOcspExchange)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
