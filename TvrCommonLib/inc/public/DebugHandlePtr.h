#pragma once

#include "DebugHandle.h"

#include <atomic>

namespace TvrCommon {

// Counted owner of a DebugHandle; the last owner deletes it. The count is atomic because
// tracing threads copy handles out of the registry while others register.
class DebugHandlePtr {
public:
    DebugHandlePtr() = default;
    explicit DebugHandlePtr(DebugHandle* object);
    DebugHandlePtr(const DebugHandlePtr& other);
    DebugHandlePtr& operator=(const DebugHandlePtr& other);
    // Takes sole ownership of a new object (count 1).
    DebugHandlePtr& operator=(DebugHandle* object);
    ~DebugHandlePtr();

    DebugHandle* Get() const { return m_object; }
    DebugHandle* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    void Release();

    DebugHandle* m_object = nullptr;
    std::atomic<int>* m_count = nullptr;
};

} // namespace TvrCommon
