#include "BasicOCSPResponseImpl.h"

#include "ErrCodeException.h"
#include "OCSPItemDup.h"
#include "OCSPLibLogger.h"
#include "OCSPMirror.h"
#include "OCSPRequestImpl.h"
#include "OCSPUtil.h"
#include "SingleResponseImpl.h"
#include "X509CertificateImpl.h"
#include "X509NameImpl.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <new>
#include <ostream>

namespace TvrOCSP {

namespace {

const char* const kSource = "src/BasicOCSPResponse";
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// SHA-1 of the certificate's public key bits; empty when it cannot be computed.
TvrCommon::ByteArray KeyHashOf(const X509* certificate)
{
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || !X509_pubkey_digest(certificate, EVP_sha1(), hash, &length))
        return TvrCommon::ByteArray();
    return TvrCommon::ByteArray(hash, length);
}

// Whether the responder ID names `certificate`: by its subject, or by the SHA-1 of its key.
bool IdNames(const ResponderIdView& id, const X509* certificate)
{
    if (!certificate)
        return false;
    if (id.type == V_OCSP_RESPID_NAME)
        return id.byName && X509_NAME_cmp(X509_get_subject_name(certificate), id.byName) == 0;
    if (id.type == V_OCSP_RESPID_KEY)
        return id.byKey && ASN1_STRING_length(id.byKey) == SHA_DIGEST_LENGTH
            && KeyHashOf(certificate) == BytesOf(id.byKey);
    return false;
}

} // namespace

BasicOCSPResponseImpl::BasicOCSPResponseImpl()
    : OpenSSLBase(OCSP_BASICRESP_new, OCSP_BASICRESP_free, DupOCSP_BASICRESP, d2i_OCSP_BASICRESP,
                  i2d_OCSP_BASICRESP)
{
}

BasicOCSPResponseImpl::BasicOCSPResponseImpl(const TvrASN1::DERBytes& der) : BasicOCSPResponseImpl()
{
    Release();
    const unsigned char* p = der.GetData();
    object = d2i_OCSP_BASICRESP(nullptr, &p, static_cast<long>(der.GetSize()));
    if (!object) {
        // Leave no decoding errors behind for the thread's next OpenSSL user.
        ERR_clear_error();
        throw TvrCommon::ErrCodeException(3);
    }
}

BasicOCSPResponseImpl& BasicOCSPResponseImpl::Of(const BasicOCSPResponse& response)
{
    return *response.m_impl;
}

int BasicOCSPResponseImpl::GetVersion() const
{
    auto mirror = RequiredMirrorOf<RESPDATA_MIRROR>(ASN1_ITEM_rptr(OCSP_RESPDATA), OCSP_resp_get0_respdata(object),
                                                    ASN1_ITEM_rptr(RESPDATA_MIRROR));
    return mirror->version ? static_cast<int>(ASN1_INTEGER_get(mirror->version)) + 1 : 1;
}

ResponderIdView BasicOCSPResponseImpl::GetResponderIdView() const
{
    ResponderIdView view;
    if (OCSP_resp_get0_id(object, &view.byKey, &view.byName) == 1)
        view.type = view.byName ? V_OCSP_RESPID_NAME : V_OCSP_RESPID_KEY;
    return view;
}

const ASN1_BIT_STRING* BasicOCSPResponseImpl::GetSignatureValue() const
{
    return OCSP_resp_get0_signature(object);
}

std::string BasicOCSPResponseImpl::GetResponderID() const
{
    if (!OCSP_resp_get0_respdata(object))
        throw TvrCommon::ErrCodeException(1);
    ResponderIdView id = GetResponderIdView();
    if (id.type == V_OCSP_RESPID_NAME) {
        std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)> name(X509_NAME_dup(id.byName), X509_NAME_free);
        if (!name)
            throw TvrCommon::ErrCodeException(3);
        TvrCommon::ByteArray der = EncodeItem(name.get(), ASN1_ITEM_rptr(X509_NAME));
        return TvrX509::X509Name(TvrASN1::DERBytes(der)).GetOneLine();
    }
    if (id.type == V_OCSP_RESPID_KEY) {
        if (!id.byKey)
            throw TvrCommon::ErrCodeException(1);
        return BytesOf(id.byKey).Hexify(1, 1);
    }
    return "Unknown responder identifier";
}

TvrCommon::Date BasicOCSPResponseImpl::GetProducedAt() const
{
    if (!OCSP_resp_get0_respdata(object))
        throw TvrCommon::ErrCodeException(1);
    return DateOf(OCSP_resp_get0_produced_at(object));
}

