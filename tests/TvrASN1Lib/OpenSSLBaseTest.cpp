#include "ASN1Exception.h"
#include "ASN1Logger.h"
#include "IDigest.h"
#include "LogCapture.h"
#include "OpenSSLBase.h"
#include "TestPki.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <functional>

using TvrASN1::ASN1Exception;
using TvrASN1::DERBytes;
using TvrCommon::ErrCodeException;

namespace {

class NameBase : public TvrASN1::OpenSSLBase<X509_NAME> {
public:
    NameBase() : OpenSSLBase(X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME) {}
    explicit NameBase(const DERBytes& der)
        : OpenSSLBase(der, X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME) {}
    explicit NameBase(X509_NAME* borrowedName)
        : OpenSSLBase(borrowedName, X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME,
                      i2d_X509_NAME) {}
};

class Certificate : public TvrASN1::OpenSSLBase<X509>, public TvrASN1::IDigest<Certificate> {
public:
    explicit Certificate(const DERBytes& der)
        : OpenSSLBase(der, X509_new, X509_free, X509_dup, d2i_X509, i2d_X509) {}
};

class Crl : public TvrASN1::OpenSSLBase<X509_CRL>, public TvrASN1::IDigest<Crl> {
public:
    explicit Crl(const DERBytes& der)
        : OpenSSLBase(der, X509_CRL_new, X509_CRL_free, X509_CRL_dup, d2i_X509_CRL, i2d_X509_CRL) {}
    const ASN1_BIT_STRING* GetSignatureValue() const
    {
        const ASN1_BIT_STRING* signature = nullptr;
        X509_CRL_get0_signature(object, &signature, nullptr);
        return signature;
    }
};

DERBytes Bytes(const std::vector<unsigned char>& bytes)
{
    return DERBytes(bytes.data(), bytes.size());
}

std::string Sha1Hex(const unsigned char* data, size_t size, bool upper)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size, md, &length, EVP_sha1(), nullptr);
    std::string text;
    char pair[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof(pair), upper ? "%02X" : "%02x", md[i]);
        text += pair;
    }
    return text;
}

NameBase NameWithCn(const char* cn)
{
    NameBase name;
    X509_NAME_add_entry_by_txt(name.object, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    return name;
}

} // namespace

// Undecodable input raises ASN1Exception(1) after logging the message and OpenSSL's
// errors, leaves no errors queued, and never crashes; bytes after a complete object are
// ignored.
TEST(OpenSSLBaseTest, DecodingMalformedDer)
{
    std::vector<unsigned char> der = TvrTest::TestPki::Get().SigningLeaf().Der();
    std::vector<unsigned char> trailing = der;
    trailing.insert(trailing.end(), {0x05, 0x00, 0xff});
    std::vector<unsigned char> truncated(der.begin(), der.end() - 10);
    std::vector<unsigned char> wrongTag = der;
    wrongTag[0] = 0x31;
    std::vector<unsigned char> lengthTooLong = der;
    lengthTooLong[3] = static_cast<unsigned char>(lengthTooLong[3] + 1);

    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        bool decodes;
    } cases[] = {
        {"exact", der, true},
        {"trailing bytes", trailing, true},
        {"empty", {}, false},
        {"truncated", truncated, false},
        {"wrong outer tag", wrongTag, false},
        {"length beyond the data", lengthTooLong, false},
        {"single byte", {0x30}, false},
        {"not DER at all", {'h', 'e', 'l', 'l', 'o'}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture(TvrASN1::SetLogger);
        ERR_put_error(ERR_LIB_X509, 0, ERR_R_MALLOC_FAILURE, "stale.c", 1);  // must not leak in
        if (c.decodes) {
            Certificate cert(Bytes(c.bytes));
            EXPECT_EQ(*cert.GetDER(), Bytes(der));
            EXPECT_TRUE(capture.log.str().empty());
        } else {
            try {
                Certificate cert(Bytes(c.bytes));
                ADD_FAILURE() << "decoded";
            } catch (const ASN1Exception& e) {
                EXPECT_EQ(e.GetASN1Code(), 1);
                EXPECT_EQ(e.GetCode(), 1);
                EXPECT_STREQ(e.what(), "TvrCrypto::ASN1Exception");
                EXPECT_STREQ(e.GetMessageText(), ErrCodeException(1).GetMessageText());
            }
            auto lines = LogCapture::Lines(capture.log);
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[0], "error parsing input");
            for (size_t i = 1; i < lines.size(); ++i)
                EXPECT_EQ(lines[i].rfind("[OpenSSL] ", 0), 0u) << lines[i];
            EXPECT_EQ(capture.log.str().find("stale.c"), std::string::npos);
        }
        EXPECT_EQ(ERR_peek_error(), 0u);
    }
}

TEST(OpenSSLBaseTest, NullItemFunctionIsABadArgument)
{
    using Base = TvrASN1::OpenSSLBase<X509_NAME>;
    auto code = [](std::function<void()> make) {
        try {
            make();
        } catch (const ErrCodeException& e) {
            return e.GetCode();
        }
        return 0;
    };
    EXPECT_EQ(code([] { Base(nullptr, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME); }), 4);
    EXPECT_EQ(code([] { Base(X509_NAME_new, X509_NAME_free, X509_NAME_dup, d2i_X509_NAME, nullptr); }), 4);
    EXPECT_EQ(code([] { Base(static_cast<X509_NAME*>(nullptr), X509_NAME_new, X509_NAME_free,
                             X509_NAME_dup, d2i_X509_NAME, i2d_X509_NAME); }), 3);
}

