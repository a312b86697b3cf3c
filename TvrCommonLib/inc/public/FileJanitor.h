#ifndef TVRCOMMON_FILEJANITOR_H
#define TVRCOMMON_FILEJANITOR_H

#include <cstdio>
#include <string>

namespace TvrCommon {

// Owns an open FILE*; a failed open leaves it null.
class FileJanitor {
public:
    FileJanitor(std::string path, std::string mode);
    // Takes over a file that is already open.
    explicit FileJanitor(FILE* file);
    virtual ~FileJanitor();

    FileJanitor(const FileJanitor&) = delete;
    FileJanitor& operator=(const FileJanitor&) = delete;

    FILE* GetFile() const { return m_file; }
    // fclose's result; 0 when no file was open.
    int Close();

private:
    FILE* m_file;
};

// A new, uniquely named file opened for writing; the destructor closes it and
// removes it from disk. Creation is atomic (no other process can take the name).
class TempFileJanitor {
public:
    TempFileJanitor();
    explicit TempFileJanitor(std::string directory);
    TempFileJanitor(std::string directory, std::string extension);
    virtual ~TempFileJanitor();

    TempFileJanitor(const TempFileJanitor&) = delete;
    TempFileJanitor& operator=(const TempFileJanitor&) = delete;

    std::string GetPath() const { return m_path; }
    FILE* GetFile() const;
    int Close();

private:
    void Create(const std::string& directory, const std::string& extension);

    FileJanitor* m_janitor;
    std::string m_path;
};

}  // namespace TvrCommon

#endif
