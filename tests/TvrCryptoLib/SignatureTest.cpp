#include "Signature.h"

#include "../TvrCommonLib/CapturingLogger.h"
#include "../TvrCommonLib/TestHelpers.h"
#include "CryptoLogger.h"
#include "FileUtils.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

using TvrCommon::ByteArray;
using TvrCrypto::Signature;
namespace FileUtils = TvrCommon::FileUtils;

namespace {

ByteArray Text(const std::string& text)
{
    return ByteArray(text);
}

// Keys, a certificate and key files made once by the openssl command line tool.
class SignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/tvr-sig-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const std::string d = dir + "/";
        ASSERT_EQ(Run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + d + "key.pem"), 0);
        ASSERT_EQ(Run("openssl pkey -in " + d + "key.pem -pubout -out " + d + "pub.pem"), 0);
        ASSERT_EQ(Run("openssl req -x509 -new -key " + d + "key.pem -subj /CN=signer -days 2 -out " + d + "cert.pem"), 0);
        ASSERT_EQ(Run("openssl pkcs12 -export -inkey " + d + "key.pem -in " + d + "cert.pem -passout pass:titok -out " +
                      d + "key.p12"),
                  0);
        ASSERT_EQ(Run("openssl pkey -in " + d + "key.pem -aes256 -passout pass:titok -out " + d + "enc.pem"), 0);
        ASSERT_EQ(Run("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + d + "ec.pem"), 0);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

    void SetUp() override { TvrCrypto::SetLogger(&logger); }
    void TearDown() override { TvrCrypto::SetLogger(nullptr); }

    static int Run(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()); }
    static std::string Output(const std::string& command)
    {
        std::string text;
        FILE* pipe = popen((command + " 2>&1").c_str(), "r");
        char buffer[256];
        while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            text += buffer;
        }
        if (pipe != nullptr) {
            pclose(pipe);
        }
        return text;
    }
    static std::string Path(const std::string& name) { return dir + "/" + name; }

    static std::unique_ptr<X509, decltype(&X509_free)> Certificate()
    {
        FILE* file = std::fopen(Path("cert.pem").c_str(), "r");
        X509* certificate = file ? PEM_read_X509(file, nullptr, nullptr, nullptr) : nullptr;
        if (file) {
            std::fclose(file);
        }
        return {certificate, &X509_free};
    }

    size_t FallbackLines() const
    {
        const std::string text = logger.debug.str();
        size_t count = 0;
        for (size_t at = text.find("attr cert verify err"); at != std::string::npos;
             at = text.find("attr cert verify err", at + 1)) {
            ++count;
        }
        return count;
    }

    static std::string dir;
    CapturingLogger logger;
};

std::string SignatureTest::dir;

}  // namespace

TEST_F(SignatureTest, DigestsByIdentifier)
{
    Signature s;
    EXPECT_EQ(s.GetDigestOid(), "1.2.840.113549.1.1.5");
    EXPECT_EQ(s.GetDigestName(), "sha1WithRSAEncryption");
    s.SetData(Text("abc"));
    s.Hash();
    EXPECT_EQ(s.GetHash().Hexify(0, 0), "a9993e364706816aba3e25717850c26c9cd0d89d");

    s.SetDigestAlgorithm("sha256");
    EXPECT_EQ(s.GetDigestOid(), "2.16.840.1.101.3.4.2.1");
    s.Hash();
    EXPECT_EQ(s.GetHash().Hexify(0, 0), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(logger.debug.str().find("EVP_DigestInit_ex"), std::string::npos);

    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Signature::Digest(NID_sha256WithRSAEncryption, abc, 3), s.GetHash());

    EXPECT_EQ(CodeOf([] { Signature().Hash(); }), 2) << "no data";
    EXPECT_EQ(CodeOf([] { Signature::Digest(NID_sha256, nullptr, 0); }), 2);
    Signature unknown;
    unknown.SetDigestAlgorithm("no such digest");
    unknown.SetData(Text("abc"));
    EXPECT_EQ(CodeOf([&] { unknown.Hash(); }), 1);
    EXPECT_EQ(CodeOf([&] { unknown.GetDigestName(); }), 1);
    EXPECT_EQ(CodeOf([&] { unknown.GetDigestOid(); }), 1);
    unknown.SetDigestNid(999999);
    EXPECT_EQ(CodeOf([&] { unknown.GetDigestName(); }), 1);
}

