#include "CertIDImpl.h"

#include "ErrCodeException.h"
#include "OCSPLibLogger.h"
#include "OCSPUtil.h"
#include "ThreadFlagRegistry.h"
#include "ThreadId.h"
#include "X509CertificateImpl.h"

#include <openssl/evp.h>
#include <openssl/objects.h>

#include <new>
#include <ostream>

namespace TvrOCSP {

namespace {

const char* const kSource = "src/CertID";

struct IdFields {
    ASN1_OCTET_STRING* nameHash = nullptr;
    ASN1_OBJECT* algorithm = nullptr;
    ASN1_OCTET_STRING* keyHash = nullptr;
    ASN1_INTEGER* serial = nullptr;
};

IdFields FieldsOf(const OCSP_CERTID* id)
{
    IdFields fields;
    if (id)
        OCSP_id_get0_info(&fields.nameHash, &fields.algorithm, &fields.keyHash, &fields.serial,
                          const_cast<OCSP_CERTID*>(id));
    return fields;
}

std::string HashText(const ASN1_OCTET_STRING* hash)
{
    if (!hash)
        throw TvrCommon::ErrCodeException(1);
    return BytesOf(hash).Hexify(0, 1);
}

} // namespace

CertIDImpl::CertIDImpl()
    : OpenSSLBase(OCSP_CERTID_new, OCSP_CERTID_free, OCSP_CERTID_dup, d2i_OCSP_CERTID, i2d_OCSP_CERTID)
{
}

CertIDImpl& CertIDImpl::Of(const CertID& id)
{
    return *id.m_impl;
}

OCSP_CERTID* CertIDImpl::MakeId(const std::string& digestName,
                                const TvrX509::X509Certificate& certificate,
                                const TvrX509::X509Certificate& issuer)
{
    const EVP_MD* digest = EVP_get_digestbyname(digestName.c_str());
    if (!digest)
        throw TvrCommon::ErrCodeException(1);
    OCSP_CERTID* id = OCSP_cert_to_id(digest, TvrX509::X509CertificateImpl::Get(certificate),
                                      TvrX509::X509CertificateImpl::Get(issuer));
    if (!id) {
        if (TvrCrypto::ThreadFlagRegistry::GetFlag2(TvrCommon::CurrentThreadId())) {
            GetLogger()->Error(kSource, __LINE__) << "Found wrong digest algorithm!" << std::endl;
            throw TvrCommon::ErrCodeException(8);
        }
        throw TvrCommon::ErrCodeException(3);
    }
    return id;
}

void CertIDImpl::Create(const std::string& digestName, const TvrX509::X509Certificate& certificate,
                        const TvrX509::X509Certificate& issuer)
{
    Adopt(MakeId(digestName, certificate, issuer));
}

std::unique_ptr<TvrCommon::BigInt> CertIDImpl::GetSerialNumber() const
{
    const ASN1_INTEGER* serial = FieldsOf(object).serial;
    if (!serial)
        throw TvrCommon::ErrCodeException(1);
    return std::make_unique<TvrCommon::BigInt>(BytesOf(serial));
}

std::unique_ptr<std::string> CertIDImpl::GetHashAlgorithm() const
{
    const ASN1_OBJECT* algorithm = FieldsOf(object).algorithm;
    if (!algorithm)
        return nullptr;
    int nid = OBJ_obj2nid(algorithm);
    const char* name = nid == NID_undef ? nullptr : OBJ_nid2ln(nid);
    return std::unique_ptr<std::string>(new (std::nothrow) std::string(name ? name : ""));
}

std::string CertIDImpl::GetIssuerNameHash() const
{
    return HashText(FieldsOf(object).nameHash);
}

std::string CertIDImpl::GetIssuerKeyHash() const
{
    return HashText(FieldsOf(object).keyHash);
}

bool CertIDImpl::Equals(const CertIDImpl& other) const
{
    return object == other.object || OCSP_id_cmp(object, other.object) == 0;
}

} // namespace TvrOCSP
