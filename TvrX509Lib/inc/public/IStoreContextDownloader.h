#pragma once

#include "ByteArray.h"

#include <memory>
#include <string>

namespace TvrX509 {

// Fetches an issuer certificate named by a caIssuers address for the chain building. The
// implementation may throw; the chain building then stops downloading for that lookup.
class IStoreContextDownloader {
public:
    // The bytes found at `url` (a DER certificate is expected), or null when nothing was
    // fetched.
    virtual std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url) = 0;

protected:
    // Owned by the caller, never deleted through this interface.
    ~IStoreContextDownloader() = default;
};

} // namespace TvrX509
