#include "OpenSSLErrors.h"

#include "ASN1Logger.h"

#include <openssl/err.h>

#include <ostream>

namespace TvrASN1 {

void LogOpenSSLErrors(int level, std::string message)
{
    TvrLogger::ILogger* logger = GetLogger();
    logger->Log(level, "src/OpenSSLBase", __LINE__) << message << std::endl;
    const char* file = nullptr;
    int line = 0;
    const char* data = nullptr;
    int flags = 0;
    unsigned long error;
    while ((error = ERR_get_error_all(&file, &line, nullptr, &data, &flags)) != 0) {
        char text[256] = {};
        ERR_error_string_n(error, text, sizeof(text));
        logger->Log(level, "src/OpenSSLBase", __LINE__)
            << "[OpenSSL] " << text << " (" << (file ? file : "") << ":" << line << ")"
            << std::endl;
        if (data != nullptr && (flags & ERR_TXT_STRING) != 0) {
            logger->Log(level, "src/OpenSSLBase", __LINE__)
                << "[OpenSSL] error data: " << data << std::endl;
        }
    }
}

OpenSSLErrorJanitor::OpenSSLErrorJanitor()
{
    ERR_clear_error();
}

// The per-thread release of older OpenSSL versions is a no-op now; emptying the queue is
// what is left of it.
OpenSSLErrorJanitor::~OpenSSLErrorJanitor()
{
    ERR_clear_error();
}

} // namespace TvrASN1
