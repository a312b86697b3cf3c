#include "KeyUsageBasedCertSelector.h"

#include "../TvrCommonLib/CapturingLogger.h"
#include "CryptoLogger.h"
#include "../TvrCommonLib/TestHelpers.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

using TvrCrypto::KeyUsageBasedCertSelector;

TEST(KeyUsageBasedCertSelectorTest, MasksByKindAndKeyType)
{
    struct Case {
        int kind;
        int keyType;
        bool nonRepudiationOnly;
        unsigned mask;
    };
    const Case cases[] = {
        {1, EVP_PKEY_RSA, false, 0xC0}, {1, EVP_PKEY_EC, true, 0x40},  {2, EVP_PKEY_EC, false, 0xA8},
        {2, EVP_PKEY_RSA, true, 0xA8},  {4, EVP_PKEY_EC, false, 0x08}, {4, EVP_PKEY_RSA, false, 0x30},
        {4, EVP_PKEY_RSA2, false, 0x30}, {4, EVP_PKEY_DSA, false, 0xFF}, {8, EVP_PKEY_RSA, false, 0xFF},
        {16, EVP_PKEY_EC, true, 0xFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KeyUsageBasedCertSelector::GetKeyUsageFromKey(c.kind, c.keyType, c.nonRepudiationOnly), c.mask)
            << "kind " << c.kind << " key type " << c.keyType;
    }
    const int bits[][2] = {{1, 0x40}, {2, 0x80}, {4, 0}, {8, 0x02}, {16, 0}, {3, 0}};
    for (const auto& b : bits) {
        EXPECT_EQ(KeyUsageBasedCertSelector::GetKeyUsageBit(b[0]), static_cast<unsigned>(b[1])) << "kind " << b[0];
    }
}

TEST(KeyUsageBasedCertSelectorTest, UnknownKindIsLoggedAndRefused)
{
    CapturingLogger logger;
    TvrCrypto::SetLogger(&logger);
    for (int kind : {0, 3, 32}) {
        EXPECT_EQ(CodeOf([&] { KeyUsageBasedCertSelector::GetKeyUsageFromKey(kind, EVP_PKEY_RSA, false); }), 4)
            << "kind " << kind;
    }
    TvrCrypto::SetLogger(nullptr);
    EXPECT_NE(logger.error.str().find("KeyUsageBasedCertSelector::GetKeyUsageFromKey: Could not get KeyUsageFlags!"),
              std::string::npos);
}

TEST(KeyUsageBasedCertSelectorTest, SelectorsAndFlags)
{
    EXPECT_EQ(KeyUsageBasedCertSelector::Signing.GetFlags(), 1u);
    EXPECT_EQ(KeyUsageBasedCertSelector::Authentication.GetFlags(), 2u);
    EXPECT_EQ(KeyUsageBasedCertSelector::Encryption.GetFlags(), 4u);
    EXPECT_FALSE(KeyUsageBasedCertSelector::Encryption.GetOption());
    const KeyUsageBasedCertSelector s(0x17, true);
    EXPECT_TRUE(s.HasFlag1() && s.HasFlag2() && s.HasFlag4() && s.HasFlag16() && s.GetOption());
    const KeyUsageBasedCertSelector none(0x08, false);
    EXPECT_FALSE(none.HasFlag1() || none.HasFlag2() || none.HasFlag4() || none.HasFlag16());
}
