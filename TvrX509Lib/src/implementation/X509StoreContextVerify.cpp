// The chain verification core: the classic chain building and checking of OpenSSL's 0.9.8
// line, run on OpenSSL 3 store contexts through their accessors and our side state.
#include "X509StoreContextImpl.h"

#include "Environment.h"
#include "ThreadFlagRegistry.h"
#include "ThreadId.h"
#include "VerifyState.h"
#include "X509CertificateImpl.h"
#include "X509LibLogger.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <ostream>

namespace TvrX509 {

namespace {

const char* const kSource = "src/X509StoreContextVerify";

struct StackFree {
    void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;

struct CertFree {
    void operator()(X509* x) const { X509_free(x); }
};
using CertPtr = std::unique_ptr<X509, CertFree>;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// Sets error, depth and current certificate and asks the verify callback.
int Report(X509_STORE_CTX* ctx, int error, int depth, X509* current)
{
    X509_STORE_CTX_set_error(ctx, error);
    X509_STORE_CTX_set_error_depth(ctx, depth);
    X509_STORE_CTX_set_current_cert(ctx, current);
    return X509_STORE_CTX_get_verify_cb(ctx)(0, ctx);
}

bool IsSelfIssued(X509_STORE_CTX* ctx, X509* x)
{
    return X509_STORE_CTX_get_check_issued(ctx)(ctx, x, x) != 0;
}

unsigned long Flags(X509_STORE_CTX* ctx)
{
    return X509_VERIFY_PARAM_get_flags(X509_STORE_CTX_get0_param(ctx));
}

// keyUsage bits as the certificate carries them; none without the extension.
uint32_t KeyUsageBits(X509* x)
{
    return (X509_get_extension_flags(x) & EXFLAG_KUSAGE) ? X509_get_key_usage(x) : 0;
}

// A verification with no side state attached gets a default one for its duration.
class StateScope {
public:
    explicit StateScope(X509_STORE_CTX* ctx) : m_ctx(ctx), m_state(VerifyState::Of(ctx))
    {
        if (!m_state && VerifyState::Attach(ctx, &m_local)) {
            m_state = &m_local;
            m_attached = true;
        }
    }
    ~StateScope()
    {
        if (m_attached)
            VerifyState::Attach(m_ctx, nullptr);
    }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;

    VerifyState* Get() const { return m_state; }

private:
    X509_STORE_CTX* m_ctx;
    VerifyState m_local;
    VerifyState* m_state;
    bool m_attached = false;
};

// The steps of one VerifyCert call that share its local state.
class Verification {
public:
    Verification(X509_STORE_CTX* ctx, VerifyState& state) : m_ctx(ctx), m_state(state) {}

    int Run();

private:
    int BuildUntrusted(STACK_OF(X509) * chain);
    int HandleSelfSignedTop(STACK_OF(X509) * chain);
    int BuildTrusted(STACK_OF(X509) * chain);
    int CheckChainEnd(STACK_OF(X509) * chain);
    int CheckChain(STACK_OF(X509) * chain);

