#include "CryptoAlgJanitor.h"

#include "../TvrCommonLib/CapturingLogger.h"
#include "ByteArray.h"
#include "CryptoLogger.h"
#include "ThreadFlagRegistry.h"
#include "ThreadId.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

using TvrCrypto::CryptoAlgJanitor;
namespace fs = std::filesystem;

namespace {

const std::string kInit =
    "ossl init: load error strings...\n"
    "ossl init: load BIO strings...\n"
    "ossl init: ssl library init...\n"
    "ossl init: adding algorithms...\n"
    "ossl init: clear error...\n";
const std::string kFini = "ossl fini\n";

class CryptoAlgJanitorTest : public ::testing::Test {
protected:
    void SetUp() override { TvrCrypto::SetLogger(&logger); }
    void TearDown() override { TvrCrypto::SetLogger(nullptr); }
    CapturingLogger logger;
};

std::string Sha256Hex(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "failed";
    return TvrCommon::ByteArray(digest, length).Hexify(0, 0);
}

// A PKCS#12 file in the old RC2/3DES encryption, made by the openssl tool.
fs::path MakeLegacyPkcs12(const fs::path& dir)
{
    fs::create_directories(dir);
    const std::string d = dir.string();
    const std::string commands =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=legacy"
        " -days 2 -keyout " + d + "/k.pem -out " + d + "/c.pem 2>/dev/null && "
        "openssl pkcs12 -export -legacy -in " + d + "/c.pem -inkey " + d + "/k.pem -passout pass:pw"
        " -out " + d + "/legacy.p12 2>/dev/null && "
        "openssl pkcs12 -legacy -info -noout -in " + d + "/legacy.p12 -passin pass:pw 2>&1"
        " | grep -q pbeWithSHA1And40BitRC2-CBC";
    if (std::system(commands.c_str()) != 0)
        return {};
    return dir / "legacy.p12";
}

TEST_F(CryptoAlgJanitorTest, JanitorsInARowSetUpAndCleanUpEachTime)
{
    { CryptoAlgJanitor first; }
    { CryptoAlgJanitor second; }
    EXPECT_EQ(logger.debug.str(), kInit + kFini + kInit + kFini);
}

TEST_F(CryptoAlgJanitorTest, NestedAndCopiedJanitorsShareOneSetUp)
{
    auto outer = std::make_unique<CryptoAlgJanitor>();
    {
        CryptoAlgJanitor inner;
        CryptoAlgJanitor copy(inner);
        copy = *outer;
    }
    auto copy = std::make_unique<CryptoAlgJanitor>(*outer);
    outer.reset();
    EXPECT_EQ(logger.debug.str(), kInit);
    copy.reset();
    EXPECT_EQ(logger.debug.str(), kInit + kFini);
}

TEST_F(CryptoAlgJanitorTest, OpenSslWorksAfterRepeatedSetUpAndCleanUp)
{
    const fs::path dir = fs::temp_directory_path() / ("tvr-p12-" + std::to_string(::getpid()));
    const fs::path p12Path = MakeLegacyPkcs12(dir);
    ASSERT_FALSE(p12Path.empty()) << "openssl tool could not make a legacy PKCS#12 file";

    { CryptoAlgJanitor first; }
    { CryptoAlgJanitor second; }
    CryptoAlgJanitor working;

    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    FILE* file = std::fopen(p12Path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12_fp(file, nullptr), PKCS12_free);
    std::fclose(file);
    ASSERT_TRUE(p12);
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    EXPECT_EQ(PKCS12_parse(p12.get(), "pw", &key, &cert, nullptr), 1);
    EXPECT_NE(key, nullptr);
    EXPECT_NE(cert, nullptr);
    EVP_PKEY_free(key);
    X509_free(cert);
    fs::remove_all(dir);
}

TEST_F(CryptoAlgJanitorTest, ConcurrentJanitorsBalanceTheHoldCount)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                CryptoAlgJanitor janitor;
                CryptoAlgJanitor copy(janitor);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Every hold was given back: the next janitor sets OpenSSL up again.
    logger.debug.str("");
    { CryptoAlgJanitor again; }
    EXPECT_EQ(logger.debug.str(), kInit + kFini);
}

TEST(ThreadFlagRegistryTest, FlagsArePerThreadAndClearedByCleanUp)
{
    using TvrCrypto::ThreadFlagRegistry;
    ThreadFlagRegistry::Clear();
    const unsigned long self = TvrCommon::CurrentThreadId();
    unsigned long other = 0;
    std::thread([&] { other = TvrCommon::CurrentThreadId(); }).join();
    ASSERT_NE(self, other) << "threads must have distinct ids";

    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(self), 0);
    ThreadFlagRegistry::SetFlag1(self, 5);
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(self), 5);
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(other), 0);
    EXPECT_EQ(ThreadFlagRegistry::GetFlag2(self), 0);

    // Save, clear and restore around a check.
    const int saved = ThreadFlagRegistry::GetFlag1(self);
    ThreadFlagRegistry::SetFlag1(self, 0);
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(self), 0);
    ThreadFlagRegistry::SetFlag1(self, saved);
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(self), 5);

    { CryptoAlgJanitor janitor; } // the clean-up empties the registry
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(self), 0);
    ThreadFlagRegistry::SetFlag1(other, 7);
    ThreadFlagRegistry::Clear();
    EXPECT_EQ(ThreadFlagRegistry::GetFlag1(other), 0);
}

} // namespace
