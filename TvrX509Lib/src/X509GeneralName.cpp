#include "X509GeneralName.h"

#include "X509GeneralNameImpl.h"
#include "X509LibLogger.h"
#include "X509NameImpl.h"

#include <cstring>
#include <memory>
#include <ostream>

namespace TvrX509 {

X509GeneralNameImpl::X509GeneralNameImpl()
    : OpenSSLBase(GENERAL_NAME_new, GENERAL_NAME_free, GENERAL_NAME_dup, d2i_GENERAL_NAME,
                  i2d_GENERAL_NAME)
{
}

X509GeneralNameImpl::X509GeneralNameImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, GENERAL_NAME_new, GENERAL_NAME_free, GENERAL_NAME_dup, d2i_GENERAL_NAME,
                  i2d_GENERAL_NAME)
{
}

std::vector<X509GeneralName> X509GeneralNameImpl::ParseGeneralNames(const TvrASN1::DERBytes& der)
{
    const unsigned char* p = der.GetData();
    std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> names(
        d2i_GENERAL_NAMES(nullptr, &p, static_cast<long>(der.GetSize())), GENERAL_NAMES_free);
    if (!names)
        throw TvrCommon::ErrCodeException(1);
    std::vector<X509GeneralName> result;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* element = sk_GENERAL_NAME_value(names.get(), i);
        if (!element)
            throw TvrCommon::ErrCodeException(1);
        result.push_back(FromOpenSSL(element));
    }
    return result;
}

X509GeneralName X509GeneralNameImpl::FromOpenSSL(const GENERAL_NAME* source)
{
    X509GeneralName name;
    name.m_impl->Set(source);
    return name;
}

const GENERAL_NAME* X509GeneralNameImpl::Get(const X509GeneralName& name)
{
    return name.m_impl->object;
}

X509GeneralName::X509GeneralName() : m_impl(new X509GeneralNameImpl()) {}

X509GeneralName::X509GeneralName(const std::string& text, int type, int format)
    : m_impl(new X509GeneralNameImpl())
{
    std::unique_ptr<X509GeneralNameImpl> guard(m_impl);
    if (type == GEN_URI) {
        ASN1_IA5STRING* uri = ASN1_IA5STRING_new();
        if (!uri)
            throw TvrCommon::ErrCodeException(3);
        if (!ASN1_STRING_set(uri, text.c_str(), -1)) {
            ASN1_IA5STRING_free(uri);
            throw TvrCommon::ErrCodeException(1);
        }
        GENERAL_NAME_set0_value(m_impl->object, GEN_URI, uri);
    } else if (type == GEN_DIRNAME && format == 1) {
        X509_NAME* name = X509NameImpl::ParseSlashName(text.c_str());
        if (!name) {
            GetLogger()->Debug("src/X509GeneralName", __LINE__)
                << "unable to parse DN: " << text << std::endl;
            throw TvrCommon::ErrCodeException(4);
        }
        GENERAL_NAME_set0_value(m_impl->object, GEN_DIRNAME, name);
    } else {
        throw TvrCommon::ErrCodeException(2);
    }
    guard.release();
}

X509GeneralName::X509GeneralName(const TvrASN1::DERBytes& der) : m_impl(new X509GeneralNameImpl(der)) {}

X509GeneralName::X509GeneralName(const X509GeneralName& other)
    : m_impl(new X509GeneralNameImpl(*other.m_impl))
{
}

X509GeneralName& X509GeneralName::operator=(const X509GeneralName& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

X509GeneralName::~X509GeneralName()
{
    delete m_impl;
}

int X509GeneralName::GetType() const
{
    int type = m_impl->object->type;
    if (type < GEN_OTHERNAME || type > GEN_RID)
        throw TvrCommon::ErrCodeException(1);
    return type;
}

std::string X509GeneralName::GetText() const
{
    const GENERAL_NAME* name = m_impl->object;
    switch (name->type) {
    case GEN_EMAIL:
    case GEN_URI: {
        const ASN1_IA5STRING* text = name->d.ia5;
        if (!text || ASN1_STRING_length(text) <= 0)
            return std::string();
        const char* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(text));
        return std::string(bytes, strnlen(bytes, static_cast<size_t>(ASN1_STRING_length(text))));
    }
    case GEN_DIRNAME:
        if (!name->d.directoryName)
            throw TvrCommon::ErrCodeException(1);
        return X509NameImpl::GetOneLine(name->d.directoryName);
    default:
        throw TvrCommon::ErrCodeException(2);
    }
}

OptionalX509Name X509GeneralName::GetDirectoryName() const
{
    OptionalX509Name result;
    const GENERAL_NAME* name = m_impl->object;
    if (name->type != GEN_DIRNAME)
        return result;
    X509NameImpl copy;
    copy.Set(name->d.directoryName);  // a missing name is a null source: code 4
    result.name = X509Name(*copy.GetDER());
    result.present = true;
    return result;
}

std::unique_ptr<TvrASN1::DERBytes> X509GeneralName::GetDER() const
{
    return m_impl->GetDER();
}

} // namespace TvrX509
