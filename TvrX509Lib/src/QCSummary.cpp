#include "QCSummary.h"

#include "Date.h"
#include "QCStatements.h"
#include "X509Certificate.h"
#include "X509LibLogger.h"

#include <memory>
#include <ostream>
#include <string>

namespace TvrX509 {

namespace {

const char* const kSource = "src/QCSummary";

// Start of eIDAS and end of its transitional year, as the checks place them.
const TvrCommon::Date kEidasStart(1467280800, TvrCommon::Date::Seconds);       // 2016-06-30T10:00:00Z
const TvrCommon::Date kTransitionEnd(1498910400, TvrCommon::Date::Seconds);    // 2017-07-01T12:00:00Z

int ClassifyValidityPeriod(const TvrCommon::Date& notBefore, const TvrCommon::Date& notAfter)
{
    if (notAfter < kEidasStart)
        return 1;
    if (notBefore < kEidasStart)
        return 2;
    if (notBefore < kTransitionEnd)
        return 3;
    return 4;
}

void LogMessageCodes(const std::set<int>& codes)
{
    TvrLogger::ILogger* logger = GetLogger();
    for (int code : codes) {
        if (code >= 0 && code <= 7)
            logger->Error(kSource, __LINE__)
                << "Error while processing QCStatement: " << GetQCMessageText(code) << std::endl;
        else if (code >= 9 && code <= 13)
            logger->Warn(kSource, __LINE__)
                << "Warning while processing QCStatement: " << GetQCMessageText(code) << std::endl;
        else if (code > 14)
            logger->Info(kSource, __LINE__) << "QCStatement: " << GetQCMessageText(code) << std::endl;
    }
}

bool HasErrorCode(const std::set<int>& codes)
{
    return !codes.empty() && *codes.begin() < 9;
}

std::string PresenceFailure(const QCSummary& summary)
{
    return std::string("failed: QCStatement shall ") +
           (summary.state != 0 ? "not be critical" : "be present");
}

bool HasQualifiedLevel(const QCSummary& summary)
{
    return (summary.compliance && summary.sscd) || summary.tsQualified;
}

bool Fail(const char* text)
{
    GetLogger()->Error(kSource, __LINE__) << text << std::endl;
    return false;
}

} // namespace

const char* GetQCMessageText(const int& code)
{
    switch (code) {
    case 0: return "QCStatement OID unknown.";
    case 1: return "Error while parsing QCStatement.";
    case 2: return "Ambigouos statements found.";
    case 3: return "Internal error.";
    case 4: return "Unknown OID in QC Type.";
    case 5: return "PDS language field is not a language code.";
    case 6: return "Retention period is invalid.";
    case 7: return "Invalid LimitValue currency.";
    case 8: return "Messages after this are ignorable.";
    case 9: return "PDS location shall be https.";
    case 10: return "PDS shall have English location.";
    case 11: return "OID in QC Type is duplicated.";
    case 12: return "QC Type is empty.";
    case 13: return "Invalid LimitValue value. (negative or overflow)";
    case 14: return "Messages after this are informations only.";
    case 15: return "No QCStatements present.";
    default: return "No message with ID";
    }
}

QCSummary ProcessQCStatements(const QCStatements& statements)
{
    QCSummary summary;
    for (const QCStatement& statement : statements.GetStatements()) {
        const QCStatementInfo* info = statement.GetInfo();
        if (!info) {
            summary.messageCodes.insert(3);
            continue;
        }
        summary.messageCodes.insert(info->GetMessageCodes().begin(), info->GetMessageCodes().end());
        switch (info->GetType()) {
        case 0:
            summary.messageCodes.insert(1);
            break;
        case 2:
        case 3:
            break;
        case 4:
            summary.compliance = true;
            break;
        case 7:
            summary.sscd = true;
            break;
        case 9:
            summary.tsQualified = true;
            break;
        case 5:
            if (const auto* limit = dynamic_cast<const QcEuLimitValue*>(info)) {
                const double value = limit->GetValue();
                const std::string currency = limit->GetCurrency();
                if (!summary.limitCurrency.empty() && value != summary.limitValue &&
                    currency != summary.limitCurrency)
                    summary.messageCodes.insert(2);
                summary.limitValue = value;
                summary.limitCurrency = currency;
            } else {
                summary.messageCodes.insert(3);
            }
            break;
        case 6:
            if (const auto* retention = dynamic_cast<const QcEuRetentionPeriod*>(info)) {
                if (summary.retentionYears != -1 && summary.retentionYears != retention->years)
                    summary.messageCodes.insert(2);
                summary.retentionYears = retention->years;
            } else {
                summary.messageCodes.insert(3);
            }
            break;
        case 8:
            if (const auto* pds = dynamic_cast<const QcEuPDS*>(info))
                pds->CopyLocations(summary.pdsLocations);
            else
                summary.messageCodes.insert(3);
            break;
        case 10:
            if (const auto* type = dynamic_cast<const QcEuType*>(info))
                summary.purposeTypes |= type->GetTypes();
            else
                summary.messageCodes.insert(3);
            break;
        default:  // 1 and anything unknown
            summary.messageCodes.insert(0);
            break;
        }
    }
    LogMessageCodes(summary.messageCodes);
    if (!statements.IsCritical())
        summary.state = 1;
    else
        summary.state = HasErrorCode(summary.messageCodes) ? -1 : 2;
    return summary;
}

QCSummary GetQCSummary(const X509Certificate& certificate)
{
    QCSummary summary;
    std::unique_ptr<X509Extension> extension = certificate.GetExtension(QCStatements::OID);
    if (const auto* statements = dynamic_cast<const QCStatements*>(extension.get()))
        summary = ProcessQCStatements(*statements);
    else
        summary.messageCodes.insert(15);
    summary.validityPeriod =
        ClassifyValidityPeriod(certificate.GetNotBefore(), certificate.GetNotAfter());
    return summary;
}

bool CheckDirective1999(const QCSummary& summary)
{
    if (summary.validityPeriod == 0) {
        GetLogger()->Warn(kSource, __LINE__)
            << "Can't make EU conformace check without known validity period!" << std::endl;
        return false;
    }
    std::string text = "1999/93/EC conformance check ";
    bool passed = false;
    if (summary.state != 1)
        text += PresenceFailure(summary);
    else if (summary.validityPeriod == 4)
        text += "failed: validity period starts after 2017-07-01";
    else if (summary.purposeTypes & 0x6)
        text += "failed: shall not be web or seal type certificate";
    else {
        text += "passed";
        passed = true;
    }
    GetLogger()->Debug(kSource, __LINE__) << text << std::endl;
    return passed;
}

bool CheckEidas(const QCSummary& summary)
{
    if (summary.tsQualified)
        return true;
    if (summary.validityPeriod == 0) {
        GetLogger()->Warn(kSource, __LINE__)
            << "Can't make EU conformace check without known validity period!" << std::endl;
        return false;
    }
    std::string text = "eIDAS conformance check ";
    bool passed = true;
    if (summary.state != 1) {
        text += PresenceFailure(summary);
        passed = false;
    } else if (summary.validityPeriod == 1) {
        text += "failed: validity ended before 2016-07-01";
        passed = false;
    } else if (summary.validityPeriod == 2) {
        if (!CheckDirective1999(summary)) {
            text += "failed: certificated which is valid at 2016-07-01 shall conform to 1999/93/EC";
            passed = false;
        } else {
            text += "passed: an 1999/93/EC certificate which is valid at 2016-07-01 is elevated to eIDAS";
            std::string pdsText;
            if (summary.pdsLocations.empty()) {
                pdsText = "failed: PDS is missing";
            } else if (summary.messageCodes.count(10) || summary.messageCodes.count(9)) {
                pdsText = "failed: ";
                if (summary.messageCodes.count(10))
                    pdsText += "PDS without EN ";
                if (summary.messageCodes.count(9))
                    pdsText += "PDS a location is not https ";
            }
            // A PDS shortcoming is only a warning: the certificate passes anyway.
            GetLogger()->Log(pdsText.empty() ? 4 : 2, kSource, __LINE__)
                << "ETSI PDS checking: " << pdsText << std::endl;
            text += "passed";
        }
    }
    GetLogger()->Debug(kSource, __LINE__) << text << std::endl;
    return passed;
}

QCConformance ClassifyQC(const QCSummary& summary)
{
    QCConformance conformance;
    if (HasQualifiedLevel(summary))
        conformance.level = 2;
    else if (summary.compliance)
        conformance.level = 1;
    if (conformance.level == 0)
        return conformance;
    if (CheckEidas(summary))
        conformance.regulation = 2;
    else if (CheckDirective1999(summary))
        conformance.regulation = 1;
    else
        conformance.level = 0;
    return conformance;
}

bool CheckQC(const QCSummary& summary, const QCRequirements& requirements)
{
    if (summary.state == -1)
        return Fail("Failure in QC Statement, extension is critical.");

    switch (requirements.regulation) {
    case 1:
        if (!CheckDirective1999(summary))
            return Fail("QCStatement does not conform to 1999/93/EC.");
        break;
    case 2:
        if (!CheckEidas(summary))
            return Fail("QCStatement does not conform to eIDAS.");
        break;
    case 4:
        if (requirements.level == 0)
            break;
        [[fallthrough]];
    case 3:
        if (!CheckDirective1999(summary) && !CheckEidas(summary))
            return Fail("QCStatement does not conform to 1999/93/EC or eIDAS.");
        break;
    default:
        break;
    }

    if (requirements.level == 1 && !HasQualifiedLevel(summary))
        return Fail("QCStatement does not have compliance + sscd.");
    if (requirements.level == 2 && !summary.compliance)
        return Fail("QCStatement does not have compliance.");

    const int purposes = summary.purposeTypes;
    switch (requirements.purpose) {
    case 1:
        if (purposes != 0 && !(purposes & 0x3))
            return Fail("QCStatement purpose is not none or sign or seal.");
        break;
    case 2:
        if (purposes != 0 && !(purposes & 0x1))
            return Fail("QCStatement purpose is not none or sign.");
        break;
    case 3:
        if (!(purposes & 0x2))
            return Fail("QCStatement purpose is not seal.");
        break;
    case 4:
        if (!(purposes & 0x4))
            return Fail("QCStatement purpose is not web.");
        break;
    default:
        break;
    }
    return true;
}

bool IsQualified(const QCSummary& summary)
{
    return HasQualifiedLevel(summary);
}

} // namespace TvrX509
