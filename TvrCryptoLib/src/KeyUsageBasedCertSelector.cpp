#include "KeyUsageBasedCertSelector.h"

#include "CryptoLogger.h"
#include "ErrCodeException.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

namespace TvrCrypto {

const KeyUsageBasedCertSelector KeyUsageBasedCertSelector::Signing(1, false);
const KeyUsageBasedCertSelector KeyUsageBasedCertSelector::Authentication(2, false);
const KeyUsageBasedCertSelector KeyUsageBasedCertSelector::Encryption(4, false);

KeyUsageBasedCertSelector::KeyUsageBasedCertSelector(unsigned flags, bool option) : m_flags(flags), m_option(option) {}

KeyUsageBasedCertSelector::~KeyUsageBasedCertSelector() = default;

unsigned KeyUsageBasedCertSelector::GetKeyUsageFromKey(int kind, int keyType, bool nonRepudiationOnly)
{
    switch (kind) {
    case 1:
        return nonRepudiationOnly ? KU_NON_REPUDIATION : (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
    case 2:
        return KU_DIGITAL_SIGNATURE | KU_KEY_ENCIPHERMENT | KU_KEY_AGREEMENT;
    case 4:
        if (keyType == EVP_PKEY_EC) {
            return KU_KEY_AGREEMENT;
        }
        if (keyType == EVP_PKEY_RSA || keyType == EVP_PKEY_RSA2) {
            return KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT;
        }
        return 0xFF;
    case 8:
    case 16:
        return 0xFF;
    default:
        GetLogger()->Error("src/KeyUsageBasedCertSelector", __LINE__)
            << "KeyUsageBasedCertSelector::GetKeyUsageFromKey: Could not get KeyUsageFlags!" << std::endl;
        throw TvrCommon::ErrCodeException(4);
    }
}

unsigned KeyUsageBasedCertSelector::GetKeyUsageBit(int kind)
{
    switch (kind) {
    case 1: return KU_NON_REPUDIATION;
    case 2: return KU_DIGITAL_SIGNATURE;
    case 8: return KU_CRL_SIGN;
    default: return 0;
    }
}

}  // namespace TvrCrypto
