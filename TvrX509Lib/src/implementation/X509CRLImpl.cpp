#include "X509CRLImpl.h"

#include "Base64.h"
#include "CertificateFields.h"
#include "X509CertificateImpl.h"
#include "X509LibLogger.h"
#include "X509NameImpl.h"
#include "X509RevokedImpl.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <ostream>

namespace TvrX509 {

namespace {

const char* const kSource = "src/X509CRLImpl";

// OpenSSL 3 cannot duplicate a CRL that holds nothing yet; its copy is another empty one.
X509_CRL* DupCrl(const X509_CRL* source)
{
    if (source && i2d_X509_CRL(source, nullptr) <= 0)
        return X509_CRL_new();
    return X509_CRL_dup(source);
}

} // namespace

X509CRLImpl::X509CRLImpl()
    : OpenSSLBase(X509_CRL_new, X509_CRL_free, DupCrl, d2i_X509_CRL, i2d_X509_CRL)
{
}

X509CRLImpl::X509CRLImpl(const TvrASN1::DERBytes& der)
    : OpenSSLBase(der, X509_CRL_new, X509_CRL_free, DupCrl, d2i_X509_CRL, i2d_X509_CRL)
{
}

X509CRLImpl::X509CRLImpl(const unsigned char* data, long length) : X509CRLImpl()
{
    TvrASN1::OpenSSLErrorJanitor errors;
    GetLogger()->Debug(kSource, __LINE__) << "Try DER parsing CRL." << std::endl;
    if (ParseDER(data, length)) {
        GetLogger()->Debug(kSource, __LINE__) << "DER CRL successfully parsed!" << std::endl;
        return;
    }
    GetLogger()->Debug(kSource, __LINE__) << "Try PEM parsing CRL." << std::endl;
    if (ParsePEM(data, length)) {
        GetLogger()->Debug(kSource, __LINE__) << "PEM CRL successfully parsed!" << std::endl;
        return;
    }
    GetLogger()->Debug(kSource, __LINE__) << "Try base64 decoding CRL." << std::endl;
    std::string text(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    std::unique_ptr<TvrCommon::Base64DecodedBuffer> decoded;
    try {
        decoded = std::make_unique<TvrCommon::Base64DecodedBuffer>(text.c_str());
    } catch (const TvrCommon::ErrCodeException& e) {
        if (e.GetCode() != 4)
            throw;
        // Not Base64 either: the format error below, as for any other non-CRL text.
    }
    // Text that decodes to nothing is a format error like any other non-CRL text.
    if (decoded && decoded->GetSize() > 0 &&
        ParseDER(decoded->GetData(), static_cast<long>(decoded->GetSize()))) {
        GetLogger()->Debug(kSource, __LINE__) << "DER CRL successfully parsed!" << std::endl;
        return;
    }
    GetLogger()->Error(kSource, __LINE__) << "Can not parse CRL: fomrat error!" << std::endl;
    throw TvrCommon::ErrCodeException(7);
}

X509CRLImpl::~X509CRLImpl() = default;

bool X509CRLImpl::ParseDER(const unsigned char* data, long length)
{
    Adopt(nullptr);
    if (!data || length <= 0)
        throw TvrCommon::ErrCodeException(4);
    if (data[0] != '0') {
        GetLogger()->Debug(kSource, __LINE__) << "Not DER format CRL!" << std::endl;
        return false;
    }
    const unsigned char* p = data;
    X509_CRL* parsed = d2i_X509_CRL(nullptr, &p, length);
    if (!parsed) {
        GetLogger()->Warn(kSource, __LINE__) << "Failed to parse DER CRL! Fallback to PEM format." << std::endl;
        return false;
    }
    Adopt(parsed);
    return true;
}

bool X509CRLImpl::ParsePEM(const unsigned char* data, long length)
{
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(data, static_cast<int>(length)), BIO_free);
    if (!bio)
        throw TvrCommon::ErrCodeException(3);
    X509_CRL* parsed = PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr);
    if (!parsed) {
        GetLogger()->Error(kSource, __LINE__) << "Failed to parse PEM CRL!" << std::endl;
        return false;
    }
    Adopt(parsed);
    return true;
}

