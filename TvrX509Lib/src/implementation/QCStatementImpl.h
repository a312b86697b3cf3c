#pragma once

#include "OpenSSLBase.h"
#include "QCStatements.h"
#include "QCStatementsAsn1.h"
#include "TypedExtensionImpl.h"

#include <string>
#include <vector>

namespace TvrX509 {

// One QCStatement with its parsed information.
class QCStatementImpl : public TvrASN1::OpenSSLBase<QC_STATEMENT> {
public:
    // Borrows an element of a decoded statement list.
    explicit QCStatementImpl(QC_STATEMENT* element);
    // The DER of one QCStatement.
    explicit QCStatementImpl(const TvrASN1::DERBytes& der);
    QCStatementImpl(const QCStatementImpl& other);
    QCStatementImpl& operator=(const QCStatementImpl& other);
    ~QCStatementImpl() override;

    QCStatementInfo* info = nullptr;
    std::string oid;

private:
    // Reads the statement OID and builds the information object that belongs to it.
    void ParseInfo();
    QCStatementInfo* BuildInfo() const;
};

class QCStatementsImpl : public TypedExtensionImpl<QC_STATEMENTS> {
public:
    QCStatementsImpl();
    explicit QCStatementsImpl(const TvrASN1::DERBytes& value);

    std::vector<QCStatement> statements;
};

} // namespace TvrX509
