#include "CertificateFields.h"

#include "ErrCodeException.h"
#include "TypedExtensionImpl.h"
#include "X509LibLogger.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <memory>
#include <ostream>

namespace TvrX509 {

namespace {

const char* const kSource = "src/CertificateFields";

// The hashAlgorithm of RSASSA-PSS parameters; NID_undef when they do not decode.
int PssDigestNid(const X509_ALGOR* algorithm)
{
    const void* parameter = nullptr;
    int parameterType = V_ASN1_UNDEF;
    X509_ALGOR_get0(nullptr, &parameterType, &parameter, algorithm);
    if (parameterType != V_ASN1_SEQUENCE)
        return NID_undef;
    std::unique_ptr<RSA_PSS_PARAMS, decltype(&RSA_PSS_PARAMS_free)> parameters(
        static_cast<RSA_PSS_PARAMS*>(ASN1_item_unpack(static_cast<const ASN1_STRING*>(parameter),
                                                      ASN1_ITEM_rptr(RSA_PSS_PARAMS))),
        RSA_PSS_PARAMS_free);
    if (!parameters)
        return NID_undef;
    if (!parameters->hashAlgorithm)
        return NID_sha1;
    return OBJ_obj2nid(parameters->hashAlgorithm->algorithm);
}

} // namespace

TvrCommon::Date DateOfTime(const ASN1_TIME* time)
{
    if (!time)
        return TvrCommon::Date();
    const int type = ASN1_STRING_type(time);
    // The date parser would roll month 13 or day 99 over into a real date; refuse such a
    // time with the code that the validity check gives for it.
    if ((type == V_ASN1_UTCTIME || type == V_ASN1_GENERALIZEDTIME) && !ASN1_TIME_check(time)) {
        GetLogger()->Error(kSource, __LINE__) << "Bad time value!" << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                     static_cast<size_t>(ASN1_STRING_length(time)));
    switch (type) {
    case V_ASN1_UTCTIME:
        return TvrCommon::Date(text, TvrCommon::Date::UtcTime);
    case V_ASN1_GENERALIZEDTIME:
        return TvrCommon::Date(text, TvrCommon::Date::GeneralizedTime);
    default:
        return TvrCommon::Date(0, TvrCommon::Date::Micros);
    }
}

TvrCommon::BigInt BigIntOfInteger(const ASN1_INTEGER* integer)
{
    return TvrCommon::BigInt(TvrCommon::ByteArray(ASN1_STRING_get0_data(integer),
                                                  static_cast<size_t>(ASN1_STRING_length(integer))));
}

std::string SignatureDigestName(const X509_ALGOR* algorithm)
{
    const ASN1_OBJECT* object = nullptr;
    if (algorithm)
        X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    if (!object) {
        GetLogger()->Error(kSource, __LINE__) << "Error in signature digest algorithm!" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    const int signatureNid = OBJ_obj2nid(object);
    int digestNid = NID_undef;
    int keyNid = NID_undef;
    if (!OBJ_find_sigid_algs(signatureNid, &digestNid, &keyNid))
        digestNid = keyNid = NID_undef;
    // EdDSA hashes the message as part of the signature scheme: there is no digest of its own.
    if (digestNid == NID_undef && (signatureNid == NID_ED25519 || signatureNid == NID_ED448))
        return std::string();
    // RSASSA-PSS names its digest in the parameters (SHA-1 when they leave it out).
    if (signatureNid == NID_rsassaPss)
        digestNid = PssDigestNid(algorithm);
    const EVP_MD* digest = digestNid == NID_undef ? nullptr : EVP_get_digestbyname(OBJ_nid2sn(digestNid));
    if (!digest) {
        GetLogger()->Error(kSource, __LINE__) << "Unidentified signature digest algorithm!" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    return OBJ_nid2ln(EVP_MD_get_type(digest));
}

X509Extension ExtensionOf(X509_EXTENSION* extension)
{
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    TvrASN1::DERBytes value;
    if (data)
        value = TvrASN1::DERBytes(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)));
    return X509Extension(ObjectToText(X509_EXTENSION_get_object(extension), 1), value, X509_EXTENSION_get_critical(extension) > 0);
}

} // namespace TvrX509
