#include "StringUtils.h"

#include "ErrCodeException.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <langinfo.h>
#include <locale.h>
#include <mutex>
#include <strings.h>

namespace TvrCommon {
namespace StringUtils {

namespace {

struct CodePage {
    int identifier;
    const char* name;
};

// Windows code page identifiers and their names, in ascending order.
const CodePage CodePages[] = {
    {37, "IBM037"}, {437, "IBM437"}, {500, "IBM500"}, {708, "ASMO-708"}, {720, "DOS-720"},
    {737, "ibm737"}, {775, "ibm775"}, {850, "ibm850"}, {852, "ibm852"}, {855, "IBM855"},
    {857, "ibm857"}, {858, "IBM00858"}, {860, "IBM860"}, {861, "ibm861"}, {862, "DOS-862"},
    {863, "IBM863"}, {864, "IBM864"}, {865, "IBM865"}, {866, "cp866"}, {869, "ibm869"},
    {870, "IBM870"}, {874, "windows-874"}, {875, "cp875"}, {932, "shift_jis"}, {936, "gb2312"},
    {949, "ks_c_5601-1987"}, {950, "big5"}, {1026, "IBM1026"}, {1047, "IBM01047"},
    {1140, "IBM01140"}, {1141, "IBM01141"}, {1142, "IBM01142"}, {1143, "IBM01143"},
    {1144, "IBM01144"}, {1145, "IBM01145"}, {1146, "IBM01146"}, {1147, "IBM01147"},
    {1148, "IBM01148"}, {1149, "IBM01149"}, {1200, "utf-16"}, {1201, "unicodeFFFE"},
    {1250, "windows-1250"}, {1251, "windows-1251"}, {1252, "windows-1252"}, {1253, "windows-1253"},
    {1254, "windows-1254"}, {1255, "windows-1255"}, {1256, "windows-1256"}, {1257, "windows-1257"},
    {1258, "windows-1258"}, {1361, "Johab"}, {10000, "macintosh"}, {10001, "x-mac-japanese"},
    {10002, "x-mac-chinesetrad"}, {10003, "x-mac-korean"}, {10004, "x-mac-arabic"},
    {10005, "x-mac-hebrew"}, {10006, "x-mac-greek"}, {10007, "x-mac-cyrillic"},
    {10008, "x-mac-chinesesimp"}, {10010, "x-mac-romanian"}, {10017, "x-mac-ukrainian"},
    {10021, "x-mac-thai"}, {10029, "x-mac-ce"}, {10079, "x-mac-icelandic"}, {10081, "x-mac-turkish"},
    {10082, "x-mac-croatian"}, {12000, "utf-32"}, {12001, "utf-32BE"}, {20000, "x-Chinese_CNS"},
    {20001, "x-cp20001"}, {20002, "x_Chinese-Eten"}, {20003, "x-cp20003"}, {20004, "x-cp20004"},
    {20005, "x-cp20005"}, {20105, "x-IA5"}, {20106, "x-IA5-German"}, {20107, "x-IA5-Swedish"},
    {20108, "x-IA5-Norwegian"}, {20127, "us-ascii"}, {20261, "x-cp20261"}, {20269, "x-cp20269"},
    {20273, "IBM273"}, {20277, "IBM277"}, {20278, "IBM278"}, {20280, "IBM280"}, {20284, "IBM284"},
    {20285, "IBM285"}, {20290, "IBM290"}, {20297, "IBM297"}, {20420, "IBM420"}, {20423, "IBM423"},
    {20424, "IBM424"}, {20833, "x-EBCDIC-KoreanExtended"}, {20838, "IBM-Thai"}, {20866, "koi8-r"},
    {20871, "IBM871"}, {20880, "IBM880"}, {20905, "IBM905"}, {20924, "IBM00924"}, {20932, "EUC-JP"},
    {20936, "x-cp20936"}, {20949, "x-cp20949"}, {21025, "cp1025"}, {21866, "koi8-u"},
    {28591, "iso-8859-1"}, {28592, "iso-8859-2"}, {28593, "iso-8859-3"}, {28594, "iso-8859-4"},
    {28595, "iso-8859-5"}, {28596, "iso-8859-6"}, {28597, "iso-8859-7"}, {28598, "iso-8859-8"},
    {28599, "iso-8859-9"}, {28603, "iso-8859-13"}, {28605, "iso-8859-15"}, {29001, "x-Europa"},
    {38598, "iso-8859-8-i"}, {50220, "iso-2022-jp"}, {50221, "csISO2022JP"}, {50222, "iso-2022-jp"},
    {50225, "iso-2022-kr"}, {50227, "x-cp50227"}, {51932, "euc-jp"}, {51936, "EUC-CN"},
    {51949, "euc-kr"}, {52936, "hz-gb-2312"}, {54936, "GB18030"}, {57002, "x-iscii-de"},
    {57003, "x-iscii-be"}, {57004, "x-iscii-ta"}, {57005, "x-iscii-te"}, {57006, "x-iscii-as"},
    {57007, "x-iscii-or"}, {57008, "x-iscii-ka"}, {57009, "x-iscii-ma"}, {57010, "x-iscii-gu"},
    {57011, "x-iscii-pa"}, {65000, "utf-7"}, {65001, "utf-8"},
};

// glibc charset names whose code page the table cannot find by name.
const CodePage CharsetAliases[] = {
    {20127, "ANSI_X3.4-1968"}, {20127, "ASCII"}, {1250, "CP1250"}, {1251, "CP1251"},
    {1252, "CP1252"}, {1253, "CP1253"}, {1254, "CP1254"}, {1255, "CP1255"}, {1256, "CP1256"},
    {1257, "CP1257"}, {1258, "CP1258"}, {932, "SJIS"}, {936, "GBK"}, {949, "UHC"},
    {874, "TIS-620"}, {437, "CP437"}, {850, "CP850"}, {852, "CP852"}, {866, "IBM866"},
};

int CodePageOfCharset(const char* charset)
{
    for (const CodePage& alias : CharsetAliases) {
        if (strcasecmp(alias.name, charset) == 0) {
            return alias.identifier;
        }
    }
    for (const CodePage& row : CodePages) {
        if (strcasecmp(row.name, charset) == 0) {
            return row.identifier;
        }
    }
    return 0;
}

// Process-wide trace of the conversions, opened by the first conversion when
// OV3_CONV_LOG_FILE names a file.
struct ConvTrace {
    std::once_flag started;
    FILE* file = nullptr;
    ~ConvTrace()
    {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

ConvTrace& Trace()
{
    static ConvTrace trace;
    return trace;
}

void StartConversions()
{
    ConvTrace& trace = Trace();
    std::call_once(trace.started, [&trace] {
        std::setlocale(LC_CTYPE, "");
        const char* path = std::getenv("OV3_CONV_LOG_FILE");
        if (path == nullptr) {
            return;
        }
        trace.file = std::fopen(path, "a");
        if (trace.file == nullptr) {
            return;
        }
        WriteConvTrace("GetLocalEncName", 0);
        try {
            const std::string name = GetLocalEncName();
            WriteConvTrace(name.c_str(), name.size());
        } catch (const ErrCodeException&) {
            // The trace is a diagnostic aid; an unknown charset must not stop the conversion.
        }
    });
}

}  // namespace

void WriteConvTrace(const char* text, size_t length)
{
    FILE* file = Trace().file;
    if (file == nullptr || text == nullptr) {
        return;
    }
    std::fwrite(text, 1, length == 0 ? std::strlen(text) : length, file);
    std::fputc('\n', file);
    std::fflush(file);
}

std::string GetLocalEncName()
{
    // The user's charset from the environment, independent of the process's
    // current locale (which may still be "C").
    locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) {
        throw ErrCodeException(1);
    }
    const std::string charset = nl_langinfo_l(CODESET, user);
    freelocale(user);
    const int identifier = CodePageOfCharset(charset.c_str());
    for (const CodePage& row : CodePages) {
        if (row.identifier == identifier) {
            return row.name;
        }
    }
    throw ErrCodeException(1);
}

wchar_t* a2w(const char* text, WideBufferList& buffers)
{
    if (text == nullptr) {
        throw ErrCodeException(4);
    }
    StartConversions();
    WriteConvTrace("a2w before", 0);
    WriteConvTrace(text, 0);

    const size_t length = std::strlen(text);
    // A narrow text never has more characters than bytes.
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[length + 1]);
    std::mbstate_t state{};
    const char* source = text;
    const size_t converted = std::mbsrtowcs(buffer.get(), &source, length + 1, &state);
    if (converted == static_cast<size_t>(-1)) {
        const int error = errno;
        const std::string message = "conv error: " + ErrnoText(error);
        WriteConvTrace(message.c_str(), message.size());
        throw ErrCodeException(1);
    }
    buffer[converted] = L'\0';
    WriteConvTrace("a2w after", 0);
    WriteConvTrace(reinterpret_cast<const char*>(buffer.get()), (converted + 1) * sizeof(wchar_t));
    buffers.push_back(std::move(buffer));
    return buffers.back().get();
}

char* w2a(const wchar_t* text, NarrowBufferList& buffers)
{
    if (text == nullptr) {
        throw ErrCodeException(4);
    }
    StartConversions();
    const size_t length = std::wcslen(text);
    WriteConvTrace("w2a before", 0);
    WriteConvTrace(reinterpret_cast<const char*>(text), (length + 1) * sizeof(wchar_t));

    // Room for the longest multibyte form of every character.
    const size_t size = MB_CUR_MAX * length + 1;
    std::unique_ptr<char[]> buffer(new char[size]);
    std::mbstate_t state{};
    const wchar_t* source = text;
    size_t written = std::wcsrtombs(buffer.get(), &source, size, &state);
    if (written == static_cast<size_t>(-1)) {
        // Convert character by character, writing '?' for what the charset lacks.
        written = 0;
        state = std::mbstate_t{};
        for (size_t i = 0; i < length; ++i) {
            char piece[MB_LEN_MAX];
            size_t pieceLength = std::wcrtomb(piece, text[i], &state);
            if (pieceLength == static_cast<size_t>(-1)) {
                piece[0] = '?';
                pieceLength = 1;
                state = std::mbstate_t{};
            }
            if (written + pieceLength >= size) {
                const std::string message = "outpos: " + std::to_string(written) + ", siz: " + std::to_string(size);
                WriteConvTrace(message.c_str(), message.size());
                throw ErrCodeException(1);
            }
            std::memcpy(buffer.get() + written, piece, pieceLength);
            written += pieceLength;
        }
    }
    buffer[written] = '\0';
    WriteConvTrace("w2a after", 0);
    WriteConvTrace(buffer.get(), 0);
    buffers.push_back(std::move(buffer));
    return buffers.back().get();
}

}  // namespace StringUtils
}  // namespace TvrCommon
