#ifndef TVRCRYPTO_SIGNATUREIMPL_H
#define TVRCRYPTO_SIGNATUREIMPL_H

#include "ByteArray.h"
#include "SecureString.h"

#include <openssl/evp.h>

#include <string>

namespace TvrCrypto {

class SignatureImpl {
public:
    SignatureImpl();
    SignatureImpl(const SignatureImpl& other);
    SignatureImpl& operator=(const SignatureImpl& other);
    virtual ~SignatureImpl();

    void Hash();
    void Sign();
    bool Verify();
    // Takes a reference of its own and releases the old key.
    void SetKey(EVP_PKEY* newKey);
    // Takes over the caller's reference and releases the old key.
    void AdoptKey(EVP_PKEY* newKey);
    void LoadPkcs12Key(const std::string& path, const TvrCommon::SecureString& password);
    void LoadPemKey(const std::string& path, const TvrCommon::SecureString& password);

    TvrCommon::ByteArray data;
    TvrCommon::ByteArray hash;
    TvrCommon::ByteArray signature;
    int digestNid;
    EVP_PKEY* key;

private:
    const EVP_MD* LookUpDigest() const;
    EVP_PKEY* RsaKey() const;
    bool VerifyRecoveredDigestInfo() const;
};

}  // namespace TvrCrypto

#endif
