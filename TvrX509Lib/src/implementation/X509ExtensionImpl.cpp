#include "X509ExtensionImpl.h"

#include "AuthInfoAccess.h"
#include "CRLDistributionPoints.h"
#include "CertificatePolicies.h"
#include "ExtendedKeyUsage.h"
#include "KeyUsage.h"
#include "QCStatements.h"
#include "TypedExtensionImpl.h"
#include "X509LibLogger.h"

#include <openssl/objects.h>

#include <memory>
#include <ostream>

namespace TvrX509 {

X509ExtensionImpl::X509ExtensionImpl()
    : OpenSSLBase(X509_EXTENSION_new, X509_EXTENSION_free, X509_EXTENSION_dup,
                  d2i_X509_EXTENSION, i2d_X509_EXTENSION)
{
}

X509ExtensionImpl::X509ExtensionImpl(const std::string& oid, const TvrASN1::DERBytes& value,
                                     bool critical)
    : X509ExtensionImpl()
{
    SetObject(oid);
    SetValue(value);
    SetCritical(critical);
}

std::string X509ExtensionImpl::GetOID() const
{
    return ObjectToText(X509_EXTENSION_get_object(object), 1);
}

std::string X509ExtensionImpl::GetName() const
{
    return ObjectToText(X509_EXTENSION_get_object(object), 0);
}

bool X509ExtensionImpl::IsCritical() const
{
    return X509_EXTENSION_get_critical(object) > 0;
}

bool X509ExtensionImpl::IsSupported() const
{
    GetLogger()->Warn("src/X509ExtensionImpl", __LINE__)
        << "Not supported extension: " << GetName() << std::endl;
    return false;
}

std::unique_ptr<TvrASN1::DERBytes> X509ExtensionImpl::GetValue() const
{
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(object);
    if (!data)
        return std::make_unique<TvrASN1::DERBytes>();
    return std::make_unique<TvrASN1::DERBytes>(ASN1_STRING_get0_data(data),
                                               static_cast<size_t>(ASN1_STRING_length(data)));
}

void X509ExtensionImpl::SetObject(const std::string& oid)
{
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> parsed(OBJ_txt2obj(oid.c_str(), 0),
                                                                     ASN1_OBJECT_free);
    if (!parsed || !X509_EXTENSION_set_object(object, parsed.get()))
        throw TvrCommon::ErrCodeException(1);
}

void X509ExtensionImpl::SetCritical(bool critical)
{
    if (!X509_EXTENSION_set_critical(object, critical ? 1 : 0))
        throw TvrCommon::ErrCodeException(1);
}

void X509ExtensionImpl::SetValue(const TvrASN1::DERBytes& value)
{
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> data(
        ASN1_OCTET_STRING_new(), ASN1_OCTET_STRING_free);
    if (!data || !ASN1_OCTET_STRING_set(data.get(), value.GetData(), static_cast<int>(value.GetSize())) ||
        !X509_EXTENSION_set_data(object, data.get()))
        throw TvrCommon::ErrCodeException(1);
}

X509Extension* X509ExtensionImpl::Create(const std::string& oid, const TvrASN1::DERBytes& value,
                                         bool critical)
{
    switch (OBJ_txt2nid(oid.c_str())) {
    case NID_key_usage:
        return new KeyUsage(value, critical);
    case NID_certificate_policies:
        return new CertificatePolicies(value, critical);
    case NID_crl_distribution_points:
        return new CRLDistributionPoints(value, critical);
    case NID_ext_key_usage:
        return new ExtendedKeyUsage(value, critical);
    case NID_info_access:
        return new AuthInfoAccess(value, critical);
    case NID_qcStatements:
        return new QCStatements(value, critical);
    default:
        return new X509Extension(oid, value, critical);
    }
}

// ---- X509Extension ----

X509Extension::X509Extension() : m_impl(new X509ExtensionImpl()) {}

X509Extension::X509Extension(const std::string& oid, const TvrASN1::DERBytes& value, bool critical)
    : m_impl(new X509ExtensionImpl(oid, value, critical))
{
}

X509Extension::X509Extension(const X509Extension& other)
    : m_impl(new X509ExtensionImpl(*other.m_impl))
{
}

X509Extension& X509Extension::operator=(const X509Extension& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

X509Extension::~X509Extension()
{
    delete m_impl;
}

std::string X509Extension::GetOID() const { return m_impl->GetOID(); }
std::string X509Extension::GetName() const { return m_impl->GetName(); }
bool X509Extension::IsCritical() const { return m_impl->IsCritical(); }
bool X509Extension::IsSupported() const { return m_impl->IsSupported(); }
std::unique_ptr<TvrASN1::DERBytes> X509Extension::GetValue() const { return m_impl->GetValue(); }
std::unique_ptr<TvrASN1::DERBytes> X509Extension::GetDER() const { return m_impl->GetDER(); }

X509Extension* X509Extension::Create(const std::string& oid, const TvrASN1::DERBytes& value,
                                     bool critical)
{
    return X509ExtensionImpl::Create(oid, value, critical);
}

} // namespace TvrX509
