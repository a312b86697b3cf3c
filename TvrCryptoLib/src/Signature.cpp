#include "Signature.h"

#include "CryptoAlgJanitor.h"
#include "CryptoLogger.h"
#include "ErrCodeException.h"
#include "OpenSSLBIO.h"
#include "SignatureImpl.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <vector>

namespace TvrCrypto {

using TvrCommon::ByteArray;
using TvrCommon::ErrCodeException;

namespace {

struct PkeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter>;

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

struct X509SigDeleter {
    void operator()(X509_SIG* sig) const { X509_SIG_free(sig); }
};

struct Pkcs12Deleter {
    void operator()(PKCS12* p12) const { PKCS12_free(p12); }
};

std::ostream& Debug(int line)
{
    return GetLogger()->Debug("src/Signature", line);
}

// Hands the password to OpenSSL; never falls back to a terminal prompt.
int PasswordCallback(char* buffer, int size, int, void* password)
{
    const char* text = static_cast<const char*>(password);
    const size_t length = std::strlen(text);
    if (size <= 0 || length > static_cast<size_t>(size)) {
        return -1;
    }
    std::memcpy(buffer, text, length);
    return static_cast<int>(length);
}

}  // namespace

SignatureImpl::SignatureImpl() : digestNid(NID_sha1WithRSAEncryption), key(nullptr) {}

SignatureImpl::SignatureImpl(const SignatureImpl& other)
    : data(other.data), hash(other.hash), signature(other.signature), digestNid(other.digestNid), key(nullptr)
{
    SetKey(other.key);
}

SignatureImpl& SignatureImpl::operator=(const SignatureImpl& other)
{
    if (this != &other) {
        data = other.data;
        hash = other.hash;
        signature = other.signature;
        digestNid = other.digestNid;
        SetKey(other.key);
    }
    return *this;
}

SignatureImpl::~SignatureImpl()
{
    EVP_PKEY_free(key);
}

void SignatureImpl::SetKey(EVP_PKEY* newKey)
{
    if (newKey != nullptr && EVP_PKEY_up_ref(newKey) != 1) {
        throw ErrCodeException(1);
    }
    AdoptKey(newKey);
}

void SignatureImpl::AdoptKey(EVP_PKEY* newKey)
{
    EVP_PKEY_free(key);
    key = newKey;
}

const EVP_MD* SignatureImpl::LookUpDigest() const
{
    const char* shortName = OBJ_nid2sn(digestNid);
    const EVP_MD* md = shortName == nullptr ? nullptr : EVP_get_digestbyname(shortName);
    if (md == nullptr) {
        throw ErrCodeException(1);
    }
    return md;
}

EVP_PKEY* SignatureImpl::RsaKey() const
{
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        throw ErrCodeException(4);
    }
    return key;
}

void SignatureImpl::Hash()
{
    if (data.GetSize() == 0) {
        throw ErrCodeException(2);
    }
    CryptoAlgJanitor janitor;
    const EVP_MD* md = LookUpDigest();
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx) {
        throw ErrCodeException(3);
    }
    Debug(__LINE__) << "EVP_DigestInit_ex" << std::endl;
    if (EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        Debug(__LINE__) << "EVP_DigestInit_ex error" << std::endl;
        ERR_clear_error();
        // The previous digest belongs to other data; it must not be signed for this one.
        hash.Clear();
        return;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestUpdate(ctx.get(), data.GetData(), data.GetSize()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        ERR_clear_error();
        hash.Clear();
        throw ErrCodeException(1);
    }
    hash = ByteArray(digest, length);
}

void SignatureImpl::Sign()
{
    if (hash.GetSize() == 0 || key == nullptr) {
        throw ErrCodeException(4);
    }
    const EVP_MD* md = LookUpDigest();
    PkeyCtx ctx(EVP_PKEY_CTX_new(RsaKey(), nullptr));
    size_t length = static_cast<size_t>(EVP_PKEY_get_size(key));
    std::vector<unsigned char> buffer(length);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
        EVP_PKEY_sign(ctx.get(), buffer.data(), &length, hash.GetData(), hash.GetSize()) != 1) {
        ERR_clear_error();
        throw ErrCodeException(1);
    }
    signature = ByteArray(buffer.data(), length);
}

bool SignatureImpl::Verify()
{
    if (hash.GetSize() == 0 || signature.GetSize() == 0 || key == nullptr) {
        throw ErrCodeException(4);
    }
    const EVP_MD* md = LookUpDigest();
    PkeyCtx ctx(EVP_PKEY_CTX_new(RsaKey(), nullptr));
    if (ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) == 1 &&
        EVP_PKEY_verify(ctx.get(), signature.GetData(), signature.GetSize(), hash.GetData(), hash.GetSize()) == 1) {
        return true;
    }
    ERR_clear_error();
    Debug(__LINE__) << "attr cert verify err, fallback to ...WithRSAEncryption" << std::endl;
    const bool verified = VerifyRecoveredDigestInfo();
    ERR_clear_error();
    return verified;
}

