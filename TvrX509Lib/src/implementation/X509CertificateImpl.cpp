#include "X509CertificateImpl.h"

#include "AuthInfoAccess.h"
#include "Base64.h"
#include "CertificateFields.h"
#include "CryptoAlgJanitor.h"
#include "ExtendedKeyUsage.h"
#include "FileJanitor.h"
#include "KeyUsage.h"
#include "KeyUsageBasedCertSelector.h"
#include "QCStatementsAsn1.h"
#include "X509GeneralNameImpl.h"
#include "X509LibLogger.h"
#include "X509NameImpl.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <ostream>

namespace TvrX509 {

namespace {

const char* const kSource = "src/X509CertificateImpl";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// OpenSSL 3 cannot encode, and so cannot duplicate, a certificate that holds nothing yet;
// a copy of such a certificate is another empty one.
X509* DupCertificate(const X509* source)
{
    if (source && i2d_X509(source, nullptr) <= 0)
        return X509_new();
    return X509_dup(source);
}

// Copies between certificate objects share the decoded certificate: nothing changes an X509
// once a certificate object holds it, so another reference serves as well as a duplicate,
// without encoding and decoding it again.
X509* ShareCertificate(const X509* source)
{
    X509* shared = const_cast<X509*>(source);
    return shared && X509_up_ref(shared) == 1 ? shared : nullptr;
}

bool IsEmpty(X509* x)
{
    return !x || (X509_get_extension_flags(x) & EXFLAG_NO_FINGERPRINT) != 0;
}

// Key-usage flags of KeyUsage::GetFlags.
constexpr uint32_t kDigitalSignature = 0x01;
constexpr uint32_t kNonRepudiation = 0x02;
constexpr uint32_t kKeyEncipherment = 0x04;
constexpr uint32_t kKeyAgreement = 0x10;

struct PurposeRule {
    const char* oid;
    uint32_t allowed;
    const char* found;
    const char* failed;
};

const PurposeRule kPurposeRules[] = {
    {"1.3.6.1.5.5.7.3.9", kDigitalSignature | kNonRepudiation, "OID_OCSP_sign extended key usage found.",
     "OID_OCSP_sign extended key usage requires digitalSignature || nonRepudiation key usage bit!"},
    {"1.3.6.1.5.5.7.3.8", kDigitalSignature | kNonRepudiation, "OID_time_stamp extended key usage found.",
     "OID_time_stamp signing extended key usage requires digitalSignature || nonRepudiation key usage bit!"},
    {"1.3.6.1.5.5.7.3.4", kDigitalSignature | kNonRepudiation | kKeyEncipherment | kKeyAgreement,
     "OID_email_protect extended key usage found.",
     "OID_email_protect extended key usage requires digitalSignature || nonRepudiation || keyEncipherment || "
     "keyAgreement key usage bit!"},
    {"1.3.6.1.5.5.7.3.3", kDigitalSignature, "OID_code_sign extended key usage found.",
     "OID_code_sign extended key usage requires digitalSignature bit!"},
    {"1.3.6.1.5.5.7.3.2", kDigitalSignature | kKeyAgreement, "OID_client_auth extended key usage found.",
     "OID_client_auth extended key usage requires digitalSignature || keyAgreement key usage bit!"},
    {"1.3.6.1.5.5.7.3.1", kDigitalSignature | kKeyEncipherment | kKeyAgreement,
     "OID_server_auth extended key usage found.",
     "OID_server_auth extended key usage requires digitalSignature || keyEncipherment || keyAgreement!"},
};

std::unique_ptr<X509Name> NameOf(const X509_NAME* name)
{
    if (!name)
        return nullptr;
    // One duplicate, straight into the result.
    auto copy = std::make_unique<X509Name>();
    X509NameImpl::Of(*copy).Set(name);
    return copy;
}

std::string OctetText(const ASN1_OCTET_STRING* octets)
{
    if (!octets)
        return std::string();
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(octets)),
                       static_cast<size_t>(ASN1_STRING_length(octets)));
}

} // namespace

int X509CertificateImpl::TagLess::ClassOf(int tag)
{
    switch (tag) {
    case 1:
        return 0;
    case 0:
    case 2:
        return 1;
    case 3:
    case 4:
    case 5:
    case 6:
        return 2;
    default:
        return 3;
    }
}

