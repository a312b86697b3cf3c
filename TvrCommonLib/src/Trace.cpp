#include "Trace.h"

#include "DebugCallbackHandle.h"
#include "DebugFileHandle.h"
#include "DebugRegistry.h"
#include "ErrCodeException.h"
#include "ScopedLock.h"
#include "ThreadId.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace TvrCommon {

namespace {
std::atomic<TraceStreamCallback> g_traceStreamCallback{nullptr};
}

std::string LogLevelName(int level)
{
    switch (level) {
    case 4: return "DEBUG";
    case 3: return "INFO ";
    case 2: return "WARN ";
    case 1: return "ERROR";
    default: return "     ";
    }
}

std::string FormatLogTime()
{
    // One clock reading for the whole stamp, so seconds and milliseconds always agree.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    if (gmtime_r(&now.tv_sec, &utc) == nullptr)
        return std::string();
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

std::string FormatLogPrefix(int level, std::string file, int line)
{
    const size_t cut = file.find_last_of("/\\");
    if (cut != std::string::npos && cut + 1 < file.size())
        file.erase(0, cut + 1);
    return FormatLogTime() + " " + LogLevelName(level) + " [tid:" + std::to_string(CurrentThreadId()) +
           "] " + file + ":" + std::to_string(line) + " - ";
}

std::string HexDump(const unsigned char* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t offset = 0; offset < length; offset += 16) {
        char head[32];
        std::snprintf(head, sizeof head, "%04zx:", offset);
        std::string hex = head;
        std::string chars;
        const size_t end = offset + 16 < length ? offset + 16 : length;
        for (size_t i = offset; i < end; ++i) {
            const unsigned char b = data[i];
            hex += digits[b >> 4];
            hex += digits[b & 0x0F];
            hex += ' ';
            if (i - offset == 7)
                hex += "| ";
            chars += (b >= 0x21 && b <= 0x7F) ? static_cast<char>(b) : '.';
        }
        out += hex + " [" + chars + "]\n";
    }
    out += " size: " + std::to_string(length) + "\n";
    return out;
}

void SetTraceStreamCallback(TraceStreamCallback callback)
{
    g_traceStreamCallback.store(callback);
}

TraceStreamCallback GetTraceStreamCallback()
{
    return g_traceStreamCallback.load();
}

void WriteToStderr(const char* text)
{
    std::fprintf(stderr, "%s", text);
}

void DiscardText(const char*) {}

bool IsValidDebugLevel(int level)
{
    return static_cast<unsigned>(level) <= 4u;
}

DebugRegistry::DebugRegistry()
    : silentHandle(new DebugCallbackHandle(0, DiscardText)),
      absentHandle(new DebugCallbackHandle(0, nullptr)),
      defaultHandle(new DebugCallbackHandle(1, WriteToStderr)),
      // The main thread's kernel id equals the process id.
      mainThreadId(static_cast<unsigned long>(::getpid()))
{
}

const DebugHandlePtr& DebugRegistry::Find(unsigned long threadId) const
{
    if (handles.empty())
        return defaultHandle;
    if (threadId == 0)
        return absentHandle;
    const auto it = handles.find(threadId);
    return it != handles.end() ? it->second : absentHandle;
}

const DebugHandlePtr& DebugRegistry::Lookup(unsigned long threadId) const
{
    const DebugHandlePtr& own = Find(threadId);
    if (!IsAbsent(own))
        return own;
    if (threadId != mainThreadId)
        return Find(mainThreadId);
    return defaultHandle;
}

void DebugRegistry::Set(unsigned long threadId, const DebugHandlePtr& handle)
{
    if (!handle || IsAbsent(handle))
        handles.erase(threadId);
    else
        handles[threadId] = handle;
}

DebugRegistry& GetDebugRegistry()
{
    static DebugRegistry registry;
    return registry;
}

DebugHandlePtr GetDebugHandle(unsigned long threadId)
{
    // Copied out under the lock: the count keeps the handle alive while the caller uses it,
    // even if its thread re-registers at the same time.
    DebugRegistry& registry = GetDebugRegistry();
    ScopedLock lock(registry.lock);
    return registry.Lookup(threadId);
}

int GetTraceLevel()
{
    const DebugHandlePtr handle = GetDebugHandle(CurrentThreadId());
    return handle ? handle->GetLevel() : 0;
}

void WriteTrace(const char* text)
{
    if (text == nullptr)
        return;
    const DebugHandlePtr handle = GetDebugHandle(CurrentThreadId());
    if (handle)
        handle->Write(text);
}

void TraceDebug(const std::string& file, int line, const std::string& message)
{
    if (GetTraceLevel() < 4)
        return;
    std::stringstream local;
    const TraceStreamCallback callback = GetTraceStreamCallback();
    std::stringstream* stream = callback ? callback() : nullptr;
    if (stream == nullptr)
        stream = &local;
    *stream << FormatLogPrefix(4, file, line) << message << "\n";
    WriteTrace(stream->str().c_str());
    stream->str(std::string());
    stream->clear();
}

namespace {

// Shared by both registrations: `chosen` is the silent or absent handle, or empty when a
// handle must be shared or made; `same` finds a shareable one; `make` creates a new one.
template <typename Same, typename Make>
void Register(DebugHandlePtr chosen, int level, Same same, Make make)
{
    DebugRegistry& registry = GetDebugRegistry();
    ScopedLock lock(registry.lock);
    if (!chosen) {
        for (const auto& entry : registry.handles) {
            if (same(*entry.second.Get())) {
                chosen = entry.second;
                break;
            }
        }
        if (!chosen)
            chosen = DebugHandlePtr(make());
    }
    if (chosen.Get() != registry.silentHandle.Get() && !registry.IsAbsent(chosen))
        chosen->SetLevel(level);
    registry.Set(CurrentThreadId(), chosen);
}

} // namespace

void SetDebugFile(std::string path, int level)
{
    if (!IsValidDebugLevel(level))
        throw ErrCodeException(4);
    DebugRegistry& registry = GetDebugRegistry();
    DebugHandlePtr chosen;
    if (level == 0)
        chosen = registry.silentHandle;
    else if (path.empty())
        chosen = registry.absentHandle;
    Register(
        chosen, level, [&](DebugHandle& h) { return h.IsSamePath(path); },
        [&] { return new DebugFileHandle(path, level, 0); });
}

void SetDebugCallback(DebugCallback callback, int level)
{
    if (!IsValidDebugLevel(level))
        throw ErrCodeException(4);
    DebugRegistry& registry = GetDebugRegistry();
    DebugHandlePtr chosen;
    if (level == 0)
        chosen = callback ? registry.silentHandle : registry.absentHandle;
    else if (callback == nullptr)
        chosen = registry.absentHandle;
    Register(
        chosen, level, [&](DebugHandle& h) { return h.IsSameCallback(callback); },
        [&] { return new DebugCallbackHandle(level, callback); });
}

void InheritDebugHandle(unsigned long parentThreadId)
{
    DebugRegistry& registry = GetDebugRegistry();
    const unsigned long self = CurrentThreadId();
    const unsigned long source = parentThreadId != 0 ? parentThreadId : registry.mainThreadId;
    if (self == source)
        return;
    ScopedLock lock(registry.lock);
    if (registry.handles.count(self) != 0)
        return;
    const DebugHandlePtr handle = registry.Lookup(source);
    registry.Set(self, handle);
}

} // namespace TvrCommon
