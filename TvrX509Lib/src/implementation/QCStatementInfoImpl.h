#pragma once

#include "OpenSSLBase.h"
#include "QCStatementsAsn1.h"

#include <map>
#include <set>
#include <string>

namespace TvrX509 {

// The decoded MonetaryValue of a QcLimitValue and what was read from it.
class QcEuLimitValueImpl : public TvrASN1::OpenSSLBase<MONETARY_VALUE> {
public:
    QcEuLimitValueImpl();
    explicit QcEuLimitValueImpl(const TvrASN1::DERBytes& der);

    // Reads amount, exponent and currency, clearing them and recording the codes when they
    // are not acceptable.
    void Validate(std::set<int>& codes);
    double GetValue() const;

    int amount = 0;
    int exponent = 0;
    std::string currency;
};

// The decoded PdsLocations of a QcPDS and the locations by lower-case language.
class QcEuPDSImpl : public TvrASN1::OpenSSLBase<QC_PDS> {
public:
    QcEuPDSImpl();
    explicit QcEuPDSImpl(const TvrASN1::DERBytes& der);

    void Validate(std::set<int>& codes);

    std::map<std::string, std::string> locations;
};

// The decoded QcType and its purpose bits.
class QcEuTypeImpl : public TvrASN1::OpenSSLBase<QC_TYPE> {
public:
    QcEuTypeImpl();
    explicit QcEuTypeImpl(const TvrASN1::DERBytes& der);

    void Validate(std::set<int>& codes);

    int types = 0;
};

// ASN1_INTEGER as an int; absent or beyond the int range gives -1.
int IntegerOrMinusOne(const ASN1_INTEGER* integer);

// Lower case by the classic rules, whatever the process locale; other bytes unchanged.
std::string ToLowerAscii(const std::string& text);

} // namespace TvrX509
