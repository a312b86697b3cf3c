#pragma once

#include "TracedCriticalSection.h"

namespace TvrCommon {

// Enters the critical section on construction and leaves it on destruction.
class ScopedLock {
public:
    explicit ScopedLock(TracedCriticalSection& section);
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock();

private:
    TracedCriticalSection& m_section;
};

} // namespace TvrCommon
