#include "CryptoAlgJanitorImpl.h"

#include "CryptoLogger.h"
#include "ThreadFlagRegistry.h"

#include <mutex>
#include <ostream>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>

namespace TvrCrypto {

namespace {

// The hold count and the set-up/clean-up steps share one lock, so a thread that takes a hold
// never proceeds while another is still setting OpenSSL up or tearing it down.
std::mutex g_holdLock;
int g_holdCount = 0;

std::ostream& DebugLog(int line)
{
    return GetLogger()->Debug("src/CryptoAlgJanitor", line);
}

// Providers stay loaded for the life of the process: OpenSSL 3 cannot be set up again after
// OPENSSL_cleanup, so the janitor's clean-up never unloads anything. They are given back at
// process exit, before OpenSSL's own exit handler (registered earlier) runs.
class LoadedProviders {
public:
    LoadedProviders()
        : m_default(OSSL_PROVIDER_load(nullptr, "default")), m_legacy(OSSL_PROVIDER_load(nullptr, "legacy"))
    {
    }
    LoadedProviders(const LoadedProviders&) = delete;
    LoadedProviders& operator=(const LoadedProviders&) = delete;
    ~LoadedProviders()
    {
        if (m_legacy != nullptr)
            OSSL_PROVIDER_unload(m_legacy);
        if (m_default != nullptr)
            OSSL_PROVIDER_unload(m_default);
    }

private:
    OSSL_PROVIDER* m_default;
    OSSL_PROVIDER* m_legacy;
};

void LoadProvidersOnce()
{
    static LoadedProviders providers;
}

void SetUp()
{
    DebugLog(__LINE__) << "ossl init: load error strings..." << std::endl;
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    DebugLog(__LINE__) << "ossl init: load BIO strings..." << std::endl;
    // The TLS library is not linked here: whoever makes a TLS context (the network
    // module's libcurl) sets it up, with its strings, on its first use.
    DebugLog(__LINE__) << "ossl init: ssl library init..." << std::endl;
    DebugLog(__LINE__) << "ossl init: adding algorithms..." << std::endl;
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
    LoadProvidersOnce();
    DebugLog(__LINE__) << "ossl init: clear error..." << std::endl;
    ERR_clear_error();
}

void TearDown()
{
    DebugLog(__LINE__) << "ossl fini" << std::endl;
    // The per-thread state, string and table clean-ups of older OpenSSL are no-ops in 3.0.
    ERR_clear_error();
    ThreadFlagRegistry::Clear();
}

} // namespace

CryptoAlgJanitorImpl::CryptoAlgJanitorImpl()
{
    std::lock_guard<std::mutex> guard(g_holdLock);
    if (g_holdCount++ == 0) {
        try {
            SetUp();
        } catch (...) {
            // A failing host logger must not leave a hold behind without a janitor.
        }
    }
}

CryptoAlgJanitorImpl::~CryptoAlgJanitorImpl()
{
    std::lock_guard<std::mutex> guard(g_holdLock);
    if (g_holdCount-- == 1) {
        try {
            TearDown();
        } catch (...) {
        }
    }
}

} // namespace TvrCrypto
