#include "X509NameImpl.h"

#include "X509LibLogger.h"

#include <boost/regex.hpp>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

namespace TvrX509 {

namespace {

const char* const kSource = "src/X509NameImpl";

// Adds one attribute from UTF-8 text, storing it as UTF8String unless OpenSSL's string
// table fixes the type of the attribute (PrintableString for countryName and the like).
// This is what OpenSSL does under a UTF8String-only default mask, worked out per call so
// the process-wide mask is never touched and parses on other threads are not disturbed.
bool AddUtf8Entry(X509_NAME* name, int nid, const std::string& value, int location, int set)
{
    unsigned long mask = DIRSTRING_TYPE & B_ASN1_UTF8STRING;
    long minSize = -1;
    long maxSize = -1;
    if (const ASN1_STRING_TABLE* table = ASN1_STRING_TABLE_get(nid)) {
        mask = table->mask;
        if (!(table->flags & STABLE_NO_MASK))
            mask &= B_ASN1_UTF8STRING;
        minSize = table->minsize;
        maxSize = table->maxsize;
    }
    ASN1_STRING* text = nullptr;
    if (ASN1_mbstring_ncopy(&text, reinterpret_cast<const unsigned char*>(value.data()),
                            static_cast<int>(value.size()), MBSTRING_UTF8, mask, minSize,
                            maxSize) <= 0)
        return false;
    int added = X509_NAME_add_entry_by_NID(name, nid, ASN1_STRING_type(text),
                                           ASN1_STRING_get0_data(text),
                                           ASN1_STRING_length(text), location, set);
    ASN1_STRING_free(text);
    return added == 1;
}

using NamePtr = std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)>;

struct SlashElement {
    std::string type;
    std::string value;
    bool continuesRdn;  // joined to the element before by '+'
};

// Splits slash text into elements; false when it does not parse.
bool SplitSlashText(const char* text, std::vector<SlashElement>& elements)
{
    if (!text || *text != '/')
        return false;
    const char* p = text + 1;
    bool nextContinues = false;
    while (*p) {
        SlashElement element{"", "", nextContinues};
        nextContinues = false;
        for (; *p && *p != '='; ++p) {
            if (*p == '\\' && *++p == '\0')
                return false;
            element.type += *p;
        }
        if (*p == '\0')
            return false;  // the text ends before '='
        ++p;
        if (*p == '\0')
            return false;  // nothing after '='
        for (; *p && *p != '/'; ++p) {
            if (*p == '+') {
                nextContinues = true;
                break;
            }
            if (*p == '\\' && *++p == '\0')
                return false;
            element.value += *p;
        }
        if (*p)
            ++p;
        elements.push_back(std::move(element));
    }
    return true;
}

// The comparison rule of attributes: value length, value bytes, then the type.
int CompareEntries(const X509_NAME_ENTRY* a, const X509_NAME_ENTRY* b)
{
    const ASN1_STRING* va = X509_NAME_ENTRY_get_data(a);
    const ASN1_STRING* vb = X509_NAME_ENTRY_get_data(b);
    if (!va || !vb)
        return (va ? 1 : 0) - (vb ? 1 : 0);
    int la = ASN1_STRING_length(va);
    int lb = ASN1_STRING_length(vb);
    if (la != lb)
        return la - lb;
    if (la > 0) {
        int bytes = std::memcmp(ASN1_STRING_get0_data(va), ASN1_STRING_get0_data(vb),
                                static_cast<size_t>(la));
        if (bytes != 0)
            return bytes;
    }
    return OBJ_cmp(X509_NAME_ENTRY_get_object(a), X509_NAME_ENTRY_get_object(b));
}

std::vector<const X509_NAME_ENTRY*> SortedEntries(const X509_NAME* name)
{
    std::vector<const X509_NAME_ENTRY*> entries;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i)
        entries.push_back(X509_NAME_get_entry(name, i));
    std::stable_sort(entries.begin(), entries.end(),
                     [](const X509_NAME_ENTRY* a, const X509_NAME_ENTRY* b) {
                         return CompareEntries(a, b) < 0;
                     });
    return entries;
}

} // namespace

X509NameImpl::X509NameImpl()
    : OpenSSLBase(X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME)
{
}

X509NameImpl::X509NameImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME,
                  i2d_X509_NAME)
{
}

