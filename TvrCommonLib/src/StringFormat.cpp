#include "StringUtils.h"

#include "ErrCodeException.h"
#include "Logger.h"

#include <boost/regex.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace TvrCommon {
namespace StringUtils {

namespace {

const size_t MaxPositionalPlaceholders = 12;

// One parsed conversion: "%[N$][flags][width][.precision][length]conversion".
struct Conversion {
    size_t index = 0;  // explicit argument number (1-based), 0 when none
    std::string flags;
    std::string width;
    std::string precision;  // with its '.', empty when none
    std::string length;
    char conversion = '\0';
    size_t end = 0;  // position after the conversion character
};

[[noreturn]] void Reject()
{
    throw ErrCodeException(4);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string ReadDigits(const char* format, size_t& pos)
{
    const size_t start = pos;
    while (IsDigit(format[pos])) {
        ++pos;
    }
    return std::string(format + start, pos - start);
}

// `pos` is the position after the '%'.
Conversion Parse(const char* format, size_t pos)
{
    Conversion c;
    const size_t start = pos;
    const std::string number = ReadDigits(format, pos);
    if (!number.empty() && format[pos] == '$') {
        if (number.size() > 9) {
            Reject();
        }
        c.index = std::stoul(number);
        if (c.index == 0) {
            Reject();
        }
        ++pos;
    } else {
        pos = start;
    }
    while (std::strchr("-+ #0'", format[pos]) != nullptr && format[pos] != '\0') {
        c.flags += format[pos++];
    }
    // Widths and precisions taken from the argument list are not supported.
    if (format[pos] == '*') {
        Reject();
    }
    c.width = ReadDigits(format, pos);
    if (format[pos] == '.') {
        ++pos;
        if (format[pos] == '*') {
            Reject();
        }
        c.precision = "." + ReadDigits(format, pos);
    }
    while (format[pos] != '\0' && std::strchr("hlLqjzt", format[pos]) != nullptr) {
        c.length += format[pos++];
    }
    if (format[pos] == '\0' || std::strchr("diouxXcsfFeEgGaAp", format[pos]) == nullptr) {
        Reject();
    }
    c.conversion = format[pos];
    c.end = pos + 1;
    return c;
}

template <typename T>
std::string Print(const std::string& spec, T value)
{
    const int needed = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (needed < 0) {
        Reject();
    }
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::snprintf(buffer.data(), buffer.size(), spec.c_str(), value);
    return std::string(buffer.data(), static_cast<size_t>(needed));
}

bool IsInteger(const FormatArg& arg)
{
    return arg.GetKind() == FormatArg::Kind::Signed || arg.GetKind() == FormatArg::Kind::Unsigned;
}

// The value as printf would see it after applying the hh/h length modifiers,
// reinterpreted at the argument's own width for the unsigned conversions.
unsigned long long UnsignedValue(const FormatArg& arg, const std::string& length)
{
    unsigned long long value = arg.GetKind() == FormatArg::Kind::Signed
                                   ? static_cast<unsigned long long>(arg.GetSigned())
                                   : arg.GetUnsigned();
    size_t width = arg.GetSize();
    if (length == "hh") {
        width = 1;
    } else if (length == "h") {
        width = 2;
    }
    if (width < sizeof(unsigned long long)) {
        value &= (1ULL << (8 * width)) - 1;
    }
    return value;
}

long long SignedValue(const FormatArg& arg, const std::string& length)
{
    if (length == "hh") {
        return static_cast<signed char>(UnsignedValue(arg, length));
    }
    if (length == "h") {
        return static_cast<short>(UnsignedValue(arg, length));
    }
    if (arg.GetKind() == FormatArg::Kind::Unsigned) {
        return static_cast<long long>(arg.GetUnsigned());
    }
    return arg.GetSigned();
}

std::string FormatOne(const Conversion& c, const FormatArg& arg)
{
    const std::string base = "%" + c.flags + c.width + c.precision;
    switch (c.conversion) {
    case 'd':
    case 'i':
        if (!IsInteger(arg)) {
            Reject();
        }
        return Print(base + "ll" + c.conversion, SignedValue(arg, c.length));
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        if (!IsInteger(arg)) {
            Reject();
        }
        return Print(base + "ll" + c.conversion, UnsignedValue(arg, c.length));
    case 'c':
        if (!IsInteger(arg)) {
            Reject();
        }
        return Print(base + "c", static_cast<int>(static_cast<unsigned char>(UnsignedValue(arg, ""))));
    case 's':
        if (arg.GetKind() != FormatArg::Kind::Text || arg.GetText() == nullptr) {
            Reject();
        }
        return Print(base + "s", arg.GetText());
    case 'p':
        if (arg.GetKind() == FormatArg::Kind::Pointer) {
            return Print(base + "p", arg.GetPointer());
        }
        if (arg.GetKind() == FormatArg::Kind::Text) {
            return Print(base + "p", static_cast<const void*>(arg.GetText()));
        }
        Reject();
    default:
        if (arg.GetKind() != FormatArg::Kind::Floating) {
            Reject();
        }
        return Print(base + c.conversion, arg.GetFloating());
    }
}

size_t CountPositionalPlaceholders(const char* format)
{
    static const boost::regex placeholder("%(\\d+)\\$s");
    const char* end = format + std::strlen(format);
    return static_cast<size_t>(
        std::distance(boost::cregex_iterator(format, end, placeholder), boost::cregex_iterator()));
}

bool IsPositionalPlaceholder(const Conversion& c)
{
    return c.index != 0 && c.conversion == 's' && c.flags.empty() && c.width.empty() && c.precision.empty() &&
           c.length.empty();
}

}  // namespace

std::string FormatList(const char* format, std::initializer_list<FormatArg> list)
{
    if (format == nullptr) {
        Reject();
    }
    const std::vector<FormatArg> args(list);
    const size_t placeholders = CountPositionalPlaceholders(format);
    if (placeholders > MaxPositionalPlaceholders) {
        GetLogger()->Debug("src/StringUtils", __LINE__) << "too many %s" << std::endl;
        throw ErrCodeException(2);
    }
    const bool positional = placeholders >= 2;

    std::string result;
    size_t next = 0;
    size_t pos = 0;
    while (format[pos] != '\0') {
        const char* percent = std::strchr(format + pos, '%');
        if (percent == nullptr) {
            result.append(format + pos);
            break;
        }
        result.append(format + pos, static_cast<size_t>(percent - (format + pos)));
        pos = static_cast<size_t>(percent - format) + 1;
        if (format[pos] == '%') {
            result += '%';
            ++pos;
            continue;
        }
        const Conversion c = Parse(format, pos);
        pos = c.end;
        if (positional) {
            // Every conversion must be a placeholder naming one of the texts.
            if (!IsPositionalPlaceholder(c) || c.index > placeholders || c.index > args.size()) {
                Reject();
            }
            const FormatArg& arg = args[c.index - 1];
            if (arg.GetKind() != FormatArg::Kind::Text || arg.GetText() == nullptr) {
                Reject();
            }
            GetLogger()->Debug("src/StringUtils", __LINE__)
                << "n: " << c.index << ", args[n-1]: " << arg.GetText() << std::endl;
            result += arg.GetText();
            continue;
        }
        const size_t index = c.index != 0 ? c.index - 1 : next++;
        if (index >= args.size()) {
            Reject();
        }
        result += FormatOne(c, args[index]);
    }
    return result;
}

}  // namespace StringUtils
}  // namespace TvrCommon