TEST(OpenSSLBaseTest, CopiesAreIndependentAndSetKeepsTheCallersObject)
{
    NameBase source = NameWithCn("Alice");
    auto before = source.GetDER();

    NameBase copy(source);
    NameBase assigned;
    assigned = source;
    X509_NAME_add_entry_by_txt(source.object, "O", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Example"), -1, -1, 0);
    EXPECT_EQ(*copy.GetDER(), *before);
    EXPECT_EQ(*assigned.GetDER(), *before);
    EXPECT_NE(*source.GetDER(), *before);

    X509_NAME* mine = X509_NAME_dup(source.object);
    copy.Set(mine);
    X509_NAME_free(mine);  // the holder has its own duplicate
    EXPECT_EQ(*copy.GetDER(), *source.GetDER());

    const auto& same = assigned;
    assigned = same;  // self-assignment changes nothing
    EXPECT_EQ(*assigned.GetDER(), *before);

    try {
        assigned.Set(nullptr);
        ADD_FAILURE();
    } catch (const ErrCodeException& e) {
        EXPECT_EQ(e.GetCode(), 4);
    }
    EXPECT_EQ(*assigned.GetDER(), *before);
}

TEST(OpenSSLBaseTest, BorrowedObjectIsNotFreedButItsCopyIsOwned)
{
    X509_NAME* foreign = X509_NAME_new();
    {
        NameBase borrowed(foreign);
        EXPECT_EQ(borrowed.object, foreign);
        NameBase owned(borrowed);
        EXPECT_NE(owned.object, foreign);
        EXPECT_FALSE(owned.borrowed);
        borrowed = NameWithCn("Bob");  // replaces the borrowed object without freeing it
        EXPECT_FALSE(borrowed.borrowed);
    }
    X509_NAME_free(foreign);  // still ours; a double free would show under ASan
}

TEST(OpenSSLBaseTest, LogsTwoQueuedErrorsWithTheirData)
{
    LogCapture capture(TvrASN1::SetLogger);
    ERR_clear_error();
    ERR_raise(ERR_LIB_ASN1, ASN1_R_TOO_LONG);
    ERR_raise_data(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE, "detail %d", 42);
    TvrASN1::LogOpenSSLErrors(1, "decoding failed");
    auto lines = LogCapture::Lines(capture.log);
    ASSERT_EQ(lines.size(), 4u) << capture.log.str();
    EXPECT_EQ(lines[0], "decoding failed");
    EXPECT_EQ(lines[1].rfind("[OpenSSL] error:", 0), 0u);
    EXPECT_NE(lines[1].find("OpenSSLBaseTest.cpp:"), std::string::npos);
    EXPECT_EQ(lines[2].rfind("[OpenSSL] error:", 0), 0u);
    EXPECT_EQ(lines[3], "[OpenSSL] error data: detail 42");
    EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(OpenSSLBaseTest, ExceptionCopiesKeepTheAsn1Code)
{
    ASN1Exception original(7);
    ASN1Exception copy(original);
    ASN1Exception assigned(1);
    assigned = original;
    EXPECT_EQ(copy.GetASN1Code(), 7);
    EXPECT_EQ(assigned.GetASN1Code(), 7);
    EXPECT_EQ(copy.GetCode(), 1);
    const std::exception& base = copy;
    EXPECT_STREQ(base.what(), "TvrCrypto::ASN1Exception");
}

TEST(OpenSSLBaseTest, ThumbprintAndSignatureFingerprint)
{
    const auto& pki = TvrTest::TestPki::Get();
    std::vector<unsigned char> der = pki.SigningLeaf().Der();
    Certificate cert(Bytes(der));
    EXPECT_EQ(cert.GetThumbprint(), Sha1Hex(der.data(), der.size(), false));
    EXPECT_EQ(cert.GetDigest().GetSize(), 20u);

    Crl crl(Bytes(pki.CrlDer()));
    const ASN1_BIT_STRING* signature = crl.GetSignatureValue();
    std::vector<unsigned char> octets =
        TvrTest::DerTlv(0x04, std::vector<unsigned char>(ASN1_STRING_get0_data(signature),
                                                          ASN1_STRING_get0_data(signature) +
                                                              ASN1_STRING_length(signature)));
    std::string fingerprint = crl.GetFingerprint();
    EXPECT_EQ(fingerprint, Sha1Hex(octets.data(), octets.size(), true));
    EXPECT_EQ(fingerprint.find_first_of("abcdef"), std::string::npos);
}

TEST(OpenSSLBaseTest, LoggerHookFallsBackToTheSharedNoLogger)
{
    EXPECT_EQ(TvrASN1::GetLogger(), TvrLogger::SharedNoLogger());
    {
        LogCapture capture(TvrASN1::SetLogger);
        EXPECT_EQ(TvrASN1::GetLogger(), &capture);
    }
    EXPECT_EQ(TvrASN1::GetLogger(), TvrLogger::SharedNoLogger());
}
