#pragma once

#include <exception>

namespace TvrCommon {

class ErrCodeExceptionImpl;

// The one exception type the libraries throw; carries a small error code with a fixed text.
// Constructing one from a code writes one line to the common library's error log.
class ErrCodeException : public std::exception {
public:
    explicit ErrCodeException(int code);
    ErrCodeException(const ErrCodeException& other);
    ErrCodeException& operator=(const ErrCodeException& other);
    virtual ~ErrCodeException();

    int GetCode() const;
    // "Error code: <code>." ; valid until the next what() on this object or its destruction.
    virtual const char* what() const noexcept override;
    // The fixed text of the code (static storage).
    virtual const char* GetMessageText() const;

private:
    ErrCodeExceptionImpl* m_impl;
};

} // namespace TvrCommon
