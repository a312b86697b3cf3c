#pragma once

#include "X509CertificateInfo.h"

#include <openssl/types.h>

#include <vector>

namespace TvrX509 {

// Hands the chain building pool certificates on demand: a caller with a large set of trust
// anchors and intermediates gives it only those that may have issued a certificate it meets,
// instead of adding them all up front.
class IStoreContextIssuerSource {
public:
    // Appends the certificates whose subject is `issuerName` (equal by X509_NAME_cmp), each
    // with its trust flag. Asked at most once per certificate whose issuer is looked for.
    virtual void FindIssuers(const X509_NAME* issuerName, std::vector<X509CertificateInfo>& found) = 0;

protected:
    // Owned by the caller, never deleted through this interface.
    ~IStoreContextIssuerSource() = default;
};

} // namespace TvrX509
