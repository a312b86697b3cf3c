#include "FileUtils.h"

#include "ByteArray.h"
#include "CapturingLogger.h"
#include "FileJanitor.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace TvrCommon;
using namespace TvrCommon::FileUtils;

namespace {

class FileUtilsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tvr-files-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        SetLogger(&logger);
    }
    void TearDown() override
    {
        SetLogger(nullptr);
        std::filesystem::remove_all(dir);
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }
    void Put(const std::string& name, const std::string& content) const
    {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string Get(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    bool Logged(const std::ostringstream& stream, const std::string& text) const
    {
        return stream.str().find(text) != std::string::npos;
    }

    std::string dir;
    CapturingLogger logger;
};

}  // namespace

TEST_F(FileUtilsTest, WriteAndReadKeepEveryByte)
{
    const std::string bytes("a\0b\xFF\n", 5);
    WriteFile(Path("data.bin"), ByteArray(bytes));
    EXPECT_EQ(ReadFile(Path("data.bin"))->ToString(), bytes);

    WriteFile(Path("data.bin"), "xy", 2, true);
    EXPECT_EQ(Get("data.bin"), bytes + "xy");
    WriteFile(Path("data.bin"), "z", 1, false);
    EXPECT_EQ(Get("data.bin"), "z");

    Put("empty", "");
    EXPECT_EQ(ReadFile(Path("empty"))->GetSize(), 0u);
}

TEST_F(FileUtilsTest, ReadAndWriteFailuresCarryTheirCodes)
{
    EXPECT_EQ(CodeOf([&] { ReadFile(Path("missing")); }), 5);
    EXPECT_TRUE(Logged(logger.error, "Failed to open file! - Path: " + Path("missing")));
    EXPECT_TRUE(Logged(logger.error, "Failed to open file! - Mode: rb"));
    EXPECT_TRUE(Logged(logger.error, "Failed to open file! - Error code: 2"));

    EXPECT_EQ(CodeOf([&] { ReadFile(dir); }), 5) << "a directory is not a readable file";
    EXPECT_EQ(CodeOf([&] { WriteFile(Path("no/such/dir"), "x", 1, false); }), 6);
    EXPECT_EQ(CodeOf([&] { WriteToFile(nullptr, "x", 1); }), 6);
    EXPECT_EQ(CodeOf([&] { WriteFile("/dev/full", "x", 1, false); }), 6) << "a write that cannot be flushed";
    EXPECT_EQ(OpenFile(dir, "rb"), nullptr);
}

TEST_F(FileUtilsTest, FileSizes)
{
    Put("five", "12345");
    FileJanitor file(Path("five"), "rb");
    ASSERT_NE(file.GetFile(), nullptr);
    std::fseek(file.GetFile(), 2, SEEK_SET);
    EXPECT_EQ(GetFileSize(file.GetFile()), 5);
    EXPECT_EQ(std::ftell(file.GetFile()), 2) << "position unchanged";
    EXPECT_EQ(CodeOf([] { GetFileSize(static_cast<FILE*>(nullptr)); }), 5);
    EXPECT_TRUE(Logged(logger.debug, "Error reading file size."));

    EXPECT_EQ(GetFileSize(Path("five")), 5u);
    EXPECT_EQ(CodeOf([&] { GetFileSize(Path("missing")); }), 13);
    EXPECT_TRUE(Logged(logger.error, "Error reading file size. errno:2"));
    EXPECT_EQ(CodeOf([&] { GetFileSize(dir); }), 13);

    // A sparse file beyond 32 bits costs no disk space.
    const int fd = ::open(Path("huge").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0x100000000LL), 0);
    ::close(fd);
    logger.error.str("");
    EXPECT_EQ(CodeOf([&] { GetFileSize(Path("huge")); }), 10);
    EXPECT_EQ(logger.error.str().rfind("Error reading file size.\n", 0), 0u);
    EXPECT_FALSE(Logged(logger.error, "errno"));
}

