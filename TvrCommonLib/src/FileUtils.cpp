#include "FileUtils.h"

#include "ByteArray.h"
#include "Date.h"
#include "ErrCodeException.h"
#include "FileJanitor.h"
#include "Logger.h"

#include <boost/filesystem.hpp>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TvrCommon {
namespace FileUtils {

namespace fs = boost::filesystem;

namespace {

std::ostream& Debug(int line)
{
    return GetLogger()->Debug("src/FileUtils", line);
}

std::ostream& Error(int line)
{
    return GetLogger()->Error("src/FileUtils", line);
}

// Closes a plain descriptor on every path.
class FdJanitor {
public:
    explicit FdJanitor(int fd) : m_fd(fd) {}
    ~FdJanitor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FdJanitor(const FdJanitor&) = delete;
    FdJanitor& operator=(const FdJanitor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

bool FileExists(const std::string& path)
{
    boost::system::error_code error;
    const fs::file_status status = fs::status(path, error);
    const bool exists = !error && status.type() != fs::status_error && status.type() != fs::file_not_found;
    Debug(__LINE__) << "File (" << path << (exists ? ") exists." : ") does not exist.") << std::endl;
    return exists;
}

bool IsDirectory(const std::string& path)
{
    boost::system::error_code error;
    const bool directory = fs::is_directory(path, error) && !error;
    Debug(__LINE__) << "Path (" << path << (directory ? ") is a directory." : ") is not directory.") << std::endl;
    return directory;
}

FILE* OpenFile(const std::string& path, const std::string& mode)
{
    FILE* file = std::fopen(path.c_str(), mode.c_str());
    int error = errno;
    if (file != nullptr) {
        // fopen on Linux opens directories too; treat them as unopenable files.
        struct stat info;
        if (::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
            std::fclose(file);
            file = nullptr;
            error = EISDIR;
        }
    }
    if (file == nullptr) {
        Error(__LINE__) << "Failed to open file! - Path: " << path << std::endl;
        Error(__LINE__) << "Failed to open file! - Mode: " << mode << std::endl;
        Error(__LINE__) << "Failed to open file! - Error code: " << error << std::endl;
    }
    return file;
}

std::unique_ptr<ByteArray> ReadFile(const std::string& path)
{
    FileJanitor janitor(path, "rb");
    if (janitor.GetFile() == nullptr) {
        throw ErrCodeException(5);
    }
    const long size = GetFileSize(janitor.GetFile());
    std::string bytes(static_cast<size_t>(size), '\0');
    if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), janitor.GetFile()) != bytes.size()) {
        throw ErrCodeException(5);
    }
    return std::make_unique<ByteArray>(bytes);
}

void WriteFile(const std::string& path, const void* data, size_t length, bool append)
{
    FileJanitor janitor(path, append ? "ab" : "wb");
    if (janitor.GetFile() == nullptr) {
        throw ErrCodeException(6);
    }
    WriteToFile(janitor.GetFile(), data, length);
    // Buffered bytes that cannot be flushed are a failed write too.
    if (janitor.Close() != 0) {
        throw ErrCodeException(6);
    }
}

void WriteFile(const std::string& path, const ByteArray& data)
{
    WriteFile(path, data.GetData(), data.GetSize(), false);
}

void WriteToFile(FILE* file, const void* data, size_t length)
{
    if (file == nullptr || (length > 0 && data == nullptr)) {
        throw ErrCodeException(6);
    }
    if (length > 0 && std::fwrite(data, 1, length, file) != length) {
        throw ErrCodeException(6);
    }
}

void WriteToFile(FILE* file, const ByteArray& data)
{
    WriteToFile(file, data.GetData(), data.GetSize());
}

long GetFileSize(FILE* file)
{
    long size = -1;
    if (file != nullptr) {
        const long position = std::ftell(file);
        if (position >= 0 && std::fseek(file, 0, SEEK_END) == 0) {
            size = std::ftell(file);
            if (std::fseek(file, position, SEEK_SET) != 0) {
                size = -1;
            }
        }
    }
    if (size < 0) {
        Debug(__LINE__) << "Error reading file size." << std::endl;
        throw ErrCodeException(5);
    }
    return size;
}

size_t GetFileSize(const std::string& path)
{
    FdJanitor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        const int error = errno;
        Error(__LINE__) << "Error reading file size. errno:" << error << std::endl;
        throw ErrCodeException(13);
    }
    struct stat info;
    if (::fstat(fd.Get(), &info) != 0 || info.st_size < 0) {
        const int error = errno;
        Error(__LINE__) << "Error reading file size. errno:" << error << std::endl;
        throw ErrCodeException(5);
    }
    if (S_ISDIR(info.st_mode)) {
        Error(__LINE__) << "Error reading file size. errno:" << EISDIR << std::endl;
        throw ErrCodeException(13);
    }
    if (static_cast<unsigned long long>(info.st_size) > 0xFFFFFFFFULL) {
        Error(__LINE__) << "Error reading file size." << std::endl;
        throw ErrCodeException(10);
    }
    return static_cast<size_t>(info.st_size);
}

bool DeleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to)
{
    // Callers rely on a rename that fails when the target exists.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without RENAME_NOREPLACE: check, then rename.
    struct stat info;
    if (::lstat(to.c_str(), &info) == 0 || errno != ENOENT) {
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string GetFileName(const std::string& path)
{
    const size_t separator = path.find_last_of("/\\");
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

struct tm GetLastWriteTime(const std::string& path)
{
    if (!FileExists(path)) {
        throw ErrCodeException(13);
    }
    const int64_t seconds = static_cast<int64_t>(fs::last_write_time(path));
    struct tm result = {};
    if (Date::LocalTime(&seconds, &result) == nullptr) {
        throw ErrCodeException(1);
    }
    return result;
}

void CopyFile(const std::string& from, const std::string& to)
{
    if (!FileExists(from)) {
        Debug(__LINE__) << "No such file or directory: " << from << std::endl;
        throw ErrCodeException(13);
    }
    boost::system::error_code error;
    const bool copied = fs::copy_file(from, to, fs::copy_options::none, error);
    if (error || !copied) {
        Debug(__LINE__) << "Could not copy files." << std::endl;
        throw ErrCodeException(6);
    }
}

}  // namespace FileUtils
}  // namespace TvrCommon
