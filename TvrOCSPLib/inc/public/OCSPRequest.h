#pragma once

#include "CertID.h"
#include "DERBytes.h"
#include "X509Certificate.h"

#include <memory>
#include <string>
#include <vector>

namespace TvrOCSP {

class RequestImpl;
class OCSPRequestImpl;

// One entry of a request's list.
class Request {
public:
    Request();
    Request(const Request& other);
    Request& operator=(const Request& other);
    virtual ~Request();

    // A copy of the entry's reqCert; none: code 4.
    CertID GetCertID() const;

private:
    friend class RequestImpl;
    RequestImpl* m_impl;
};

// An unsigned OCSP request (RFC 6960).
class OCSPRequest {
public:
    // An empty request without entries.
    OCSPRequest();
    // One entry for `certificate` issued by `issuer`, hashed with `digestName`, and, when
    // `addNonce` is set, a fresh random 16-byte nonce. Unknown digest: code 1; `sign` set:
    // code 2 (signed requests are not made); nothing created: code 3.
    OCSPRequest(const std::string& digestName, const TvrX509::X509Certificate& certificate,
                const TvrX509::X509Certificate& issuer, bool sign, bool addNonce);
    OCSPRequest(const OCSPRequest& other);
    OCSPRequest& operator=(const OCSPRequest& other);
    virtual ~OCSPRequest();

    std::unique_ptr<TvrASN1::DERBytes> GetDER() const;
    // Copies of the request list in order; never null.
    std::unique_ptr<std::vector<Request>> GetRequests() const;

private:
    friend class OCSPRequestImpl;
    OCSPRequestImpl* m_impl;
};

} // namespace TvrOCSP