std::unique_ptr<TvrCommon::ByteArray> BasicOCSPResponseImpl::GetSignature() const
{
    const ASN1_OCTET_STRING* signature = OCSP_resp_get0_signature(object);
    if (!signature)
        throw TvrCommon::ErrCodeException(1);
    return std::make_unique<TvrCommon::ByteArray>(BytesOf(signature));
}

std::unique_ptr<std::vector<SingleResponse>> BasicOCSPResponseImpl::GetSingleResponses() const
{
    int count = OCSP_resp_count(object);
    if (count <= 0)
        return nullptr;
    std::unique_ptr<std::vector<SingleResponse>> list(new (std::nothrow) std::vector<SingleResponse>());
    if (!list)
        throw TvrCommon::ErrCodeException(3);
    for (int i = 0; i < count; ++i) {
        const OCSP_SINGLERESP* single = OCSP_resp_get0(object, i);
        if (!single)
            throw TvrCommon::ErrCodeException(1);
        SingleResponse copy;
        SingleResponseImpl::Of(copy).Set(single);
        list->push_back(copy);
    }
    return list;
}

bool BasicOCSPResponseImpl::FindSingleResponse(const OCSPRequest& request, SingleResponse& found) const
{
    auto entries = request.GetRequests();
    if (entries->empty())
        throw TvrCommon::ErrCodeException(1);
    if (entries->size() > 1)
        throw TvrCommon::ErrCodeException(2);
    CertID id = entries->front().GetCertID();
    // A response without any single response answers nothing.
    auto singles = GetSingleResponses();
    if (!singles)
        return false;
    for (const SingleResponse& single : *singles) {
        auto singleId = single.GetCertID();
        if (singleId && *singleId == id) {
            found = single;
            return true;
        }
    }
    return false;
}

std::unique_ptr<std::vector<TvrX509::X509Certificate>> BasicOCSPResponseImpl::GetCertificates() const
{
    const STACK_OF(X509)* certs = OCSP_resp_get0_certs(object);
    int count = sk_X509_num(certs);
    if (count == 0)
        return nullptr;
    std::unique_ptr<std::vector<TvrX509::X509Certificate>> list(
        new (std::nothrow) std::vector<TvrX509::X509Certificate>());
    if (!list)
        throw TvrCommon::ErrCodeException(3);
    for (int i = 0; i < count; ++i) {
        const X509* certificate = sk_X509_value(certs, i);
        if (!certificate)
            throw TvrCommon::ErrCodeException(1);
        list->emplace_back(certificate);
    }
    return list;
}

bool BasicOCSPResponseImpl::HasExtensions() const
{
    return OCSP_BASICRESP_get_ext_count(object) > 0;
}

std::unique_ptr<std::vector<TvrX509::X509Extension>> BasicOCSPResponseImpl::GetExtensions() const
{
    return CopyExtensions(OCSP_BASICRESP_get_ext_count(object),
                          [this](int i) { return OCSP_BASICRESP_get_ext(object, i); });
}

int BasicOCSPResponseImpl::VerifySignature(EVP_PKEY* key) const
{
    if (!key)
        return -1;
    const OCSP_RESPDATA* data = OCSP_resp_get0_respdata(object);
    const X509_ALGOR* algorithm = OCSP_resp_get0_tbs_sigalg(object);
    const ASN1_BIT_STRING* signature = OCSP_resp_get0_signature(object);
    if (!data || !algorithm || !signature)
        return -1;
    return ASN1_item_verify(ASN1_ITEM_rptr(OCSP_RESPDATA), algorithm, signature, data, key);
}

std::vector<X509*> BasicOCSPResponseImpl::FindEmbeddedResponderCertificates(const ResponderIdView& id) const
{
    std::vector<X509*> named;
    const STACK_OF(X509)* certs = OCSP_resp_get0_certs(object);
    for (int i = 0; i < sk_X509_num(certs); ++i) {
        X509* certificate = sk_X509_value(certs, i);
        if (IdNames(id, certificate))
            named.push_back(certificate);
    }
    return named;
}

