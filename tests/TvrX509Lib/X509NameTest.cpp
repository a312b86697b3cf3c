#include "CertTestUtil.h"
#include "LogCapture.h"
#include "X509LibLogger.h"
#include "X509Name.h"
#include "X509NameImpl.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <thread>
#include <vector>

using CertTest::CodeOf;
using CertTest::NameDer;
using TvrX509::X509Name;
using TvrX509::X509NameImpl;

namespace {

// A name built directly with OpenSSL, one attribute per element (type, value, string type).
X509Name RawName(std::initializer_list<std::tuple<const char*, std::string, int>> entries)
{
    X509_NAME* name = X509_NAME_new();
    for (const auto& [type, value, stringType] : entries)
        X509_NAME_add_entry_by_txt(name, type, stringType,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0);
    X509Name result(NameDer(name));
    X509_NAME_free(name);
    return result;
}

size_t RdnCount(const X509Name& name)
{
    return name.GetRDNs().size();
}

} // namespace

// Comma text -> one-line text; the expected texts are OpenSSL 3.0's
// `x509 -nameopt RFC2253,-esc_msb` output for the same names.
TEST(X509NameTest, CommaTextToOneLine)
{
    struct Case {
        std::string text;
        std::string oneLine;
        size_t rdns;
        std::string errorLine;
    } cases[] = {
        {"CN=Alice, O=Example, C=HU", "C=HU,O=Example,CN=Alice", 3, ""},
        {"CN=Alice,O=Example", "O=Example,CN=Alice", 2, ""},
        {"XX=1, CN=Alice", "CN=Alice", 1, "X509_NAME_add_entry XX=1 - failed"},
        {"2.5.4.3=Alice", "CN=Alice", 1, ""},
        {"commonName=Alice, organizationName=Example", "O=Example,CN=Alice", 2, ""},
        {"CN=a+b;c<d>e\"f\\g, O=#hash, OU= lead, L=trail ",
         "L=trail\\ ,OU=\\ lead,O=\\#hash,CN=a\\+b\\;c\\<d\\>e\\\"f\\\\g", 4, ""},
        {"CN=Árvíztűrő Tükörfúrógép, O=Tavrenic Teszt Kft., C=HU",
         "C=HU,O=Tavrenic Teszt Kft.,CN=Árvíztűrő Tükörfúrógép", 3, ""},
        {"CN=X, organizationIdentifier=VATHU-12345678, C=HU",
         "C=HU,organizationIdentifier=VATHU-12345678,CN=X", 3, ""},
        {"C=HUN, CN=Alice", "CN=Alice", 1, "X509_NAME_add_entry C=HUN - failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture capture(TvrX509::SetLogger);
        X509Name name(c.text);
        EXPECT_EQ(name.GetOneLine(), c.oneLine);
        EXPECT_EQ(RdnCount(name), c.rdns);
        EXPECT_EQ(capture.error.str(), c.errorLine.empty() ? "" : c.errorLine + "\n");
    }
    // Nothing matches: an empty name, which prints as the empty text.
    X509Name empty("no pairs here");
    EXPECT_EQ(RdnCount(empty), 0u);
    EXPECT_EQ(empty.GetOneLine(), "");
    EXPECT_EQ(X509Name().GetOneLine(), "");
}

TEST(X509NameTest, ParsedValuesAreUtf8StringsExceptFixedTypes)
{
    X509Name name("C=HU, CN=Árvíztűrő, emailAddress=a@b.test");
    const X509_NAME* raw = X509NameImpl::Get(name);
    auto typeOf = [&](int nid) {
        return ASN1_STRING_type(X509_NAME_ENTRY_get_data(
            X509_NAME_get_entry(raw, X509_NAME_get_index_by_NID(raw, nid, -1))));
    };
    EXPECT_EQ(typeOf(NID_countryName), V_ASN1_PRINTABLESTRING);
    EXPECT_EQ(typeOf(NID_commonName), V_ASN1_UTF8STRING);
    EXPECT_EQ(typeOf(NID_pkcs9_emailAddress), V_ASN1_IA5STRING);
    EXPECT_EQ(X509NameImpl::GetEntryByNID(raw, NID_commonName), "Árvíztűrő");
}

// Parsing never changes OpenSSL's process-wide string mask, so it neither depends on it
// nor disturbs other threads.
TEST(X509NameTest, ParsingLeavesTheGlobalStringMaskAlone)
{
    unsigned long saved = ASN1_STRING_get_default_mask();
    ASN1_STRING_set_default_mask(B_ASN1_PRINTABLESTRING | B_ASN1_T61STRING | B_ASN1_BMPSTRING);
    std::vector<std::thread> threads;
    std::vector<int> types(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&types, t] {
            for (int i = 0; i < 200; ++i) {
                X509Name name("CN=Alice");
                const X509_NAME* raw = X509NameImpl::Get(name);
                types[t] = ASN1_STRING_type(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(raw, 0)));
                if (types[t] != V_ASN1_UTF8STRING)
                    return;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(ASN1_STRING_get_default_mask(),
              static_cast<unsigned long>(B_ASN1_PRINTABLESTRING | B_ASN1_T61STRING | B_ASN1_BMPSTRING));
    ASN1_STRING_set_default_mask(saved);
    for (int type : types)
        EXPECT_EQ(type, V_ASN1_UTF8STRING);
}

TEST(X509NameTest, SlashText)
{
    struct Case {
        std::string text;
        std::string oneLine;  // "" for a text that does not parse
        std::vector<size_t> rdnSizes;
    } cases[] = {
        {"/CN=Alice+OU=Unit/O=Example", "O=Example,CN=Alice+OU=Unit", {2, 1}},
        {"/C=HU/O=Example/CN=Alice", "CN=Alice,O=Example,C=HU", {1, 1, 1}},
        {"/CN=a\\/b\\+c/O=x\\\\y", "O=x\\\\y,CN=a/b\\+c", {1, 1}},
        {"/XX=skipped/CN=Alice", "CN=Alice", {1}},
        {"/CN=/O=Example", "O=Example", {1}},
        {"/CN=Árvíztűrő Tükörfúrógép/C=HU", "C=HU,CN=Árvíztűrő Tükörfúrógép", {1, 1}},
        {"CN=Alice", "", {}},
        {"", "", {}},
        {"/CN", "", {}},
        {"/CN=", "", {}},
        {"/CN=Alice\\", "", {}},
        {"/C=HUN", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture capture(TvrX509::SetLogger);
        X509Name name("CN=Before");
        if (c.oneLine.empty()) {
            EXPECT_EQ(CodeOf([&] { name.SetFromSlashText(c.text); }), 4);
            EXPECT_EQ(capture.error.str(), "unable to parse DN: " + c.text + "\n");
            X509Name other("CN=Other");
            name = other;  // an emptied name can still be assigned
            EXPECT_EQ(name.GetOneLine(), "CN=Other");
            continue;
        }
        name.SetFromSlashText(c.text);
        EXPECT_EQ(name.GetOneLine(), c.oneLine);
        std::vector<size_t> sizes;
        for (const auto& rdn : name.GetRDNs())
            sizes.push_back(rdn.GetAttributes().size());
        EXPECT_EQ(sizes, c.rdnSizes);
    }
}

TEST(X509NameTest, RdnsAndAttributes)
{
    X509Name name;
    name.SetFromSlashText("/C=HU/O=Tavrenic Teszt Kft./CN=Alice+OU=Unit");
    auto rdns = name.GetRDNs();
    ASSERT_EQ(rdns.size(), 3u);
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& rdn : rdns)
        for (const auto& attribute : rdn.GetAttributes())
            seen.emplace_back(attribute.GetType(), attribute.GetValue());
    std::vector<std::pair<std::string, std::string>> expected = {
        {"countryName", "HU"},
        {"organizationName", "Tavrenic Teszt Kft."},
        {"organizationalUnitName", "Unit"},  // a SET's members in DER order
        {"commonName", "Alice"}};
    EXPECT_EQ(seen, expected);

    // An unknown type prints as its dotted OID, and a BMPString value stops at its first
    // zero byte (GetValue gives the stored bytes, not UTF-8).
    X509_NAME* raw = X509_NAME_new();
    ASN1_OBJECT* unknown = OBJ_txt2obj("1.2.3.4", 1);
    X509_NAME_add_entry_by_OBJ(raw, unknown, V_ASN1_UTF8STRING,
                               reinterpret_cast<const unsigned char*>("xyz"), 3, -1, 0);
    ASN1_OBJECT_free(unknown);
    const unsigned char bmp[] = {0x00, 'A', 0x00, 'B'};
    X509_NAME_add_entry_by_NID(raw, NID_commonName, V_ASN1_BMPSTRING, bmp, 4, -1, 0);
    X509Name fromDer(NameDer(raw));
    EXPECT_EQ(fromDer.GetOneLine(), "CN=AB,1.2.3.4=#0C0378797A");
    auto attributes = fromDer.GetRDNs();
    ASSERT_EQ(attributes.size(), 2u);
    EXPECT_EQ(attributes[0].GetAttributes()[0].GetType(), "1.2.3.4");
    EXPECT_EQ(attributes[0].GetAttributes()[0].GetValue(), "xyz");
    EXPECT_EQ(attributes[1].GetAttributes()[0].GetValue(), "");
    EXPECT_EQ(X509NameImpl::GetEntryByNID(raw, NID_commonName), "AB");
    X509_NAME_free(raw);
}

TEST(X509NameTest, EntryByNid)
{
    LogCapture capture(TvrX509::SetLogger);
    X509Name name("CN=First, CN=Second, O=Example");
    const X509_NAME* raw = X509NameImpl::Get(name);
    EXPECT_EQ(X509NameImpl::GetEntryByNID(raw, NID_commonName), "First");
    EXPECT_EQ(X509NameImpl::GetEntryByNID(raw, NID_pkcs9_emailAddress), "");
    EXPECT_EQ(capture.error.str(), "Could not get name entry index by NID.\n");
    X509Name empty = RawName({{"CN", "", V_ASN1_UTF8STRING}});
    EXPECT_EQ(X509NameImpl::GetEntryByNID(X509NameImpl::Get(empty), NID_commonName), "");
    EXPECT_EQ(capture.warn.str(), "Empty string or UTF-8 encoding failed!\n");
}

TEST(X509NameTest, ComparisonIgnoresOrderAndStringTypeButNotCase)
{
    struct Case {
        X509Name a;
        X509Name b;
        bool equal;
    } cases[] = {
        {X509Name("CN=Alice, O=Example, C=HU"), X509Name("C=HU, CN=Alice, O=Example"), true},
        {X509Name("CN=alice"), X509Name("CN=Alice"), false},
        {X509Name("CN=Alice"), X509Name("CN=Alice, O=Example"), false},
        {X509Name("CN=Alice"), X509Name("O=Alice"), false},
        {RawName({{"CN", "Alice", V_ASN1_PRINTABLESTRING}}), X509Name("CN=Alice"), true},
        {[] {
             X509Name n;
             n.SetFromSlashText("/CN=Alice+O=Example");
             return n;
         }(),
         X509Name("O=Example, CN=Alice"), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a.GetOneLine() + " vs " + c.b.GetOneLine());
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
        if (!c.equal) {
            EXPECT_NE(c.a < c.b, c.b < c.a);  // a strict order
        } else {
            EXPECT_FALSE(c.a < c.b || c.b < c.a);
        }
    }
    EXPECT_EQ(X509NameImpl::Compare(nullptr, nullptr), 0);
    EXPECT_LT(X509NameImpl::Compare(nullptr, X509NameImpl::Get(X509Name("CN=A"))), 0);
}

TEST(X509NameTest, CopiesAreDeep)
{
    X509Name original("CN=Alice");
    X509Name copy(original);
    original.SetFromSlashText("/CN=Bob+O=Example");
    EXPECT_EQ(X509Name(original).GetOneLine(), original.GetOneLine());
    EXPECT_EQ(copy.GetOneLine(), "CN=Alice");
    const auto& same = copy;  // self-assignment, through a reference
    copy = same;
    EXPECT_EQ(copy.GetOneLine(), "CN=Alice");
}
