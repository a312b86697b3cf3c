#include "ASN1Exception.h"
#include "Iso4217CurrencyTable.h"
#include "QCStatements.h"
#include "QCStatementsAsn1.h"
#include "QCTestUtil.h"
#include "TestPki.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <functional>
#include <iterator>
#include <locale>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace TvrX509;
using QCTest::Der;
using QCTest::Hex;
using TvrTest::DerOid;
using TvrTest::DerTlv;

namespace {

std::vector<unsigned char> Concat(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<unsigned char> Text(unsigned char tag, const std::string& text)
{
    return DerTlv(tag, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> Integer(long long value)
{
    ASN1_INTEGER* integer = ASN1_INTEGER_new();
    ASN1_INTEGER_set_int64(integer, value);
    unsigned char* der = nullptr;
    int length = i2d_ASN1_INTEGER(integer, &der);
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    ASN1_INTEGER_free(integer);
    return bytes;
}

std::vector<unsigned char> Money(const std::vector<unsigned char>& currency, long long amount,
                                 long long exponent)
{
    return DerTlv(0x30, Concat({currency, Integer(amount), Integer(exponent)}));
}

std::vector<unsigned char> Location(const std::string& url, const std::string& language)
{
    return DerTlv(0x30, Concat({Text(0x16, url), Text(0x13, language)}));
}

// The one statement of a one-statement extension value.
std::unique_ptr<QCStatements> Decode(const std::string& hex)
{
    return std::make_unique<QCStatements>(Der(hex), false);
}

// The qcStatements extension of a certificate: value and critical flag.
std::pair<TvrASN1::DERBytes, bool> QcExtension(const TvrTest::PkiItem& item)
{
    int index = X509_get_ext_by_NID(item.Cert(), NID_qcStatements, -1);
    if (index < 0)
        throw std::runtime_error("no qcStatements");
    X509_EXTENSION* extension = X509_get_ext(item.Cert(), index);
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    return {TvrASN1::DERBytes(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data))),
            X509_EXTENSION_get_critical(extension) > 0};
}

// A numpunct that writes a decimal comma, as a host program's locale may.
struct CommaNumpunct : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

class GlobalLocaleGuard {
public:
    explicit GlobalLocaleGuard(const std::locale& locale) : m_previous(std::locale::global(locale)) {}
    ~GlobalLocaleGuard() { std::locale::global(m_previous); }

private:
    std::locale m_previous;
};

} // namespace

TEST(QCStatementsTest, QualifiedLeafDecodesAllSixStatements)
{
    const auto& pki = TvrTest::TestPki::Get();
    auto [value, critical] = QcExtension(pki.QualifiedLeaf());
    std::unique_ptr<X509Extension> extension(X509Extension::Create("qcStatements", value, critical));
    auto* statements = dynamic_cast<QCStatements*>(extension.get());
    ASSERT_NE(statements, nullptr);
    EXPECT_EQ(statements->GetOID(), "1.3.6.1.5.5.7.1.3");
    EXPECT_EQ(statements->GetOID(), QCStatements::OID);

    const std::vector<QCStatement>& list = statements->GetStatements();
    ASSERT_EQ(list.size(), 6u);
    const struct {
        const char* oid;
        int type;
    } expected[] = {{"0.4.0.1862.1.1", 4}, {"0.4.0.1862.1.4", 7}, {"0.4.0.1862.1.6", 10},
                    {"0.4.0.1862.1.5", 8}, {"0.4.0.1862.1.3", 6}, {"0.4.0.1862.1.2", 5}};
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].GetOID(), expected[i].oid);
        ASSERT_NE(list[i].GetInfo(), nullptr);
        EXPECT_EQ(list[i].GetInfo()->GetType(), expected[i].type) << expected[i].oid;
        EXPECT_TRUE(list[i].GetInfo()->GetMessageCodes().empty()) << expected[i].oid;
    }
    EXPECT_NE(dynamic_cast<const QcEuCompliance*>(list[0].GetInfo()), nullptr);
    EXPECT_NE(dynamic_cast<const QcEuSSCD*>(list[1].GetInfo()), nullptr);

    auto* type = dynamic_cast<const QcEuType*>(list[2].GetInfo());
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->GetTypes(), 0x1);
    EXPECT_TRUE(type->HasType(0x1 | 0x4));
    EXPECT_FALSE(type->HasType(0x2));

    auto* pds = dynamic_cast<const QcEuPDS*>(list[3].GetInfo());
    ASSERT_NE(pds, nullptr);
    EXPECT_EQ(pds->GetEnglishLocation(), "https://pds.tavrenic.test/en");
    EXPECT_EQ(pds->GetLocation("EN"), "https://pds.tavrenic.test/en");
    EXPECT_TRUE(pds->HasLanguage("En"));
    EXPECT_EQ(pds->GetLocation("de"), "");

    auto* retention = dynamic_cast<const QcEuRetentionPeriod*>(list[4].GetInfo());
    ASSERT_NE(retention, nullptr);
    EXPECT_EQ(retention->years, 10);

    auto* limit = dynamic_cast<const QcEuLimitValue*>(list[5].GetInfo());
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(limit->GetAmount(), 5);
    EXPECT_EQ(limit->GetExponent(), 3);
    EXPECT_EQ(limit->GetCurrency(), "EUR");
    EXPECT_DOUBLE_EQ(limit->GetValue(), 5000.0);
    EXPECT_EQ(limit->ToString(), "5000.00 EUR");
}

