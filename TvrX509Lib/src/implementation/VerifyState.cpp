#include "VerifyState.h"

#include <openssl/x509.h>

#include <mutex>
#include <string>
#include <string_view>

namespace TvrX509 {

namespace {

int ContextIndex()
{
    static const int index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

void FreeMark(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*)
{
    delete static_cast<std::string*>(ptr);
}

int MarkIndex()
{
    static const int index = X509_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeMark);
    return index;
}

// Certificate objects are shared between copies, and copies may live on other threads: the
// marks on them are read and written under one lock.
std::mutex& MarkLock()
{
    static std::mutex lock;
    return lock;
}

// The subjectPublicKey bits of `x`, empty when it has none. They stay with `x`.
std::string_view KeyBits(X509* x)
{
    const unsigned char* bits = nullptr;
    int length = 0;
    X509_PUBKEY* key = X509_get_X509_PUBKEY(x);
    if (!key || !X509_PUBKEY_get0_param(nullptr, &bits, &length, nullptr, key) || !bits || length <= 0)
        return std::string_view();
    return std::string_view(reinterpret_cast<const char*>(bits), static_cast<size_t>(length));
}

} // namespace

VerifyState* VerifyState::Of(const X509_STORE_CTX* ctx)
{
    int index = ContextIndex();
    if (!ctx || index < 0)
        return nullptr;
    return static_cast<VerifyState*>(X509_STORE_CTX_get_ex_data(ctx, index));
}

bool VerifyState::Attach(X509_STORE_CTX* ctx, VerifyState* state)
{
    int index = ContextIndex();
    return ctx && index >= 0 && X509_STORE_CTX_set_ex_data(ctx, index, state) == 1;
}

bool SignatureMark::IsVerifiedBy(X509* subject, X509* issuer)
{
    int index = MarkIndex();
    std::string_view bits = KeyBits(issuer);
    if (index < 0 || bits.empty())
        return false;
    std::lock_guard<std::mutex> guard(MarkLock());
    auto* mark = static_cast<std::string*>(X509_get_ex_data(subject, index));
    return mark && *mark == bits;
}

void SignatureMark::Set(X509* subject, X509* issuer)
{
    int index = MarkIndex();
    std::string_view bits = KeyBits(issuer);
    if (index < 0 || bits.empty())
        return;
    std::lock_guard<std::mutex> guard(MarkLock());
    auto* mark = static_cast<std::string*>(X509_get_ex_data(subject, index));
    if (mark) {
        mark->assign(bits);
        return;
    }
    mark = new std::string(bits);
    if (X509_set_ex_data(subject, index, mark) != 1)
        delete mark;
}

} // namespace TvrX509
