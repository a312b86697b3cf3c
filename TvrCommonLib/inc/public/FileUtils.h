#ifndef TVRCOMMON_FILEUTILS_H
#define TVRCOMMON_FILEUTILS_H

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

namespace TvrCommon {

class ByteArray;

// File helpers on UTF-8 paths. Failures throw ErrCodeException: 5 read,
// 6 write, 10 size beyond 32 bits, 13 missing or unopenable file.
namespace FileUtils {

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Null on failure (three error lines are logged); directories are refused.
FILE* OpenFile(const std::string& path, const std::string& mode);

std::unique_ptr<ByteArray> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const void* data, size_t length, bool append);
void WriteFile(const std::string& path, const ByteArray& data);
void WriteToFile(FILE* file, const void* data, size_t length);
void WriteToFile(FILE* file, const ByteArray& data);

// Leaves the file's position unchanged.
long GetFileSize(FILE* file);
size_t GetFileSize(const std::string& path);

// Never throw. Deleting removes files only; renaming never replaces an existing target.
bool DeleteFile(const std::string& path);
bool RenameFile(const std::string& from, const std::string& to);

std::string GetFileName(const std::string& path);
struct tm GetLastWriteTime(const std::string& path);
// Refuses to overwrite an existing target.
void CopyFile(const std::string& from, const std::string& to);

}  // namespace FileUtils

}  // namespace TvrCommon

#endif
