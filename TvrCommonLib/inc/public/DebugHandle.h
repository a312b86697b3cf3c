#pragma once

#include <cstddef>
#include <string>

namespace TvrCommon {

// Receives one finished trace text.
using DebugCallback = void (*)(const char* text);

// Where a thread's trace text goes. Severities: 1 error, 2 warning, 3 information,
// 4 debug; 0 off.
class DebugHandle {
public:
    virtual bool IsOpen() = 0;
    virtual void Write(const char* text) = 0;
    virtual int GetLevel() = 0;
    virtual void SetLevel(int level) = 0;
    virtual size_t GetMaxSize() = 0;
    virtual void SetMaxSize(size_t maxSize) = 0;
    virtual bool IsSameCallback(DebugCallback callback) = 0;
    virtual bool IsSamePath(const std::string& path) = 0;
    virtual ~DebugHandle() = default;
};

} // namespace TvrCommon
