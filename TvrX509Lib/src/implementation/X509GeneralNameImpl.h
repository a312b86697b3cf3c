#pragma once

#include "OpenSSLBase.h"
#include "X509GeneralName.h"

#include <openssl/x509v3.h>

#include <vector>

namespace TvrX509 {

class X509GeneralNameImpl : public TvrASN1::OpenSSLBase<GENERAL_NAME> {
public:
    X509GeneralNameImpl();
    explicit X509GeneralNameImpl(const TvrASN1::DERBytes& der);

    // All names of a DER GeneralNames sequence (a subjectAltName or issuerAltName value).
    static std::vector<X509GeneralName> ParseGeneralNames(const TvrASN1::DERBytes& der);
    // A public name holding a duplicate of `source`.
    static X509GeneralName FromOpenSSL(const GENERAL_NAME* source);
    static const GENERAL_NAME* Get(const X509GeneralName& name);
};

} // namespace TvrX509
