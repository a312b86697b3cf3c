#include "ErrCodeException.h"

#include "ErrCodeExceptionImpl.h"
#include "Logger.h"

#include <ostream>
#include <string>

namespace TvrCommon {

ErrCodeException::ErrCodeException(int code)
    : std::exception(), m_impl(new ErrCodeExceptionImpl(code))
{
    // Every failure leaves a trace where it arose, whoever catches it later. Logging must
    // never turn the construction of the exception into another failure.
    try {
        GetLogger()->Error("src/ErrCodeException", __LINE__)
            << "Error occured; " << ErrCodeText(code) << std::endl;
    } catch (...) {
    }
}

ErrCodeException::ErrCodeException(const ErrCodeException& other)
    : std::exception(), m_impl(new ErrCodeExceptionImpl(*other.m_impl))
{
}

ErrCodeException& ErrCodeException::operator=(const ErrCodeException& other)
{
    if (this != &other)
        *m_impl = *other.m_impl;
    return *this;
}

ErrCodeException::~ErrCodeException()
{
    delete m_impl;
}

int ErrCodeException::GetCode() const
{
    return m_impl->code;
}

const char* ErrCodeException::what() const noexcept
{
    try {
        m_impl->text = "Error code: " + std::to_string(m_impl->code) + ".";
    } catch (...) {
        return "Error code";
    }
    return m_impl->text.c_str();
}

const char* ErrCodeException::GetMessageText() const
{
    return ErrCodeText(m_impl->code);
}

} // namespace TvrCommon