long X509CRLImpl::GetVersion() const
{
    return X509_CRL_get_version(object);
}

std::string X509CRLImpl::GetIssuerDN() const
{
    const X509_NAME* issuer = X509_CRL_get_issuer(object);
    if (!issuer)
        throw TvrCommon::ErrCodeException(4);
    return X509NameImpl::GetOneLine(issuer);
}

std::string X509CRLImpl::GetIssuerCN() const
{
    try {
        return X509NameImpl::GetEntryByNID(X509_CRL_get_issuer(object), NID_commonName);
    } catch (...) {
        std::string issuer;
        try {
            issuer = GetIssuerDN();
        } catch (...) {
        }
        GetLogger()->Error(kSource, __LINE__) << "Could not get issuer common name from CRL!" << std::endl;
        GetLogger()->Error(kSource, __LINE__) << "Issuer DN: " << issuer << std::endl;
        long number = 0;
        if (GetCRLNumber(number))
            GetLogger()->Error(kSource, __LINE__) << "CRL number: " << number << std::endl;
        throw;
    }
}

bool X509CRLImpl::GetCRLNumber(long& number) const
{
    auto* value = static_cast<ASN1_INTEGER*>(X509_CRL_get_ext_d2i(object, NID_crl_number, nullptr, nullptr));
    if (!value)
        return false;
    number = ASN1_INTEGER_get(value);
    ASN1_INTEGER_free(value);
    return true;
}

TvrCommon::Date X509CRLImpl::GetLastUpdate() const
{
    return DateOfTime(X509_CRL_get0_lastUpdate(object));
}

TvrCommon::Date X509CRLImpl::GetNextUpdate() const
{
    return DateOfTime(X509_CRL_get0_nextUpdate(object));
}

int X509CRLImpl::GetExtensionCount() const
{
    return X509_CRL_get_ext_count(object);
}

bool X509CRLImpl::GetExtension(int index, X509Extension& out) const
{
    X509_EXTENSION* extension = X509_CRL_get_ext(object, index);
    if (!extension)
        return false;
    out = ExtensionOf(extension);
    return true;
}

std::unique_ptr<X509Revoked> X509CRLImpl::GetRevoked(const TvrCommon::BigInt& serial) const
{
    STACK_OF(X509_REVOKED)* entries = X509_CRL_get_REVOKED(object);
    for (int i = 0; i < sk_X509_REVOKED_num(entries); ++i) {
        const X509_REVOKED* entry = sk_X509_REVOKED_value(entries, i);
        if (!entry)
            throw TvrCommon::ErrCodeException(1);
        X509Revoked candidate;
        candidate.m_impl->Set(entry);
        if (candidate.GetSerialNumber() == serial)
            return std::make_unique<X509Revoked>(candidate);
    }
    return nullptr;
}

int X509CRLImpl::VerifySignature(const X509Certificate& issuer) const
{
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(X509CertificateImpl::Of(issuer).GetPublicKey(),
                                                       EVP_PKEY_free);
    if (!key || X509_CRL_verify(object, key.get()) <= 0)
        return 1;
    for (int i = 0; i < GetExtensionCount(); ++i) {
        X509_EXTENSION* raw = X509_CRL_get_ext(object, i);
        if (!raw)
            return 2;
        X509Extension extension = ExtensionOf(raw);
        bool critical = extension.IsCritical() && !extension.IsSupported();
        if (TraceCondition(critical, "crlext", false))
            return 3;
    }
    return 0;
}

std::string X509CRLImpl::GetSignatureDigestAlgorithm() const
{
    const X509_ALGOR* algorithm = nullptr;
    X509_CRL_get0_signature(object, nullptr, &algorithm);
    return SignatureDigestName(algorithm);
}

const ASN1_BIT_STRING* X509CRLImpl::GetSignatureValue() const
{
    const ASN1_BIT_STRING* signature = nullptr;
    X509_CRL_get0_signature(object, &signature, nullptr);
    return signature;
}

bool X509CRLImpl::operator==(const X509CRLImpl& other) const
{
    if (this == &other || object == other.object)
        return true;
    return object && other.object && X509_CRL_cmp(object, other.object) == 0;
}

} // namespace TvrX509