TEST(QCStatementsTest, QualifiedLeafExtensionReencodesByteExact)
{
    const auto& leaf = TvrTest::TestPki::Get().QualifiedLeaf();
    auto [value, critical] = QcExtension(leaf);
    QCStatements statements(value, critical);

    // The whole Extension structure as the certificate carries it.
    X509_EXTENSION* original = X509_get_ext(leaf.Cert(), X509_get_ext_by_NID(leaf.Cert(), NID_qcStatements, -1));
    unsigned char* der = nullptr;
    int length = i2d_X509_EXTENSION(original, &der);
    std::vector<unsigned char> expected(der, der + length);
    OPENSSL_free(der);
    EXPECT_EQ(QCTest::Bytes(*statements.GetDER()), expected);

    // The decoded statement list itself encodes back to the same value bytes.
    const unsigned char* p = value.GetData();
    QC_STATEMENTS* decoded = d2i_QC_STATEMENTS(nullptr, &p, static_cast<long>(value.GetSize()));
    ASSERT_NE(decoded, nullptr);
    unsigned char* again = nullptr;
    int againLength = i2d_QC_STATEMENTS(decoded, &again);
    EXPECT_EQ(std::vector<unsigned char>(again, again + againLength), QCTest::Bytes(value));
    OPENSSL_free(again);
    QC_STATEMENTS_free(decoded);
}

TEST(QCStatementsTest, CopiesAreIndependentAndEqual)
{
    const auto& leaf = TvrTest::TestPki::Get().QualifiedLeaf();
    auto [value, critical] = QcExtension(leaf);
    auto source = std::make_unique<QCStatements>(value, critical);
    QCStatements copy(*source);
    QCStatements assigned;
    EXPECT_TRUE(assigned.GetStatements().empty());
    assigned = *source;
    source.reset();  // the copies own everything they show

    for (const QCStatements* statements : {&copy, &assigned}) {
        ASSERT_EQ(statements->GetStatements().size(), 6u);
        EXPECT_EQ(QCTest::Bytes(*statements->GetValue()), QCTest::Bytes(value));
        const QCStatement& last = statements->GetStatements().back();
        EXPECT_EQ(last.GetOID(), "0.4.0.1862.1.2");
        EXPECT_EQ(last.GetInfo()->GetType(), 5);
        EXPECT_EQ(dynamic_cast<const QcEuLimitValue*>(last.GetInfo())->ToString(), "5000.00 EUR");
    }

    // A statement copy carries OID, class and codes.
    std::unique_ptr<QCStatements> unknown = Decode("30 06 30 04 06 02 2A 03");
    QCStatement statement = unknown->GetStatements().front();
    unknown.reset();
    EXPECT_EQ(statement.GetOID(), "1.2.3");
    EXPECT_EQ(statement.GetInfo()->GetType(), 1);
    EXPECT_EQ(statement.GetInfo()->GetMessageCodes(), std::set<int>{0});
    statement = copy.GetStatements().front();
    EXPECT_EQ(statement.GetInfo()->GetType(), 4);
    EXPECT_TRUE(statement.GetInfo()->GetMessageCodes().empty());
}

