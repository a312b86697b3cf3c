#pragma once

#include "DebugHandle.h"
#include "DebugHandlePtr.h"

#include <cstddef>
#include <sstream>
#include <string>

namespace TvrCommon {

// Returns a reusable stream for trace lines (may return null: a local stream is used then).
using TraceStreamCallback = std::stringstream* (*)();

// "<time> <level name> [tid:<id>] <file name>:<line> - "
std::string FormatLogPrefix(int level, std::string file, int line);
// UTC "YYYY-MM-DD HH:MM:SS.mmmZ".
std::string FormatLogTime();
// Five characters: "DEBUG", "INFO ", "WARN ", "ERROR", or five blanks.
std::string LogLevelName(int level);
// Offset, hex bytes and printable characters, 16 bytes a line, then " size: <n>".
std::string HexDump(const unsigned char* data, size_t length);

void SetTraceStreamCallback(TraceStreamCallback callback);
TraceStreamCallback GetTraceStreamCallback();

// The level of the calling thread's debug handle (0 when there is none).
int GetTraceLevel();
// Hands the text to the calling thread's debug handle; null does nothing.
void WriteTrace(const char* text);
// Client tracing at debug severity: a prefixed line, only when the thread's handle admits it.
void TraceDebug(const std::string& file, int line, const std::string& message);

// The default handle's callback (standard error) and the silent handle's (drops the text).
void WriteToStderr(const char* text);
void DiscardText(const char* text);

// Registers a trace file for the calling thread (level 0: silent; empty path: no entry).
// A level outside 0..4 throws ErrCodeException code 4.
void SetDebugFile(std::string path, int level);
// Registers a trace callback for the calling thread (same rules as SetDebugFile).
void SetDebugCallback(DebugCallback callback, int level);
// Gives the calling thread the handle of another thread (0: the main thread).
void InheritDebugHandle(unsigned long parentThreadId);
// The handle that applies to a thread: its own, else the main thread's, else the default.
DebugHandlePtr GetDebugHandle(unsigned long threadId);
bool IsValidDebugLevel(int level);

} // namespace TvrCommon
