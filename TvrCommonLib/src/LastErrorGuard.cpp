#include "LastErrorGuard.h"

#include <cerrno>

namespace TvrCommon {

LastErrorGuard::LastErrorGuard() : m_saved(errno) {}

LastErrorGuard::~LastErrorGuard()
{
    errno = m_saved;
}

} // namespace TvrCommon