// Statements as whole extension values, the malformed ones written out by hand.
TEST(QCStatementsTest, StatementClassesAndCodes)
{
    struct Case {
        const char* name;
        const char* hex;
        int type;
        std::set<int> codes;
        std::vector<std::string> log;
        std::function<void(const QCStatementInfo*)> more;
    };
    auto years = [](int expected) {
        return [expected](const QCStatementInfo* info) {
            auto* retention = dynamic_cast<const QcEuRetentionPeriod*>(info);
            ASSERT_NE(retention, nullptr);
            EXPECT_EQ(retention->years, expected);
        };
    };
    auto noData = [](const QCStatementInfo*) {};
    const Case cases[] = {
        {"compliance", "30 0A 30 08 06 06 04 00 8E 46 01 01", 4, {}, {}, noData},
        {"SSCD", "30 0A 30 08 06 06 04 00 8E 46 01 04", 7, {}, {}, noData},
        {"QC syntax v1, information not read", "30 0F 30 0D 06 08 2B 06 01 05 05 07 0B 01 01 01 FF", 2, {}, {}, noData},
        {"QC syntax v2", "30 0C 30 0A 06 08 2B 06 01 05 05 07 0B 02", 3, {}, {}, noData},
        {"qualified time stamp", "30 0B 30 09 06 07 04 00 81 97 5E 01 01", 9, {}, {}, noData},
        {"unknown OID 1.2.3", "30 06 30 04 06 02 2A 03", 1, {0}, {}, noData},
        {"retention 10", "30 0D 30 0B 06 06 04 00 8E 46 01 03 02 01 0A", 6, {}, {}, years(10)},
        {"retention -5", "30 0D 30 0B 06 06 04 00 8E 46 01 03 02 01 FB", 6, {6}, {}, years(-5)},
        {"retention BOOLEAN", "30 0D 30 0B 06 06 04 00 8E 46 01 03 01 01 FF", 6, {6}, {}, years(-1)},
        {"retention NULL", "30 0C 30 0A 06 06 04 00 8E 46 01 03 05 00", 6, {6}, {}, years(-1)},
        {"retention SEQUENCE", "30 0C 30 0A 06 06 04 00 8E 46 01 03 30 00", 6, {6}, {}, years(-1)},
        {"retention 5e9", "30 11 30 0F 06 06 04 00 8E 46 01 03 02 05 01 2A 05 F2 00", 6, {6}, {}, years(-1)},
        {"limit amount 5e9",
         "30 1B 30 19 06 06 04 00 8E 46 01 02 30 0F 13 03 45 55 52 02 05 01 2A 05 F2 00 02 01 00", 5, {13}, {},
         [](const QCStatementInfo* info) {
             auto* limit = dynamic_cast<const QcEuLimitValue*>(info);
             ASSERT_NE(limit, nullptr);
             EXPECT_EQ(limit->GetAmount(), 0);
             EXPECT_EQ(limit->GetExponent(), 0);
             EXPECT_EQ(limit->GetCurrency(), "");
             EXPECT_EQ(limit->ToString(), "");
         }},
        {"limit without information", "30 0A 30 08 06 06 04 00 8E 46 01 02", 0, {1},
         {"E:0.4.0.1862.1.2 - StatementInfo missing!"}, noData},
        {"type without information", "30 0A 30 08 06 06 04 00 8E 46 01 06", 0, {1},
         {"E:0.4.0.1862.1.6 - StatementInfo missing!"}, noData},
        {"retention without information", "30 0A 30 08 06 06 04 00 8E 46 01 03", 0, {1},
         {"E:0.4.0.1862.1.3 - StatementInfo missing!"}, noData},
        {"limit with trailing bytes inside the MonetaryValue",
         "30 19 30 17 06 06 04 00 8E 46 01 02 30 0D 13 03 45 55 52 02 01 05 02 01 03 05 00", 0, {1},
         {"E:0.4.0.1862.1.2 - Invalid QC Statement Info! ErrCode: 1 msg: TvrCrypto::ASN1Exception"}, noData},
        {"PDS whose language is a UTF8String",
         "30 1D 30 1B 06 06 04 00 8E 46 01 05 30 11 30 0F 16 09 68 74 74 70 73 3A 2F 2F 78 0C 02 65 6E", 0,
         {1}, {"E:0.4.0.1862.1.5 - Invalid QC Statement Info! ErrCode: 1 msg: TvrCrypto::ASN1Exception"}, noData},
        {"PDS that is an INTEGER", "30 0D 30 0B 06 06 04 00 8E 46 01 05 02 01 01", 0, {1},
         {"E:0.4.0.1862.1.5 - Invalid QC Statement Info! ErrCode: 1 msg: TvrCrypto::ASN1Exception"}, noData},
        {"bytes after the extension value are ignored", "30 0A 30 08 06 06 04 00 8E 46 01 01 FF FF", 4, {}, {},
         noData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QCTest::OrderedLog log;
        std::unique_ptr<QCStatements> statements = Decode(c.hex);
        ASSERT_EQ(statements->GetStatements().size(), 1u);
        const QCStatementInfo* info = statements->GetStatements().front().GetInfo();
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->GetType(), c.type);
        EXPECT_EQ(info->GetMessageCodes(), c.codes);
        std::vector<std::string> errors;
        for (const std::string& line : log.Lines()) {
            if (line.rfind("E:", 0) == 0)
                errors.push_back(line);
        }
        EXPECT_EQ(errors, c.log);
        c.more(info);
    }
}

