#pragma once

#include "VerifyState.h"

#include <openssl/x509_vfy.h>

#include <vector>

namespace TvrX509 {

// The OpenSSL objects of one chain-verification attempt: a store carrying our issuer
// test, an untrusted and a trusted stack that borrow their certificates, and the store
// context with our verify function, verify callback and side state installed. Everything
// is released with the attempt.
class VerifyAttempt {
public:
    VerifyAttempt() = default;
    VerifyAttempt(const VerifyAttempt&) = delete;
    VerifyAttempt& operator=(const VerifyAttempt&) = delete;
    ~VerifyAttempt();

    // Creates and initialises the objects for `target`; false (after an error log line)
    // when something cannot be created. Call once.
    bool Prepare(X509* target, const std::vector<X509*>& untrusted, const std::vector<X509*>& trusted);
    // The chain verification; see X509StoreContextImpl::VerifyCert.
    int Run();

    X509_STORE_CTX* Context() const { return m_ctx; }
    VerifyState& State() { return m_state; }

private:
    X509_STORE* m_store = nullptr;
    STACK_OF(X509)* m_untrusted = nullptr;
    STACK_OF(X509)* m_trusted = nullptr;
    X509_STORE_CTX* m_ctx = nullptr;
    VerifyState m_state;
};

} // namespace TvrX509
