#pragma once

#include <map>
#include <set>
#include <string>

namespace TvrX509 {

class IPropertyWriter;
class QCStatements;
class X509Certificate;

// What the qcStatements of one certificate say, all statements taken together.
struct QCSummary {
    // 0 no qcStatements; 1 present, not critical; 2 critical without error codes;
    // -1 critical with an error code (a code below 9).
    int state = 0;
    bool sscd = false;
    bool compliance = false;
    bool tsQualified = false;
    int retentionYears = -1;  // -1: none seen
    int purposeTypes = 0;     // 0x1 signature, 0x2 seal, 0x4 website
    double limitValue = 0.0;  // the last LimitValue; an empty currency means none
    std::string limitCurrency;
    // 0 unknown; 1 expired before 2016-07-01; 2 valid across it; 3 issued in the
    // transitional year; 4 issued after it.
    int validityPeriod = 0;
    std::map<std::string, std::string> pdsLocations;  // language -> URL
    std::set<int> messageCodes;
};

// What a caller demands of a summary (CheckQC).
struct QCRequirements {
    // 0 none; 1 qualified (compliance and SSCD, or a qualified time stamp); 2 compliance.
    int level = 0;
    // 0 none; 1 1999/93/EC; 2 eIDAS; 3 either; 4 either, only when `level` is not 0.
    int regulation = 0;
    // 0 none; 1 signature, seal or none declared; 2 signature or none declared; 3 seal;
    // 4 website.
    int purpose = 0;
};

// The verdict of ClassifyQC.
struct QCConformance {
    int regulation = 0;  // 0 none, 1 1999/93/EC, 2 eIDAS
    int level = 0;       // 0 not qualified, 1 compliance only, 2 qualified
};

// The text of a message code; "No message with ID" for an unknown one.
const char* GetQCMessageText(const int& code);

// Summarises the statements and logs every message code found.
QCSummary ProcessQCStatements(const QCStatements& statements);

// The summary of a certificate, with its validity period classified against the two
// instants 2016-06-30T10:00:00Z and 2017-07-01T12:00:00Z. Without a qcStatements
// extension: a reset summary with code 15, nothing logged.
QCSummary GetQCSummary(const X509Certificate& certificate);

// Writes the section "QualifiedStatements"; nothing when the state is 0.
void DescribeQCSummary(const QCSummary& summary, IPropertyWriter& writer);
QCConformance ClassifyQC(const QCSummary& summary);
// Writes the section "Conformance".
void DescribeQCConformance(const QCConformance& conformance, IPropertyWriter& writer);

// Each failure is written to the error log.
bool CheckQC(const QCSummary& summary, const QCRequirements& requirements);
bool CheckDirective1999(const QCSummary& summary);
bool CheckEidas(const QCSummary& summary);
// (compliance and SSCD) or a qualified time stamp.
bool IsQualified(const QCSummary& summary);

} // namespace TvrX509
