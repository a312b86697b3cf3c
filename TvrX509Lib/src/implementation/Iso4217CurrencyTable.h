#pragma once

namespace TvrX509 {

struct Iso4217Currency {
    int number;
    const char* code;
};

// The 176 currencies a QcLimitValue may name, then the terminating row {0, nullptr}.
extern const Iso4217Currency Iso4217CurrencyTable[177];

// The row of a three-letter code (exact, case-sensitive) or of a number; null when absent.
const Iso4217Currency* FindCurrency(const char* code, int length);
const Iso4217Currency* FindCurrency(int number);

} // namespace TvrX509