TEST(QCStatementsTest, UndecodableExtensionValuesThrow)
{
    const char* cases[] = {
        "30 0F 30 0D 06 06 04 00 8E 46 01 03 02 01 0A 05 00",  // a third element in a statement
        "30 05 30 03 02 01 01",                                // statementId not an OID
        "04 02 30 00",                                         // not a SEQUENCE
        "",
    };
    for (const char* hex : cases) {
        try {
            QCStatements statements(Der(hex), false);
            ADD_FAILURE() << "decoded: " << hex;
        } catch (const TvrASN1::ASN1Exception& e) {
            EXPECT_EQ(e.GetCode(), 1) << hex;
        }
    }
    try {
        QCStatement statement(nullptr);
        ADD_FAILURE() << "null element accepted";
    } catch (const TvrCommon::ErrCodeException& e) {
        EXPECT_EQ(e.GetCode(), 3);
    }
}

TEST(QCStatementsTest, CurrencyTableHasEveryRowInOrder)
{
    const std::string codes =
        "ALL DZD ARS AUD BSD BHD BDT AMD BBD BMD BTN BOB BWP BZD SBD BND MMK BIF KHR CAD CVE KYD LKR CLP "
        "CNY COP KMF CRC HRK CUP CZK DKK DOP ETB ERN EEK FKP FJD DJF GMD GIP GTQ GNF GYD HTG HNL HKD HUF "
        "ISK INR IDR IRR IQD ILS JMD JPY KZT JOD KES KPW KRW KWD KGS LAK LBP LSL LVL LRD LYD LTL MOP MWK "
        "MYR MVR MRO MUR MXN MNT MDL MAD OMR NAD NPR ANG AWG VUV NZD NIO NGN NOK PKR PAB PGK PYG PEN PHP "
        "QAR RUB RWF SHP STD SAR SCR SLL SGD VND SOS ZAR SZL SEK CHF SYP THB TOP TTD AED TND TMT UGX MKD "
        "EGP GBP TZS USD UYU UZS WST YER ZMK TWD ZWR GHS VEF SDG RSD MZN AZN RON CHE CHW TRY XAF XCD XPF "
        "XBA XBB XBC XBD XAU XDR XAG SRD MGA COU AFN TJS AOA BYR BGN CDF BAM EUR MXV UAH GEL BOV PLN BRL "
        "CLF USN USS XOF XPT XTS XPD XXX";
    std::istringstream in(codes);
    std::vector<std::string> expected{std::istream_iterator<std::string>(in), {}};
    ASSERT_EQ(expected.size(), 176u);

    std::vector<std::string> actual;
    for (const Iso4217Currency* row = Iso4217CurrencyTable; row->code; ++row)
        actual.push_back(row->code);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(Iso4217CurrencyTable[176].number, 0);
    EXPECT_EQ(Iso4217CurrencyTable[176].code, nullptr);

    for (int i = 1; i < 171; ++i)
        EXPECT_LT(Iso4217CurrencyTable[i - 1].number, Iso4217CurrencyTable[i].number) << Iso4217CurrencyTable[i].code;
    const std::pair<const char*, int> known[] = {{"HUF", 348}, {"EUR", 978}, {"USD", 840}, {"XOF", 952},
                                                 {"XPT", 962}, {"XTS", 963}, {"XPD", 964}, {"XXX", 999}};
    for (const auto& [code, number] : known) {
        ASSERT_NE(FindCurrency(code, 3), nullptr) << code;
        EXPECT_EQ(FindCurrency(code, 3)->number, number) << code;
    }

    // Every row works both ways through a LimitValue.
    for (const Iso4217Currency* row = Iso4217CurrencyTable; row->code; ++row) {
        QcEuLimitValue byNumber(Der(Money(Integer(row->number), 1, 0)));
        QcEuLimitValue byCode(Der(Money(Text(0x13, row->code), 1, 0)));
        EXPECT_EQ(byNumber.GetCurrency(), row->code);
        EXPECT_EQ(byCode.GetCurrency(), row->code);
        EXPECT_TRUE(byNumber.GetMessageCodes().empty() && byCode.GetMessageCodes().empty()) << row->code;
    }
}

