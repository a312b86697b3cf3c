#include "CryptoAlgJanitor.h"

#include "CryptoAlgJanitorImpl.h"

namespace TvrCrypto {

CryptoAlgJanitor::CryptoAlgJanitor() : m_impl(new CryptoAlgJanitorImpl()) {}

CryptoAlgJanitor::CryptoAlgJanitor(const CryptoAlgJanitor&) : m_impl(new CryptoAlgJanitorImpl()) {}

CryptoAlgJanitor& CryptoAlgJanitor::operator=(const CryptoAlgJanitor&)
{
    return *this;
}

CryptoAlgJanitor::~CryptoAlgJanitor()
{
    delete m_impl;
}

} // namespace TvrCrypto
