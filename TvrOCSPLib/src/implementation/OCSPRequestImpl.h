#pragma once

#include "OCSPRequest.h"
#include "OpenSSLBase.h"

#include <openssl/ocsp.h>

#include <memory>
#include <string>
#include <vector>

namespace TvrOCSP {

class RequestImpl : public TvrASN1::OpenSSLBase<OCSP_ONEREQ> {
public:
    RequestImpl();
    RequestImpl(const RequestImpl& other) = default;
    RequestImpl& operator=(const RequestImpl& other) = default;
    virtual ~RequestImpl() = default;

    static RequestImpl& Of(const Request& request);
    CertID GetCertID() const;
};

class OCSPRequestImpl : public TvrASN1::OpenSSLBase<OCSP_REQUEST> {
public:
    OCSPRequestImpl();
    OCSPRequestImpl(const OCSPRequestImpl& other) = default;
    OCSPRequestImpl& operator=(const OCSPRequestImpl& other) = default;
    virtual ~OCSPRequestImpl() = default;

    static OCSPRequestImpl& Of(const OCSPRequest& request);

    // Adds an entry for `certificate` (see CertIDImpl::MakeId); not added: code 3.
    OCSP_ONEREQ* AddCertID(const std::string& digestName,
                           const TvrX509::X509Certificate& certificate,
                           const TvrX509::X509Certificate& issuer);
    // OCSP_request_add1_nonce: null and 0 make a random 16-byte nonce.
    int AddNonce(const void* value, int length);
    std::unique_ptr<std::vector<Request>> GetRequests() const;
};

} // namespace TvrOCSP