TEST(QCStatementsTest, LimitValueRules)
{
    const auto eur = Text(0x13, "EUR");
    struct Case {
        const char* name;
        std::vector<unsigned char> info;
        int amount, exponent;
        std::string currency;
        double value;
        std::string text;
        std::set<int> codes;
    } cases[] = {
        {"5 x 10^3 EUR", Money(eur, 5, 3), 5, 3, "EUR", 5000.0, "5000.00 EUR", {}},
        {"5 x 10^-2 EUR", Money(eur, 5, -2), 5, -2, "EUR", 0.05, "0.05 EUR", {}},
        {"currency number 978", Money(Integer(978), 5, 3), 5, 3, "EUR", 5000.0, "5000.00 EUR", {}},
        {"HUF 348", Money(Integer(348), 12345, -1), 12345, -1, "HUF", 1234.5, "1234.50 HUF", {}},
        {"zero amount", Money(eur, 0, 0), 0, 0, "EUR", 0.0, "0.00 EUR", {}},
        {"lower-case code", Money(Text(0x13, "eur"), 5, 3), 0, 0, "", 0.0, "", {7}},
        {"code not in the table", Money(Text(0x13, "EUX"), 5, 3), 0, 0, "", 0.0, "", {7}},
        {"four letters", Money(Text(0x13, "EURO"), 5, 3), 0, 0, "", 0.0, "", {7}},
        {"number not in the table", Money(Integer(1000), 5, 3), 0, 0, "", 0.0, "", {7}},
        {"number beyond int", Money(Integer(4294968274LL), 5, 3), 0, 0, "", 0.0, "", {7}},
        {"negative amount", Money(eur, -5, 3), 0, 0, "", 0.0, "", {13}},
        {"exponent -3", Money(eur, 5, -3), 0, 0, "", 0.0, "", {13}},
        {"amount beyond int", Money(eur, 5000000000LL, 0), 0, 0, "", 0.0, "", {13}},
        {"10^14 is the largest power", Money(eur, 1, 14), 1, 14, "EUR", 1e14, "100000000000000.00 EUR", {}},
        {"10^15 overflows", Money(eur, 1, 15), 0, 0, "", 0.0, "", {13}},
        {"15 digits", Money(eur, 999999999, 6), 999999999, 6, "EUR", 999999999e6, "999999999000000.00 EUR", {}},
        {"16 digits", Money(eur, 1000000000, 6), 0, 0, "", 0.0, "", {13}},
        {"largest int amount", Money(eur, 2147483647, 0), 2147483647, 0, "EUR", 2147483647.0, "2147483647.00 EUR", {}},
        // An exponent beyond int is out of range, not 10^-1.
        {"exponent 2^32 + 3", Money(eur, 5, 4294967299LL), 0, 0, "", 0.0, "", {13}},
        {"exponent -2^40", Money(eur, 5, -(1LL << 40)), 0, 0, "", 0.0, "", {13}},
        {"exponent 2^64", DerTlv(0x30, Concat({eur, Integer(5), DerTlv(0x02, {1, 0, 0, 0, 0, 0, 0, 0, 0})})), 0, 0, "",
         0.0, "", {13}},
        {"exponent -1 itself", Money(eur, 5, -1), 5, -1, "EUR", 0.5, "0.50 EUR", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QcEuLimitValue limit(Der(c.info));
        EXPECT_EQ(limit.GetType(), 5);
        EXPECT_EQ(limit.GetAmount(), c.amount);
        EXPECT_EQ(limit.GetExponent(), c.exponent);
        EXPECT_EQ(limit.GetCurrency(), c.currency);
        EXPECT_DOUBLE_EQ(limit.GetValue(), c.value);
        EXPECT_EQ(limit.ToString(), c.text);
        EXPECT_EQ(limit.GetMessageCodes(), c.codes);

        std::unique_ptr<QCStatementInfo> clone(limit.Clone());
        auto* copy = dynamic_cast<QcEuLimitValue*>(clone.get());
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(copy->ToString(), c.text);
        EXPECT_EQ(copy->GetMessageCodes(), c.codes);
    }
}

TEST(QCStatementsTest, LimitValueTextIgnoresTheProcessLocale)
{
    QcEuLimitValue limit(Der(Money(Text(0x13, "EUR"), 123456, -2)));
    GlobalLocaleGuard guard(std::locale(std::locale::classic(), new CommaNumpunct));
    std::ostringstream probe;
    probe << std::fixed << 1234.5;
    ASSERT_EQ(probe.str(), "1.234,500000");  // a fresh stream follows the host's locale
    EXPECT_EQ(limit.ToString(), "1234.56 EUR");
}

TEST(QCStatementsTest, PdsLocationRules)
{
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> locations;  // url, language
        std::set<int> codes;
        std::map<std::string, std::string> map;
    } cases[] = {
        {"https and EN", {{"https://pds.example/en", "EN"}}, {}, {{"en", "https://pds.example/en"}}},
        {"http", {{"http://pds.example/en", "en"}}, {9}, {{"en", "http://pds.example/en"}}},
        {"scheme compared case-sensitively", {{"HTTPS://pds.example/en", "en"}}, {9}, {{"en", "HTTPS://pds.example/en"}}},
        {"only German", {{"https://pds.example/de", "de"}}, {10}, {{"de", "https://pds.example/de"}}},
        {"three-letter language", {{"https://pds.example/en", "eng"}}, {5, 10}, {{"eng", "https://pds.example/en"}}},
        {"one-letter language", {{"https://pds.example/e", "e"}}, {5, 10}, {{"e", "https://pds.example/e"}}},
        {"first location of a language wins",
         {{"https://a.example/en", "en"}, {"https://b.example/en", "EN"}}, {}, {{"en", "https://a.example/en"}}},
        {"German https, English http",
         {{"https://pds.example/de", "DE"}, {"http://pds.example/en", "en"}}, {9},
         {{"de", "https://pds.example/de"}, {"en", "http://pds.example/en"}}},
        {"non-ASCII language byte kept", {{"https://pds.example/x", "E\xC4"}}, {10}, {{"e\xC4", "https://pds.example/x"}}},
        {"no locations", {}, {10}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> content;
        for (const auto& [url, language] : c.locations) {
            auto one = Location(url, language);
            content.insert(content.end(), one.begin(), one.end());
        }
        QcEuPDS pds(Der(DerTlv(0x30, content)));
        EXPECT_EQ(pds.GetType(), 8);
        EXPECT_EQ(pds.GetMessageCodes(), c.codes);
        EXPECT_EQ(pds.GetLocations(), c.map);
    }

    // CopyLocations keeps what the target already has.
    QcEuPDS pds(Der(DerTlv(0x30, Concat({Location("https://new.example/en", "en"),
                                          Location("https://new.example/de", "de")}))));
    std::map<std::string, std::string> target{{"en", "https://old.example/en"}};
    pds.CopyLocations(target);
    EXPECT_EQ(target, (std::map<std::string, std::string>{{"de", "https://new.example/de"},
                                                          {"en", "https://old.example/en"}}));
}

TEST(QCStatementsTest, QcTypeRules)
{
    const auto esign = DerOid("0.4.0.1862.1.6.1");
    const auto eseal = DerOid("0.4.0.1862.1.6.2");
    const auto web = DerOid("0.4.0.1862.1.6.3");
    const auto unknown = DerOid("0.4.0.1862.1.6.9");
    struct Case {
        const char* name;
        std::vector<unsigned char> oids;
        int types;
        std::set<int> codes;
    } cases[] = {
        {"esign and eseal", Concat({esign, eseal}), 0x3, {}},
        {"web", web, 0x4, {}},
        {"esign twice", Concat({esign, esign}), 0x1, {11}},
        {"empty", {}, 0, {12}},
        {"only an unknown OID", unknown, 0, {4, 12}},
        {"esign and an unknown OID", Concat({unknown, esign}), 0x1, {4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QcEuType type(Der(DerTlv(0x30, c.oids)));
        EXPECT_EQ(type.GetType(), 10);
        EXPECT_EQ(type.GetTypes(), c.types);
        EXPECT_EQ(type.GetMessageCodes(), c.codes);
        QcEuType copy;
        copy = type;
        EXPECT_EQ(copy.GetTypes(), c.types);
        EXPECT_EQ(copy.GetMessageCodes(), c.codes);
    }
}
