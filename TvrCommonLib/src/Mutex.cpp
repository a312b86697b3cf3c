#include "Mutex.h"

#include <mutex>

namespace TvrCommon {

class MutexImpl {
public:
    std::recursive_mutex mutex;
};

Mutex::Mutex() : m_impl(std::make_unique<MutexImpl>()) {}

Mutex::~Mutex() = default;

void Mutex::Lock()
{
    m_impl->mutex.lock();
}

void Mutex::Unlock()
{
    m_impl->mutex.unlock();
}

} // namespace TvrCommon
