#pragma once

#include "BasicOCSPResponse.h"
#include "IDigest.h"
#include "OpenSSLBase.h"

#include <openssl/ocsp.h>

#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrOCSP {

// The responder ID of a basic response: byName (type 0) or byKey (type 1); -1 when the
// choice is not made.
struct ResponderIdView {
    int type = -1;
    const X509_NAME* byName = nullptr;
    const ASN1_OCTET_STRING* byKey = nullptr;
};

class BasicOCSPResponseImpl : public TvrASN1::OpenSSLBase<OCSP_BASICRESP>,
                              public TvrASN1::IDigest<BasicOCSPResponseImpl> {
public:
    BasicOCSPResponseImpl();
    // Decodes the first object of `der`; undecodable bytes: code 3.
    explicit BasicOCSPResponseImpl(const TvrASN1::DERBytes& der);
    BasicOCSPResponseImpl(const BasicOCSPResponseImpl& other) = default;
    BasicOCSPResponseImpl& operator=(const BasicOCSPResponseImpl& other) = default;
    virtual ~BasicOCSPResponseImpl() = default;

    static BasicOCSPResponseImpl& Of(const BasicOCSPResponse& response);

    // The version field plus 1 (1 when the field is absent).
    int GetVersion() const;
    ResponderIdView GetResponderIdView() const;
    // The candidates the responder ID names (owned by the candidates), in the set's order.
    std::vector<X509*> FindResponderCertificates(const ResponderIdView& id,
                                                 const std::set<TvrX509::X509Certificate*>* candidates) const;
    // The embedded certificates the responder ID names (owned by the response), in order.
    std::vector<X509*> FindEmbeddedResponderCertificates(const ResponderIdView& id) const;
    // The first of `certificates` whose key verifies the response's signature, or null.
    X509* FirstSigner(const std::vector<X509*>& certificates) const;
    // ASN1_item_verify over the response data with `key`: 1 good, 0 or -1 otherwise.
    int VerifySignature(EVP_PKEY* key) const;
    const ASN1_BIT_STRING* GetSignatureValue() const;

    std::string GetResponderID() const;
    TvrCommon::Date GetProducedAt() const;
    std::unique_ptr<TvrCommon::ByteArray> GetSignature() const;
    std::unique_ptr<std::vector<SingleResponse>> GetSingleResponses() const;
    bool FindSingleResponse(const OCSPRequest& request, SingleResponse& found) const;
    std::unique_ptr<std::vector<TvrX509::X509Certificate>> GetCertificates() const;
    bool HasExtensions() const;
    std::unique_ptr<std::vector<TvrX509::X509Extension>> GetExtensions() const;
    bool Verify(TvrX509::X509Certificate& responder,
                const std::set<TvrX509::X509Certificate*>* candidates) const;
    std::string GetSignatureDigestAlgorithm() const;
    bool CheckNonce(const OCSPRequest& request) const;
    bool IsResponderCertificate(const TvrX509::X509Certificate& certificate) const;
    bool IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                               const TvrX509::X509Certificate& issuer, std::time_t at) const;
    bool IsAuthorizedSigner(const TvrX509::X509Certificate& signer, const TvrX509::X509Certificate& issuer,
                            std::time_t at) const;
};

} // namespace TvrOCSP