    X509_STORE_CTX* m_ctx;
    VerifyState& m_state;
    StackPtr m_scratch;
    CertPtr m_selfSigned;
    bool m_badChain = false;
    int m_depth = 0;
};

int Verification::Run()
{
    X509* cert = X509_STORE_CTX_get0_cert(m_ctx);
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(m_ctx);
    if (!chain) {
        StackPtr created(sk_X509_new_null());
        if (!created || !sk_X509_push(created.get(), cert)) {
            ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
            return 0;
        }
        X509_up_ref(cert);
        chain = created.release();
        X509_STORE_CTX_set0_verified_chain(m_ctx, chain);
        m_state.lastUntrusted = 1;
    }
    STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(m_ctx);
    if (untrusted) {
        m_scratch.reset(sk_X509_dup(untrusted));
        if (!m_scratch) {
            ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
            return 0;
        }
    }
    m_depth = X509_VERIFY_PARAM_get_depth(X509_STORE_CTX_get0_param(m_ctx));

    int ok = BuildUntrusted(chain);
    if (ok > 0)
        ok = HandleSelfSignedTop(chain);
    if (ok > 0)
        ok = BuildTrusted(chain);
    if (ok < 0)
        return ok;
    if (ok > 0)
        ok = CheckChainEnd(chain);
    if (ok > 0)
        ok = CheckChain(chain);
    if (ok <= 0)
        X509_get_pubkey_parameters(nullptr, chain);
    return ok;
}

// Extends the chain with issuers from the untrusted stack until a self-issued or trusted
// certificate, or no issuer.
int Verification::BuildUntrusted(STACK_OF(X509) * chain)
{
    int num = sk_X509_num(chain);
    X509* x = sk_X509_value(chain, num - 1);
    while (num <= m_depth) {
        if (IsSelfIssued(m_ctx, x) || X509StoreContextImpl::IsInTrustedStack(m_ctx, x) || !m_scratch)
            break;
        X509* issuer = X509StoreContextImpl::FindIssuer(m_ctx, m_scratch.get(), x);
        if (!issuer)
            break;
        if (!sk_X509_push(chain, issuer)) {
            ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
            return 0;
        }
        X509_up_ref(issuer);
        (void)sk_X509_delete_ptr(m_scratch.get(), issuer);
        ++m_state.lastUntrusted;
        x = issuer;
        ++num;
    }
    return 1;
}

// A self-issued last certificate: alone, it must be found as is by the issuer lookup;
// otherwise it is set aside while the trusted part is looked up.
int Verification::HandleSelfSignedTop(STACK_OF(X509) * chain)
{
    int num = sk_X509_num(chain);
    X509* x = sk_X509_value(chain, num - 1);
    if (!IsSelfIssued(m_ctx, x))
        return 1;
    if (num > 1) {
        m_selfSigned.reset(sk_X509_pop(chain));
        --m_state.lastUntrusted;
        return 1;
    }
    X509* found = nullptr;
    int ok = X509_STORE_CTX_get_get_issuer(m_ctx)(&found, m_ctx, x);
    if (ok > 0 && X509_cmp(x, found) == 0) {
        (void)sk_X509_set(chain, 0, found);
        X509_free(x);
        m_state.lastUntrusted = 0;
        return 1;
    }
    if (ok > 0)
        X509_free(found);
    m_badChain = true;
    return Report(m_ctx, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, 0, x);
}

// Extends the chain through the context's issuer lookup (the trusted stack).
int Verification::BuildTrusted(STACK_OF(X509) * chain)
{
    int num = sk_X509_num(chain);
    X509* x = sk_X509_value(chain, num - 1);
    while (num <= m_depth) {
        if (IsSelfIssued(m_ctx, x))
            break;
        X509* issuer = nullptr;
        int ok = X509_STORE_CTX_get_get_issuer(m_ctx)(&issuer, m_ctx, x);
        if (ok < 0)
            return ok;
        if (ok == 0)
            break;
        if (!sk_X509_push(chain, issuer)) {
            X509_free(issuer);
            ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
            return 0;
        }
        x = issuer;
        ++num;
    }
    return 1;
}

// The chain must end in a self-issued certificate or one from the trusted stack.
int Verification::CheckChainEnd(STACK_OF(X509) * chain)
{
    int num = sk_X509_num(chain);
    X509* x = sk_X509_value(chain, num - 1);
    if (IsSelfIssued(m_ctx, x))
        return 1;
    int error;
    X509* current;
    if (m_selfSigned && X509_STORE_CTX_get_check_issued(m_ctx)(m_ctx, x, m_selfSigned.get())) {
        if (!sk_X509_push(chain, m_selfSigned.get())) {
            ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
            return 0;
        }
        current = m_selfSigned.release();
        ++num;
        m_state.lastUntrusted = num;
        error = X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
    } else {
        current = x;
        if (X509StoreContextImpl::IsInTrustedStack(m_ctx, x)) {
            X509_STORE_CTX_set_current_cert(m_ctx, x);
            return 1;
        }
        error = m_state.lastUntrusted >= num ? X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY
                                             : X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT;
    }
    m_badChain = true;
    return Report(m_ctx, error, num - 1, current);
}

int Verification::CheckChain(STACK_OF(X509) * chain)
{
    if (!X509StoreContextImpl::CheckChainExtensions(m_ctx))
        return 0;
    if (m_state.trust > 0 && !X509StoreContextImpl::CheckTrust(m_ctx))
        return 0;
    X509_get_pubkey_parameters(nullptr, chain);
    if (!X509_STORE_CTX_get_check_revocation(m_ctx)(m_ctx))
        return 0;
    X509_STORE_CTX_verify_fn verify = X509_STORE_CTX_get_verify(m_ctx);
    if (!(verify ? verify(m_ctx) : X509StoreContextImpl::InternalVerify(m_ctx)))
        return 0;
    if (!m_badChain && (Flags(m_ctx) & X509_V_FLAG_POLICY_CHECK))
        return X509_STORE_CTX_get_check_policy(m_ctx)(m_ctx);
    return 1;
}

} // namespace

int X509StoreContextImpl::VerifyCert(X509_STORE_CTX* ctx)
{
    if (!ctx || !X509_STORE_CTX_get0_cert(ctx)) {
        ERR_raise(ERR_LIB_X509, X509_R_NO_CERT_SET_FOR_US_TO_VERIFY);
        return -1;
    }
    StateScope state(ctx);
    if (!state.Get()) {
        ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
        return 0;
    }
    return Verification(ctx, *state.Get()).Run();
}

int X509StoreContextImpl::InternalVerify(X509_STORE_CTX* ctx)
{
    X509_STORE_CTX_verify_cb cb = X509_STORE_CTX_get_verify_cb(ctx);
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    VerifyState* state = VerifyState::Of(ctx);
    int n = sk_X509_num(chain) - 1;
    if (n < 0)
        return 0;
    X509_STORE_CTX_set_error_depth(ctx, n);
    X509* xi = sk_X509_value(chain, n);
    X509* xs;
    if (IsSelfIssued(ctx, xi)) {
        xs = xi;
    } else {
        if (n == 0)
            return Report(ctx, X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE, n, xi);
        --n;
        X509_STORE_CTX_set_error_depth(ctx, n);
        xs = sk_X509_value(chain, n);
    }
    while (n >= 0) {
        X509_STORE_CTX_set_error_depth(ctx, n);
        if (!SignatureMark::IsVerifiedBy(xs, xi)) {
            KeyPtr key(X509_get_pubkey(xi));
            if (!key) {
                if (!Report(ctx, X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY, n, xi))
                    return 0;
            } else {
                // Signature checks of trusted certificates run with the thread's flag 1 cleared.
                const unsigned long thread = TvrCommon::CurrentThreadId();
                bool trusted = IsInTrustedStack(ctx, xs);
                int saved = trusted ? TvrCrypto::ThreadFlagRegistry::GetFlag1(thread) : 0;
                if (trusted)
                    TvrCrypto::ThreadFlagRegistry::SetFlag1(thread, 0);
                int verified = X509_verify(xs, key.get());
                if (trusted)
                    TvrCrypto::ThreadFlagRegistry::SetFlag1(thread, saved);
                if (verified > 0) {
                    SignatureMark::Set(xs, xi);
                } else if (!Report(ctx, X509_V_ERR_CERT_SIGNATURE_FAILURE, n, xs)) {
                    return 0;
                }
            }
        }
        if (state)
            state->currentIssuer = xi;
        X509_STORE_CTX_set_current_cert(ctx, xs);
        if (!cb(1, ctx))
            return 0;
        --n;
        if (n >= 0) {
            xi = xs;
            xs = sk_X509_value(chain, n);
        }
    }
    return 1;
}

int X509StoreContextImpl::CheckChainExtensions(X509_STORE_CTX* ctx)
{
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    VerifyState* state = VerifyState::Of(ctx);
    const unsigned long flags = Flags(ctx);
    const bool strict = (flags & X509_V_FLAG_X509_STRICT) != 0;
    const bool allowProxy = (flags & X509_V_FLAG_ALLOW_PROXY_CERTS) ||
                            TvrCommon::IsEnvironmentVariableSet("OPENSSL_ALLOW_PROXY_CERTS");
    const int purpose = state ? state->purpose : 0;
    const int untrustedCount = state ? state->lastUntrusted : 0;
    int mustBeCa = -1;
    int proxyPathLength = 0;
    for (int i = 0; i < untrustedCount && i < sk_X509_num(chain); ++i) {
        X509* x = sk_X509_value(chain, i);
        const uint32_t extensionFlags = X509_get_extension_flags(x);
        auto fail = [&](int error) { return Report(ctx, error, i, x); };
        if (!(flags & X509_V_FLAG_IGNORE_CRITICAL) && (extensionFlags & EXFLAG_CRITICAL) &&
            !fail(X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION))
            return 0;
        if (!allowProxy && (extensionFlags & EXFLAG_PROXY) && !fail(X509_V_ERR_PROXY_CERTIFICATES_NOT_ALLOWED))
            return 0;
        const int ca = X509_check_ca(x);
        const uint32_t usage = KeyUsageBits(x);
        if (usage != 0 && (!(extensionFlags & EXFLAG_KUSAGE) || (usage & KU_KEY_CERT_SIGN)) && ca == 0) {
            GetLogger()->Debug(kSource, __LINE__)
                << "Hiba: Ha van keyUsage és abban CertSign, akkor CA kell legyen!" << std::endl;
            if (!fail(X509_V_ERR_APPLICATION_VERIFICATION))
                return 0;
        }
        int caError = 0;
        if (mustBeCa < 0)
            caError = strict && ca != 0 && ca != 1 ? X509_V_ERR_INVALID_CA : 0;
        else if (mustBeCa == 0)
            caError = ca != 0 ? X509_V_ERR_INVALID_NON_CA : 0;
        else
            caError = ca == 0 || (strict && ca != 1) ? X509_V_ERR_INVALID_CA : 0;
        if (caError && !fail(caError))
            return 0;
        if (purpose > 0) {
            int r = X509_check_purpose(x, purpose, mustBeCa > 0);
            if ((r == 0 || (strict && r != 1)) && !fail(X509_V_ERR_INVALID_PURPOSE))
                return 0;
        }
        const long pathLength = X509_get_pathlen(x);
        if (i > 1 && pathLength != -1 && i > pathLength + proxyPathLength + 1 &&
            !fail(X509_V_ERR_PATH_LENGTH_EXCEEDED))
            return 0;
        if (extensionFlags & EXFLAG_PROXY) {
            const long proxyLength = X509_get_proxy_pathlen(x);
            if (proxyLength != -1 && i > proxyLength && !fail(X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED))
                return 0;
            ++proxyPathLength;
            mustBeCa = 0;
        } else {
            mustBeCa = 1;
        }
    }
    return 1;
}

int X509StoreContextImpl::CheckTrust(X509_STORE_CTX* ctx)
{
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(ctx);
    VerifyState* state = VerifyState::Of(ctx);
    int last = sk_X509_num(chain) - 1;
    X509* x = sk_X509_value(chain, last);
    int answer = X509_check_trust(x, state ? state->trust : 0, 0);
    if (answer == X509_TRUST_TRUSTED)
        return 1;
    return Report(ctx, answer == X509_TRUST_REJECTED ? X509_V_ERR_CERT_REJECTED : X509_V_ERR_CERT_UNTRUSTED, last,
                  x);
}

X509* X509StoreContextImpl::FindIssuer(X509_STORE_CTX* ctx, STACK_OF(X509) * stack, X509* x)
{
    X509_STORE_CTX_check_issued_fn checkIssued = X509_STORE_CTX_get_check_issued(ctx);
    for (int i = 0; i < sk_X509_num(stack); ++i) {
        X509* candidate = sk_X509_value(stack, i);
        if (checkIssued(ctx, x, candidate))
            return candidate;
    }
    return nullptr;
}

int X509StoreContextImpl::CheckIssued(X509_STORE_CTX* ctx, X509* x, X509* issuer)
{
    VerifyState* state = VerifyState::Of(ctx);
    int r;
    if (state && state->issued) {
        auto known = state->issued->find({issuer, x});
        if (known != state->issued->end()) {
            r = known->second;
        } else {
            r = X509_check_issued(issuer, x);
            state->issued->emplace(std::make_pair(issuer, x), r);
        }
    } else {
        r = X509_check_issued(issuer, x);
    }
    if (r == X509_V_OK)
        return 1;
    TvrLogger::ILogger* log = GetLogger();
    if (r != X509_V_ERR_SUBJECT_ISSUER_MISMATCH && log->IsActive())
        log->Debug(kSource, __LINE__) << "Issuer check error: " << r << " (" << X509_verify_cert_error_string(r)
                                      << ") for issuer: " << DescribeCertificate(X509Certificate(issuer)) << std::endl;
    if (!state || !(state->flags & VerifyState::kCbIssuerCheck))
        return 0;
    X509_STORE_CTX_set_error(ctx, r);
    X509_STORE_CTX_set_current_cert(ctx, x);
    state->currentIssuer = issuer;
    return X509_STORE_CTX_get_verify_cb(ctx)(0, ctx);
}

bool X509StoreContextImpl::IsInTrustedStack(X509_STORE_CTX* ctx, X509* x)
{
    VerifyState* state = VerifyState::Of(ctx);
    if (!state || !state->trusted)
        return false;
    for (int i = 0; i < sk_X509_num(state->trusted); ++i) {
        if (X509_cmp(sk_X509_value(state->trusted, i), x) == 0)
            return true;
    }
    return false;
}

int X509StoreContextImpl::VerifyCallback(int ok, X509_STORE_CTX* ctx)
{
    if (ok)
        return ok;
    if (!ctx || X509_STORE_CTX_get_error(ctx) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION ||
        X509_STORE_CTX_get_error_depth(ctx) != 0)
        return 0;
    X509* current = X509_STORE_CTX_get_current_cert(ctx);
    if (!current)
        return 0;
    return X509CertificateImpl::GetUnsupportedCriticalExtensions(current).empty() ? 1 : 0;
}

} // namespace TvrX509
