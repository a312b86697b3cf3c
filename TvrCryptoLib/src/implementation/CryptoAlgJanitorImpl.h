#pragma once

namespace TvrCrypto {

// Takes one hold on OpenSSL on construction and gives it back on destruction.
class CryptoAlgJanitorImpl {
public:
    CryptoAlgJanitorImpl();
    CryptoAlgJanitorImpl(const CryptoAlgJanitorImpl&) = delete;
    CryptoAlgJanitorImpl& operator=(const CryptoAlgJanitorImpl&) = delete;
    virtual ~CryptoAlgJanitorImpl();
};

} // namespace TvrCrypto
