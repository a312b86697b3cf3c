#include "QCStatements.h"

#include "QCStatementImpl.h"

namespace TvrX509 {

// ---- QCStatementsImpl ----

QCStatementsImpl::QCStatementsImpl()
    : TypedExtensionImpl(QC_STATEMENTS_new, QC_STATEMENTS_free, QC_STATEMENTS_dup,
                         d2i_QC_STATEMENTS, i2d_QC_STATEMENTS)
{
}

QCStatementsImpl::QCStatementsImpl(const TvrASN1::DERBytes& value)
    : TypedExtensionImpl(value, QC_STATEMENTS_new, QC_STATEMENTS_free, QC_STATEMENTS_dup,
                         d2i_QC_STATEMENTS, i2d_QC_STATEMENTS)
{
    const int count = sk_QC_STATEMENT_num(object);
    statements.reserve(static_cast<size_t>(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
        QC_STATEMENT* element = sk_QC_STATEMENT_value(object, i);
        if (!element)
            throw TvrCommon::ErrCodeException(1);
        // The borrowed view parses; the stored copy owns its own duplicate.
        QCStatement borrowed(element);
        statements.push_back(borrowed);
    }
}

// ---- QCStatements ----

const std::string QCStatements::OID = "1.3.6.1.5.5.7.1.3";

QCStatements::QCStatements() : X509Extension(), m_typed(new QCStatementsImpl())
{
    m_typed->extension = GetImpl();
}

QCStatements::QCStatements(const TvrASN1::DERBytes& value, bool critical)
    : X509Extension(OID, value, critical), m_typed(new QCStatementsImpl(value))
{
    m_typed->extension = GetImpl();
}

QCStatements::QCStatements(const QCStatements& other)
    : X509Extension(other), m_typed(new QCStatementsImpl(*other.m_typed))
{
    m_typed->extension = GetImpl();
}

QCStatements& QCStatements::operator=(const QCStatements& other)
{
    if (m_typed != other.m_typed) {
        X509Extension::operator=(other);
        *m_typed = *other.m_typed;
        m_typed->extension = GetImpl();
    }
    return *this;
}

QCStatements::~QCStatements()
{
    delete m_typed;
}

const std::vector<QCStatement>& QCStatements::GetStatements() const
{
    return m_typed->statements;
}

} // namespace TvrX509