TEST_F(SignatureTest, FailedDigestInitialisationLeavesNoStaleHash)
{
    Signature s;
    s.SetData(Text("first"));
    s.Hash();
    ASSERT_EQ(s.GetHash().GetSize(), 20u);
    s.LoadPemKey(Path("key.pem"), "");

    // No provider here offers FIPS digests, so initialisation fails.
    ASSERT_EQ(EVP_set_default_properties(nullptr, "fips=yes"), 1);
    s.SetData(Text("second"));
    EXPECT_NO_THROW(s.Hash());
    ASSERT_EQ(EVP_set_default_properties(nullptr, ""), 1);

    EXPECT_NE(logger.debug.str().find("EVP_DigestInit_ex error"), std::string::npos);
    EXPECT_EQ(s.GetHash().GetSize(), 0u);
    EXPECT_EQ(CodeOf([&] { s.Sign(); }), 4) << "nothing to sign rather than the digest of other data";
}

TEST_F(SignatureTest, SignaturesInteroperateWithTheOpensslTool)
{
    const std::string data = "Tavrenic signed data\n";
    FileUtils::WriteFile(Path("data.txt"), data.data(), data.size(), false);
    struct Algorithm {
        const char* longName;
        const char* dgst;
    };
    for (const Algorithm& a : {Algorithm{"sha256WithRSAEncryption", "-sha256"}, Algorithm{"sha1", "-sha1"},
                               Algorithm{"sha512", "-sha512"}}) {
        Signature s;
        s.SetDigestAlgorithm(a.longName);
        s.LoadPemKey(Path("key.pem"), "");
        s.SetData(Text(data));
        s.HashAndSign();
        EXPECT_EQ(s.GetSignature().GetSize(), 256u);
        FileUtils::WriteFile(Path("ours.sig"), s.GetSignature());
        EXPECT_EQ(Output(std::string("openssl dgst ") + a.dgst + " -verify " + Path("pub.pem") + " -signature " +
                         Path("ours.sig") + " " + Path("data.txt")),
                  "Verified OK\n")
            << a.longName;

        ASSERT_EQ(Run(std::string("openssl dgst ") + a.dgst + " -sign " + Path("key.pem") + " -out " +
                      Path("theirs.sig") + " " + Path("data.txt")),
                  0);
        Signature check;
        check.SetDigestAlgorithm(a.longName);
        check.SetKeyFromCertificate(Certificate().get());
        check.SetData(Text(data));
        check.SetSignature(*FileUtils::ReadFile(Path("theirs.sig")));
        EXPECT_TRUE(check.HashAndVerify()) << a.longName;
        check.SetData(Text(data + "x"));
        EXPECT_FALSE(check.HashAndVerify()) << a.longName;
    }
}

TEST_F(SignatureTest, DigestInfoNamingTheSignatureAlgorithmVerifiesThroughTheFallback)
{
    const std::string data = "attribute certificate";
    const ByteArray hash = Signature::Digest(NID_sha256, reinterpret_cast<const unsigned char*>(data.data()),
                                             static_cast<int>(data.size()));
    // DigestInfo { sha256WithRSAEncryption, NULL } with the SHA-256 digest.
    ByteArray digestInfo = ByteArray::DeHexify("3031300d06092a864886f70d01010b05000420");
    digestInfo.Append(hash.GetData(), hash.GetSize());
    FileUtils::WriteFile(Path("digestinfo.der"), digestInfo);
    ASSERT_EQ(Run("openssl pkeyutl -sign -inkey " + Path("key.pem") + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                  Path("digestinfo.der") + " -out " + Path("crafted.sig")),
              0);
    const ByteArray crafted = *FileUtils::ReadFile(Path("crafted.sig"));

    Signature s;
    s.SetKeyFromCertificate(Certificate().get());
    s.SetDigestNid(NID_sha256WithRSAEncryption);
    s.SetHash(hash);
    s.SetSignature(crafted);
    EXPECT_TRUE(s.Verify());
    EXPECT_EQ(FallbackLines(), 1u);

    s.SetDigestNid(NID_sha256);
    EXPECT_FALSE(s.Verify()) << "the plain digest identifier does not accept it";
    s.SetDigestNid(NID_sha256WithRSAEncryption);
    ByteArray other = hash;
    other.Append(reinterpret_cast<const unsigned char*>("x"), 1);
    s.SetHash(Signature::Digest(NID_sha256, other.GetData(), static_cast<int>(other.GetSize())));
    EXPECT_FALSE(s.Verify()) << "another digest";

    // A regular signature succeeds at once.
    logger.debug.str("");
    Signature regular;
    regular.SetDigestNid(NID_sha256WithRSAEncryption);
    regular.LoadPemKey(Path("key.pem"), "");
    regular.SetData(Text(data));
    regular.HashAndSign();
    EXPECT_TRUE(regular.Verify());
    EXPECT_EQ(FallbackLines(), 0u);
}

