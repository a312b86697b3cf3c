#include "Cp1250.h"

#include "ErrCodeException.h"

#include <cerrno>
#include <iconv.h>
#include <vector>

namespace TvrCommon {

namespace {

class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : m_handle(iconv_open(to, from))
    {
        if (m_handle == reinterpret_cast<iconv_t>(-1))
            throw ErrCodeException(1);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    ~IconvHandle() { iconv_close(m_handle); }
    iconv_t Get() const { return m_handle; }

private:
    iconv_t m_handle;
};

} // namespace

std::string Cp1250ToUtf8(const std::string& bytes)
{
    IconvHandle converter("UTF-8", "CP1250");
    // Every CP1250 byte, and the replacement character, takes at most three UTF-8 bytes.
    std::vector<char> output(bytes.size() * 3 + 1);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* out = output.data();
    size_t outLeft = output.size();
    while (inLeft > 0) {
        if (iconv(converter.Get(), &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1))
            break;
        if (errno != EILSEQ && errno != EINVAL)
            throw ErrCodeException(1);
        // A byte the code page does not define.
        static const char replacement[] = "\xEF\xBF\xBD";
        for (int i = 0; i < 3; ++i)
            *out++ = replacement[i];
        outLeft -= 3;
        ++in;
        --inLeft;
    }
    return std::string(output.data(), out);
}

} // namespace TvrCommon
