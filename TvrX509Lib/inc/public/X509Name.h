#pragma once

#include "DERBytes.h"

#include <string>
#include <vector>

namespace TvrX509 {

class X509NameImpl;
class RelativeDNImpl;
class AttrValueAssertionImpl;

// One attribute type and value of a distinguished name.
class AttrValueAssertion {
public:
    AttrValueAssertion();
    explicit AttrValueAssertion(const TvrASN1::DERBytes& der);
    AttrValueAssertion(const AttrValueAssertion& other);
    AttrValueAssertion& operator=(const AttrValueAssertion& other);
    virtual ~AttrValueAssertion();

    // The long name when OpenSSL knows the type ("commonName"), else the short name,
    // else the dotted OID.
    std::string GetType() const;
    // The value's stored bytes as encoded (not converted), up to the first zero byte.
    std::string GetValue() const;

private:
    AttrValueAssertionImpl* m_impl;
};

// One relative distinguished name: one or more attributes.
class RelativeDN {
public:
    RelativeDN();
    explicit RelativeDN(const TvrASN1::DERBytes& der);
    RelativeDN(const RelativeDN& other);
    RelativeDN& operator=(const RelativeDN& other);
    virtual ~RelativeDN();

    std::vector<AttrValueAssertion> GetAttributes() const;

private:
    RelativeDNImpl* m_impl;
};

// An X.509 distinguished name.
class X509Name {
public:
    X509Name();
    // Comma-separated type=value text ("CN=Alice, O=Example, C=HU"); code 1 on failure.
    explicit X509Name(const std::string& text);
    explicit X509Name(const TvrASN1::DERBytes& der);
    X509Name(const X509Name& other);
    X509Name& operator=(const X509Name& other);
    virtual ~X509Name();

    // RFC 2253 style, last RDN first, non-ASCII kept as UTF-8 ("C=HU,O=Example,CN=Alice").
    std::string GetOneLine() const;
    std::vector<RelativeDN> GetRDNs() const;
    // Order-independent comparison of the attributes' values and types.
    bool operator==(const X509Name& other) const;
    bool operator<(const X509Name& other) const;
    // Slash text ("/C=HU/O=Example/CN=Alice", '+' joins an RDN). On failure code 4, and
    // the object holds no name afterwards (only destruction and assignment are safe).
    void SetFromSlashText(const std::string& text);

private:
    friend class X509NameImpl;
    X509NameImpl* m_impl;
};

} // namespace TvrX509
