#pragma once

#include <memory>

namespace TvrCommon {

class TracedCriticalSectionImpl;

// A re-entrant lock whose entering and leaving ScopedLock can log (when traceLocking is set).
class TracedCriticalSection {
public:
    explicit TracedCriticalSection(bool traceLocking = false);
    TracedCriticalSection(const TracedCriticalSection&) = delete;
    TracedCriticalSection& operator=(const TracedCriticalSection&) = delete;
    ~TracedCriticalSection();

    bool TraceLocking() const;
    bool TryEnter();
    void Enter();
    void Leave();

private:
    std::unique_ptr<TracedCriticalSectionImpl> m_impl;
};

} // namespace TvrCommon
