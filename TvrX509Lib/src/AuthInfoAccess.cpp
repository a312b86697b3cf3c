#include "AuthInfoAccess.h"

#include "AuthInfoAccessImpl.h"
#include "X509GeneralNameImpl.h"

#include <openssl/conf.h>
#include <openssl/objects.h>

#include <memory>

namespace TvrX509 {

// ---- AccessDescription ----

AccessDescription::AccessDescription() : m_impl(new AccessDescriptionImpl()) {}

AccessDescription::AccessDescription(const std::string& methodOid, const X509GeneralName& location)
    : m_impl(new AccessDescriptionImpl())
{
    std::unique_ptr<AccessDescriptionImpl> guard(m_impl);
    int nid = OBJ_txt2nid(methodOid.c_str());
    if (nid == NID_undef)
        throw TvrCommon::ErrCodeException(4);
    ACCESS_DESCRIPTION* description = m_impl->object;
    ASN1_OBJECT_free(description->method);
    description->method = OBJ_nid2obj(nid);
    std::unique_ptr<TvrASN1::DERBytes> der = location.GetDER();
    if (!der)
        throw TvrCommon::ErrCodeException(3);
    const unsigned char* p = der->GetData();
    GENERAL_NAME* decoded = d2i_GENERAL_NAME(nullptr, &p, static_cast<long>(der->GetSize()));
    if (!decoded)
        throw TvrCommon::ErrCodeException(3);
    GENERAL_NAME_free(description->location);
    description->location = decoded;
    guard.release();
}

AccessDescription::AccessDescription(const AccessDescription& other)
    : m_impl(new AccessDescriptionImpl(*other.m_impl))
{
}

AccessDescription& AccessDescription::operator=(const AccessDescription& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

AccessDescription::~AccessDescription()
{
    delete m_impl;
}

std::string AccessDescription::GetMethod() const
{
    return ObjectToText(m_impl->object->method, 1);
}

X509GeneralName AccessDescription::GetLocation() const
{
    if (!m_impl->object->location)
        throw TvrCommon::ErrCodeException(4);
    return X509GeneralNameImpl::FromOpenSSL(m_impl->object->location);
}

// ---- AuthInfoAccessImpl ----

void AuthInfoAccessImpl::BuildFromConfiguration(const std::string& configuration)
{
    Adopt(nullptr);
    const X509V3_EXT_METHOD* method = X509V3_EXT_get_nid(NID_info_access);
    if (!method)
        throw TvrCommon::ErrCodeException(3);
    std::unique_ptr<STACK_OF(CONF_VALUE), void (*)(STACK_OF(CONF_VALUE)*)> pairs(
        X509V3_parse_list(configuration.c_str()),
        [](STACK_OF(CONF_VALUE)* list) { sk_CONF_VALUE_pop_free(list, X509V3_conf_free); });
    if (!pairs || sk_CONF_VALUE_num(pairs.get()) < 1)
        throw TvrCommon::ErrCodeException(4);
    void* built = method->v2i ? method->v2i(method, nullptr, pairs.get()) : nullptr;
    pairs.reset();
    if (!built)
        throw TvrCommon::ErrCodeException(3);
    Adopt(static_cast<AUTHORITY_INFO_ACCESS*>(built));
    extension->SetObject(AuthInfoAccess::OID);
    extension->SetCritical(false);
    extension->SetValue(*GetDER());
}

std::vector<AccessDescription> AuthInfoAccessImpl::GetAccessDescriptions() const
{
    std::vector<AccessDescription> descriptions;
    for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(object); ++i) {
        const ACCESS_DESCRIPTION* element = sk_ACCESS_DESCRIPTION_value(object, i);
        if (!element)
            throw TvrCommon::ErrCodeException(1);
        AccessDescription description;
        description.m_impl->Set(element);
        descriptions.push_back(description);
    }
    return descriptions;
}

// ---- AuthInfoAccess ----

const std::string AuthInfoAccess::OID = "1.3.6.1.5.5.7.1.1";

AuthInfoAccess::AuthInfoAccess() : X509Extension(), m_typed(new AuthInfoAccessImpl())
{
    m_typed->extension = GetImpl();
}

AuthInfoAccess::AuthInfoAccess(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new AuthInfoAccessImpl(value))
{
    m_typed->extension = GetImpl();
}

AuthInfoAccess::AuthInfoAccess(const std::string& configuration)
    : X509Extension(), m_typed(new AuthInfoAccessImpl())
{
    std::unique_ptr<AuthInfoAccessImpl> guard(m_typed);
    m_typed->extension = GetImpl();
    m_typed->BuildFromConfiguration(configuration);
    guard.release();
}

AuthInfoAccess::AuthInfoAccess(const AuthInfoAccess& other)
    : X509Extension(other), m_typed(new AuthInfoAccessImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

AuthInfoAccess& AuthInfoAccess::operator=(const AuthInfoAccess& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

AuthInfoAccess::~AuthInfoAccess()
{
    delete m_typed;
}

std::vector<AccessDescription> AuthInfoAccess::GetAccessDescriptions() const
{
    return m_typed->GetAccessDescriptions();
}

} // namespace TvrX509
