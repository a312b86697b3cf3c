#include "X509Revoked.h"

#include "CertificateFields.h"
#include "X509RevokedImpl.h"

#include <cstring>
#include <memory>

namespace TvrX509 {

namespace {
// OpenSSL 3 cannot duplicate an entry that holds nothing yet; its copy is another empty one.
X509_REVOKED* DupRevoked(const X509_REVOKED* source)
{
    X509_REVOKED* copy = X509_REVOKED_dup(source);
    if (copy || !source)
        return copy;
    std::unique_ptr<X509_REVOKED, void (*)(X509_REVOKED*)> fresh(X509_REVOKED_new(), X509_REVOKED_free);
    if (!fresh)
        return nullptr;
    unsigned char* a = nullptr;
    unsigned char* b = nullptr;
    int lengthA = i2d_X509_REVOKED(source, &a);
    int lengthB = i2d_X509_REVOKED(fresh.get(), &b);
    bool empty = lengthA > 0 && lengthA == lengthB && std::memcmp(a, b, static_cast<size_t>(lengthA)) == 0;
    OPENSSL_free(a);
    OPENSSL_free(b);
    return empty ? fresh.release() : nullptr;
}
} // namespace

X509RevokedImpl::X509RevokedImpl()
    : OpenSSLBase(X509_REVOKED_new, X509_REVOKED_free, DupRevoked, d2i_X509_REVOKED, i2d_X509_REVOKED)
{
}

X509Revoked::X509Revoked() : m_impl(new X509RevokedImpl()) {}

X509Revoked::X509Revoked(const X509Revoked& other) : m_impl(new X509RevokedImpl(*other.m_impl)) {}

X509Revoked& X509Revoked::operator=(const X509Revoked& other)
{
    *m_impl = *other.m_impl;
    return *this;
}

X509Revoked::~X509Revoked()
{
    delete m_impl;
}

TvrCommon::BigInt X509Revoked::GetSerialNumber() const
{
    const ASN1_INTEGER* serial = X509_REVOKED_get0_serialNumber(m_impl->object);
    return serial ? BigIntOfInteger(serial) : TvrCommon::BigInt();
}

TvrCommon::Date X509Revoked::GetRevocationDate() const
{
    return DateOfTime(X509_REVOKED_get0_revocationDate(m_impl->object));
}

} // namespace TvrX509
