#include "CertificateFields.h"

#include "ErrCodeException.h"
#include "TypedExtensionImpl.h"
#include "X509LibLogger.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <ostream>

namespace TvrX509 {

namespace {
const char* const kSource = "src/CertificateFields";
}

TvrCommon::Date DateOfTime(const ASN1_TIME* time)
{
    if (!time)
        return TvrCommon::Date();
    std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                     static_cast<size_t>(ASN1_STRING_length(time)));
    switch (ASN1_STRING_type(time)) {
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
    int digestNid = NID_undef;
    if (!OBJ_find_sigid_algs(OBJ_obj2nid(object), &digestNid, nullptr))
        digestNid = NID_undef;
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
