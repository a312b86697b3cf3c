#include "TracedCriticalSection.h"

#include "Logger.h"
#include "ScopedLock.h"

#include <cstdint>
#include <mutex>
#include <ostream>

namespace TvrCommon {

class TracedCriticalSectionImpl {
public:
    explicit TracedCriticalSectionImpl(bool trace) : traceLocking(trace) {}
    std::recursive_mutex mutex;
    const bool traceLocking;
};

TracedCriticalSection::TracedCriticalSection(bool traceLocking)
    : m_impl(std::make_unique<TracedCriticalSectionImpl>(traceLocking))
{
}

TracedCriticalSection::~TracedCriticalSection() = default;

bool TracedCriticalSection::TraceLocking() const
{
    return m_impl->traceLocking;
}

bool TracedCriticalSection::TryEnter()
{
    return m_impl->mutex.try_lock();
}

void TracedCriticalSection::Enter()
{
    m_impl->mutex.lock();
}

void TracedCriticalSection::Leave()
{
    m_impl->mutex.unlock();
}

ScopedLock::ScopedLock(TracedCriticalSection& section) : m_section(section)
{
    if (!m_section.TraceLocking()) {
        m_section.Enter();
        return;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(&m_section);
    if (m_section.TryEnter()) {
        GetLogger()->Debug("src/ScopedLock", __LINE__) << "entered mutex: " << address << std::endl;
        return;
    }
    GetLogger()->Debug("src/ScopedLock", __LINE__)
        << "not entered mutex, would block: " << address << std::endl;
    m_section.Enter();
}

ScopedLock::~ScopedLock()
{
    if (m_section.TraceLocking()) {
        try {
            GetLogger()->Debug("src/ScopedLock", __LINE__)
                << "leave mutex: " << reinterpret_cast<std::uintptr_t>(&m_section);
        } catch (...) {
        }
    }
    m_section.Leave();
}

} // namespace TvrCommon
