#pragma once

#include "DERBytes.h"

#include <memory>
#include <string>

namespace TvrX509 {

class X509ExtensionImpl;

// One X.509 v3 extension: OID, critical flag and value (the extnValue content). Base of
// the typed extensions; `Create` picks the typed class by OID.
class X509Extension {
public:
    X509Extension();
    // `oid` in dotted form or as an OpenSSL name; unknown text throws code 1.
    X509Extension(const std::string& oid, const TvrASN1::DERBytes& value, bool critical);
    X509Extension(const X509Extension& other);
    X509Extension& operator=(const X509Extension& other);
    virtual ~X509Extension();

    std::string GetOID() const;
    // OpenSSL's long name of the OID, else the dotted form.
    std::string GetName() const;
    bool IsCritical() const;
    // No extension is supported: logs a warning and answers false.
    bool IsSupported() const;
    std::unique_ptr<TvrASN1::DERBytes> GetValue() const;
    // The whole Extension structure.
    std::unique_ptr<TvrASN1::DERBytes> GetDER() const;

    // KeyUsage, ExtendedKeyUsage, AuthInfoAccess, CRLDistributionPoints,
    // CertificatePolicies or QCStatements for their OIDs, a plain X509Extension otherwise;
    // the caller owns the result.
    static X509Extension* Create(const std::string& oid, const TvrASN1::DERBytes& value,
                                 bool critical);

protected:
    X509ExtensionImpl* GetImpl() const { return m_impl; }

private:
    X509ExtensionImpl* m_impl;
};

} // namespace TvrX509