X509_NAME* X509NameImpl::ParseDN(const std::string& text)
{
    X509_NAME* name = X509_NAME_new();
    if (!name)
        return nullptr;
    static const boost::regex pair("([\\w\\.]+)=([^,]*)(, )?");
    for (boost::sregex_iterator it(text.begin(), text.end(), pair), end; it != end; ++it) {
        std::string type = (*it)[1].str();
        std::string value = (*it)[2].str();
        int nid = OBJ_txt2nid(type.c_str());
        if (nid == NID_undef)
            nid = OBJ_sn2nid(type.c_str());
        if (nid == NID_undef || !AddUtf8Entry(name, nid, value, -1, 0)) {
            GetLogger()->Error(kSource, __LINE__)
                << "X509_NAME_add_entry " << type << "=" << value << " - failed" << std::endl;
        }
    }
    return name;
}

X509_NAME* X509NameImpl::ParseSlashName(const char* text)
{
    std::vector<SlashElement> elements;
    if (!SplitSlashText(text, elements))
        return nullptr;
    NamePtr name(X509_NAME_new(), X509_NAME_free);
    if (!name)
        return nullptr;
    for (const SlashElement& element : elements) {
        int nid = OBJ_txt2nid(element.type.c_str());
        if (nid == NID_undef || element.value.empty())
            continue;
        if (!AddUtf8Entry(name.get(), nid, element.value, -1, element.continuesRdn ? -1 : 0))
            return nullptr;
    }
    // A multi-valued RDN is a SET, whose DER encoding sorts its members. Hand out the name
    // in that canonical order, as every decoded or copied name has it, so the text of a
    // parsed name and of its copies is the same.
    return X509_NAME_dup(name.get());
}

std::string X509NameImpl::GetEntryByNID(const X509_NAME* name, int nid)
{
    int index = name ? X509_NAME_get_index_by_NID(name, nid, -1) : -1;
    if (index < 0) {
        GetLogger()->Error(kSource, __LINE__) << "Could not get name entry index by NID." << std::endl;
        return std::string();
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    if (!data) {
        GetLogger()->Error(kSource, __LINE__)
            << "Could not get name entry data! Index: " << index << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 1) {
        OPENSSL_free(utf8);
        GetLogger()->Warn(kSource, __LINE__) << "Empty string or UTF-8 encoding failed!" << std::endl;
        return std::string();
    }
    std::string result(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return result;
}

std::string X509NameImpl::GetOneLine(const X509_NAME* name)
{
    if (!name)
        throw TvrCommon::ErrCodeException(4);
    // An empty name (a subject left to the subjectAltName) is a name; it prints as nothing.
    if (X509_NAME_entry_count(name) == 0)
        return std::string();
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio)
        throw TvrCommon::ErrCodeException(3);
    // RFC 2253 without escaping the bytes above 0x7f, so non-ASCII text stays UTF-8.
    const unsigned long flags = XN_FLAG_RFC2253 & ~static_cast<unsigned long>(ASN1_STRFLGS_ESC_MSB);
    X509_NAME_print_ex(bio.get(), name, 0, flags);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    if (length <= 0 || !data)
        throw TvrCommon::ErrCodeException(1);
    return std::string(data, static_cast<size_t>(length));
}

int X509NameImpl::Compare(const X509_NAME* a, const X509_NAME* b)
{
    if (!a || !b)
        return (a ? 1 : 0) - (b ? 1 : 0);
    std::vector<const X509_NAME_ENTRY*> left = SortedEntries(a);
    std::vector<const X509_NAME_ENTRY*> right = SortedEntries(b);
    if (left.size() != right.size())
        return static_cast<int>(left.size()) - static_cast<int>(right.size());
    for (size_t i = left.size(); i-- > 0;) {
        int result = CompareEntries(left[i], right[i]);
        if (result != 0)
            return result;
    }
    return 0;
}

const X509_NAME* X509NameImpl::Get(const X509Name& name)
{
    return name.m_impl->object;
}

X509NameImpl& X509NameImpl::Of(X509Name& name)
{
    return *name.m_impl;
}

RelativeDNImpl::RelativeDNImpl()
    : OpenSSLBase(X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME)
{
}

RelativeDNImpl::RelativeDNImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME,
                  i2d_X509_NAME)
{
}

AttrValueAssertionImpl::AttrValueAssertionImpl()
    : OpenSSLBase(X509_NAME_ENTRY_new, X509_NAME_ENTRY_free, X509_NAME_ENTRY_dup,
                  d2i_X509_NAME_ENTRY, i2d_X509_NAME_ENTRY)
{
}

AttrValueAssertionImpl::AttrValueAssertionImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, X509_NAME_ENTRY_new, X509_NAME_ENTRY_free, X509_NAME_ENTRY_dup,
                  d2i_X509_NAME_ENTRY, i2d_X509_NAME_ENTRY)
{
}

} // namespace TvrX509
