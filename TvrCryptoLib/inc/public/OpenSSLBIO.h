#ifndef TVRCRYPTO_OPENSSLBIO_H
#define TVRCRYPTO_OPENSSLBIO_H

#include <openssl/types.h>

#include <string>

namespace TvrCrypto {

// Owns an OpenSSL file BIO opened on a path.
class OpenSSLBIO {
public:
    OpenSSLBIO();
    virtual ~OpenSSLBIO();

    OpenSSLBIO(const OpenSSLBIO&) = delete;
    OpenSSLBIO& operator=(const OpenSSLBIO&) = delete;

    // A BIO that cannot be made: code 3; a file that cannot be opened: code 5.
    void OpenForRead(const std::string& path);
    BIO* GetBIO() const { return m_bio; }

private:
    BIO* m_bio;
};

}  // namespace TvrCrypto

#endif
