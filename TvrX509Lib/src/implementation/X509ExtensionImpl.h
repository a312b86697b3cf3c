#pragma once

#include "OpenSSLBase.h"
#include "X509Extension.h"

#include <openssl/x509.h>

#include <string>

namespace TvrX509 {

class X509ExtensionImpl : public TvrASN1::OpenSSLBase<X509_EXTENSION> {
public:
    X509ExtensionImpl();
    X509ExtensionImpl(const std::string& oid, const TvrASN1::DERBytes& value, bool critical);
    X509ExtensionImpl(const X509ExtensionImpl& other) = default;
    X509ExtensionImpl& operator=(const X509ExtensionImpl& other) = default;
    virtual ~X509ExtensionImpl() = default;

    std::string GetOID() const;
    std::string GetName() const;
    bool IsCritical() const;
    bool IsSupported() const;
    std::unique_ptr<TvrASN1::DERBytes> GetValue() const;

    void SetObject(const std::string& oid);
    void SetCritical(bool critical);
    void SetValue(const TvrASN1::DERBytes& value);

    static X509Extension* Create(const std::string& oid, const TvrASN1::DERBytes& value,
                                 bool critical);
};

} // namespace TvrX509
