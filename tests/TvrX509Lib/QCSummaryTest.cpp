#include "PropertyWriter.h"
#include "QCStatements.h"
#include "QCSummary.h"
#include "QCTestUtil.h"
#include "TestPki.h"
#include "X509Certificate.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <ctime>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace TvrX509;
using QCTest::Der;
using QCTest::Hex;
using QCTest::OrderedLog;
using QCTest::RecordingWriter;
using Lines = std::vector<std::string>;

namespace {

constexpr std::time_t kEidasStart = 1467280800;     // 2016-06-30T10:00:00Z
constexpr std::time_t kTransitionEnd = 1498910400;  // 2017-07-01T12:00:00Z
constexpr std::time_t k2015 = 1420070400;           // 2015-01-01T00:00:00Z
constexpr std::time_t k2018 = 1514764800;           // 2018-01-01T00:00:00Z
constexpr std::time_t k2030 = 1893456000;           // 2030-01-01T00:00:00Z

const std::string kCompliance = "30 08 06 06 04 00 8E 46 01 01";
const std::string kSscd = "30 08 06 06 04 00 8E 46 01 04";
const std::string kTimeStamp = "30 09 06 07 04 00 81 97 5E 01 01";
const std::string kUnknown = "30 04 06 02 2A 03";
const std::string kSealType = "30 13 06 06 04 00 8E 46 01 06 30 09 06 07 04 00 8E 46 01 06 02";
const std::string kEmptyType = "30 0A 06 06 04 00 8E 46 01 06 30 00";
// QcPDS with one German location over http.
const std::string kGermanHttpPds =
    "30 24 06 06 04 00 8E 46 01 05 30 1A 30 18 16 12 68 74 74 70 3A 2F 2F 70 64 73 2E 74 65 73 74 2F 64 65 13 02 64 "
    "65";

std::vector<unsigned char> Join(std::initializer_list<std::vector<unsigned char>> parts)
{
    std::vector<unsigned char> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A QcLimitValue statement of amount x 10^2 in the currency.
std::string Limit(const std::string& currency, unsigned char amount)
{
    using TvrTest::DerTlv;
    auto money = DerTlv(0x30, Join({DerTlv(0x13, std::vector<unsigned char>(currency.begin(), currency.end())),
                                    DerTlv(0x02, {amount}), DerTlv(0x02, {2})}));
    return TvrTest::Hex(DerTlv(0x30, Join({TvrTest::DerOid("0.4.0.1862.1.2"), money})));
}

// A QcRetentionPeriod statement.
std::string Retention(unsigned char years)
{
    using TvrTest::DerTlv;
    return TvrTest::Hex(DerTlv(0x30, Join({TvrTest::DerOid("0.4.0.1862.1.3"), DerTlv(0x02, {years})})));
}

// SEQUENCE OF the given statements.
std::vector<unsigned char> Statements(const std::vector<std::string>& statements)
{
    std::vector<unsigned char> content;
    for (const std::string& statement : statements) {
        auto bytes = Hex(statement);
        content.insert(content.end(), bytes.begin(), bytes.end());
    }
    return TvrTest::DerTlv(0x30, content);
}

// A self-signed certificate with the given validity and, unless `statements` is empty, a
// qcStatements extension with that value.
X509Certificate Certificate(std::time_t notBefore, std::time_t notAfter,
                            const std::vector<unsigned char>& statements, bool critical = false)
{
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic Test/CN=QC Summary";
    spec.notBefore = notBefore;
    spec.notAfter = notAfter;
    if (!statements.empty())
        spec.extensions = {{"1.3.6.1.5.5.7.1.3",
                            std::string(critical ? "critical," : "") + "DER:" + TvrTest::Hex(statements)}};
    TvrTest::PkiItem item = TvrTest::CertBuilder::Issue(spec, nullptr);
    return X509Certificate(item.Cert());
}

QCSummary Process(const std::vector<std::string>& statements, bool critical = false)
{
    QCStatements extension(Der(Statements(statements)), critical);
    return ProcessQCStatements(extension);
}

Lines Describe(const QCSummary& summary)
{
    RecordingWriter writer;
    DescribeQCSummary(summary, writer);
    return writer.Lines();
}

Lines Describe(const QCConformance& conformance)
{
    RecordingWriter writer;
    DescribeQCConformance(conformance, writer);
    return writer.Lines();
}

const Lines kComplianceSscdDescription = {"[QualifiedStatements 0,0,0,'  ']", "KeyOnSSCD=true",
                                          "Complience=true", "[/QualifiedStatements]"};
const Lines kEidasQualified = {"[Conformance 0,0,0,'  ']", "Regulation='(EU) No 910/2014 (eIDAS)'",
                               "Qualified='yes'", "[/Conformance]"};
const Lines kDirectiveQualified = {"[Conformance 0,0,0,'  ']", "Regulation='(EU) 1999/93/EC'", "Qualified='yes'",
                                   "[/Conformance]"};

} // namespace

// QcCompliance and QcSSCD, not critical, around the two instants of the checks.
TEST(QCSummaryTest, ValidityPeriodAndTextsAroundTheTwoInstants)
{
    const std::string eidasPassed = "D:eIDAS conformance check ";
    const std::string directivePassed = "D:1999/93/EC conformance check passed";
    const Lines elevated = {directivePassed, "L2:ETSI PDS checking: failed: PDS is missing",
                            "D:eIDAS conformance check passed: an 1999/93/EC certificate which is valid at "
                            "2016-07-01 is elevated to eIDASpassed"};
    struct Case {
        const char* name;
        std::time_t notBefore, notAfter;
        int period;
        Lines classifyLog;
        Lines conformance;
        bool directive;
    } cases[] = {
        {"ends one second before the first instant", k2015, kEidasStart - 1, 1,
         {"D:eIDAS conformance check failed: validity ended before 2016-07-01", directivePassed},
         kDirectiveQualified, true},
        {"ends at the first instant", k2015, kEidasStart, 2, elevated, kEidasQualified, true},
        {"starts one second before the first instant", kEidasStart - 1, k2030, 2, elevated, kEidasQualified, true},
        {"starts at the first instant", kEidasStart, k2030, 3, {eidasPassed}, kEidasQualified, true},
        {"starts one second before the second instant", kTransitionEnd - 1, k2030, 3, {eidasPassed},
         kEidasQualified, true},
        {"starts at the second instant", kTransitionEnd, k2030, 4, {eidasPassed}, kEidasQualified, false},
        {"issued on 2018-01-01", k2018, k2030, 4, {eidasPassed}, kEidasQualified, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        X509Certificate certificate = Certificate(c.notBefore, c.notAfter, Statements({kCompliance, kSscd}));
        OrderedLog log;
        QCSummary summary = GetQCSummary(certificate);
        EXPECT_EQ(summary.state, 1);
        EXPECT_EQ(summary.validityPeriod, c.period);
        EXPECT_TRUE(summary.messageCodes.empty());
        EXPECT_TRUE(log.Lines().empty());

        EXPECT_EQ(Describe(summary), kComplianceSscdDescription);
        QCConformance conformance = ClassifyQC(summary);
        EXPECT_EQ(log.Lines(), c.classifyLog);
        EXPECT_EQ(Describe(conformance), c.conformance);

        log.Clear();
        EXPECT_EQ(CheckDirective1999(summary), c.directive);
        EXPECT_EQ(log.Lines(), Lines{c.directive ? directivePassed
                                                 : "D:1999/93/EC conformance check failed: validity period "
                                                   "starts after 2017-07-01"});
        EXPECT_TRUE(IsQualified(summary));
    }
}

TEST(QCSummaryTest, AllSixStatementsOfTheQualifiedLeaf)
{
    const auto& leaf = TvrTest::TestPki::Get().QualifiedLeaf();
    int index = X509_get_ext_by_NID(leaf.Cert(), NID_qcStatements, -1);
    ASSERT_GE(index, 0);
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(leaf.Cert(), index));
    std::vector<unsigned char> value(ASN1_STRING_get0_data(data), ASN1_STRING_get0_data(data) + ASN1_STRING_length(data));

    const Lines description = {"[QualifiedStatements 0,0,0,'  ']",
                               "KeyOnSSCD=true",
                               "Complience=true",
                               "LimitValue=5000.00 {currency='EUR'} <0,0,'currency'>",
                               "RetentionPeriod=10 {metric='years'} <0,0,'metric'>",
                               "[Purpose 0,0,2,'']",
                               "type='sign'",
                               "[/Purpose]",
                               "[PDS 0,0,0,'  ']",
                               "location='https://pds.tavrenic.test/en' {lang='en'} <2,1,''>",
                               "[/PDS]",
                               "[/QualifiedStatements]"};

    // Issued after the transitional year.
    OrderedLog log;
    QCSummary summary = GetQCSummary(Certificate(k2018, k2030, value));
    EXPECT_EQ(summary.state, 1);
    EXPECT_TRUE(summary.compliance && summary.sscd);
    EXPECT_FALSE(summary.tsQualified);
    EXPECT_EQ(summary.retentionYears, 10);
    EXPECT_EQ(summary.purposeTypes, 0x1);
    EXPECT_DOUBLE_EQ(summary.limitValue, 5000.0);
    EXPECT_EQ(summary.limitCurrency, "EUR");
    EXPECT_EQ(summary.validityPeriod, 4);
    EXPECT_EQ(summary.pdsLocations, (std::map<std::string, std::string>{{"en", "https://pds.tavrenic.test/en"}}));
    EXPECT_TRUE(summary.messageCodes.empty());
    EXPECT_EQ(Describe(summary), description);
    EXPECT_EQ(Describe(ClassifyQC(summary)), kEidasQualified);

    // Valid across the first instant, with a good English https PDS: elevated, PDS passes.
    summary = GetQCSummary(Certificate(k2015, k2030, value));
    EXPECT_EQ(summary.validityPeriod, 2);
    log.Clear();
    EXPECT_TRUE(CheckEidas(summary));
    EXPECT_EQ(log.Lines(), (Lines{"D:1999/93/EC conformance check passed", "L4:ETSI PDS checking: ",
                                  "D:eIDAS conformance check passed: an 1999/93/EC certificate which is valid at "
                                  "2016-07-01 is elevated to eIDASpassed"}));
}

TEST(QCSummaryTest, CertificateWithoutStatements)
{
    X509Certificate certificate = Certificate(k2018, k2030, {});
    OrderedLog log;
    QCSummary summary = GetQCSummary(certificate);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(summary.state, 0);
    EXPECT_EQ(summary.validityPeriod, 4);
    EXPECT_EQ(summary.messageCodes, std::set<int>{15});
    EXPECT_EQ(summary.retentionYears, -1);
    EXPECT_TRUE(Describe(summary).empty());
    QCConformance conformance = ClassifyQC(summary);
    EXPECT_EQ(conformance.regulation, 0);
    EXPECT_EQ(conformance.level, 0);
    EXPECT_EQ(Describe(conformance), (Lines{"[Conformance 0,0,0,'  ']", "Qualified='no'", "[/Conformance]"}));

    EXPECT_FALSE(CheckEidas(summary));
    EXPECT_FALSE(CheckDirective1999(summary));
    EXPECT_EQ(log.Lines(), (Lines{"D:eIDAS conformance check failed: QCStatement shall be present",
                                  "D:1999/93/EC conformance check failed: QCStatement shall be present"}));
}

TEST(QCSummaryTest, CriticalExtension)
{
    // With an unrecognised statement: an error code, state -1.
    OrderedLog log;
    QCSummary summary = GetQCSummary(Certificate(k2018, k2030, Statements({kCompliance, kUnknown}), true));
    EXPECT_EQ(summary.state, -1);
    EXPECT_EQ(summary.messageCodes, std::set<int>{0});
    EXPECT_EQ(log.Lines(), Lines{"E:Error while processing QCStatement: QCStatement OID unknown."});
    log.Clear();
    EXPECT_FALSE(CheckQC(summary, QCRequirements{}));
    EXPECT_EQ(log.Lines(), Lines{"E:Failure in QC Statement, extension is critical."});

    // Only recognised, well-formed statements: state 2, which no regulation accepts.
    summary = GetQCSummary(Certificate(k2018, k2030, Statements({kCompliance, kSscd}), true));
    EXPECT_EQ(summary.state, 2);
    EXPECT_TRUE(CheckQC(summary, QCRequirements{}));
    log.Clear();
    EXPECT_FALSE(CheckQC(summary, QCRequirements{0, 1, 0}));
    EXPECT_EQ(log.Lines(), (Lines{"D:1999/93/EC conformance check failed: QCStatement shall not be critical",
                                  "E:QCStatement does not conform to 1999/93/EC."}));
    EXPECT_EQ(Describe(ClassifyQC(summary)), (Lines{"[Conformance 0,0,0,'  ']", "Qualified='no'", "[/Conformance]"}));

    // Warnings alone keep a critical extension at state 2.
    EXPECT_EQ(Process({kCompliance, kEmptyType}, true).state, 2);
}

TEST(QCSummaryTest, MessageCodesAreLoggedInOrder)
{
    OrderedLog log;
    QCSummary summary = Process({kEmptyType, kGermanHttpPds, kUnknown,
                                 "30 08 06 06 04 00 8E 46 01 02"});  // LimitValue without information
    EXPECT_EQ(summary.state, 1);
    EXPECT_EQ(summary.messageCodes, (std::set<int>{0, 1, 9, 10, 12}));
    EXPECT_EQ(summary.pdsLocations, (std::map<std::string, std::string>{{"de", "http://pds.test/de"}}));
    EXPECT_EQ(log.Lines(), (Lines{"E:0.4.0.1862.1.2 - StatementInfo missing!",
                                  "E:Error while processing QCStatement: QCStatement OID unknown.",
                                  "E:Error while processing QCStatement: Error while parsing QCStatement.",
                                  "W:Warning while processing QCStatement: PDS location shall be https.",
                                  "W:Warning while processing QCStatement: PDS shall have English location.",
                                  "W:Warning while processing QCStatement: QC Type is empty."}));
}

TEST(QCSummaryTest, PdsCheckOfAnElevatedCertificate)
{
    QCSummary summary = Process({kCompliance, kSscd, kGermanHttpPds});
    summary.validityPeriod = 2;
    OrderedLog log;
    EXPECT_TRUE(CheckEidas(summary));
    EXPECT_EQ(log.Lines().at(1), "L2:ETSI PDS checking: failed: PDS without EN PDS a location is not https ");
}

TEST(QCSummaryTest, AmbiguousStatements)
{
    struct Case {
        const char* name;
        std::vector<std::string> statements;
        std::set<int> codes;
        double value;
        std::string currency;
        int years;
    } cases[] = {
        {"100 EUR then 200 USD", {Limit("EUR", 1), Limit("USD", 2)}, {2}, 200.0, "USD", -1},
        {"100 EUR then 200 EUR", {Limit("EUR", 1), Limit("EUR", 2)}, {}, 200.0, "EUR", -1},
        {"100 EUR then 100 USD", {Limit("EUR", 1), Limit("USD", 1)}, {}, 100.0, "USD", -1},
        {"retention 10 then 5", {Retention(10), Retention(5)}, {2}, 0.0, "", 5},
        {"retention 10 twice", {Retention(10), Retention(10)}, {}, 0.0, "", 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QCSummary summary = Process(c.statements);
        EXPECT_EQ(summary.messageCodes, c.codes);
        EXPECT_DOUBLE_EQ(summary.limitValue, c.value);
        EXPECT_EQ(summary.limitCurrency, c.currency);
        EXPECT_EQ(summary.retentionYears, c.years);
    }
}

TEST(QCSummaryTest, RequirementsOfCheckQC)
{
    QCSummary seal = Process({kCompliance, kSscd, kSealType});
    seal.validityPeriod = 4;
    QCSummary plain = Process({kCompliance, kSscd});
    plain.validityPeriod = 4;
    QCSummary timeStamp = Process({kTimeStamp});
    QCSummary complianceOnly = Process({kCompliance});
    complianceOnly.validityPeriod = 4;
    QCSummary absent;
    absent.validityPeriod = 4;
    QCSummary web = plain;
    web.purposeTypes = 0x4;

    struct Case {
        const char* name;
        const QCSummary& summary;
        QCRequirements requirements;  // level, regulation, purpose
        std::string error;            // empty: passes
    } cases[] = {
        {"seal, purpose seal", seal, {0, 0, 3}, ""},
        {"seal, purpose sign", seal, {0, 0, 2}, "QCStatement purpose is not none or sign."},
        {"seal, purpose sign or seal", seal, {0, 0, 1}, ""},
        {"seal, purpose web", seal, {0, 0, 4}, "QCStatement purpose is not web."},
        {"no type, purpose sign or seal", plain, {0, 0, 1}, ""},
        {"no type, purpose sign", plain, {0, 0, 2}, ""},
        {"no type, purpose seal", plain, {0, 0, 3}, "QCStatement purpose is not seal."},
        {"no type, purpose web", plain, {0, 0, 4}, "QCStatement purpose is not web."},
        {"web, purpose sign or seal", web, {0, 0, 1}, "QCStatement purpose is not none or sign or seal."},
        {"time stamp, level compliance", timeStamp, {2, 0, 0}, "QCStatement does not have compliance."},
        {"time stamp, level qualified", timeStamp, {1, 0, 0}, ""},
        {"compliance only, level qualified", complianceOnly, {1, 0, 0}, "QCStatement does not have compliance + sscd."},
        {"compliance only, level compliance", complianceOnly, {2, 0, 0}, ""},
        {"absent, eIDAS", absent, {0, 2, 0}, "QCStatement does not conform to eIDAS."},
        {"absent, either", absent, {0, 3, 0}, "QCStatement does not conform to 1999/93/EC or eIDAS."},
        {"absent, either when a level is asked, none asked", absent, {0, 4, 0}, ""},
        {"absent, either when a level is asked", absent, {2, 4, 0},
         "QCStatement does not conform to 1999/93/EC or eIDAS."},
        {"issued after 2017, either", plain, {1, 3, 0}, ""},
        {"issued after 2017, 1999/93/EC", plain, {0, 1, 0}, "QCStatement does not conform to 1999/93/EC."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OrderedLog log;
        EXPECT_EQ(CheckQC(c.summary, c.requirements), c.error.empty());
        Lines errors;
        for (const std::string& line : log.Lines()) {
            if (line.rfind("E:", 0) == 0)
                errors.push_back(line.substr(2));
        }
        EXPECT_EQ(errors, c.error.empty() ? Lines{} : Lines{c.error});
    }
}

TEST(QCSummaryTest, QualifiedTimeStampOnly)
{
    QCSummary summary = Process({kTimeStamp});
    EXPECT_TRUE(summary.tsQualified);
    EXPECT_TRUE(IsQualified(summary));
    OrderedLog log;
    EXPECT_TRUE(CheckEidas(summary));  // even with an unknown validity period
    EXPECT_TRUE(log.Lines().empty());
    QCConformance conformance = ClassifyQC(summary);
    EXPECT_EQ(conformance.regulation, 2);
    EXPECT_EQ(conformance.level, 2);

    summary.tsQualified = false;
    summary.compliance = true;
    log.Clear();
    EXPECT_FALSE(CheckEidas(summary));
    EXPECT_EQ(log.Lines(), Lines{"W:Can't make EU conformace check without known validity period!"});
    EXPECT_EQ(ClassifyQC(summary).level, 0);
}

TEST(QCSummaryTest, ConformanceTexts)
{
    struct Case {
        QCConformance conformance;
        Lines lines;
    } cases[] = {
        {{0, 0}, {"[Conformance 0,0,0,'  ']", "Qualified='no'", "[/Conformance]"}},
        {{1, 1}, {"[Conformance 0,0,0,'  ']", "Regulation='(EU) 1999/93/EC'", "Qualified='based on qualified'", "[/Conformance]"}},
        {{2, 2}, kEidasQualified},
        {{7, 9}, kEidasQualified},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Describe(c.conformance), c.lines);
}

TEST(QCSummaryTest, MessageTexts)
{
    const char* texts[] = {"QCStatement OID unknown.",
                           "Error while parsing QCStatement.",
                           "Ambigouos statements found.",
                           "Internal error.",
                           "Unknown OID in QC Type.",
                           "PDS language field is not a language code.",
                           "Retention period is invalid.",
                           "Invalid LimitValue currency.",
                           "Messages after this are ignorable.",
                           "PDS location shall be https.",
                           "PDS shall have English location.",
                           "OID in QC Type is duplicated.",
                           "QC Type is empty.",
                           "Invalid LimitValue value. (negative or overflow)",
                           "Messages after this are informations only.",
                           "No QCStatements present."};
    for (int code = 0; code < 16; ++code)
        EXPECT_STREQ(GetQCMessageText(code), texts[code]) << code;
    EXPECT_STREQ(GetQCMessageText(16), "No message with ID");
    EXPECT_STREQ(GetQCMessageText(-1), "No message with ID");
}
