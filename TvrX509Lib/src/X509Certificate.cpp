#include "X509Certificate.h"

#include "X509CertificateImpl.h"

namespace TvrX509 {

X509Certificate::X509Certificate() : m_impl(new X509CertificateImpl()) {}

X509Certificate::X509Certificate(const X509* x) : m_impl(new X509CertificateImpl(x)) {}

X509Certificate X509Certificate::Sharing(const X509* x)
{
    X509Certificate certificate;
    // Set takes a reference through the item's duplicate function, which shares.
    certificate.m_impl->Set(x);
    return certificate;
}

X509Certificate::X509Certificate(const X509Certificate& other)
    : m_impl(new X509CertificateImpl(*other.m_impl))
{
}

X509Certificate::X509Certificate(const unsigned char* data, int length)
    : m_impl(new X509CertificateImpl(data, length))
{
}

X509Certificate::X509Certificate(const TvrASN1::DERBytes& der)
    : m_impl(new X509CertificateImpl(der.GetData(), static_cast<int>(der.GetSize())))
{
}

X509Certificate::X509Certificate(const TvrCommon::ByteArray& bytes)
    : m_impl(new X509CertificateImpl(bytes.GetData(), static_cast<int>(bytes.GetSize())))
{
}

X509Certificate::X509Certificate(const std::string& path, const TvrCommon::SecureString& password)
    : m_impl(new X509CertificateImpl(path, password))
{
}

X509Certificate::X509Certificate(const std::string& path)
    : m_impl(new X509CertificateImpl(path, TvrCommon::SecureString("")))
{
}

X509Certificate& X509Certificate::operator=(const X509Certificate& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

X509Certificate::~X509Certificate()
{
    delete m_impl;
}

std::unique_ptr<X509Extension> X509Certificate::GetExtension(const std::string& oid) const
{
    return m_impl->GetExtension(oid);
}

std::string X509Certificate::GetSubjectDN() const { return m_impl->GetSubjectDN(); }
std::string X509Certificate::GetIssuerDN() const { return m_impl->GetIssuerDN(); }
std::string X509Certificate::GetSubjectCN() const { return m_impl->GetSubjectCN(); }
std::string X509Certificate::GetIssuerCN() const { return m_impl->GetIssuerCN(); }

X509Name X509Certificate::GetSubjectName() const
{
    std::unique_ptr<X509Name> subject = m_impl->GetSubject();
    if (!subject)
        throw TvrCommon::ErrCodeException(4);
    return *subject;
}

std::unique_ptr<X509Name> X509Certificate::GetSubject() const { return m_impl->GetSubject(); }
std::unique_ptr<X509Name> X509Certificate::GetIssuer() const { return m_impl->GetIssuer(); }

std::string X509Certificate::GetDNAttribute(const std::string& type, int which) const
{
    return m_impl->GetDNAttribute(type, which);
}

std::string X509Certificate::GetEmail() const { return m_impl->GetEmail(); }
std::string X509Certificate::GetSubjectAltName() const { return m_impl->GetSubjectAltName(); }
TvrCommon::BigInt X509Certificate::GetSerialNumber() const { return m_impl->GetSerialNumber(); }
TvrCommon::Date X509Certificate::GetNotBefore() const { return m_impl->GetNotBefore(); }
TvrCommon::Date X509Certificate::GetNotAfter() const { return m_impl->GetNotAfter(); }

bool X509Certificate::CheckValidityPeriod(const TvrCommon::Date& t, unsigned tolerance) const
{
    return m_impl->CheckValidityPeriod(t, tolerance);
}

bool X509Certificate::GetPrivateKeyUsagePeriod(std::unique_ptr<TvrCommon::Date>& notBefore,
                                               std::unique_ptr<TvrCommon::Date>& notAfter) const
{
    return m_impl->GetPrivateKeyUsagePeriod(notBefore, notAfter);
}

bool X509Certificate::CheckPrivateKeyUsagePeriod(const TvrCommon::Date& t, unsigned tolerance) const
{
    return m_impl->CheckPrivateKeyUsagePeriod(t, tolerance);
}

bool X509Certificate::IsValidAt(const TvrCommon::Date& t, unsigned tolerance) const
{
    return m_impl->IsValidAt(t, tolerance);
}

std::string X509Certificate::GetSubjectKeyIdentifier() const { return m_impl->GetSubjectKeyIdentifier(); }
std::string X509Certificate::GetAuthorityKeyIdentifier() const { return m_impl->GetAuthorityKeyIdentifier(); }

std::string X509Certificate::GetSubjectKeyIdentifierHex() const
{
    return TvrCommon::ByteArray(m_impl->GetSubjectKeyIdentifier()).Hexify(0, 0);
}

std::string X509Certificate::GetAuthorityKeyIdentifierHex() const
{
    return TvrCommon::ByteArray(m_impl->GetAuthorityKeyIdentifier()).Hexify(0, 0);
}

std::unique_ptr<TvrASN1::DERBytes> X509Certificate::GetDER() const { return m_impl->GetDER(); }
std::string X509Certificate::GetBase64() const { return m_impl->GetBase64(); }
TvrCommon::ByteArray X509Certificate::GetDigest() const { return m_impl->GetDigest(); }
std::string X509Certificate::GetThumbprint() const { return m_impl->GetThumbprint(); }
TvrCommon::ByteArray X509Certificate::GetPublicKeyBytes() const { return m_impl->GetPublicKeyBytes(); }
TvrCommon::BigInt X509Certificate::GetIssuerNameHash() const { return m_impl->GetIssuerNameHash(); }
std::string X509Certificate::GetSignatureAlgorithm() const { return m_impl->GetSignatureAlgorithm(); }

std::string X509Certificate::GetSignatureDigestAlgorithm() const
{
    return m_impl->GetSignatureDigestAlgorithm();
}

std::string X509Certificate::GetSignatureKeyDescription() const
{
    return m_impl->GetSignatureKeyDescription();
}

bool X509Certificate::CheckKeyUsageConsistency() const { return m_impl->CheckKeyUsageConsistency(); }

int X509Certificate::CheckKeyUsage(int purpose, bool flag, bool relaxed) const
{
    return m_impl->CheckKeyUsage(purpose, flag, relaxed);
}

std::set<std::string> X509Certificate::GetCAIssuerURLs() const { return m_impl->GetCAIssuerURLs(); }
std::set<std::string> X509Certificate::GetOCSPUrls() const { return m_impl->GetOCSPUrls(); }
bool X509Certificate::IsCA() const { return m_impl->IsCA(); }
bool X509Certificate::IsSelfIssuedCA() const { return m_impl->IsSelfIssuedCA(); }

bool X509Certificate::operator==(const X509Certificate& other) const
{
    return X509CertificateImpl::Compare(m_impl->object, other.m_impl->object) == 0;
}

bool X509Certificate::operator!=(const X509Certificate& other) const
{
    return !(*this == other);
}

bool X509Certificate::operator<(const X509Certificate& other) const
{
    return X509CertificateImpl::Compare(m_impl->object, other.m_impl->object) < 0;
}

void X509Certificate::AddTag(int tag) { m_impl->tags.insert(tag); }
int X509Certificate::GetTag() const { return *m_impl->tags.begin(); }
int X509Certificate::GetUserInt() const { return m_impl->userValue; }
void X509Certificate::SetUserInt(int value) { m_impl->userValue = value; }

} // namespace TvrX509
