#pragma once

#include "DebugHandle.h"

#include <memory>

namespace TvrCommon {

class DebugCallbackHandleImpl;

// Trace text handed to a function; the handle serialises the calls.
class DebugCallbackHandle : public DebugHandle {
public:
    DebugCallbackHandle(int level, DebugCallback callback);
    DebugCallbackHandle(const DebugCallbackHandle&) = delete;
    DebugCallbackHandle& operator=(const DebugCallbackHandle&) = delete;
    ~DebugCallbackHandle() override;

    bool IsOpen() override;
    void Write(const char* text) override;
    int GetLevel() override;
    void SetLevel(int level) override;
    size_t GetMaxSize() override;
    // A callback has no size: throws ErrCodeException code 11.
    void SetMaxSize(size_t maxSize) override;
    bool IsSameCallback(DebugCallback callback) override;
    bool IsSamePath(const std::string& path) override;

private:
    std::unique_ptr<DebugCallbackHandleImpl> m_impl;
};

} // namespace TvrCommon
