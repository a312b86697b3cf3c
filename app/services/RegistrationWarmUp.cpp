#include "RegistrationWarmUp.h"

#include "Date.h"
#include "HttpClient.h"
#include "OCSPRequest.h"
#include "TrustSet.h"
#include "X509StoreContext.h"
#include "platform/CertStore.h"

#include <openssl/x509.h>

#include <exception>

namespace TvrServices {

namespace {

// The first OCSP request of the process would otherwise also pay for OpenSSL's first use of
// its digests, its random generator and the encoder: one is built, and nothing is sent.
void BuildOneRequest(const TrustSet& trust)
{
    if (trust.Certificates().empty())
        return;
    const TvrX509::X509Certificate& any = *trust.Certificates().front();
    TvrOCSP::OCSPRequest request("sha256", any, any, false, true);
    request.GetDER();
}

// Likewise the first chain built: one of a root of the set, which needs no download.
void BuildOneChain(const TrustSet& trust)
{
    for (const auto& certificate : trust.Certificates()) {
        if (!certificate->IsSelfIssuedCA())
            continue;
        TvrX509::X509StoreContext context(nullptr);
        context.AddTrustedCertificate(*certificate);
        context.SetTargetCertificate(*certificate, 0);
        context.OpenSSLVerify("", TvrCommon::Date::Now());
        return;
    }
}

// And the first signature checked (the chain's, the answer's): a root's own.
void CheckOneSignature()
{
    std::unique_ptr<Platform::CertStore> root = Platform::CertStore::OpenSystem("ROOT");
    const Platform::CertContextPtr first = root ? root->EnumNext(nullptr) : nullptr;
    X509* certificate = first ? const_cast<X509*>(first->Certificate()) : nullptr;
    if (certificate)
        X509_verify(certificate, X509_get0_pubkey(certificate));
}

} // namespace

void WarmUpRegistrationRoad(const std::function<bool()>& stopping)
{
    auto stop = [&] { return stopping && stopping(); };
    // Only a head start: what fails here is met again, and handled, by the registration.
    try {
        if (stop())
            return;
        // Built under TrustSet's own lock: a checker made meanwhile takes this set.
        const std::shared_ptr<const TrustSet> trust = TrustSet::Current();
        if (stop())
            return;
        PrepareNetworkStack();
        if (stop())
            return;
        BuildOneRequest(*trust);
        BuildOneChain(*trust);
        CheckOneSignature();
    } catch (const std::exception&) {
    }
}

} // namespace TvrServices
