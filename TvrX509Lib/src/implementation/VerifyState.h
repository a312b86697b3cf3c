#pragma once

#include <openssl/x509_vfy.h>

#include <unordered_map>
#include <utility>

namespace TvrX509 {

// Results of X509_check_issued (issuer, subject) already computed during one search; the
// certificates stay alive for the search.
struct IssuedPairHash {
    size_t operator()(const std::pair<X509*, X509*>& pair) const
    {
        return std::hash<X509*>()(pair.first) * 31 + std::hash<X509*>()(pair.second);
    }
};
using IssuedMemo = std::unordered_map<std::pair<X509*, X509*>, int, IssuedPairHash>;

// What the chain verification keeps beside an OpenSSL store context that OpenSSL 3 no
// longer lets us read or write: the trusted stack, the count of untrusted certificates at
// the start of the chain, the current issuer, purpose, trust and our own flags. Attached
// to the context as ex_data; the state itself belongs to whoever attached it.
struct VerifyState {
    // Report issuer-test failures through the verify callback (OpenSSL 3 made its own
    // flag of this meaning a no-op).
    static constexpr unsigned long kCbIssuerCheck = 0x1;

    STACK_OF(X509)* trusted = nullptr;  // borrowed
    int lastUntrusted = 0;
    X509* currentIssuer = nullptr;      // borrowed
    int purpose = 0;
    int trust = 0;
    unsigned long flags = 0;
    IssuedMemo* issued = nullptr;       // borrowed; null: nothing remembered

    // The state attached to `ctx`, null when none is.
    static VerifyState* Of(const X509_STORE_CTX* ctx);
    // Attaches `state` (null detaches); false when OpenSSL refuses.
    static bool Attach(X509_STORE_CTX* ctx, VerifyState* state);
};

// Remembers, on a certificate object, the issuer key its signature was verified with, so
// later attempts on the same object skip the signature check only for that same key.
class SignatureMark {
public:
    static bool IsVerifiedBy(X509* subject, X509* issuer);
    static void Set(X509* subject, X509* issuer);
};

} // namespace TvrX509
