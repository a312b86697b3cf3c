#pragma once

#include "OpenSSLBase.h"
#include "X509Revoked.h"

#include <openssl/x509.h>

namespace TvrX509 {

class X509RevokedImpl : public TvrASN1::OpenSSLBase<X509_REVOKED> {
public:
    X509RevokedImpl();
};

} // namespace TvrX509
