#include "QCStatements.h"

#include "QCStatementInfoImpl.h"

#include <climits>
#include <cstdint>

namespace TvrX509 {

QCStatementInfo::QCStatementInfo() = default;

QCStatementInfo::QCStatementInfo(const int& code)
{
    m_codes.insert(code);
}

QCStatementInfo::~QCStatementInfo() = default;

int QCStatementInfo::GetType() const { return 1; }
QCStatementInfo* QCStatementInfo::Clone() const { return new QCStatementInfo(*this); }

QCStatmentError::QCStatmentError(const int& code) : QCStatementInfo(code) {}
int QCStatmentError::GetType() const { return 0; }
QCStatementInfo* QCStatmentError::Clone() const { return new QCStatmentError(*this); }

int QCSyntaxV1::GetType() const { return 2; }
QCStatementInfo* QCSyntaxV1::Clone() const { return new QCSyntaxV1(*this); }

int QCSyntaxV2::GetType() const { return 3; }
QCStatementInfo* QCSyntaxV2::Clone() const { return new QCSyntaxV2(*this); }

int QcEuCompliance::GetType() const { return 4; }
QCStatementInfo* QcEuCompliance::Clone() const { return new QcEuCompliance(*this); }

int QcEuSSCD::GetType() const { return 7; }
QCStatementInfo* QcEuSSCD::Clone() const { return new QcEuSSCD(*this); }

int QcTSQualified::GetType() const { return 9; }
QCStatementInfo* QcTSQualified::Clone() const { return new QcTSQualified(*this); }

QcEuRetentionPeriod::QcEuRetentionPeriod(const int& years) : years(years)
{
    if (years < 0)
        m_codes.insert(6);
}

int QcEuRetentionPeriod::GetType() const { return 6; }
QCStatementInfo* QcEuRetentionPeriod::Clone() const { return new QcEuRetentionPeriod(*this); }

// ---- helpers shared by the decoded statements ----

int IntegerOrMinusOne(const ASN1_INTEGER* integer)
{
    int64_t value = 0;
    if (!integer || ASN1_INTEGER_get_int64(&value, integer) != 1 || value < INT_MIN ||
        value > INT_MAX)
        return -1;
    return static_cast<int>(value);
}

std::string ToLowerAscii(const std::string& text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

} // namespace TvrX509
