#include "QCStatementsAsn1.h"
#include "QCTestUtil.h"

#include <gtest/gtest.h>

#include <openssl/objects.h>

#include <string>
#include <vector>

using namespace TvrX509;
using QCTest::Hex;

namespace {

// d2i then i2d with the given item functions; the re-encoding, or empty when d2i fails.
template <typename T>
std::vector<unsigned char> RoundTrip(const std::vector<unsigned char>& der,
                                     T* (*d2i)(T**, const unsigned char**, long),
                                     int (*i2d)(const T*, unsigned char**), void (*free)(T*))
{
    const unsigned char* p = der.data();
    T* object = d2i(nullptr, &p, static_cast<long>(der.size()));
    if (!object)
        return {};
    std::vector<unsigned char> out(static_cast<size_t>(i2d(object, nullptr)));
    unsigned char* q = out.data();
    i2d(object, &q);
    free(object);
    return out;
}

template <typename T>
T* Decode(const std::vector<unsigned char>& der, T* (*d2i)(T**, const unsigned char**, long))
{
    const unsigned char* p = der.data();
    return d2i(nullptr, &p, static_cast<long>(der.size()));
}

} // namespace

TEST(QCStatementsAsn1Test, StatementWithoutInfoDecodesWithNullInfoAndEncodesBack)
{
    // SEQUENCE { SEQUENCE { 0.4.0.1862.1.1 } }
    const auto der = Hex("30 0A 30 08 06 06 04 00 8E 46 01 01");
    QC_STATEMENTS* statements = Decode(der, d2i_QC_STATEMENTS);
    ASSERT_NE(statements, nullptr);
    ASSERT_EQ(sk_QC_STATEMENT_num(statements), 1);
    const QC_STATEMENT* statement = sk_QC_STATEMENT_value(statements, 0);
    EXPECT_EQ(statement->statementInfo, nullptr);
    EXPECT_EQ(OBJ_obj2nid(statement->statementId), NID_undef);
    char oid[64] = {};
    OBJ_obj2txt(oid, sizeof(oid), statement->statementId, 1);
    EXPECT_STREQ(oid, "0.4.0.1862.1.1");
    QC_STATEMENTS_free(statements);

    EXPECT_EQ(RoundTrip(der, d2i_QC_STATEMENTS, i2d_QC_STATEMENTS, QC_STATEMENTS_free), der);
}

TEST(QCStatementsAsn1Test, StatementInfoOfAnyKindStaysUndecoded)
{
    // A retention INTEGER 10, then a MonetaryValue SEQUENCE kept whole.
    const auto der = Hex("30 24"
                         " 30 0B 06 06 04 00 8E 46 01 03 02 01 0A"
                         " 30 15 06 06 04 00 8E 46 01 02 30 0B 13 03 45 55 52 02 01 05 02 01 03");
    QC_STATEMENTS* statements = Decode(der, d2i_QC_STATEMENTS);
    ASSERT_NE(statements, nullptr);
    ASSERT_EQ(sk_QC_STATEMENT_num(statements), 2);
    EXPECT_EQ(sk_QC_STATEMENT_value(statements, 0)->statementInfo->type, V_ASN1_INTEGER);
    const ASN1_TYPE* money = sk_QC_STATEMENT_value(statements, 1)->statementInfo;
    ASSERT_EQ(money->type, V_ASN1_SEQUENCE);
    const std::vector<unsigned char> whole(money->value.sequence->data,
                                           money->value.sequence->data + money->value.sequence->length);
    EXPECT_EQ(whole, Hex("30 0B 13 03 45 55 52 02 01 05 02 01 03"));
    QC_STATEMENTS_free(statements);
    EXPECT_EQ(RoundTrip(der, d2i_QC_STATEMENTS, i2d_QC_STATEMENTS, QC_STATEMENTS_free), der);
}

