// Small helpers of the certificate and CRL tests.
#pragma once

#include "ByteArray.h"
#include "Date.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
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
