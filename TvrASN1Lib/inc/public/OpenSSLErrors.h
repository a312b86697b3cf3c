#pragma once

#include <string>

namespace TvrASN1 {

// Writes `message` and then drains the calling thread's OpenSSL error queue, oldest first,
// to the ASN.1 logger at `level`, one line each (plus a line for an error's text data).
void LogOpenSSLErrors(int level, std::string message);

// Clears the thread's OpenSSL error queue on entry and again on every way out, so a
// decoding attempt neither sees nor leaves stale errors.
class OpenSSLErrorJanitor {
public:
    OpenSSLErrorJanitor();
    ~OpenSSLErrorJanitor();
    OpenSSLErrorJanitor(const OpenSSLErrorJanitor&) = delete;
    OpenSSLErrorJanitor& operator=(const OpenSSLErrorJanitor&) = delete;
};

} // namespace TvrASN1
