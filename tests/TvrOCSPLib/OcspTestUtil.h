// Helpers of the OCSP tests: certificates of the test PKI as library objects, and basic
// responses signed in-process with OCSP_basic_sign in whatever shape a test needs.
#pragma once

#include "BasicOCSPResponse.h"
#include "DERBytes.h"
#include "ErrCodeException.h"
#include "OCSPRequest.h"
#include "OCSPRequestImpl.h"
#include "OCSPResponse.h"
#include "TestPki.h"
#include "X509Certificate.h"

#include <openssl/ocsp.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace OcspTest {

using TvrTest::PkiItem;
using TvrTest::TestPki;

inline const TestPki& Pki() { return TestPki::Get(); }

// The code of the library exception `action` raises; 0 when it raises none.
inline int CodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const TvrCommon::ErrCodeException& e) {
        return e.GetCode();
    }
    return 0;
}

inline TvrX509::X509Certificate Cert(const PkiItem& item) { return TvrX509::X509Certificate(item.Cert()); }

inline std::vector<unsigned char> DerOf(const void* value, const ASN1_ITEM* item)
{
    unsigned char* der = nullptr;
    int length = ASN1_item_i2d(static_cast<const ASN1_VALUE*>(value), &der, item);
    if (length <= 0)
        throw std::runtime_error("DerOf: encoding failed");
    std::vector<unsigned char> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

inline TvrCommon::ByteArray Bytes(const std::vector<unsigned char>& bytes)
{
    return TvrCommon::ByteArray(bytes.data(), bytes.size());
}

// A request for `leaf` issued by the intermediate, with a nonce.
inline TvrOCSP::OCSPRequest RequestFor(const PkiItem& leaf, bool nonce = true,
                                       const std::string& digest = "sha256")
{
    return TvrOCSP::OCSPRequest(digest, Cert(leaf), Cert(Pki().Intermediate()), false, nonce);
}

// A second CA whose OCSP signer is entrusted with OCSP signing, but for its own CA only.
struct ForeignCa {
    PkiItem root;
    PkiItem signer;
};

inline const ForeignCa& Foreign()
{
    static const ForeignCa ca = [] {
        ForeignCa made;
        TvrTest::CertSpec spec;
        spec.subject = "/C=HU/O=Idegen Kft./CN=Foreign Root CA";
        spec.ca = true;
        made.root = TvrTest::CertBuilder::Issue(spec, nullptr);
        TvrTest::CertSpec signer;
        signer.subject = "/C=HU/O=Idegen Kft./CN=Foreign OCSP Signer";
        signer.extensions = {{"keyUsage", "critical,digitalSignature"}, {"extendedKeyUsage", "OCSPSigning"}};
        made.signer = TvrTest::CertBuilder::Issue(signer, &made.root);
        return made;
    }();
    return ca;
}

struct SingleSpec {
    const PkiItem* leaf = nullptr;
    int status = V_OCSP_CERTSTATUS_GOOD;
    int reason = OCSP_REVOKED_STATUS_NOSTATUS;  // -1: no reason field
    const EVP_MD* idDigest = EVP_sha256();
    bool nextUpdate = true;
};

struct BasicSpec {
    std::vector<SingleSpec> singles;
    const PkiItem* signer = nullptr;             // null: the test PKI's OCSP signer
    unsigned long flags = 0;                     // OCSP_NOCERTS, OCSP_RESPID_KEY
    std::vector<const PkiItem*> appendedCerts;   // added to certs after signing
    const TvrOCSP::OCSPRequest* echoNonceOf = nullptr;
    std::vector<unsigned char> nonce;            // a nonce of its own when not empty
    bool criticalExtension = false;
    std::time_t thisUpdate = 0;                  // 0: now - 60 s
    std::time_t nextUpdate = 0;                  // 0: thisUpdate + 1 hour
};

struct BasicDeleter {
    void operator()(OCSP_BASICRESP* b) const { OCSP_BASICRESP_free(b); }
};
using BasicPtr = std::unique_ptr<OCSP_BASICRESP, BasicDeleter>;

inline BasicPtr BuildBasic(const BasicSpec& spec)
{
    const TestPki& pki = Pki();
    const PkiItem& signer = spec.signer ? *spec.signer : pki.OcspSigner();
    BasicPtr basic(OCSP_BASICRESP_new());
    std::time_t thisUpdate = spec.thisUpdate ? spec.thisUpdate : std::time(nullptr) - 60;
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> thisTime(
        ASN1_GENERALIZEDTIME_set(nullptr, thisUpdate), ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> nextTime(
        ASN1_GENERALIZEDTIME_set(nullptr, spec.nextUpdate ? spec.nextUpdate : thisUpdate + 3600), ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> revokedTime(
        ASN1_GENERALIZEDTIME_set(nullptr, pki.RevocationTime()), ASN1_TIME_free);
    for (const SingleSpec& single : spec.singles) {
        OCSP_CERTID* id = OCSP_cert_to_id(single.idDigest, single.leaf->Cert(), pki.Intermediate().Cert());
        if (!OCSP_basic_add1_status(basic.get(), id, single.status, single.reason,
                                    single.status == V_OCSP_CERTSTATUS_REVOKED ? revokedTime.get() : nullptr,
                                    thisTime.get(), single.nextUpdate ? nextTime.get() : nullptr)) {
            OCSP_CERTID_free(id);
            throw std::runtime_error("BuildBasic: add status failed");
        }
        OCSP_CERTID_free(id);
    }
    if (spec.echoNonceOf)
        OCSP_copy_nonce(basic.get(), TvrOCSP::OCSPRequestImpl::Of(*spec.echoNonceOf).object);
    if (!spec.nonce.empty())
        OCSP_basic_add1_nonce(basic.get(), const_cast<unsigned char*>(spec.nonce.data()),
                              static_cast<int>(spec.nonce.size()));
    if (spec.criticalExtension) {
        ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.99999.9.9", 1);
        ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
        ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>("\x05\x00"), 2);
        X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, oid, 1, value);
        OCSP_BASICRESP_add_ext(basic.get(), extension, -1);
        X509_EXTENSION_free(extension);
        ASN1_OCTET_STRING_free(value);
        ASN1_OBJECT_free(oid);
    }
    if (!OCSP_basic_sign(basic.get(), signer.Cert(), signer.Key(), EVP_sha256(), nullptr, spec.flags))
        throw std::runtime_error("BuildBasic: signing failed");
    for (const PkiItem* extra : spec.appendedCerts)
        OCSP_basic_add1_cert(basic.get(), extra->Cert());
    return basic;
}

inline TvrOCSP::BasicOCSPResponse ToBasic(const OCSP_BASICRESP* basic)
{
    std::vector<unsigned char> der = DerOf(basic, ASN1_ITEM_rptr(OCSP_BASICRESP));
    return TvrOCSP::BasicOCSPResponse(TvrASN1::DERBytes(der.data(), der.size()));
}

inline TvrOCSP::BasicOCSPResponse Basic(const BasicSpec& spec) { return ToBasic(BuildBasic(spec).get()); }

// A delegated responder issued by `issuer` (null: the test PKI's intermediate).
inline PkiItem Responder(const std::string& cn, std::vector<std::pair<std::string, std::string>> extensions,
                         std::time_t notBefore = 0, std::time_t notAfter = 0, const PkiItem* issuer = nullptr)
{
    TvrTest::CertSpec spec;
    spec.subject = "/C=HU/O=Tavrenic Teszt Kft./CN=" + cn;
    spec.extensions = std::move(extensions);
    spec.notBefore = notBefore;
    spec.notAfter = notAfter;
    return TvrTest::CertBuilder::Issue(spec, issuer ? issuer : &Pki().Intermediate());
}

// The DER of a successful response carrying `basic`.
inline std::vector<unsigned char> ResponseDer(const OCSP_BASICRESP* basic)
{
    OCSP_RESPONSE* response = OCSP_response_create(OCSP_RESPONSE_STATUS_SUCCESSFUL, const_cast<OCSP_BASICRESP*>(basic));
    std::vector<unsigned char> der = DerOf(response, ASN1_ITEM_rptr(OCSP_RESPONSE));
    OCSP_RESPONSE_free(response);
    return der;
}

// The DER of a response with `status` and no responseBytes.
inline std::vector<unsigned char> StatusOnlyDer(int status)
{
    OCSP_RESPONSE* response = OCSP_response_create(status, nullptr);
    std::vector<unsigned char> der = DerOf(response, ASN1_ITEM_rptr(OCSP_RESPONSE));
    OCSP_RESPONSE_free(response);
    return der;
}

} // namespace OcspTest
