#pragma once

#include "DERBytes.h"
#include "X509Extension.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace TvrX509 {

struct QC_STATEMENT_st;
class QCStatementImpl;
class QCStatementsImpl;
class QcEuLimitValueImpl;
class QcEuPDSImpl;
class QcEuTypeImpl;

// What one QC statement says, plus the message codes (see GetQCMessageText) its parsing
// produced. This base class itself stands for a statement whose OID is not recognised.
class QCStatementInfo {
public:
    QCStatementInfo();
    explicit QCStatementInfo(const int& code);
    virtual ~QCStatementInfo();

    // 0 error, 1 unrecognised, 2/3 QC syntax v1/v2, 4 compliance, 5 limit value,
    // 6 retention period, 7 SSCD, 8 PDS, 9 qualified time stamp, 10 QC type.
    virtual int GetType() const;
    // A new object of the same class with the same codes and data; the caller owns it.
    virtual QCStatementInfo* Clone() const;

    const std::set<int>& GetMessageCodes() const { return m_codes; }

protected:
    std::set<int> m_codes;
};

// Information that is missing or cannot be decoded.
class QCStatmentError : public QCStatementInfo {
public:
    explicit QCStatmentError(const int& code);
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// RFC 3739 QC syntax version 1 (1.3.6.1.5.5.7.11.1); the information is not decoded.
class QCSyntaxV1 : public QCStatementInfo {
public:
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// RFC 3739 QC syntax version 2 (1.3.6.1.5.5.7.11.2); the information is not decoded.
class QCSyntaxV2 : public QCStatementInfo {
public:
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// QcCompliance (0.4.0.1862.1.1).
class QcEuCompliance : public QCStatementInfo {
public:
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// QcSSCD (0.4.0.1862.1.4).
class QcEuSSCD : public QCStatementInfo {
public:
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// Qualified time stamp of ETSI EN 319 422 (0.4.0.19422.1.1).
class QcTSQualified : public QCStatementInfo {
public:
    int GetType() const override;
    QCStatementInfo* Clone() const override;
};

// QcRetentionPeriod (0.4.0.1862.1.3); a negative value records code 6.
class QcEuRetentionPeriod : public QCStatementInfo {
public:
    explicit QcEuRetentionPeriod(const int& years);
    int GetType() const override;
    QCStatementInfo* Clone() const override;

    int years;
};

// QcLimitValue (0.4.0.1862.1.2): a transaction limit amount x 10^exponent in a currency.
class QcEuLimitValue : public QCStatementInfo {
public:
    QcEuLimitValue();
    // Decodes a MonetaryValue and validates it into the message codes.
    explicit QcEuLimitValue(const TvrASN1::DERBytes& info);
    QcEuLimitValue(const QcEuLimitValue& other);
    QcEuLimitValue& operator=(const QcEuLimitValue& other);
    ~QcEuLimitValue() override;

    int GetType() const override;
    QCStatementInfo* Clone() const override;

    int GetAmount() const;
    int GetExponent() const;
    // The three-letter ISO 4217 code; empty when the currency was not valid.
    std::string GetCurrency() const;
    double GetValue() const;
    // "5000.00 EUR"; empty without a currency. Independent of the process locale.
    std::string ToString() const;

private:
    QcEuLimitValueImpl* m_impl;
};

// QcPDS (0.4.0.1862.1.5): the PKI disclosure statements by language.
class QcEuPDS : public QCStatementInfo {
public:
    QcEuPDS();
    explicit QcEuPDS(const TvrASN1::DERBytes& info);
    QcEuPDS(const QcEuPDS& other);
    QcEuPDS& operator=(const QcEuPDS& other);
    ~QcEuPDS() override;

    int GetType() const override;
    QCStatementInfo* Clone() const override;

    // Lower-case language code -> URL; the first location of a language wins.
    const std::map<std::string, std::string>& GetLocations() const;
    // The URL for a language (any case); an empty text when there is none.
    const std::string& GetLocation(const std::string& language) const;
    const std::string& GetEnglishLocation() const;
    bool HasLanguage(const std::string& language) const;
    // Adds every location to `target`; languages `target` already has keep their URL.
    void CopyLocations(std::map<std::string, std::string>& target) const;

private:
    QcEuPDSImpl* m_impl;
};

// QcType (0.4.0.1862.1.6): the purposes as bits 0x1 esign, 0x2 eseal, 0x4 web.
class QcEuType : public QCStatementInfo {
public:
    QcEuType();
    explicit QcEuType(const TvrASN1::DERBytes& info);
    QcEuType(const QcEuType& other);
    QcEuType& operator=(const QcEuType& other);
    ~QcEuType() override;

    int GetType() const override;
    QCStatementInfo* Clone() const override;

    const int& GetTypes() const;
    // Whether any of the given bits is set.
    bool HasType(const int& bit) const;

private:
    QcEuTypeImpl* m_impl;
};

// One statement of a qcStatements extension.
class QCStatement {
public:
    // Wraps an element of a decoded statement list without owning it and parses its
    // information; null throws code 3.
    explicit QCStatement(QC_STATEMENT_st* element);
    QCStatement(const QCStatement& other);
    QCStatement& operator=(const QCStatement& other);
    virtual ~QCStatement();

    // The statement OID in dotted form.
    std::string GetOID() const;
    // Owned by the statement; never null.
    const QCStatementInfo* GetInfo() const;

private:
    QCStatementImpl* m_impl;
};

// The qcStatements extension (1.3.6.1.5.5.7.1.3).
class QCStatements : public X509Extension {
public:
    static const std::string OID;

    QCStatements();
    QCStatements(const TvrASN1::DERBytes& value, bool critical);
    QCStatements(const QCStatements& other);
    QCStatements& operator=(const QCStatements& other);
    virtual ~QCStatements();

    // The statements in extension order.
    const std::vector<QCStatement>& GetStatements() const;

private:
    QCStatementsImpl* m_typed;
};

} // namespace TvrX509
