#include "DebugCallbackHandle.h"

#include "ErrCodeException.h"
#include "Mutex.h"
#include "MutexLock.h"

#include <atomic>

namespace TvrCommon {

class DebugCallbackHandleImpl {
public:
    DebugCallbackHandleImpl(int level, DebugCallback callback) : level(level), callback(callback) {}

    std::atomic<int> level;
    Mutex lock;
    const DebugCallback callback;
};

DebugCallbackHandle::DebugCallbackHandle(int level, DebugCallback callback)
    : m_impl(std::make_unique<DebugCallbackHandleImpl>(level, callback))
{
}

DebugCallbackHandle::~DebugCallbackHandle() = default;

bool DebugCallbackHandle::IsOpen()
{
    return m_impl->callback != nullptr;
}

void DebugCallbackHandle::Write(const char* text)
{
    if (m_impl->callback == nullptr || text == nullptr)
        return;
    MutexLock guard(m_impl->lock);
    m_impl->callback(text);
}

int DebugCallbackHandle::GetLevel()
{
    return m_impl->level.load();
}

void DebugCallbackHandle::SetLevel(int level)
{
    m_impl->level.store(level);
}

size_t DebugCallbackHandle::GetMaxSize()
{
    return 0;
}

void DebugCallbackHandle::SetMaxSize(size_t)
{
    throw ErrCodeException(11);
}

bool DebugCallbackHandle::IsSameCallback(DebugCallback callback)
{
    return m_impl->callback == callback;
}

bool DebugCallbackHandle::IsSamePath(const std::string&)
{
    return false;
}

} // namespace TvrCommon
