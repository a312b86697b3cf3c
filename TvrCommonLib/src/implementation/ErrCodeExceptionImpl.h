#pragma once

#include <string>

namespace TvrCommon {

class ErrCodeExceptionImpl {
public:
    explicit ErrCodeExceptionImpl(int code) : code(code) {}
    ErrCodeExceptionImpl(const ErrCodeExceptionImpl&) = default;
    ErrCodeExceptionImpl& operator=(const ErrCodeExceptionImpl&) = default;
    virtual ~ErrCodeExceptionImpl() = default;

    int code;
    std::string text; // last text built by what()
};

// Fixed English text of an error code; unknown codes give "Unknown error".
const char* ErrCodeText(int code);

} // namespace TvrCommon
