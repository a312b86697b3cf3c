#pragma once

#include "DebugHandle.h"

#include <memory>

namespace TvrCommon {

class DebugFileHandleImpl;

// Trace text into a file (UTF-8 path) that is moved to one backup generation
// ("trace.log" -> "trace.1.log") when it would grow beyond maxSize (0 = unlimited).
class DebugFileHandle : public DebugHandle {
public:
    // Opens the file at once unless the level is 0; failures throw ErrCodeException.
    DebugFileHandle(const std::string& path, int level, size_t maxSize);
    DebugFileHandle(const DebugFileHandle&) = delete;
    DebugFileHandle& operator=(const DebugFileHandle&) = delete;
    ~DebugFileHandle() override;

    bool IsOpen() override;
    void Write(const char* text) override;
    int GetLevel() override;
    void SetLevel(int level) override;
    size_t GetMaxSize() override;
    void SetMaxSize(size_t maxSize) override;
    bool IsSameCallback(DebugCallback callback) override;
    bool IsSamePath(const std::string& path) override;

    // The backup name of a trace path: ".1" before the file name's extension.
    static std::string BackupName(const std::string& path);

private:
    std::unique_ptr<DebugFileHandleImpl> m_impl;
};

} // namespace TvrCommon
