#include "X509Name.h"

#include "TypedExtensionImpl.h"
#include "X509LibLogger.h"
#include "X509NameImpl.h"


#include <cstring>
#include <memory>
#include <ostream>

namespace TvrX509 {

namespace {
const char* const kSource = "src/X509Name";
using NamePtr = std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)>;
} // namespace

// ---- AttrValueAssertion ----

AttrValueAssertion::AttrValueAssertion() : m_impl(new AttrValueAssertionImpl()) {}

AttrValueAssertion::AttrValueAssertion(const TvrASN1::DERBytes& der)
    : m_impl(new AttrValueAssertionImpl(der))
{
}

AttrValueAssertion::AttrValueAssertion(const AttrValueAssertion& other)
    : m_impl(new AttrValueAssertionImpl(*other.m_impl))
{
}

AttrValueAssertion& AttrValueAssertion::operator=(const AttrValueAssertion& other)
{
    *m_impl = *other.m_impl;
    return *this;
}

AttrValueAssertion::~AttrValueAssertion()
{
    delete m_impl;
}

std::string AttrValueAssertion::GetType() const
{
    return ObjectToText(X509_NAME_ENTRY_get_object(m_impl->object), 0);
}

std::string AttrValueAssertion::GetValue() const
{
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(m_impl->object);
    if (!value || ASN1_STRING_length(value) <= 0)
        return std::string();
    const char* bytes = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
    size_t length = static_cast<size_t>(ASN1_STRING_length(value));
    return std::string(bytes, strnlen(bytes, length));
}

// ---- RelativeDN ----

RelativeDN::RelativeDN() : m_impl(new RelativeDNImpl()) {}

RelativeDN::RelativeDN(const TvrASN1::DERBytes& der) : m_impl(new RelativeDNImpl(der)) {}

RelativeDN::RelativeDN(const RelativeDN& other) : m_impl(new RelativeDNImpl(*other.m_impl)) {}

RelativeDN& RelativeDN::operator=(const RelativeDN& other)
{
    *m_impl = *other.m_impl;
    return *this;
}

RelativeDN::~RelativeDN()
{
    delete m_impl;
}

std::vector<AttrValueAssertion> RelativeDN::GetAttributes() const
{
    std::vector<AttrValueAssertion> attributes;
    for (int i = 0; i < X509_NAME_entry_count(m_impl->object); ++i) {
        AttrValueAssertionImpl entry;
        entry.Set(X509_NAME_get_entry(m_impl->object, i));
        attributes.emplace_back(*entry.GetDER());
    }
    return attributes;
}

// ---- X509Name ----

X509Name::X509Name() : m_impl(new X509NameImpl()) {}

X509Name::X509Name(const std::string& text) : m_impl(new X509NameImpl())
{
    X509_NAME* parsed = X509NameImpl::ParseDN(text);
    if (!parsed) {
        GetLogger()->Error(kSource, __LINE__) << "Failed to create X509_NAME from string." << std::endl;
        delete m_impl;
        throw TvrCommon::ErrCodeException(1);
    }
    m_impl->Adopt(parsed);
}

X509Name::X509Name(const TvrASN1::DERBytes& der) : m_impl(new X509NameImpl(der)) {}

X509Name::X509Name(const X509Name& other) : m_impl(new X509NameImpl(*other.m_impl)) {}

X509Name& X509Name::operator=(const X509Name& other)
{
    *m_impl = *other.m_impl;
    return *this;
}

X509Name::~X509Name()
{
    delete m_impl;
}

std::string X509Name::GetOneLine() const
{
    return X509NameImpl::GetOneLine(m_impl->object);
}

std::vector<RelativeDN> X509Name::GetRDNs() const
{
    std::vector<RelativeDN> rdns;
    const X509_NAME* name = m_impl->object;
    if (!name)
        throw TvrCommon::ErrCodeException(4);
    int count = X509_NAME_entry_count(name);
    int i = 0;
    while (i < count) {
        NamePtr rdn(X509_NAME_new(), X509_NAME_free);
        if (!rdn)
            throw TvrCommon::ErrCodeException(3);
        int set = X509_NAME_ENTRY_set(X509_NAME_get_entry(name, i));
        for (int location = 0;
             i < count && X509_NAME_ENTRY_set(X509_NAME_get_entry(name, i)) == set;
             ++i, ++location) {
            if (!X509_NAME_add_entry(rdn.get(), X509_NAME_get_entry(name, i), location,
                                     location == 0 ? 0 : -1))
                throw TvrCommon::ErrCodeException(1);
        }
        X509NameImpl holder;
        holder.Set(rdn.get());
        rdns.emplace_back(*holder.GetDER());
    }
    return rdns;
}

bool X509Name::operator==(const X509Name& other) const
{
    return X509NameImpl::Compare(m_impl->object, other.m_impl->object) == 0;
}

bool X509Name::operator<(const X509Name& other) const
{
    return X509NameImpl::Compare(m_impl->object, other.m_impl->object) < 0;
}

void X509Name::SetFromSlashText(const std::string& text)
{
    m_impl->Adopt(nullptr);
    X509_NAME* parsed = X509NameImpl::ParseSlashName(text.c_str());
    if (!parsed) {
        GetLogger()->Error(kSource, __LINE__) << "unable to parse DN: " << text << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    m_impl->Adopt(parsed);
}

} // namespace TvrX509