std::vector<X509*> BasicOCSPResponseImpl::FindResponderCertificates(
    const ResponderIdView& id, const std::set<TvrX509::X509Certificate*>* candidates) const
{
    if (!candidates) {
        GetLogger()->Error(kSource, __LINE__) << "No OCSP responder certificate candidates found!" << std::endl;
        return {};
    }
    std::vector<X509*> named;
    for (TvrX509::X509Certificate* candidate : *candidates) {
        if (!candidate)
            continue;
        X509* x = TvrX509::X509CertificateImpl::Get(*candidate);
        if (id.type == V_OCSP_RESPID_KEY) {
            if (!id.byKey) {
                GetLogger()->Error(kSource, __LINE__)
                    << "Malformed OCSP responder ID! byKey member is empty!" << std::endl;
                return {};
            }
            if (ASN1_STRING_length(id.byKey) != SHA_DIGEST_LENGTH) {
                GetLogger()->Error(kSource, __LINE__)
                    << "Malformed OCSP responder ID! Non SHA-1 key hash, length:"
                    << ASN1_STRING_length(id.byKey) << std::endl;
                return {};
            }
        } else if (id.type != V_OCSP_RESPID_NAME) {
            GetLogger()->Error(kSource, __LINE__)
                << "Malformed OCSP responder ID! Unknown OCSP responder ID type:" << id.type << std::endl;
            return {};
        }
        if (IdNames(id, x))
            named.push_back(x);
    }
    if (named.empty())
        GetLogger()->Error(kSource, __LINE__) << "No OCSP responder certificate found by ID" << std::endl;
    return named;
}

X509* BasicOCSPResponseImpl::FirstSigner(const std::vector<X509*>& certificates) const
{
    for (X509* certificate : certificates) {
        KeyPtr key(X509_get_pubkey(certificate), EVP_PKEY_free);
        int r = VerifySignature(key.get());
        ERR_clear_error();
        GetLogger()->Debug(kSource, __LINE__) << "OCSP Basic response Verify:" << r << std::endl;
        if (r >= 1)
            return certificate;
    }
    return nullptr;
}

bool BasicOCSPResponseImpl::Verify(TvrX509::X509Certificate& responder,
                                   const std::set<TvrX509::X509Certificate*>* candidates) const
{
    // The signer is a certificate the responder ID names, wherever the responder put it
    // among its certificates; failing that, one of the caller's (RFC 6960 4.2.2.2). Several
    // may carry that name (a responder whose key was renewed): each is tried in turn.
    const ResponderIdView id = GetResponderIdView();
    const std::vector<X509*> embedded = FindEmbeddedResponderCertificates(id);
    X509* signer = FirstSigner(embedded);
    if (!signer) {
        if (embedded.empty()) {
            std::string idText;
            try {
                idText = GetResponderID();
            } catch (const TvrCommon::ErrCodeException&) {
                // A malformed ID is reported by the search below; the log line goes without it.
            }
            GetLogger()->Info(kSource, __LINE__)
                << "Certificate not found in OCSP response! OCSP Responder ID: " << idText << std::endl;
        }
        std::vector<X509*> named;
        if (candidates) {
            GetLogger()->Info(kSource, __LINE__)
                << "Looking for OCSP responder certificate in the given certificate list." << std::endl;
            named = FindResponderCertificates(id, candidates);
            signer = FirstSigner(named);
        }
        if (embedded.empty() && named.empty()) {
            GetLogger()->Error(kSource, __LINE__)
                << "No OCSP responder certificate found! Basic OCSP response validation failed!" << std::endl;
            return false;
        }
    }

    bool result = false;
    if (signer) {
        TvrX509::X509CertificateImpl::Of(responder).Set(signer);
        result = true;
    }
    int count = OCSP_BASICRESP_get_ext_count(object);
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* extension = OCSP_BASICRESP_get_ext(object, i);
        if (!extension)
            throw TvrCommon::ErrCodeException(4);
        TvrX509::X509Extension copy = CopyExtension(extension);
        bool unhandledCritical = copy.IsCritical() && !copy.IsSupported();
        GetLogger()->Debug(kSource, __LINE__)
            << "d" << ":" << "Bo" << (unhandledCritical ? "t" : "f") << std::endl;
        if (unhandledCritical) {
            result = false;
            break;
        }
    }
    return result;
}

