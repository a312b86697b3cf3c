#include "StringUtils.h"

#include "ByteArray.h"
#include "ErrCodeException.h"
#include "Logger.h"

#include <boost/regex.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace TvrCommon {
namespace StringUtils {

std::string InsertBeforeExtension(const std::string& path, const std::string& suffix)
{
    const size_t separator = path.find_last_of("/\\");
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < nameStart) {
        return path + suffix;
    }
    std::string result(path);
    result.insert(dot, suffix);
    return result;
}

std::string XmlEscape(const char* text)
{
    std::string result;
    if (text == nullptr) {
        return result;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '<': result += "&lt;"; break;
        case '>': result += "&gt;"; break;
        case '&': result += "&amp;"; break;
        case '"': result += "&quot;"; break;
        case '\r': result += "&#13;"; break;
        default: result += *p; break;
        }
    }
    return result;
}

ByteArray HexDecode(std::string hex)
{
    ByteArray result;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        // Both characters must be digits: the scanf conversion alone would also
        // take signs, blanks and a single digit followed by garbage.
        const unsigned char high = static_cast<unsigned char>(hex[i]);
        const unsigned char low = static_cast<unsigned char>(hex[i + 1]);
        unsigned int value = 0;
        const char pair[3] = {hex[i], hex[i + 1], '\0'};
        if (!std::isxdigit(high) || !std::isxdigit(low) || std::sscanf(pair, "%02x", &value) != 1) {
            GetLogger()->Debug("src/StringUtils", __LINE__) << "something wrong with hex encoding" << std::endl;
            return ByteArray();
        }
        const unsigned char byte = static_cast<unsigned char>(value);
        result.Append(&byte, 1);
    }
    return result;
}

std::string ErrnoText(int errorNumber)
{
    char buffer[256] = {0};
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return std::string(text).substr(0, 255);
}

std::vector<std::string> Split(const std::string& text, const std::string& delimiters)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t found = text.find_first_of(delimiters, start);
        if (found == std::string::npos) {
            break;
        }
        parts.push_back(text.substr(start, found - start));
        start = found + 1;
    }
    if (start < text.size()) {
        parts.push_back(text.substr(start));
    }
    return parts;
}

std::string PercentEncode(const std::string& text, const std::string& charactersToEncode)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string result;
    for (const char c : text) {
        if (charactersToEncode.find(c) == std::string::npos) {
            result += c;
            continue;
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        result += '%';
        result += digits[byte >> 4];
        result += digits[byte & 0x0F];
    }
    return result;
}

std::string ReplaceXmlEncoding(const std::string& xml, const std::string& encoding)
{
    static const boost::regex declaration(
        "(?s)^(<\\?xml\\s+version\\s*=\\s*(\"1.0\"|'1.0')\\s+encoding\\s*=\\s*)(\"[^\"]*\"|'[^']*')");
    boost::smatch match;
    if (!boost::regex_search(xml, match, declaration, boost::match_continuous)) {
        return xml;
    }
    return match[1].str() + "\"" + encoding + "\"" + match.suffix().str();
}

}  // namespace StringUtils
}  // namespace TvrCommon
