#ifndef TVRCOMMON_STRINGUTILS_H
#define TVRCOMMON_STRINGUTILS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace TvrCommon {

class ByteArray;

// Holders that own the buffers a2w and w2a return, freed together with the holder.
using WideBufferList = std::vector<std::unique_ptr<wchar_t[]>>;
using NarrowBufferList = std::vector<std::unique_ptr<char[]>>;

// One typed argument of StringUtils::Format. Keeping the type lets the formatter
// check every conversion against what was really passed, so pointers and 64-bit
// values are formatted correctly and mismatches are refused instead of misread.
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Floating, Text, Pointer };

    template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    FormatArg(T value) : m_kind(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned), m_size(sizeof(T))
    {
        if constexpr (std::is_signed_v<T>) {
            m_signed = value;
        } else {
            m_unsigned = value;
        }
    }
    FormatArg(double value) : m_kind(Kind::Floating), m_size(sizeof(double)), m_floating(value) {}
    FormatArg(const char* text) : m_kind(Kind::Text), m_size(0), m_text(text) {}
    FormatArg(const std::string& text) : m_kind(Kind::Text), m_size(0), m_text(text.c_str()) {}
    FormatArg(const void* pointer) : m_kind(Kind::Pointer), m_size(sizeof(pointer)), m_pointer(pointer) {}

    Kind GetKind() const { return m_kind; }
    size_t GetSize() const { return m_size; }
    long long GetSigned() const { return m_signed; }
    unsigned long long GetUnsigned() const { return m_unsigned; }
    double GetFloating() const { return m_floating; }
    const char* GetText() const { return m_text; }
    const void* GetPointer() const { return m_pointer; }

private:
    Kind m_kind;
    size_t m_size;
    union {
        long long m_signed;
        unsigned long long m_unsigned;
        double m_floating;
        const char* m_text;
        const void* m_pointer;
    };
};

namespace StringUtils {

// Inserts the suffix before the last '.' of the file name part (after the last
// '/' or '\'), or appends it when the file name has none.
std::string InsertBeforeExtension(const std::string& path, const std::string& suffix);

// Converts between the locale's narrow charset and wide text. The result is
// owned by the list. Invalid input throws code 1.
wchar_t* a2w(const char* text, WideBufferList& buffers);
char* w2a(const wchar_t* text, NarrowBufferList& buffers);
// Appends a text (length 0: up to its zero byte) and a new line to the
// conversion trace file when one is open.
void WriteConvTrace(const char* text, size_t length);

// The Windows code page name (e.g. "utf-8", "iso-8859-2") of the user's
// default charset; a charset without a code page throws code 1.
std::string GetLocalEncName();

// Fewer than two "%N$s" placeholders: printf rules, arguments in order, each
// conversion checked against its argument's type. Two to twelve: every
// placeholder takes text argument N. More than twelve throws code 2; any
// mismatch (missing argument, wrong type, unsupported conversion) throws code 4.
std::string FormatList(const char* format, std::initializer_list<FormatArg> args);

template <typename... Args>
std::string Format(const char* format, const Args&... args)
{
    static_assert(sizeof...(Args) <= 20, "Format takes at most 20 arguments");
    return FormatList(format, {FormatArg(args)...});
}

std::string ReplaceXmlEncoding(const std::string& xml, const std::string& encoding);
std::string XmlEscape(const char* text);
ByteArray HexDecode(std::string hex);
std::string ErrnoText(int errorNumber);
std::vector<std::string> Split(const std::string& text, const std::string& delimiters);
// Each byte found in charactersToEncode becomes '%' and two upper-case hex digits.
std::string PercentEncode(const std::string& text, const std::string& charactersToEncode);

}  // namespace StringUtils

}  // namespace TvrCommon

#endif
