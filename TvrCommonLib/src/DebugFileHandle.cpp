#include "DebugFileHandle.h"

#include "ErrCodeException.h"
#include "FileUtils.h"
#include "LastErrorGuard.h"
#include "Mutex.h"
#include "MutexLock.h"
#include "StringUtils.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace TvrCommon {

class DebugFileHandleImpl {
public:
    DebugFileHandleImpl(const std::string& path, int level, size_t maxSize)
        : level(level), maxSize(maxSize), path(path)
    {
    }

    ~DebugFileHandleImpl() { Close(); }

    // The lock is re-entrant: Write holds it while it closes, rotates and opens again.
    void Open()
    {
        MutexLock guard(lock);
        Close();
        if (path.empty())
            throw ErrCodeException(1);
        struct stat st;
        if (maxSize != 0 && ::stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) >= maxSize)
            Rotate();
        file = FileUtils::OpenFile(path, "a+b"); // logs the failure's details
        if (file == nullptr)
            throw ErrCodeException(13);
        written = ::fstat(fileno(file), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    }

    void Close()
    {
        MutexLock guard(lock);
        if (file != nullptr) {
            std::fflush(file);
            std::fclose(file);
            file = nullptr;
        }
    }

    void Rotate()
    {
        const std::string backup = DebugFileHandle::BackupName(path);
        if (FileUtils::FileExists(backup) && !FileUtils::DeleteFile(backup))
            throw ErrCodeException(6);
        if (!FileUtils::RenameFile(path, backup))
            throw ErrCodeException(6);
    }

    std::atomic<int> level;
    Mutex lock;
    size_t maxSize;
    size_t written = 0;
    FILE* file = nullptr;
    const std::string path;
};

DebugFileHandle::DebugFileHandle(const std::string& path, int level, size_t maxSize)
    : m_impl(std::make_unique<DebugFileHandleImpl>(path, level, maxSize))
{
    if (level != 0)
        m_impl->Open();
}

DebugFileHandle::~DebugFileHandle() = default;

bool DebugFileHandle::IsOpen()
{
    MutexLock guard(m_impl->lock);
    return m_impl->file != nullptr;
}

void DebugFileHandle::Write(const char* text)
{
    if (text == nullptr)
        return;
    LastErrorGuard keepErrno;
    MutexLock guard(m_impl->lock);
    if (m_impl->level.load() == 0 || m_impl->file == nullptr)
        return;
    const size_t length = std::strlen(text);
    if (m_impl->maxSize != 0 && m_impl->written + length > m_impl->maxSize) {
        m_impl->Close();
        m_impl->Rotate();
        m_impl->Open();
    }
    std::fprintf(m_impl->file, "%s", text);
    std::fflush(m_impl->file);
    m_impl->written += length;
}

int DebugFileHandle::GetLevel()
{
    return m_impl->level.load();
}

void DebugFileHandle::SetLevel(int level)
{
    MutexLock guard(m_impl->lock);
    const int old = m_impl->level.load();
    if (old == 0 && level != 0)
        m_impl->Open();
    else if (old != 0 && level == 0)
        m_impl->Close();
    m_impl->level.store(level);
}

size_t DebugFileHandle::GetMaxSize()
{
    MutexLock guard(m_impl->lock);
    return m_impl->maxSize;
}

void DebugFileHandle::SetMaxSize(size_t maxSize)
{
    MutexLock guard(m_impl->lock);
    m_impl->maxSize = maxSize;
}

bool DebugFileHandle::IsSameCallback(DebugCallback)
{
    return false;
}

bool DebugFileHandle::IsSamePath(const std::string& path)
{
    return m_impl->path == path;
}

std::string DebugFileHandle::BackupName(const std::string& path)
{
    return StringUtils::InsertBeforeExtension(path, ".1");
}

} // namespace TvrCommon