// Some signers name the signature algorithm (sha1WithRSAEncryption) instead of
// the digest in the DigestInfo. Recover it and accept it when it names the
// stored identifier and carries the hash.
bool SignatureImpl::VerifyRecoveredDigestInfo() const
{
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t length = static_cast<size_t>(EVP_PKEY_get_size(key));
    std::vector<unsigned char> recovered(length);
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &length, signature.GetData(), signature.GetSize()) != 1) {
        return false;
    }
    const unsigned char* cursor = recovered.data();
    std::unique_ptr<X509_SIG, X509SigDeleter> digestInfo(d2i_X509_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!digestInfo || cursor != recovered.data() + length) {
        return false;
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(digestInfo.get(), &algorithm, &digest);
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = V_ASN1_UNDEF;
    X509_ALGOR_get0(&oid, &parameterType, nullptr, algorithm);
    if (OBJ_obj2nid(oid) != digestNid || (parameterType != V_ASN1_NULL && parameterType != V_ASN1_UNDEF)) {
        return false;
    }
    return hash.Equals(ASN1_STRING_get0_data(digest), static_cast<size_t>(ASN1_STRING_length(digest)));
}

void SignatureImpl::LoadPkcs12Key(const std::string& path, const TvrCommon::SecureString& password)
{
    OpenSSLBIO bio;
    bio.OpenForRead(path);
    std::unique_ptr<PKCS12, Pkcs12Deleter> p12(d2i_PKCS12_bio(bio.GetBIO(), nullptr));
    if (!p12) {
        ERR_clear_error();
        throw ErrCodeException(4);
    }
    CryptoAlgJanitor janitor;
    EVP_PKEY* privateKey = nullptr;
    X509* certificate = nullptr;
    const int parsed = PKCS12_parse(p12.get(), password.CStr(), &privateKey, &certificate, nullptr);
    X509_free(certificate);
    if (parsed != 1) {
        EVP_PKEY_free(privateKey);
        ERR_clear_error();
        throw ErrCodeException(4);
    }
    if (privateKey == nullptr) {
        GetLogger()->Error("src/Signature", __LINE__) << "unable to load priv key" << std::endl;
        throw ErrCodeException(4);
    }
    AdoptKey(privateKey);
}

void SignatureImpl::LoadPemKey(const std::string& path, const TvrCommon::SecureString& password)
{
    OpenSSLBIO bio;
    bio.OpenForRead(path);
    EVP_PKEY* privateKey = PEM_read_bio_PrivateKey(bio.GetBIO(), nullptr, PasswordCallback,
                                                   const_cast<char*>(password.CStr()));
    if (privateKey == nullptr) {
        ERR_clear_error();
        GetLogger()->Error("src/Signature", __LINE__) << "unable to load priv key" << std::endl;
        throw ErrCodeException(4);
    }
    AdoptKey(privateKey);
}

Signature::Signature() : m_impl(new SignatureImpl()) {}

Signature::Signature(const Signature& other) : m_impl(new SignatureImpl(*other.m_impl)) {}

Signature& Signature::operator=(const Signature& other)
{
    *m_impl = *other.m_impl;
    return *this;
}

Signature::~Signature()
{
    delete m_impl;
}

void Signature::SetData(const ByteArray& data)
{
    m_impl->data = data;
}

ByteArray Signature::GetHash() const
{
    return m_impl->hash;
}

void Signature::SetHash(const ByteArray& hash)
{
    m_impl->hash = hash;
}

ByteArray Signature::GetSignature() const
{
    return m_impl->signature;
}

void Signature::SetSignature(const ByteArray& signature)
{
    m_impl->signature = signature;
}

void Signature::SetDigestNid(int nid)
{
    m_impl->digestNid = nid;
}

void Signature::SetDigestAlgorithm(const std::string& longName)
{
    m_impl->digestNid = OBJ_ln2nid(longName.c_str());
}

std::string Signature::GetDigestName() const
{
    const char* name = m_impl->digestNid == NID_undef ? nullptr : OBJ_nid2ln(m_impl->digestNid);
    if (name == nullptr) {
        ERR_clear_error();
        throw ErrCodeException(1);
    }
    return name;
}

std::string Signature::GetDigestOid() const
{
    const ASN1_OBJECT* object = m_impl->digestNid == NID_undef ? nullptr : OBJ_nid2obj(m_impl->digestNid);
    char text[1024];
    if (object == nullptr || OBJ_obj2txt(text, sizeof text, object, 1) <= 0) {
        ERR_clear_error();
        throw ErrCodeException(1);
    }
    return text;
}

void Signature::Hash()
{
    m_impl->Hash();
}

void Signature::Sign()
{
    m_impl->Sign();
}

bool Signature::Verify()
{
    return m_impl->Verify();
}

void Signature::HashAndSign()
{
    Hash();
    Sign();
}

bool Signature::HashAndVerify()
{
    Hash();
    return Verify();
}

void Signature::SetKey(EVP_PKEY* key)
{
    m_impl->SetKey(key);
}

void Signature::SetKeyFromCertificate(const X509* certificate)
{
    EVP_PKEY* publicKey = certificate == nullptr ? nullptr : X509_get0_pubkey(certificate);
    if (publicKey == nullptr) {
        ERR_clear_error();
        throw ErrCodeException(4);
    }
    m_impl->SetKey(publicKey);
}

void Signature::LoadPkcs12Key(const std::string& path, const TvrCommon::SecureString& password)
{
    m_impl->LoadPkcs12Key(path, password);
}

void Signature::LoadPemKey(const std::string& path, const TvrCommon::SecureString& password)
{
    m_impl->LoadPemKey(path, password);
}

ByteArray Signature::Digest(int nid, const unsigned char* data, int length)
{
    if (length < 0 || (length > 0 && data == nullptr)) {
        throw ErrCodeException(4);
    }
    Signature signature;
    signature.SetDigestNid(nid);
    signature.SetData(ByteArray(data, static_cast<size_t>(length)));
    signature.Hash();
    return signature.GetHash();
}

}  // namespace TvrCrypto
