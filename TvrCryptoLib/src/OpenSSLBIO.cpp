#include "OpenSSLBIO.h"

#include "CryptoLogger.h"
#include "ErrCodeException.h"
#include "FileUtils.h"

#include <openssl/bio.h>

namespace TvrCrypto {

OpenSSLBIO::OpenSSLBIO() : m_bio(nullptr) {}

OpenSSLBIO::~OpenSSLBIO()
{
    BIO_free_all(m_bio);
}

void OpenSSLBIO::OpenForRead(const std::string& path)
{
    BIO* bio = BIO_new(BIO_s_file());
    if (bio == nullptr) {
        throw TvrCommon::ErrCodeException(3);
    }
    FILE* file = TvrCommon::FileUtils::OpenFile(path, "rb");
    if (file == nullptr) {
        BIO_free_all(bio);
        throw TvrCommon::ErrCodeException(5);
    }
    if (BIO_set_fp(bio, file, BIO_CLOSE) != 1) {
        std::fclose(file);
        BIO_free_all(bio);
        GetLogger()->Error("src/OpenSSLBIO", __LINE__) << "Could not read path: " << path << std::endl;
        throw TvrCommon::ErrCodeException(5);
    }
    BIO_free_all(m_bio);
    m_bio = bio;
}

}  // namespace TvrCrypto
