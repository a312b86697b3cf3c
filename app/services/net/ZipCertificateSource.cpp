// Certificates from a ZIP archive, read into memory entry by entry; nothing is written
// to disk.
#include "CertificateSources.h"

#include "EventLog.h"

#include <openssl/x509.h>
#include <sys/stat.h>
#include <zip.h>

#include <memory>
#include <vector>

namespace TvrServices {

namespace {

struct ZipDeleter {
    void operator()(zip_t* archive) const { zip_discard(archive); }  // read-only: nothing to write
};
struct ZipFileDeleter {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

bool IsDirectory(zip_t* archive, zip_uint64_t index, const char* name)
{
    std::string text = name ? name : "";
    if (!text.empty() && text.back() == '/')
        return true;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0)
        return false;
    if (attributes & 0x10)  // the MS-DOS directory bit
        return true;
    return system == ZIP_OPSYS_UNIX && S_ISDIR(attributes >> 16);
}

// The entry's bytes, or nothing when it cannot be read or holds more than the cap,
// whatever size its header claims.
std::vector<unsigned char> ReadEntry(zip_t* archive, zip_uint64_t index)
{
    std::unique_ptr<zip_file_t, ZipFileDeleter> file(zip_fopen_index(archive, index, 0));
    if (!file)
        return {};
    std::vector<unsigned char> bytes;
    unsigned char chunk[16 * 1024];
    for (;;) {
        zip_int64_t got = zip_fread(file.get(), chunk, sizeof chunk);
        if (got < 0)
            return {};
        if (got == 0)
            return bytes;
        if (bytes.size() + static_cast<size_t>(got) > kMaxZipEntryBytes)
            return {};
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

} // namespace

CandidateSet LoadCertificatesFromZip(const std::string& path, std::string& errorText)
{
    CandidateSet candidates;
    int error = 0;
    std::unique_ptr<zip_t, ZipDeleter> archive(zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!archive) {
        LogEvent(EVENTLOG_ERROR_TYPE, "Failed to init zip reader from file!");
        errorText = kBadFileText;
        return candidates;
    }
    zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_uint64_t index = static_cast<zip_uint64_t>(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), index, 0, &stat) != 0)
            continue;
        if (IsDirectory(archive.get(), index, stat.name))
            continue;
        // A stated size over the cap is not even opened.
        if ((stat.valid & ZIP_STAT_SIZE) && stat.size > kMaxZipEntryBytes)
            continue;
        std::vector<unsigned char> bytes = ReadEntry(archive.get(), index);
        if (bytes.empty())
            continue;
        const unsigned char* cursor = bytes.data();
        X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
        if (!certificate) {
            LogEvent(EVENTLOG_WARNING_TYPE, "Failed to get certificate from ZIP!");
            continue;
        }
        AddCandidate(candidates, std::move(certificate));
    }
    return candidates;
}

} // namespace TvrServices
