#pragma once

#include <memory>

namespace TvrCommon {

class MutexImpl;

// A lock the owning thread may take again while holding it.
class Mutex {
public:
    Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();

    void Lock();
    void Unlock();

private:
    std::unique_ptr<MutexImpl> m_impl;
};

} // namespace TvrCommon
