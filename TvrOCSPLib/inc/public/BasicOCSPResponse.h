#pragma once

#include "ByteArray.h"
#include "DERBytes.h"
#include "Date.h"
#include "OCSPRequest.h"
#include "SingleResponse.h"
#include "X509Certificate.h"
#include "X509Extension.h"

#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TvrOCSP {

class BasicOCSPResponseImpl;

// The signed basic response (id-pkix-ocsp-basic).
class BasicOCSPResponse {
public:
    BasicOCSPResponse();
    // Bytes that do not decode: code 3; bytes after the first object are ignored.
    explicit BasicOCSPResponse(const TvrASN1::DERBytes& der);
    BasicOCSPResponse(const BasicOCSPResponse& other);
    BasicOCSPResponse& operator=(const BasicOCSPResponse& other);
    virtual ~BasicOCSPResponse();

    // byName: the name's one-line text; byKey: upper-case hex pairs joined by ':'.
    std::string GetResponderID() const;
    TvrCommon::Date GetProducedAt() const;
    std::unique_ptr<TvrCommon::ByteArray> GetSignature() const;
    // SHA-1 of the signature value, 40 upper-case hex digits.
    std::string GetFingerprint() const;
    // Copies of the responses in order; null when there is none.
    std::unique_ptr<std::vector<SingleResponse>> GetSingleResponses() const;
    // The single response whose CertID equals that of the request's one entry. A request
    // without entries: code 1; with more than one: code 2. False, `found` untouched, when
    // none matches (also when the response holds no single response).
    bool FindSingleResponse(const OCSPRequest& request, SingleResponse& found) const;
    // Copies of the embedded certificates; empty without the certs field, null when the
    // field is present but empty.
    std::unique_ptr<std::vector<TvrX509::X509Certificate>> GetCertificates() const;
    bool HasExtensions() const;
    std::unique_ptr<std::vector<TvrX509::X509Extension>> GetExtensions() const;

    // Checks the signature with the certificates that the responder ID names (by name or by
    // key hash), each in turn: the embedded ones first, then the candidates. On a good
    // signature `responder` receives a copy of the signer. A critical
    // response extension makes it false (after `responder` was filled). Whether the signer
    // may answer for a certificate is left to IsAuthorizedSigner.
    bool Verify(TvrX509::X509Certificate& responder,
                const std::set<TvrX509::X509Certificate*>* candidates) const;
    // Long name of the signature's digest ("sha256"); "" without an algorithm; a signature
    // algorithm without a digest OpenSSL knows: code 1.
    std::string GetSignatureDigestAlgorithm() const;
    // False only when the request carries a nonce and the response does not echo it.
    bool CheckNonce(const OCSPRequest& request) const;
    // The responder ID names `certificate` (byName: subject, any attribute order;
    // byKey: SHA-1 of its public key).
    bool IsResponderCertificate(const TvrX509::X509Certificate& certificate) const;
    // True when the response is signed with `responder`'s key and `responder` may answer
    // for certificates of `issuer` (RFC 6960 4.2.2.2): it is `issuer` itself (or a renewed
    // certificate of it: the same subject and public key), or it was
    // issued and signed by `issuer`, carries id-kp-OCSPSigning, is valid at `at` (seconds
    // since 1970, UTC) and, when it has a key usage, may make digital signatures.
    bool IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                               const TvrX509::X509Certificate& issuer, std::time_t at) const;
    // The same at the current time.
    bool IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                               const TvrX509::X509Certificate& issuer) const;
    // The same for the signer that Verify returned, whose signature it has checked already:
    // only whether that signer may answer for certificates of `issuer`.
    bool IsAuthorizedSigner(const TvrX509::X509Certificate& signer, const TvrX509::X509Certificate& issuer,
                            std::time_t at) const;

private:
    friend class BasicOCSPResponseImpl;
    BasicOCSPResponseImpl* m_impl;
};

} // namespace TvrOCSP
