// Helpers of the chain-building and chain-verification tests.
#pragma once

#include "ByteArray.h"
#include "Date.h"
#include "IStoreContextDownloader.h"
#include "TestPki.h"
#include "X509Certificate.h"

#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace ChainTest {

inline TvrX509::X509Certificate Cert(const TvrTest::PkiItem& item)
{
    return TvrX509::X509Certificate(item.Cert());
}

inline TvrCommon::Date At(std::time_t seconds)
{
    return TvrCommon::Date(static_cast<uint64_t>(seconds), TvrCommon::Date::Seconds);
}

// A CA certificate: self-signed when `issuer` is null; `key` shared for cross-certificates.
inline TvrTest::PkiItem Ca(const std::string& cn, const TvrTest::PkiItem* issuer, EVP_PKEY* key = nullptr,
                           std::vector<std::pair<std::string, std::string>> extensions = {})
{
    TvrTest::CertSpec spec;
    spec.subject = "/O=Tavrenic Chain Test/CN=" + cn;
    spec.ca = true;
    spec.extensions = std::move(extensions);
    return TvrTest::CertBuilder::Issue(spec, issuer, key);
}

inline TvrTest::PkiItem Leaf(const std::string& cn, const TvrTest::PkiItem& issuer,
                             std::vector<std::pair<std::string, std::string>> extensions = {
                                 {"keyUsage", "critical,digitalSignature"}})
{
    TvrTest::CertSpec spec;
    spec.subject = "/O=Tavrenic Chain Test/CN=" + cn;
    spec.extensions = std::move(extensions);
    return TvrTest::CertBuilder::Issue(spec, &issuer);
}

// Serves certificates by URL, counts every request, and throws for the URLs it is told to.
class FakeDownloader : public TvrX509::IStoreContextDownloader {
public:
    std::unique_ptr<TvrCommon::ByteArray> Download(const std::string& url) override
    {
        ++requests[url];
        order.push_back(url);
        if (failing.count(url))
            throw std::runtime_error("connection refused");
        auto it = served.find(url);
        if (it == served.end())
            return nullptr;
        return std::make_unique<TvrCommon::ByteArray>(it->second.data(), it->second.size());
    }

    void Serve(const std::string& url, const TvrTest::PkiItem& item) { served[url] = item.Der(); }
    void ServeBytes(const std::string& url, const std::string& bytes)
    {
        served[url] = std::vector<unsigned char>(bytes.begin(), bytes.end());
    }
    int Total() const { return static_cast<int>(order.size()); }

    std::map<std::string, std::vector<unsigned char>> served;
    std::set<std::string> failing;
    std::map<std::string, int> requests;
    std::vector<std::string> order;
};

} // namespace ChainTest
