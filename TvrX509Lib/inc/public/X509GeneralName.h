#pragma once

#include "DERBytes.h"
#include "X509Name.h"

#include <memory>
#include <string>

namespace TvrX509 {

class X509GeneralNameImpl;

// A directory name that may be absent.
struct OptionalX509Name {
    X509Name name;
    bool present = false;
};

// One GeneralName (RFC 5280); types are the CHOICE numbers 0 (otherName) to 8
// (registeredID): 1 rfc822Name, 2 dNSName, 4 directoryName, 6 URI.
class X509GeneralName {
public:
    // No CHOICE selected yet.
    X509GeneralName();
    // Type 6 (URI; the format is not looked at) or type 4 with format 1 (slash text such
    // as "/C=HU/CN=Name", code 4 when it does not parse); anything else code 2.
    X509GeneralName(const std::string& text, int type, int format);
    explicit X509GeneralName(const TvrASN1::DERBytes& der);
    X509GeneralName(const X509GeneralName& other);
    X509GeneralName& operator=(const X509GeneralName& other);
    virtual ~X509GeneralName();

    // 0 to 8; anything else code 1.
    int GetType() const;
    // rfc822Name and URI: the text; directoryName: its one-line text; others: code 2.
    std::string GetText() const;
    OptionalX509Name GetDirectoryName() const;
    std::unique_ptr<TvrASN1::DERBytes> GetDER() const;

private:
    friend class X509GeneralNameImpl;
    X509GeneralNameImpl* m_impl;
};

} // namespace TvrX509
