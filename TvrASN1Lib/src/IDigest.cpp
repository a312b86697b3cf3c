#include "IDigest.h"

#include "ASN1Logger.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/obj_mac.h>

#include <memory>
#include <ostream>

namespace TvrASN1::detail {

TvrCommon::ByteArray Sha1Of(const TvrCommon::ByteArray& bytes)
{
    TvrCrypto::Signature signature;  // its default digest is SHA-1
    signature.SetData(bytes);
    signature.Hash();
    return signature.GetHash();
}

std::string SignatureFingerprint(const ASN1_BIT_STRING* signatureValue)
{
    TvrCrypto::Signature signature;
    signature.SetDigestAlgorithm("sha1");
    unsigned char* encoded = nullptr;
    int length = signatureValue ? i2d_ASN1_OCTET_STRING(signatureValue, &encoded) : 0;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> guard(
        encoded, [](unsigned char* p) { OPENSSL_free(p); });
    if (length < 1 || !encoded)
        throw TvrCommon::ErrCodeException(3);
    signature.SetData(TvrCommon::ByteArray(encoded, static_cast<size_t>(length)));
    signature.Hash();
    TvrCommon::ByteArray hash = signature.GetHash();
    if (hash.GetSize() != 20) {
        GetLogger()->Debug("src/OpenSSLBase", __LINE__) << "sha1, 20?" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    return hash.Hexify(1, 0);
}

} // namespace TvrASN1::detail