TEST_F(FileUtilsTest, RenameNeverReplacesAndDeleteNeverThrows)
{
    Put("a", "A");
    Put("b", "B");
    EXPECT_FALSE(RenameFile(Path("a"), Path("b")));
    EXPECT_EQ(Get("a"), "A");
    EXPECT_EQ(Get("b"), "B");
    EXPECT_TRUE(RenameFile(Path("a"), Path("c")));
    EXPECT_EQ(Get("c"), "A");
    EXPECT_FALSE(RenameFile(Path("missing"), Path("d")));

    EXPECT_TRUE(DeleteFile(Path("c")));
    EXPECT_FALSE(DeleteFile(Path("c")));
    std::filesystem::create_directory(Path("sub"));
    EXPECT_FALSE(DeleteFile(Path("sub"))) << "only files are deleted";
}

TEST_F(FileUtilsTest, CopyRefusesToOverwrite)
{
    Put("src", "source");
    CopyFile(Path("src"), Path("dst"));
    EXPECT_EQ(Get("dst"), "source");

    Put("other", "keep me");
    EXPECT_EQ(CodeOf([&] { CopyFile(Path("src"), Path("other")); }), 6);
    EXPECT_TRUE(Logged(logger.debug, "Could not copy files."));
    EXPECT_EQ(Get("other"), "keep me");

    EXPECT_EQ(CodeOf([&] { CopyFile(Path("missing"), Path("x")); }), 13);
    EXPECT_TRUE(Logged(logger.debug, "No such file or directory: " + Path("missing")));
}

TEST_F(FileUtilsTest, ExistenceModificationTimeAndNames)
{
    Put("f", "x");
    EXPECT_TRUE(FileExists(Path("f")));
    EXPECT_TRUE(FileExists(dir)) << "a directory counts";
    EXPECT_FALSE(FileExists(Path("missing")));
    EXPECT_TRUE(Logged(logger.debug, "File (" + Path("f") + ") exists."));
    EXPECT_TRUE(Logged(logger.debug, "File (" + Path("missing") + ") does not exist."));
    EXPECT_TRUE(IsDirectory(dir));
    EXPECT_FALSE(IsDirectory(Path("f")));
    EXPECT_TRUE(Logged(logger.debug, "Path (" + Path("f") + ") is not directory."));

    const time_t stamp = 1700000000;
    const struct utimbuf times = {stamp, stamp};
    ASSERT_EQ(::utime(Path("f").c_str(), &times), 0);
    struct tm expected;
    localtime_r(&stamp, &expected);
    const struct tm got = GetLastWriteTime(Path("f"));
    EXPECT_EQ(got.tm_year, expected.tm_year);
    EXPECT_EQ(got.tm_yday, expected.tm_yday);
    EXPECT_EQ(got.tm_hour, expected.tm_hour);
    EXPECT_EQ(got.tm_min, expected.tm_min);
    EXPECT_EQ(CodeOf([&] { GetLastWriteTime(Path("missing")); }), 13);

    EXPECT_EQ(GetFileName("dir/sub\\x.txt"), "x.txt");
    EXPECT_EQ(GetFileName("x.txt"), "x.txt");
    EXPECT_EQ(GetFileName("dir/"), "");
}

TEST_F(FileUtilsTest, TempFilesAreCreatedUniqueAndRemoved)
{
    std::string first;
    {
        TempFileJanitor a(dir, "der");
        TempFileJanitor b(dir, "der");
        first = a.GetPath();
        ASSERT_NE(a.GetFile(), nullptr);
        EXPECT_NE(a.GetPath(), b.GetPath());
        EXPECT_EQ(first.rfind(dir + "/", 0), 0u);
        EXPECT_EQ(first.substr(first.size() - 4), ".der");
        struct stat info;
        ASSERT_EQ(::stat(first.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 077, 0u) << "not readable by others";
        WriteToFile(a.GetFile(), "abc", 3);
        EXPECT_EQ(a.Close(), 0);
        EXPECT_EQ(a.Close(), 0);
        EXPECT_EQ(GetFileSize(first), 3u);
    }
    EXPECT_FALSE(std::filesystem::exists(first));

    TempFileJanitor plain(dir);
    EXPECT_EQ(plain.GetPath().find('.', dir.size()), std::string::npos);
    TempFileJanitor broken(Path("no-such-dir"));
    EXPECT_EQ(broken.GetFile(), nullptr);
    EXPECT_TRUE(Logged(logger.error, "Failed to open file! - Mode: wb"));
}
