#include "VerifyAttempt.h"

#include "X509CertificateImpl.h"
#include "X509LibLogger.h"
#include "X509StoreContextImpl.h"

#include <ostream>

namespace TvrX509 {

namespace {
const char* const kSource = "src/VerifyAttempt";
}

VerifyAttempt::~VerifyAttempt()
{
    X509_STORE_CTX_free(m_ctx);
    X509_STORE_free(m_store);
    sk_X509_free(m_untrusted);
    sk_X509_free(m_trusted);
}

bool VerifyAttempt::Prepare(X509* target, const std::vector<X509*>& untrusted,
                            const std::vector<X509*>& trusted)
{
    TvrLogger::ILogger* log = GetLogger();
    if (!(m_store = X509_STORE_new())) {
        log->Error(kSource, __LINE__) << "Unable to create X509_STORE!" << std::endl;
        return false;
    }
    if (!(m_untrusted = sk_X509_new_null())) {
        log->Error(kSource, __LINE__) << "Unable to create untrusted certificate stack!" << std::endl;
        return false;
    }
    if (!(m_trusted = sk_X509_new_null())) {
        log->Error(kSource, __LINE__) << "Unable to create trusted certificate stack!" << std::endl;
        return false;
    }
    if (!(m_ctx = X509_STORE_CTX_new())) {
        log->Error(kSource, __LINE__) << "Unable to create X509_STORE_CTX!" << std::endl;
        return false;
    }
    // An empty certificate compares equal to none.
    if (!target || X509CertificateImpl::Compare(target, nullptr) == 0) {
        log->Error(kSource, __LINE__) << "Unable to get target cert X509!" << std::endl;
        return false;
    }
    for (X509* x : untrusted) {
        if (!sk_X509_push(m_untrusted, x)) {
            log->Error(kSource, __LINE__) << "Unable to create untrusted certificate stack!" << std::endl;
            return false;
        }
    }
    for (X509* x : trusted) {
        if (!sk_X509_push(m_trusted, x)) {
            log->Error(kSource, __LINE__) << "Unable to create trusted certificate stack!" << std::endl;
            return false;
        }
    }
    // The context copies its issuer test from the store when it is initialised.
    X509_STORE_set_check_issued(m_store, &X509StoreContextImpl::CheckIssued);
    if (X509_STORE_CTX_init(m_ctx, m_store, target, m_untrusted) != 1) {
        log->Error(kSource, __LINE__) << "Unable to initialize X509_STORE_CTX!" << std::endl;
        return false;
    }
    X509_STORE_CTX_set0_trusted_stack(m_ctx, m_trusted);
    m_state.trusted = m_trusted;
    if (!VerifyState::Attach(m_ctx, &m_state) || VerifyState::Of(m_ctx) != &m_state) {
        log->Error(kSource, __LINE__) << "Setting trusted certificates failed!" << std::endl;
        return false;
    }
    X509_STORE_CTX_set_verify(m_ctx, &X509StoreContextImpl::InternalVerify);
    X509_STORE_CTX_set_verify_cb(m_ctx, &X509StoreContextImpl::VerifyCallback);
    return true;
}

int VerifyAttempt::Run()
{
    return X509StoreContextImpl::VerifyCert(m_ctx);
}

} // namespace TvrX509