TEST(QCStatementsAsn1Test, CurrencyChoiceSelector)
{
    struct Case {
        const char* der;
        int selector;
    } cases[] = {
        {"30 0B 13 03 45 55 52 02 01 05 02 01 03", 0},  // "EUR"
        {"30 0A 02 02 03 D2 02 01 05 02 01 03", 1},     // 978
        {"30 0C 13 04 45 55 52 4F 02 01 05 02 01 03", 0},  // "EURO": any length decodes
    };
    for (const Case& c : cases) {
        MONETARY_VALUE* value = Decode(Hex(c.der), d2i_MONETARY_VALUE);
        ASSERT_NE(value, nullptr) << c.der;
        EXPECT_EQ(value->currency->type, c.selector) << c.der;
        MONETARY_VALUE_free(value);
        EXPECT_EQ(RoundTrip(Hex(c.der), d2i_MONETARY_VALUE, i2d_MONETARY_VALUE, MONETARY_VALUE_free),
                  Hex(c.der));
    }
}

TEST(QCStatementsAsn1Test, PrivateKeyUsagePeriodWithOnlyNotAfter)
{
    // SEQUENCE { [1] "20300101000000Z" }
    const auto der = Hex("30 11 81 0F 32 30 33 30 30 31 30 31 30 30 30 30 30 30 5A");
    PRIVATE_KEY_USAGE_PERIOD* period = Decode(der, d2i_PRIVATE_KEY_USAGE_PERIOD);
    ASSERT_NE(period, nullptr);
    EXPECT_EQ(period->notBefore, nullptr);
    ASSERT_NE(period->notAfter, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(period->notAfter)),
                          static_cast<size_t>(ASN1_STRING_length(period->notAfter))),
              "20300101000000Z");
    PRIVATE_KEY_USAGE_PERIOD_free(period);
    EXPECT_EQ(RoundTrip(der, d2i_PRIVATE_KEY_USAGE_PERIOD, i2d_PRIVATE_KEY_USAGE_PERIOD,
                        PRIVATE_KEY_USAGE_PERIOD_free),
              der);
}

TEST(QCStatementsAsn1Test, PdsLanguageMustBePrintableString)
{
    // SEQUENCE { SEQUENCE { IA5String "https://x", <language> "en" } }
    const std::string printable = "30 11 30 0F 16 09 68 74 74 70 73 3A 2F 2F 78 13 02 65 6E";
    const std::string utf8 = "30 11 30 0F 16 09 68 74 74 70 73 3A 2F 2F 78 0C 02 65 6E";
    QC_PDS* pds = Decode(Hex(printable), d2i_QC_PDS);
    ASSERT_NE(pds, nullptr);
    EXPECT_EQ(sk_QC_PDS_LOCATION_num(pds), 1);
    QC_PDS_free(pds);
    EXPECT_EQ(Decode(Hex(utf8), d2i_QC_PDS), nullptr);
}

TEST(QCStatementsAsn1Test, DuplicatesAreDeepAndNullSafe)
{
    EXPECT_EQ(QC_STATEMENTS_dup(nullptr), nullptr);
    EXPECT_EQ(QC_PDS_LOCATION_dup(nullptr), nullptr);
    EXPECT_EQ(PRIVATE_KEY_USAGE_PERIOD_dup(nullptr), nullptr);
    EXPECT_EQ(MONETARY_VALUE_dup(nullptr), nullptr);

    const auto der = Hex("30 0B 13 03 45 55 52 02 01 05 02 01 03");
    MONETARY_VALUE* source = Decode(der, d2i_MONETARY_VALUE);
    ASSERT_NE(source, nullptr);
    MONETARY_VALUE* copy = MONETARY_VALUE_dup(source);
    MONETARY_VALUE_free(source);
    ASSERT_NE(copy, nullptr);
    std::vector<unsigned char> out(static_cast<size_t>(i2d_MONETARY_VALUE(copy, nullptr)));
    unsigned char* p = out.data();
    i2d_MONETARY_VALUE(copy, &p);
    EXPECT_EQ(out, der);
    MONETARY_VALUE_free(copy);
}
