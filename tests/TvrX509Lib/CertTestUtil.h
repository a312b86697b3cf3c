// Small helpers of the certificate and CRL tests.
#pragma once

#include "ByteArray.h"
#include "DERBytes.h"
#include "Date.h"
#include "ErrCodeException.h"
#include "TestPki.h"

#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace CertTest {

// Standard output of a shell command.
inline std::string Run(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[4096];
    size_t got = 0;
    while (pipe && (got = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0)
        output.append(buffer, got);
    return output;
}

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline TvrCommon::ByteArray Bytes(const std::vector<unsigned char>& bytes)
{
    return TvrCommon::ByteArray(bytes.data(), bytes.size());
}

inline TvrCommon::ByteArray Bytes(const std::string& text)
{
    return TvrCommon::ByteArray(text);
}

inline TvrASN1::DERBytes Der(const std::vector<unsigned char>& bytes)
{
    return TvrASN1::DERBytes(bytes.data(), bytes.size());
}

// The error code `action` throws; 0 when it throws none.
inline int CodeOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const TvrCommon::ErrCodeException& e) {
        return e.GetCode();
    }
    return 0;
}

// The DER of a name built with OpenSSL.
inline TvrASN1::DERBytes NameDer(const X509_NAME* name)
{
    unsigned char* der = nullptr;
    int length = i2d_X509_NAME(name, &der);
    TvrASN1::DERBytes bytes(der, static_cast<size_t>(length > 0 ? length : 0));
    OPENSSL_free(der);
    return bytes;
}

// The value and critical flag of a test certificate's extension, by NID.
inline std::pair<TvrASN1::DERBytes, bool> ExtensionValue(const TvrTest::PkiItem& item, int nid)
{
    int index = X509_get_ext_by_NID(item.Cert(), nid, -1);
    if (index < 0)
        throw std::runtime_error("extension missing");
    X509_EXTENSION* ext = X509_get_ext(item.Cert(), index);
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
    return {TvrASN1::DERBytes(ASN1_STRING_get0_data(data), static_cast<size_t>(ASN1_STRING_length(data))),
            X509_EXTENSION_get_critical(ext) > 0};
}

// The instant `seconds` since 1970 UTC.
inline TvrCommon::Date At(std::time_t seconds)
{
    return TvrCommon::Date(static_cast<uint64_t>(seconds), TvrCommon::Date::Seconds);
}

inline std::string Iso8601(std::time_t seconds)
{
    char text[32];
    struct tm parts;
    gmtime_r(&seconds, &parts);
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// "AB:CD:..." of `openssl ... -fingerprint` style output after "prefix=".
inline std::string ValueAfter(const std::string& output, const std::string& prefix)
{
    size_t start = output.find(prefix);
    if (start == std::string::npos)
        return std::string();
    start += prefix.size();
    size_t end = output.find('\n', start);
    return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace CertTest
