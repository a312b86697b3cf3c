#pragma once

// ASN.1 structures OpenSSL has no definition for: the qualified-certificate statements of
// RFC 3739 / ETSI EN 319 412-5 and RFC 5280's PrivateKeyUsagePeriod. They live in this
// namespace with C++ linkage so they can never collide with what libcrypto exports, nor
// with the application's own copies of the QC definitions.

#include <openssl/asn1.h>
#include <openssl/safestack.h>

namespace TvrX509 {

// Iso4217CurrencyCode ::= CHOICE { alphabetic PrintableString, numeric INTEGER }
struct ISO_4217_CURRENCY_CODE_st {
    int type;  // 0 alphabetic, 1 numeric
    union {
        ASN1_PRINTABLESTRING* alphabetic;
        ASN1_INTEGER* numeric;
    } value;
};
typedef ISO_4217_CURRENCY_CODE_st ISO_4217_CURRENCY_CODE;

// MonetaryValue ::= SEQUENCE { currency, amount INTEGER, exponent INTEGER }
struct MONETARY_VALUE_st {
    ISO_4217_CURRENCY_CODE* currency;
    ASN1_INTEGER* amount;
    ASN1_INTEGER* exponent;
};
typedef MONETARY_VALUE_st MONETARY_VALUE;

// QcType ::= SEQUENCE OF OBJECT IDENTIFIER
typedef STACK_OF(ASN1_OBJECT) QC_TYPE;

// PdsLocation ::= SEQUENCE { url IA5String, language PrintableString }
struct QC_PDS_LOCATION_st {
    ASN1_IA5STRING* url;
    ASN1_PRINTABLESTRING* language;
};
typedef QC_PDS_LOCATION_st QC_PDS_LOCATION;
DEFINE_STACK_OF(QC_PDS_LOCATION)
typedef STACK_OF(QC_PDS_LOCATION) QC_PDS;

// QCStatement ::= SEQUENCE { statementId OBJECT IDENTIFIER, statementInfo ANY OPTIONAL }
struct QC_STATEMENT_st {
    ASN1_OBJECT* statementId;
    ASN1_TYPE* statementInfo;  // null when absent
};
typedef QC_STATEMENT_st QC_STATEMENT;
DEFINE_STACK_OF(QC_STATEMENT)
typedef STACK_OF(QC_STATEMENT) QC_STATEMENTS;

// PrivateKeyUsagePeriod ::= SEQUENCE { notBefore [0] IMPLICIT GeneralizedTime OPTIONAL,
//                                      notAfter  [1] IMPLICIT GeneralizedTime OPTIONAL }
struct PRIVATE_KEY_USAGE_PERIOD_st {
    ASN1_GENERALIZEDTIME* notBefore;
    ASN1_GENERALIZEDTIME* notAfter;
};
typedef PRIVATE_KEY_USAGE_PERIOD_st PRIVATE_KEY_USAGE_PERIOD;

// X_it, X_new, X_free, d2i_X, i2d_X and X_dup (a deep copy by ASN1_item_dup; null for a
// null argument or a failed allocation) for each structure above.
#define TVR_DECLARE_QC_ITEM(X)                                       \
    const ASN1_ITEM* X##_it(void);                                   \
    X* X##_new(void);                                                \
    void X##_free(X* a);                                             \
    X* d2i_##X(X** a, const unsigned char** in, long length);        \
    int i2d_##X(const X* a, unsigned char** out);                    \
    X* X##_dup(const X* a);

TVR_DECLARE_QC_ITEM(ISO_4217_CURRENCY_CODE)
TVR_DECLARE_QC_ITEM(MONETARY_VALUE)
TVR_DECLARE_QC_ITEM(QC_TYPE)
TVR_DECLARE_QC_ITEM(QC_PDS_LOCATION)
TVR_DECLARE_QC_ITEM(QC_PDS)
TVR_DECLARE_QC_ITEM(QC_STATEMENT)
TVR_DECLARE_QC_ITEM(QC_STATEMENTS)
TVR_DECLARE_QC_ITEM(PRIVATE_KEY_USAGE_PERIOD)

#undef TVR_DECLARE_QC_ITEM

} // namespace TvrX509
