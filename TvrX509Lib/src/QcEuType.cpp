#include "QCStatements.h"

#include "QCStatementInfoImpl.h"

#include <openssl/objects.h>

#include <memory>

namespace TvrX509 {

namespace {

int PurposeBit(const std::string& oid)
{
    if (oid == "0.4.0.1862.1.6.1")  // id-etsi-qct-esign
        return 0x1;
    if (oid == "0.4.0.1862.1.6.2")  // id-etsi-qct-eseal
        return 0x2;
    if (oid == "0.4.0.1862.1.6.3")  // id-etsi-qct-web
        return 0x4;
    return 0;
}

} // namespace

// ---- QcEuTypeImpl ----

QcEuTypeImpl::QcEuTypeImpl()
    : OpenSSLBase(QC_TYPE_new, QC_TYPE_free, QC_TYPE_dup, d2i_QC_TYPE, i2d_QC_TYPE)
{
}

QcEuTypeImpl::QcEuTypeImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, QC_TYPE_new, QC_TYPE_free, QC_TYPE_dup, d2i_QC_TYPE, i2d_QC_TYPE)
{
}

void QcEuTypeImpl::Validate(std::set<int>& codes)
{
    for (int i = 0; i < sk_ASN1_OBJECT_num(object); ++i) {
        const ASN1_OBJECT* element = sk_ASN1_OBJECT_value(object, i);
        if (!element) {
            codes.insert(1);
            continue;
        }
        char buffer[100] = {};
        OBJ_obj2txt(buffer, sizeof(buffer), element, 1);
        int bit = PurposeBit(buffer);
        if (bit == 0) {
            codes.insert(4);
            continue;
        }
        if (types & bit)
            codes.insert(11);
        types |= bit;
    }
    if (types == 0)
        codes.insert(12);
}

// ---- QcEuType ----

QcEuType::QcEuType() : m_impl(new QcEuTypeImpl()) {}

QcEuType::QcEuType(const TvrASN1::DERBytes& info) : m_impl(nullptr)
{
    auto impl = std::make_unique<QcEuTypeImpl>(info);
    impl->Validate(m_codes);
    m_impl = impl.release();
}

QcEuType::QcEuType(const QcEuType& other)
    : QCStatementInfo(other), m_impl(new QcEuTypeImpl(*other.m_impl))
{
}

QcEuType& QcEuType::operator=(const QcEuType& other)
{
    if (this != &other) {
        *m_impl = *other.m_impl;
        m_codes = other.m_codes;
    }
    return *this;
}

QcEuType::~QcEuType()
{
    delete m_impl;
}

int QcEuType::GetType() const { return 10; }
QCStatementInfo* QcEuType::Clone() const { return new QcEuType(*this); }

const int& QcEuType::GetTypes() const { return m_impl->types; }

bool QcEuType::HasType(const int& bit) const
{
    return (m_impl->types & bit) != 0;
}

} // namespace TvrX509