X509CertificateImpl::X509CertificateImpl()
    : OpenSSLBase(X509_new, X509_free, ShareCertificate, d2i_X509, i2d_X509)
{
    tags.insert(7);
}

X509CertificateImpl::X509CertificateImpl(const X509* x) : X509CertificateImpl()
{
    X509* copy = x ? DupCertificate(x) : nullptr;
    if (!copy)
        throw TvrCommon::ErrCodeException(3);
    Adopt(copy);
}

X509CertificateImpl::X509CertificateImpl(const unsigned char* data, int length)
    : X509CertificateImpl()
{
    DecodeBytes(data, length);
}

X509CertificateImpl::X509CertificateImpl(const std::string& path,
                                         const TvrCommon::SecureString& password)
    : X509CertificateImpl()
{
    ReadFile(path, password);
}

X509CertificateImpl& X509CertificateImpl::Of(const X509Certificate& certificate)
{
    return *certificate.m_impl;
}

X509* X509CertificateImpl::Get(const X509Certificate& certificate)
{
    return certificate.m_impl->object;
}

void X509CertificateImpl::DecodeBytes(const unsigned char* data, int length)
{
    Adopt(nullptr);
    if (!data || length <= 0)
        throw TvrCommon::ErrCodeException(4);
    TvrASN1::OpenSSLErrorJanitor errors;
    std::unique_ptr<TvrCommon::Base64DecodedBuffer> decoded;
    if (data[0] != '0' && data[0] != '-') {
        std::string text(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        try {
            decoded = std::make_unique<TvrCommon::Base64DecodedBuffer>(text.c_str());
        } catch (const TvrCommon::ErrCodeException& e) {
            if (e.GetCode() != 4)
                throw;
            // Text that is not Base64 yields nothing, like an empty text.
        }
        if (!decoded || decoded->GetSize() == 0) {
            GetLogger()->Error(kSource, __LINE__)
                << "Failed to create X509 certificate, the input is empty!" << std::endl;
            throw TvrCommon::ErrCodeException(7);
        }
        data = decoded->GetData();
        length = static_cast<int>(decoded->GetSize());
    }
    if (data[0] == '0') {
        const unsigned char* p = data;
        X509* parsed = d2i_X509(nullptr, &p, length);
        if (!parsed)
            throw TvrCommon::ErrCodeException(4);
        Adopt(parsed);
        return;
    }
    BioPtr bio(BIO_new_mem_buf(data, length));
    if (!bio)
        throw TvrCommon::ErrCodeException(3);
    X509* parsed = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (!parsed) {
        char reason[256] = {};
        ERR_error_string_n(ERR_get_error(), reason, sizeof(reason));
        GetLogger()->Error(kSource, __LINE__) << "Failed to parse the certificate (error code: " << reason
                                              << "), throwing exception!" << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    Adopt(parsed);
}

void X509CertificateImpl::ReadFile(const std::string& path, const TvrCommon::SecureString& password)
{
    Adopt(nullptr);
    TvrASN1::OpenSSLErrorJanitor errors;
    TvrCommon::FileJanitor file(path, "rb");
    if (!file.GetFile()) {
        GetLogger()->Error(kSource, __LINE__) << "Could not read certificate path: " << path << std::endl;
        throw TvrCommon::ErrCodeException(5);
    }
    BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio) {
        GetLogger()->Error(kSource, __LINE__) << "Error allocating memory for certificate." << std::endl;
        throw TvrCommon::ErrCodeException(3);
    }
    if (BIO_set_fp(bio.get(), file.GetFile(), BIO_NOCLOSE) <= 0) {
        GetLogger()->Error(kSource, __LINE__) << "Could not read certificate path: " << path << std::endl;
        throw TvrCommon::ErrCodeException(5);
    }
    if (X509* parsed = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        Adopt(parsed);
        return;
    }
    BIO_reset(bio.get());
    if (X509* parsed = d2i_X509_bio(bio.get(), nullptr)) {
        Adopt(parsed);
        return;
    }
    BIO_reset(bio.get());
    std::unique_ptr<PKCS12, void (*)(PKCS12*)> p12(d2i_PKCS12_bio(bio.get(), nullptr), PKCS12_free);
    if (!p12) {
        GetLogger()->Error(kSource, __LINE__) << "Error parsing pkcs12 file! Path: " << path << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    TvrCrypto::CryptoAlgJanitor algorithms;
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    const char* secret = password.CStr() ? password.CStr() : "";
    if (!PKCS12_parse(p12.get(), secret, &key, &certificate, nullptr)) {
        GetLogger()->Error(kSource, __LINE__) << "Error parsing pkcs12 file! Path: " << path << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    EVP_PKEY_free(key);
    if (!certificate) {
        GetLogger()->Error(kSource, __LINE__) << "Failed to construct X509 certificate!" << path << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
    Adopt(certificate);
}

EVP_PKEY* X509CertificateImpl::GetPublicKey() const
{
    return X509_get_pubkey(object);
}

std::vector<std::string> X509CertificateImpl::GetUnsupportedCriticalExtensions(X509* x)
{
    std::vector<std::string> oids;
    if (!x || !(X509_get_extension_flags(x) & EXFLAG_CRITICAL))
        return oids;
    for (int i = 0; i < X509_get_ext_count(x); ++i) {
        X509_EXTENSION* extension = X509_get_ext(x, i);
        if (!X509_EXTENSION_get_critical(extension) || X509_supported_extension(extension))
            continue;
        char oid[4096] = {};
        OBJ_obj2txt(oid, sizeof(oid), X509_EXTENSION_get_object(extension), 1);
        oids.emplace_back(oid);
    }
    return oids;
}

int X509CertificateImpl::Compare(X509* a, X509* b)
{
    bool emptyA = IsEmpty(a);
    bool emptyB = IsEmpty(b);
    if (emptyA || emptyB)
        return emptyA == emptyB ? 0 : (emptyA ? -1 : 1);
    X509_check_purpose(a, -1, 0);
    X509_check_purpose(b, -1, 0);
    return X509_cmp(a, b);
}

std::unique_ptr<X509Extension> X509CertificateImpl::GetExtension(const std::string& oid) const
{
    int nid = OBJ_txt2nid(oid.c_str());
    if (nid == NID_undef)
        throw TvrCommon::ErrCodeException(1);
    int index = X509_get_ext_by_NID(object, nid, -1);
    if (index == -1)
        return nullptr;
    X509_EXTENSION* extension = X509_get_ext(object, index);
    const ASN1_OCTET_STRING* data = extension ? X509_EXTENSION_get_data(extension) : nullptr;
    if (!data)
        throw TvrCommon::ErrCodeException(1);
    TvrASN1::DERBytes value(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data)));
    return std::unique_ptr<X509Extension>(
        X509Extension::Create(oid, value, X509_EXTENSION_get_critical(extension) > 0));
}

std::string X509CertificateImpl::GetSubjectDN() const
{
    return X509NameImpl::GetOneLine(X509_get_subject_name(object));
}

std::string X509CertificateImpl::GetIssuerDN() const
{
    return X509NameImpl::GetOneLine(X509_get_issuer_name(object));
}

std::string X509CertificateImpl::ReadNameEntry(const X509_NAME* name, int nid, const char* message) const
{
    try {
        return X509NameImpl::GetEntryByNID(name, nid);
    } catch (...) {
        // The context lines must not hide the original failure.
        std::string issuer;
        std::string serial;
        try {
            issuer = GetIssuerDN();
            serial = GetSerialNumber().ToHexString();
        } catch (...) {
        }
        GetLogger()->Error(kSource, __LINE__) << message << std::endl;
        GetLogger()->Error(kSource, __LINE__) << "Issuer DN: " << issuer << std::endl;
        GetLogger()->Error(kSource, __LINE__) << "Serial number: " << serial << std::endl;
        throw;
    }
}

std::string X509CertificateImpl::GetSubjectCN() const
{
    return ReadNameEntry(X509_get_subject_name(object), NID_commonName,
                         "Could not get subject common name from certificate!");
}

std::string X509CertificateImpl::GetIssuerCN() const
{
    return ReadNameEntry(X509_get_issuer_name(object), NID_commonName,
                         "Could not get issuer common name from certificate!");
}

std::unique_ptr<X509Name> X509CertificateImpl::GetSubject() const
{
    return NameOf(X509_get_subject_name(object));
}

std::unique_ptr<X509Name> X509CertificateImpl::GetIssuer() const
{
    return NameOf(X509_get_issuer_name(object));
}

std::string X509CertificateImpl::GetDNAttribute(const std::string& type, int which) const
{
    std::unique_ptr<X509Name> name = which == 1 ? GetIssuer() : GetSubject();
    if (!name) {
        GetLogger()->Error(kSource, __LINE__) << "No DN found in certificate!" << std::endl;
        return std::string();
    }
    for (const RelativeDN& rdn : name->GetRDNs())
        for (const AttrValueAssertion& attribute : rdn.GetAttributes())
            if (attribute.GetType() == type)
                return attribute.GetValue();
    return std::string();
}

std::unique_ptr<std::vector<X509GeneralName>> X509CertificateImpl::GetSubjectAltNames() const
{
    std::unique_ptr<X509Extension> extension = GetExtension("2.5.29.17");
    if (!extension)
        return nullptr;
    std::unique_ptr<TvrASN1::DERBytes> value = extension->GetValue();
    if (!value || value->GetSize() == 0)
        throw TvrCommon::ErrCodeException(1);
    return std::make_unique<std::vector<X509GeneralName>>(X509GeneralNameImpl::ParseGeneralNames(*value));
}

std::string X509CertificateImpl::GetEmail() const
{
    std::string email = ReadNameEntry(X509_get_subject_name(object), NID_pkcs9_emailAddress,
                                      "Could not get subject PKCS#9 email address from certificate!");
    if (!email.empty())
        return email;
    auto names = GetSubjectAltNames();
    if (!names)
        return std::string();
    for (const X509GeneralName& name : *names) {
        try {
            if (name.GetType() == 1)
                return name.GetText();
        } catch (const TvrCommon::ErrCodeException& e) {
            if (e.GetCode() != 2)
                throw;
        }
    }
    return std::string();
}

std::string X509CertificateImpl::GetSubjectAltName() const
{
    auto names = GetSubjectAltNames();
    if (!names)
        return std::string();
    std::string result;
    for (const X509GeneralName& name : *names) {
        try {
            if (name.GetType() == 4)
                return name.GetText();
            if (result.empty())
                result = name.GetText();
        } catch (const TvrCommon::ErrCodeException& e) {
            if (e.GetCode() != 2)
                throw;
        }
    }
    return result;
}

TvrCommon::BigInt X509CertificateImpl::GetSerialNumber() const
{
    const ASN1_INTEGER* serial = X509_get0_serialNumber(object);
    if (!serial)
        throw TvrCommon::ErrCodeException(4);
    return BigIntOfInteger(serial);
}

TvrCommon::Date X509CertificateImpl::GetNotBefore() const
{
    return DateOfTime(X509_get0_notBefore(object));
}

TvrCommon::Date X509CertificateImpl::GetNotAfter() const
{
    return DateOfTime(X509_get0_notAfter(object));
}

bool X509CertificateImpl::CheckValidityPeriod(const TvrCommon::Date& t, unsigned tolerance) const
{
    // An unreadable time spoils the certificate at every instant, not just at those that
    // reach it.
    if (!ASN1_TIME_check(X509_get0_notBefore(object)) || !ASN1_TIME_check(X509_get0_notAfter(object)))
        throw TvrCommon::ErrCodeException(4);
    const int64_t seconds = t.GetMicros() / 1000000;
    time_t latest = static_cast<time_t>(seconds + tolerance);
    int r = X509_cmp_time(X509_get0_notBefore(object), &latest);
    if (r == 0)
        throw TvrCommon::ErrCodeException(4);
    if (r > 0)
        return false;
    time_t earliest = static_cast<time_t>(seconds - static_cast<int64_t>(tolerance));
    r = X509_cmp_time(X509_get0_notAfter(object), &earliest);
    if (r == 0)
        throw TvrCommon::ErrCodeException(4);
    return r >= 0;
}

bool X509CertificateImpl::GetPrivateKeyUsagePeriod(std::unique_ptr<TvrCommon::Date>& notBefore,
                                                   std::unique_ptr<TvrCommon::Date>& notAfter) const
{
    notBefore.reset();
    notAfter.reset();
    int index = X509_get_ext_by_NID(object, NID_private_key_usage_period, -1);
    if (index < 0)
        return true;
    X509_EXTENSION* extension = X509_get_ext(object, index);
    const ASN1_OCTET_STRING* data = extension ? X509_EXTENSION_get_data(extension) : nullptr;
    if (!data) {
        GetLogger()->Error(kSource, __LINE__) << "Malformed PrivateKeyUsagePeriod extension" << std::endl;
        return false;
    }
    const unsigned char* p = ASN1_STRING_get0_data(data);
    std::unique_ptr<PRIVATE_KEY_USAGE_PERIOD, void (*)(PRIVATE_KEY_USAGE_PERIOD*)> period(
        d2i_PRIVATE_KEY_USAGE_PERIOD(nullptr, &p, ASN1_STRING_length(data)),
        PRIVATE_KEY_USAGE_PERIOD_free);
    if (!period) {
        GetLogger()->Error(kSource, __LINE__)
            << "Failed to convert PrivateKeyUsagePeriod to internal format." << std::endl;
        return false;
    }
    for (const ASN1_GENERALIZEDTIME* time : {period->notBefore, period->notAfter}) {
        if (time && !ASN1_TIME_check(time)) {
            GetLogger()->Error(kSource, __LINE__) << "Bad time value in PrivateKeyUsagePeriod." << std::endl;
            return false;
        }
    }
    auto text = [](const ASN1_GENERALIZEDTIME* time) {
        return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                           static_cast<size_t>(ASN1_STRING_length(time)));
    };
    if (period->notBefore) {
        GetLogger()->Debug(kSource, __LINE__) << "Keyusage period not before:" << text(period->notBefore) << std::endl;
        notBefore = std::make_unique<TvrCommon::Date>(text(period->notBefore), TvrCommon::Date::GeneralizedTime);
    }
    if (period->notAfter) {
        GetLogger()->Debug(kSource, __LINE__) << "Keyusage period not after:" << text(period->notAfter) << std::endl;
        notAfter = std::make_unique<TvrCommon::Date>(text(period->notAfter), TvrCommon::Date::GeneralizedTime);
    }
    return true;
}

bool X509CertificateImpl::CheckPrivateKeyUsagePeriod(const TvrCommon::Date& t, unsigned tolerance) const
{
    std::unique_ptr<TvrCommon::Date> notBefore;
    std::unique_ptr<TvrCommon::Date> notAfter;
    if (!GetPrivateKeyUsagePeriod(notBefore, notAfter)) {
        GetLogger()->Error(kSource, __LINE__) << "Malformed PrivateKeyUsagePeriod!" << std::endl;
        return false;
    }
    const int64_t seconds = t.GetMicros() / 1000000;
    if (notBefore && notBefore->GetValue(TvrCommon::Date::Seconds) > seconds + tolerance)
        return false;
    if (notAfter && notAfter->GetValue(TvrCommon::Date::Seconds) < seconds - static_cast<int64_t>(tolerance))
        return false;
    return true;
}

bool X509CertificateImpl::IsValidAt(const TvrCommon::Date& t, unsigned tolerance) const
{
    if (!CheckValidityPeriod(t, tolerance)) {
        GetLogger()->Error(kSource, __LINE__) << "Certificate validity period check failed!" << std::endl;
        return false;
    }
    if (!CheckPrivateKeyUsagePeriod(t, tolerance)) {
        GetLogger()->Error(kSource, __LINE__) << "Privatekey usage period check failed!" << std::endl;
        return false;
    }
    return true;
}

std::string X509CertificateImpl::GetSubjectKeyIdentifier() const
{
    return OctetText(X509_get0_subject_key_id(object));
}

std::string X509CertificateImpl::GetAuthorityKeyIdentifier() const
{
    return OctetText(X509_get0_authority_key_id(object));
}

std::string X509CertificateImpl::GetBase64() const
{
    std::unique_ptr<TvrASN1::DERBytes> der = GetDER();
    return *TvrCommon::Base64Encode(der->GetData(), static_cast<int>(der->GetSize()), true);
}

TvrCommon::ByteArray X509CertificateImpl::GetPublicKeyBytes() const
{
    KeyPtr key(GetPublicKey());
    if (!key)
        throw TvrCommon::ErrCodeException(3);
    unsigned char* encoded = nullptr;
    int length = i2d_PublicKey(key.get(), &encoded);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> guard(encoded, [](unsigned char* p) { OPENSSL_free(p); });
    if (length <= 0 || !encoded) {
        GetLogger()->Debug(kSource, __LINE__) << "pub key encode failed" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    return TvrCommon::ByteArray(encoded, static_cast<size_t>(length));
}

TvrCommon::BigInt X509CertificateImpl::GetIssuerNameHash() const
{
    const X509_NAME* issuer = X509_get_issuer_name(object);
    if (!issuer)
        return TvrCommon::BigInt();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!X509_NAME_digest(issuer, EVP_sha1(), digest, &length))
        throw TvrCommon::ErrCodeException(1);
    return TvrCommon::BigInt(TvrCommon::ByteArray(digest, length));
}

std::string X509CertificateImpl::GetSignatureAlgorithm() const
{
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, &algorithm, object);
    const ASN1_OBJECT* oid = nullptr;
    if (algorithm)
        X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
    if (!oid) {
        GetLogger()->Error(kSource, __LINE__) << "Error in signature digest algorithm!" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    return OBJ_nid2sn(OBJ_obj2nid(oid));
}

std::string X509CertificateImpl::GetSignatureDigestAlgorithm() const
{
    const X509_ALGOR* algorithm = nullptr;
    X509_get0_signature(nullptr, &algorithm, object);
    return SignatureDigestName(algorithm);
}

std::string X509CertificateImpl::GetSignatureKeyDescription() const
{
    KeyPtr key(GetPublicKey());
    if (!key)
        throw TvrCommon::ErrCodeException(1);
    // Provider keys carry no ASN.1 method of their own: look it up by the key's type.
    const EVP_PKEY_ASN1_METHOD* method = EVP_PKEY_asn1_find(nullptr, EVP_PKEY_get_base_id(key.get()));
    if (!method) {
        GetLogger()->Error(kSource, __LINE__) << "ameth?" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    const char* pemName = nullptr;
    if (!EVP_PKEY_asn1_get0_info(nullptr, nullptr, nullptr, nullptr, &pemName, method) || !pemName) {
        GetLogger()->Error(kSource, __LINE__) << "pem str get failed" << std::endl;
        throw TvrCommon::ErrCodeException(1);
    }
    std::string name(pemName);
    if (name == "RSA")
        return name + " (" + std::to_string(EVP_PKEY_get_bits(key.get())) + " bit)";
    GetLogger()->Debug(kSource, __LINE__) << "no rsa key, returning" << std::endl;
    return name;
}

std::string X509CertificateImpl::SubjectForLog() const
{
    try {
        return GetSubjectDN();
    } catch (const TvrCommon::ErrCodeException&) {
        return std::string();  // a log line is no reason to fail
    }
}

bool X509CertificateImpl::CheckKeyUsageConsistency() const
{
    GetLogger()->Debug(kSource, __LINE__) << "Check key usage and extended key usage bits. CERT:" << SubjectForLog()
                                          << std::endl;
    std::unique_ptr<X509Extension> extension = GetExtension(KeyUsage::OID);
    auto* keyUsage = dynamic_cast<KeyUsage*>(extension.get());
    if (!keyUsage) {
        GetLogger()->Debug(kSource, __LINE__) << "No key usage found, returning true." << std::endl;
        return true;
    }
    GetLogger()->Debug(kSource, __LINE__) << "Key usage found!" << std::endl;
    uint32_t flags = 0;
    keyUsage->GetFlags(flags);

    std::unique_ptr<X509Extension> purposesExtension = GetExtension(ExtendedKeyUsage::OID);
    auto* purposes = dynamic_cast<ExtendedKeyUsage*>(purposesExtension.get());
    if (!purposes) {
        GetLogger()->Debug(kSource, __LINE__) << "No extended key usage found, returning true." << std::endl;
        return true;
    }
    GetLogger()->Debug(kSource, __LINE__) << "Extended key usage found!" << std::endl;
    GetLogger()->Debug(kSource, __LINE__) << "Number of extended key usages:" << purposes->GetCount() << std::endl;
    std::unique_ptr<std::vector<std::string>> oids = purposes->GetOIDs();
    for (const std::string& oid : *oids) {
        for (const PurposeRule& rule : kPurposeRules) {
            if (oid != rule.oid)
                continue;
            GetLogger()->Debug(kSource, __LINE__) << rule.found << std::endl;
            if ((flags & rule.allowed) == 0) {
                GetLogger()->Error(kSource, __LINE__) << rule.failed << std::endl;
                return false;
            }
        }
    }
    return true;
}

int X509CertificateImpl::CheckKeyUsage(int purpose, bool flag, bool relaxed) const
{
    KeyPtr key(GetPublicKey());
    if (!key) {
        GetLogger()->Error(kSource, __LINE__) << "Failed to get public key from certificate" << std::endl;
        return 4;
    }
    std::unique_ptr<X509Extension> extension = GetExtension(KeyUsage::OID);
    auto* keyUsage = dynamic_cast<KeyUsage*>(extension.get());
    if (!keyUsage) {
        GetLogger()->Warn(kSource, __LINE__) << "No KeyUsage found in certificate!" << std::endl;
        return 1;
    }
    unsigned allowed = TvrCrypto::KeyUsageBasedCertSelector::GetKeyUsageFromKey(
        purpose, EVP_PKEY_get_base_id(key.get()), flag);
    unsigned required = relaxed ? 0 : TvrCrypto::KeyUsageBasedCertSelector::GetKeyUsageBit(purpose);
    return KeyUsage::Check(static_cast<unsigned char>(allowed), static_cast<unsigned char>(required), *keyUsage);
}

std::set<std::string> X509CertificateImpl::GetCAIssuerURLs() const
{
    std::set<std::string> urls;
    std::unique_ptr<X509Extension> extension = GetExtension(AuthInfoAccess::OID);
    auto* access = dynamic_cast<AuthInfoAccess*>(extension.get());
    if (!access) {
        GetLogger()->Debug(kSource, __LINE__) << "AIA extension not found." << std::endl;
        return urls;
    }
    for (const AccessDescription& description : access->GetAccessDescriptions()) {
        if (description.GetMethod() != "1.3.6.1.5.5.7.48.2")
            continue;
        X509GeneralName location = description.GetLocation();
        if (location.GetType() != 6)
            continue;
        std::string url = location.GetText();
        if (urls.insert(url).second)
            GetLogger()->Debug(kSource, __LINE__) << "Found AIA issuer Cert URL: " << url << std::endl;
        else
            GetLogger()->Debug(kSource, __LINE__) << "Already know the AIA issuer Cert URL : " << url << std::endl;
    }
    if (urls.empty())
        GetLogger()->Debug(kSource, __LINE__) << "No AIA issuer Cert URL found." << std::endl;
    return urls;
}

std::set<std::string> X509CertificateImpl::GetOCSPUrls() const
{
    std::set<std::string> urls;
    std::unique_ptr<X509Extension> extension = GetExtension(AuthInfoAccess::OID);
    auto* access = dynamic_cast<AuthInfoAccess*>(extension.get());
    if (!access)
        return urls;
    for (const AccessDescription& description : access->GetAccessDescriptions()) {
        if (description.GetMethod() != "1.3.6.1.5.5.7.48.1")
            continue;
        // A responder is reached by URI only; another kind of name must not cost the
        // addresses beside it.
        X509GeneralName location = description.GetLocation();
        if (location.GetType() != 6) {
            GetLogger()->Warn(kSource, __LINE__)
                << "Skipping OCSP location that is not a URI, general name type: " << location.GetType()
                << std::endl;
            continue;
        }
        urls.insert(location.GetText());
    }
    return urls;
}

bool X509CertificateImpl::IsCA() const
{
    return X509_check_ca(object) != 0;
}

bool X509CertificateImpl::IsSelfIssuedCA() const
{
    return IsCA() && X509_check_issued(object, object) == X509_V_OK;
}

} // namespace TvrX509
