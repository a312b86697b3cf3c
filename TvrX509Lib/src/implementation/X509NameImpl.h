#pragma once

#include "OpenSSLBase.h"
#include "X509Name.h"

#include <openssl/x509.h>

#include <string>

namespace TvrX509 {

class X509NameImpl : public TvrASN1::OpenSSLBase<X509_NAME> {
public:
    X509NameImpl();
    explicit X509NameImpl(const TvrASN1::DERBytes& der);
    X509NameImpl(const X509NameImpl& other) = default;
    X509NameImpl& operator=(const X509NameImpl& other) = default;
    virtual ~X509NameImpl() = default;

    // Comma-separated type=value text; a new name the caller frees (null only when no
    // name can be allocated). Attributes that cannot be added are logged and skipped.
    static X509_NAME* ParseDN(const std::string& text);
    // Slash text; a new name the caller frees, or null when the text does not parse.
    static X509_NAME* ParseSlashName(const char* text);
    // The first attribute of that NID as UTF-8; "" when absent or empty.
    static std::string GetEntryByNID(const X509_NAME* name, int nid);
    // The empty text for a name without attributes; null name: code 4.
    static std::string GetOneLine(const X509_NAME* name);
    // Independent of attribute order and RDN grouping; negative, zero or positive.
    static int Compare(const X509_NAME* a, const X509_NAME* b);

    // The OpenSSL name held by a public name (null after a failed SetFromSlashText).
    static const X509_NAME* Get(const X509Name& name);
    static X509NameImpl& Of(X509Name& name);
};

class RelativeDNImpl : public TvrASN1::OpenSSLBase<X509_NAME> {
public:
    RelativeDNImpl();
    explicit RelativeDNImpl(const TvrASN1::DERBytes& der);
};

class AttrValueAssertionImpl : public TvrASN1::OpenSSLBase<X509_NAME_ENTRY> {
public:
    AttrValueAssertionImpl();
    explicit AttrValueAssertionImpl(const TvrASN1::DERBytes& der);
};

} // namespace TvrX509
