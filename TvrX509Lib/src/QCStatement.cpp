#include "QCStatements.h"

#include "QCStatementImpl.h"
#include "QCStatementInfoImpl.h"
#include "X509LibLogger.h"

#include <openssl/objects.h>

#include <memory>
#include <ostream>

namespace TvrX509 {

namespace {

// The complete DER of a statementInfo value.
TvrASN1::DERBytes EncodedInfo(const ASN1_TYPE* info)
{
    unsigned char* der = nullptr;
    int length = i2d_ASN1_TYPE(info, &der);
    if (length <= 0 || !der)
        throw TvrCommon::ErrCodeException(1);
    TvrASN1::DERBytes bytes(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

// The years of a QcRetentionPeriod; anything but an INTEGER that fits an int gives -1.
int RetentionYears(const ASN1_TYPE* info)
{
    if (info->type != V_ASN1_INTEGER)
        return -1;
    return IntegerOrMinusOne(info->value.integer);
}

} // namespace

// ---- QCStatementImpl ----

QCStatementImpl::QCStatementImpl(QC_STATEMENT* element)
    : OpenSSLBase(element, QC_STATEMENT_new, QC_STATEMENT_free, QC_STATEMENT_dup,
                  d2i_QC_STATEMENT, i2d_QC_STATEMENT)
{
    ParseInfo();
}

QCStatementImpl::QCStatementImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, QC_STATEMENT_new, QC_STATEMENT_free, QC_STATEMENT_dup,
                  d2i_QC_STATEMENT, i2d_QC_STATEMENT)
{
    ParseInfo();
}

QCStatementImpl::QCStatementImpl(const QCStatementImpl& other)
    : OpenSSLBase(other), info(other.info ? other.info->Clone() : nullptr), oid(other.oid)
{
}

QCStatementImpl& QCStatementImpl::operator=(const QCStatementImpl& other)
{
    if (this == &other)
        return *this;
    std::unique_ptr<QCStatementInfo> copy(other.info ? other.info->Clone() : nullptr);
    OpenSSLBase::operator=(other);
    delete info;
    info = copy.release();
    oid = other.oid;
    return *this;
}

QCStatementImpl::~QCStatementImpl()
{
    delete info;
}

void QCStatementImpl::ParseInfo()
{
    delete info;
    info = nullptr;
    char buffer[100] = {};
    OBJ_obj2txt(buffer, sizeof(buffer), object->statementId, 1);
    oid = buffer;
    try {
        info = BuildInfo();
    } catch (const TvrCommon::ErrCodeException& e) {
        GetLogger()->Error("src/QCStatement", __LINE__)
            << oid << " - Invalid QC Statement Info! ErrCode: " << e.GetCode()
            << " msg: " << e.what() << std::endl;
        info = new QCStatmentError(1);
    }
}

QCStatementInfo* QCStatementImpl::BuildInfo() const
{
    if (oid == "1.3.6.1.5.5.7.11.1")
        return new QCSyntaxV1();
    if (oid == "1.3.6.1.5.5.7.11.2")
        return new QCSyntaxV2();
    if (oid == "0.4.0.1862.1.1")
        return new QcEuCompliance();
    if (oid == "0.4.0.1862.1.4")
        return new QcEuSSCD();
    if (oid == "0.4.0.19422.1.1")
        return new QcTSQualified();

    const bool limitValue = oid == "0.4.0.1862.1.2";
    const bool retention = oid == "0.4.0.1862.1.3";
    const bool type = oid == "0.4.0.1862.1.6";
    const bool pds = oid == "0.4.0.1862.1.5";
    if (!limitValue && !retention && !type && !pds)
        return new QCStatementInfo(0);

    const ASN1_TYPE* statementInfo = object->statementInfo;
    if (!statementInfo) {
        GetLogger()->Error("src/QCStatement", __LINE__)
            << oid << " - StatementInfo missing!" << std::endl;
        return new QCStatmentError(1);
    }
    if (retention)
        return new QcEuRetentionPeriod(RetentionYears(statementInfo));
    if (limitValue)
        return new QcEuLimitValue(EncodedInfo(statementInfo));
    if (type)
        return new QcEuType(EncodedInfo(statementInfo));
    return new QcEuPDS(EncodedInfo(statementInfo));
}

// ---- QCStatement ----

QCStatement::QCStatement(QC_STATEMENT_st* element) : m_impl(new QCStatementImpl(element)) {}

QCStatement::QCStatement(const QCStatement& other) : m_impl(new QCStatementImpl(*other.m_impl)) {}

QCStatement& QCStatement::operator=(const QCStatement& other)
{
    if (m_impl != other.m_impl)
        *m_impl = *other.m_impl;
    return *this;
}

QCStatement::~QCStatement()
{
    delete m_impl;
}

std::string QCStatement::GetOID() const { return m_impl->oid; }
const QCStatementInfo* QCStatement::GetInfo() const { return m_impl->info; }

} // namespace TvrX509
