#ifndef TVRCRYPTO_SIGNATURE_H
#define TVRCRYPTO_SIGNATURE_H

#include "ByteArray.h"
#include "SecureString.h"

#include <openssl/types.h>

#include <string>

namespace TvrCrypto {

class SignatureImpl;

// Digests byte data and makes and checks PKCS#1 v1.5 RSA signatures over the
// digest. The digest identifier is an OpenSSL NID, either a plain digest
// (sha256) or an RSA signature algorithm (sha256WithRSAEncryption); both find
// the same digest. A new object uses sha1WithRSAEncryption.
class Signature {
public:
    Signature();
    // Copies share the key by reference count; each copy releases its own reference.
    Signature(const Signature& other);
    Signature& operator=(const Signature& other);
    virtual ~Signature();

    void SetData(const TvrCommon::ByteArray& data);
    TvrCommon::ByteArray GetHash() const;
    void SetHash(const TvrCommon::ByteArray& hash);
    TvrCommon::ByteArray GetSignature() const;
    void SetSignature(const TvrCommon::ByteArray& signature);

    void SetDigestNid(int nid);
    // OpenSSL's long name, e.g. "sha256"; an unknown name sets identifier 0.
    void SetDigestAlgorithm(const std::string& longName);
    // Unknown identifiers throw code 1.
    std::string GetDigestName() const;
    std::string GetDigestOid() const;

    // No data: code 2; unknown digest: code 1. A digest that cannot be
    // initialised leaves the hash empty.
    void Hash();
    // No hash, no key or a key that is not RSA: code 4; a failed signing: code 1.
    void Sign();
    bool Verify();
    void HashAndSign();
    bool HashAndVerify();

    // Takes a reference of its own to the key (null forgets the key).
    void SetKey(EVP_PKEY* key);
    // The certificate's public key; a certificate without one throws code 4.
    void SetKeyFromCertificate(const X509* certificate);
    void LoadPkcs12Key(const std::string& path, const TvrCommon::SecureString& password);
    // An empty password reads an unencrypted key; nothing ever prompts.
    void LoadPemKey(const std::string& path, const TvrCommon::SecureString& password);

    static TvrCommon::ByteArray Digest(int nid, const unsigned char* data, int length);

private:
    SignatureImpl* m_impl;
};

}  // namespace TvrCrypto

#endif
