#include "QCStatements.h"

#include "Iso4217CurrencyTable.h"
#include "QCStatementInfoImpl.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <memory>
#include <sstream>

namespace TvrX509 {

namespace {

// The decimal digits of a non-negative amount, plus the exponent, may not exceed this:
// every accepted value is then below 10^15 and so an exact integer in a double (or an
// amount with one or two decimals).
constexpr long long kMaxDigitsAndExponent = 15;

long long DecimalDigits(long long value)
{
    long long digits = 1;
    for (; value >= 10; value /= 10)
        ++digits;
    return digits;
}

} // namespace

// ---- QcEuLimitValueImpl ----

QcEuLimitValueImpl::QcEuLimitValueImpl()
    : OpenSSLBase(MONETARY_VALUE_new, MONETARY_VALUE_free, MONETARY_VALUE_dup,
                  d2i_MONETARY_VALUE, i2d_MONETARY_VALUE)
{
}

QcEuLimitValueImpl::QcEuLimitValueImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, MONETARY_VALUE_new, MONETARY_VALUE_free, MONETARY_VALUE_dup,
                  d2i_MONETARY_VALUE, i2d_MONETARY_VALUE)
{
}

void QcEuLimitValueImpl::Validate(std::set<int>& codes)
{
    amount = IntegerOrMinusOne(object->amount);
    exponent = IntegerOrMinusOne(object->exponent);
    // -1 is a valid exponent, so one that does not fit an int is caught here, not taken
    // for 10^-1.
    int64_t rawExponent = 0;
    const bool exponentFits = object->exponent && ASN1_INTEGER_get_int64(&rawExponent, object->exponent) == 1
        && rawExponent >= INT_MIN && rawExponent <= INT_MAX;

    const Iso4217Currency* row = nullptr;
    const ISO_4217_CURRENCY_CODE* code = object->currency;
    if (code && code->type == 0 && code->value.alphabetic) {
        const ASN1_STRING* text = code->value.alphabetic;
        row = FindCurrency(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                           ASN1_STRING_length(text));
    } else if (code && code->type == 1 && code->value.numeric) {
        row = FindCurrency(IntegerOrMinusOne(code->value.numeric));
    }
    currency = row ? row->code : "";

    if (currency.empty()) {
        amount = 0;
        exponent = 0;
        codes.insert(7);
        return;
    }
    if (amount < 0 || !exponentFits || exponent < -2 ||
        DecimalDigits(amount) + exponent > kMaxDigitsAndExponent) {
        amount = 0;
        exponent = 0;
        currency.clear();
        codes.insert(13);
    }
}

double QcEuLimitValueImpl::GetValue() const
{
    // 10^|exponent| by repeated squaring.
    double power = 1.0;
    double base = 10.0;
    for (long long n = std::llabs(static_cast<long long>(exponent)); n > 0; n >>= 1) {
        if (n & 1)
            power *= base;
        base *= base;
    }
    return exponent >= 0 ? amount * power : amount * (1.0 / power);
}

// ---- QcEuLimitValue ----

QcEuLimitValue::QcEuLimitValue() : m_impl(new QcEuLimitValueImpl()) {}

QcEuLimitValue::QcEuLimitValue(const TvrASN1::DERBytes& info) : m_impl(nullptr)
{
    auto impl = std::make_unique<QcEuLimitValueImpl>(info);
    impl->Validate(m_codes);
    m_impl = impl.release();
}

QcEuLimitValue::QcEuLimitValue(const QcEuLimitValue& other)
    : QCStatementInfo(other), m_impl(new QcEuLimitValueImpl(*other.m_impl))
{
}

QcEuLimitValue& QcEuLimitValue::operator=(const QcEuLimitValue& other)
{
    if (this != &other) {
        *m_impl = *other.m_impl;
        m_codes = other.m_codes;
    }
    return *this;
}

QcEuLimitValue::~QcEuLimitValue()
{
    delete m_impl;
}

int QcEuLimitValue::GetType() const { return 5; }
QCStatementInfo* QcEuLimitValue::Clone() const { return new QcEuLimitValue(*this); }

int QcEuLimitValue::GetAmount() const { return m_impl->amount; }
int QcEuLimitValue::GetExponent() const { return m_impl->exponent; }
std::string QcEuLimitValue::GetCurrency() const { return m_impl->currency; }
double QcEuLimitValue::GetValue() const { return m_impl->GetValue(); }

std::string QcEuLimitValue::ToString() const
{
    if (m_impl->currency.empty())
        return std::string();
    // The host switches the process locale; the text keeps its decimal point.
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(2) << GetValue() << ' ' << m_impl->currency;
    return text.str();
}

} // namespace TvrX509
