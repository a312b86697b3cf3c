#include "FileJanitor.h"

#include "ErrCodeException.h"
#include "FileUtils.h"
#include "Logger.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace TvrCommon {

FileJanitor::FileJanitor(std::string path, std::string mode) : m_file(FileUtils::OpenFile(path, mode)) {}

FileJanitor::FileJanitor(FILE* file) : m_file(file) {}

FileJanitor::~FileJanitor()
{
    Close();
}

int FileJanitor::Close()
{
    if (m_file == nullptr) {
        return 0;
    }
    const int result = std::fclose(m_file);
    m_file = nullptr;
    return result;
}

TempFileJanitor::TempFileJanitor() : m_janitor(nullptr)
{
    Create(std::string(), std::string());
}

TempFileJanitor::TempFileJanitor(std::string directory) : m_janitor(nullptr)
{
    Create(directory, std::string());
}

TempFileJanitor::TempFileJanitor(std::string directory, std::string extension) : m_janitor(nullptr)
{
    Create(directory, extension);
}

TempFileJanitor::~TempFileJanitor()
{
    delete m_janitor;
    if (!m_path.empty()) {
        ::unlink(m_path.c_str());
    }
}

// Name and file are made in one step (mkstemps), so no other process can
// slip in between choosing the name and opening it.
void TempFileJanitor::Create(const std::string& directory, const std::string& extension)
{
    std::string base = directory;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = (tmp != nullptr && *tmp != '\0') ? tmp : P_tmpdir;
    }
    std::string name = base;
    if (name.back() != '/') {
        name += '/';
    }
    name += "tvrXXXXXX";
    std::string suffix;
    if (!extension.empty()) {
        suffix = "." + extension;
    }
    name += suffix;

    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = ::mkstemps(buffer.data(), static_cast<int>(suffix.size()));
    FILE* file = nullptr;
    int error = errno;
    if (fd >= 0) {
        file = ::fdopen(fd, "wb");
        error = errno;
        if (file == nullptr) {
            ::close(fd);
            ::unlink(buffer.data());
        }
    }
    m_janitor = new FileJanitor(file);
    if (file == nullptr) {
        GetLogger()->Error("src/FileJanitor", __LINE__) << "Failed to open file! - Path: " << name << std::endl;
        GetLogger()->Error("src/FileJanitor", __LINE__) << "Failed to open file! - Mode: wb" << std::endl;
        GetLogger()->Error("src/FileJanitor", __LINE__) << "Failed to open file! - Error code: " << error << std::endl;
        return;
    }
    m_path = buffer.data();
}

FILE* TempFileJanitor::GetFile() const
{
    return m_janitor == nullptr ? nullptr : m_janitor->GetFile();
}

int TempFileJanitor::Close()
{
    return m_janitor == nullptr ? 0 : m_janitor->Close();
}

}  // namespace TvrCommon