std::string BasicOCSPResponseImpl::GetSignatureDigestAlgorithm() const
{
    const X509_ALGOR* algorithm = OCSP_resp_get0_tbs_sigalg(object);
    const ASN1_OBJECT* oid = nullptr;
    if (algorithm)
        X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    if (!oid)
        return "";
    int digestNid = 0;
    if (!OBJ_find_sigid_algs(OBJ_obj2nid(oid), &digestNid, nullptr))
        digestNid = 0;
    const EVP_MD* digest = digestNid == NID_undef ? nullptr : EVP_get_digestbyname(OBJ_nid2sn(digestNid));
    if (!digest) {
        GetLogger()->Error(kSource, __LINE__) << "Unidentified signature digest algorithm!" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    return OBJ_nid2ln(EVP_MD_get_type(digest));
}

bool BasicOCSPResponseImpl::CheckNonce(const OCSPRequest& request) const
{
    return OCSP_check_nonce(OCSPRequestImpl::Of(request).object, object) > 0;
}

bool BasicOCSPResponseImpl::IsResponderCertificate(const TvrX509::X509Certificate& certificate) const
{
    ResponderIdView id = GetResponderIdView();
    X509* x = TvrX509::X509CertificateImpl::Get(certificate);
    if (id.type == V_OCSP_RESPID_NAME)
        return TvrX509::X509NameImpl::Compare(id.byName, X509_get_subject_name(x)) == 0;
    if (id.type == V_OCSP_RESPID_KEY)
        return id.byKey && ASN1_STRING_length(id.byKey) == SHA_DIGEST_LENGTH
            && KeyHashOf(x) == BytesOf(id.byKey);
    return false;
}

bool BasicOCSPResponseImpl::IsAuthorizedResponder(const TvrX509::X509Certificate& responder,
                                                  const TvrX509::X509Certificate& issuer, std::time_t at) const
{
    X509* signer = TvrX509::X509CertificateImpl::Get(responder);
    KeyPtr signerKey(X509_get_pubkey(signer), EVP_PKEY_free);
    int signedBySigner = VerifySignature(signerKey.get());
    ERR_clear_error();
    if (signedBySigner < 1) {
        GetLogger()->Error(kSource, __LINE__) << "OCSP response is not signed by the given responder!" << std::endl;
        return false;
    }
    return IsAuthorizedSigner(responder, issuer, at);
}

bool BasicOCSPResponseImpl::IsAuthorizedSigner(const TvrX509::X509Certificate& signerCertificate,
                                               const TvrX509::X509Certificate& issuer, std::time_t at) const
{
    X509* signer = TvrX509::X509CertificateImpl::Get(signerCertificate);
    X509* ca = TvrX509::X509CertificateImpl::Get(issuer);
    if (X509_cmp(signer, ca) == 0)
        return true;
    // The issuer itself under a renewed certificate (same name and key, new serial and
    // validity): the answer is signed with the issuer's own key.
    if (X509_NAME_cmp(X509_get_subject_name(signer), X509_get_subject_name(ca)) == 0) {
        const EVP_PKEY* signerKey = X509_get0_pubkey(signer);
        const EVP_PKEY* caKey = X509_get0_pubkey(ca);
        bool sameKey = signerKey && caKey && EVP_PKEY_eq(signerKey, caKey) == 1;
        ERR_clear_error();
        if (sameKey)
            return true;
    }

    // A delegated responder: issued and signed by the issuer, and entrusted with OCSP signing.
    KeyPtr caKey(X509_get_pubkey(ca), EVP_PKEY_free);
    bool issuedByCa = caKey && X509_NAME_cmp(X509_get_issuer_name(signer), X509_get_subject_name(ca)) == 0
        && X509_verify(signer, caKey.get()) == 1;
    ERR_clear_error();
    if (!issuedByCa) {
        GetLogger()->Error(kSource, __LINE__)
            << "OCSP responder certificate is not issued by the certificate's issuer!" << std::endl;
        return false;
    }
    bool ocspSigning = (X509_get_extension_flags(signer) & EXFLAG_XKUSAGE)
        && (X509_get_extended_key_usage(signer) & XKU_OCSP_SIGN);
    if (!ocspSigning) {
        GetLogger()->Error(kSource, __LINE__)
            << "OCSP responder certificate is not entrusted with OCSP signing!" << std::endl;
        return false;
    }
    // X509_cmp_time: -1 at or before `at`, 1 after, 0 for a time that cannot be read.
    std::time_t instant = at;
    if (X509_cmp_time(X509_get0_notBefore(signer), &instant) != -1
        || X509_cmp_time(X509_get0_notAfter(signer), &instant) != 1) {
        GetLogger()->Error(kSource, __LINE__)
            << "OCSP responder certificate is not valid at the time of the check!" << std::endl;
        return false;
    }
    if ((X509_get_extension_flags(signer) & EXFLAG_KUSAGE)
        && !(X509_get_key_usage(signer) & KU_DIGITAL_SIGNATURE)) {
        GetLogger()->Error(kSource, __LINE__)
            << "OCSP responder certificate's key usage does not allow digital signatures!" << std::endl;
        return false;
    }
    return true;
}

} // namespace TvrOCSP
