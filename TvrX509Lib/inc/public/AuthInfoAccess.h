#pragma once

#include "X509Extension.h"
#include "X509GeneralName.h"

#include <string>
#include <vector>

namespace TvrX509 {

class AccessDescriptionImpl;
class AuthInfoAccessImpl;

// One AccessDescription: a method OID and a location.
class AccessDescription {
public:
    AccessDescription();
    // An OID without an OpenSSL NID throws code 4.
    AccessDescription(const std::string& methodOid, const X509GeneralName& location);
    AccessDescription(const AccessDescription& other);
    AccessDescription& operator=(const AccessDescription& other);
    virtual ~AccessDescription();

    // Dotted form: "1.3.6.1.5.5.7.48.1" OCSP, "1.3.6.1.5.5.7.48.2" CA issuers.
    std::string GetMethod() const;
    X509GeneralName GetLocation() const;

private:
    friend class AuthInfoAccessImpl;
    AccessDescriptionImpl* m_impl;
};

// The authorityInfoAccess extension (1.3.6.1.5.5.7.1.1).
class AuthInfoAccess : public X509Extension {
public:
    static const std::string OID;

    AuthInfoAccess();
    AuthInfoAccess(const TvrASN1::DERBytes& value, bool critical);
    // OpenSSL configuration text, e.g. "OCSP;URI:http://ocsp.example,caIssuers;URI:http://x";
    // builds a non-critical extension. Empty text throws code 4.
    explicit AuthInfoAccess(const std::string& configuration);
    AuthInfoAccess(const AuthInfoAccess& other);
    AuthInfoAccess& operator=(const AuthInfoAccess& other);
    virtual ~AuthInfoAccess();

    std::vector<AccessDescription> GetAccessDescriptions() const;

private:
    AuthInfoAccessImpl* m_typed;
};

} // namespace TvrX509
