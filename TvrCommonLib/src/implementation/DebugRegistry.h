#pragma once

#include "DebugHandlePtr.h"
#include "TracedCriticalSection.h"

#include <map>

namespace TvrCommon {

// The per-thread debug handles and the three static handles. All access holds `lock`.
struct DebugRegistry {
    DebugRegistry();

    TracedCriticalSection lock{false};
    std::map<unsigned long, DebugHandlePtr> handles;
    DebugHandlePtr silentHandle;
    DebugHandlePtr absentHandle;
    DebugHandlePtr defaultHandle;
    unsigned long mainThreadId;

    // Caller holds the lock.
    const DebugHandlePtr& Find(unsigned long threadId) const;
    const DebugHandlePtr& Lookup(unsigned long threadId) const;
    void Set(unsigned long threadId, const DebugHandlePtr& handle);
    bool IsAbsent(const DebugHandlePtr& handle) const { return handle.Get() == absentHandle.Get(); }
};

DebugRegistry& GetDebugRegistry();

} // namespace TvrCommon
