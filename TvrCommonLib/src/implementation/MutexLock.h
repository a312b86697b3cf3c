#pragma once

#include "Mutex.h"

namespace TvrCommon {

// Holds a Mutex for the lifetime of the guard.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() { m_mutex.Unlock(); }

private:
    Mutex& m_mutex;
};

} // namespace TvrCommon