TEST_F(SignatureTest, SignAndVerifyRefuseWhatTheyCannotUse)
{
    Signature s;
    s.SetData(Text("x"));
    EXPECT_EQ(CodeOf([&] { s.Sign(); }), 4) << "no hash";
    s.Hash();
    EXPECT_EQ(CodeOf([&] { s.Sign(); }), 4) << "no key";
    s.SetSignature(Text("sig"));
    EXPECT_EQ(CodeOf([&] { s.Verify(); }), 4) << "no key";

    s.LoadPemKey(Path("ec.pem"), "");
    EXPECT_EQ(CodeOf([&] { s.Sign(); }), 4) << "EC key";
    EXPECT_EQ(CodeOf([&] { s.Verify(); }), 4) << "EC key";

    s.LoadPemKey(Path("key.pem"), "");
    s.SetSignature(ByteArray());
    EXPECT_EQ(CodeOf([&] { s.Verify(); }), 4) << "no signature";
    s.SetHash(Text("not twenty bytes"));
    EXPECT_EQ(CodeOf([&] { s.Sign(); }), 1) << "hash of the wrong length";
    EXPECT_EQ(CodeOf([&] { s.SetKeyFromCertificate(nullptr); }), 4);
}

TEST_F(SignatureTest, CopiesHoldTheirOwnKeyReference)
{
    auto original = std::make_unique<Signature>();
    original->SetDigestAlgorithm("sha256");
    original->LoadPemKey(Path("key.pem"), "");
    original->SetData(Text("payload"));
    Signature copy(*original);
    Signature assigned;
    assigned.SetKeyFromCertificate(Certificate().get());
    assigned = *original;
    original.reset();

    copy.HashAndSign();
    assigned.SetData(Text("payload"));
    assigned.SetSignature(copy.GetSignature());
    EXPECT_TRUE(assigned.HashAndVerify());

    // Replacing a key releases the old one (the leak checker of the sanitizer build watches).
    copy.SetKeyFromCertificate(Certificate().get());
    copy.SetKeyFromCertificate(Certificate().get());
    const auto& same = copy;  // self-assignment, through a reference
    copy = same;
    EXPECT_TRUE(copy.Verify());
}

TEST_F(SignatureTest, KeyFiles)
{
    Signature s;
    s.LoadPkcs12Key(Path("key.p12"), "titok");
    s.LoadPemKey(Path("enc.pem"), "titok");
    s.SetData(Text("x"));
    EXPECT_NO_THROW(s.HashAndSign());

    EXPECT_EQ(CodeOf([&] { s.LoadPkcs12Key(Path("key.p12"), "wrong"); }), 4);
    EXPECT_EQ(CodeOf([&] { s.LoadPkcs12Key(Path("key.pem"), "titok"); }), 4) << "not PKCS#12";
    EXPECT_EQ(CodeOf([&] { s.LoadPkcs12Key(Path("missing.p12"), "titok"); }), 5);
    logger.error.str("");
    EXPECT_EQ(CodeOf([&] { s.LoadPemKey(Path("enc.pem"), "wrong"); }), 4);
    EXPECT_NE(logger.error.str().find("unable to load priv key"), std::string::npos);
    EXPECT_EQ(CodeOf([&] { s.LoadPemKey(Path("enc.pem"), ""); }), 4) << "no prompt, no key";
    EXPECT_EQ(CodeOf([&] { s.LoadPemKey(Path("cert.pem"), ""); }), 4);
    EXPECT_EQ(CodeOf([&] { s.LoadPemKey(dir, ""); }), 5);

    // The key loaded before the failures is still in place.
    EXPECT_TRUE(s.Verify());
}
