#include "Trace.h"

#include "CapturingLogger.h"
#include "DebugCallbackHandle.h"
#include "DebugFileHandle.h"
#include "LastErrorGuard.h"
#include "ScopedLock.h"
#include "ThreadId.h"
#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace TvrCommon;

namespace {

const std::string kTimeStamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}Z)";

std::string ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Collects what callback handles receive.
std::mutex g_linesLock;
std::vector<std::string> g_lines;
void CollectLine(const char* text)
{
    std::lock_guard<std::mutex> guard(g_linesLock);
    g_lines.emplace_back(text);
}
void OtherCollector(const char*) {}

class TraceRegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> guard(g_linesLock);
        g_lines.clear();
    }
    // Leaves the registry empty again for the calling thread.
    void TearDown() override { SetDebugCallback(nullptr, 1); }
};

TEST(TraceTextTest, PrefixCarriesTimeLevelThreadAndPosition)
{
    const std::string tid = std::to_string(CurrentThreadId());
    EXPECT_TRUE(std::regex_match(FormatLogPrefix(3, "a/b/c.txt", 7),
                                 std::regex("^" + kTimeStamp + " INFO  \\[tid:" + tid + "\\] c\\.txt:7 - $")));
    EXPECT_TRUE(std::regex_match(FormatLogPrefix(9, "a\\b.cpp", 12),
                                 std::regex("^" + kTimeStamp + "       \\[tid:" + tid + "\\] b\\.cpp:12 - $")));
    EXPECT_TRUE(std::regex_search(FormatLogPrefix(4, "x/", 1), std::regex("\\] x/:1 - $")));
    const char* names[] = {"     ", "ERROR", "WARN ", "INFO ", "DEBUG", "     "};
    for (int level = 0; level <= 5; ++level)
        EXPECT_EQ(LogLevelName(level), names[level]);
}

TEST(TraceTextTest, HexDumpLines)
{
    unsigned char data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<unsigned char>(0x1E + i);
    EXPECT_EQ(HexDump(data, 20),
              "0000:1e 1f 20 21 22 23 24 25 | 26 27 28 29 2a 2b 2c 2d  [...!\"#$%&'()*+,-]\n"
              "0010:2e 2f 30 31  [./01]\n"
              " size: 20\n");
    EXPECT_EQ(HexDump(data, 8), "0000:1e 1f 20 21 22 23 24 25 |  [...!\"#$%]\n size: 8\n");
    EXPECT_EQ(HexDump(nullptr, 0), " size: 0\n");
}

TEST_F(TraceRegistryTest, EmptyRegistryTracesErrorsOnlyToStandardError)
{
    EXPECT_EQ(GetTraceLevel(), 1);
    ::testing::internal::CaptureStderr();
    TraceDebug("src/x.cpp", 3, "not shown");
    WriteTrace("shown\n");
    WriteTrace(nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "shown\n");
}

TEST_F(TraceRegistryTest, CallbackHandleReceivesPrefixedLines)
{
    SetDebugCallback(CollectLine, 4);
    EXPECT_EQ(GetTraceLevel(), 4);
    TraceDebug("src/dir/Store.cpp", 42, "opened store");
    SetDebugCallback(CollectLine, 3); // same callback: the shared handle takes the new level
    TraceDebug("src/dir/Store.cpp", 43, "dropped");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(g_lines[0], std::regex("^" + kTimeStamp + " DEBUG \\[tid:" +
                                                        std::to_string(CurrentThreadId()) +
                                                        "\\] Store\\.cpp:42 - opened store\n$")));
}

TEST_F(TraceRegistryTest, TraceStreamCallbackStreamIsReusedAndEmptied)
{
    static std::stringstream shared;
    SetTraceStreamCallback([]() -> std::stringstream* { return &shared; });
    SetDebugCallback(CollectLine, 4);
    TraceDebug("f.cpp", 1, "one");
    TraceDebug("f.cpp", 2, "two");
    SetTraceStreamCallback(nullptr);
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_NE(g_lines[1].find("f.cpp:2 - two\n"), std::string::npos);
    EXPECT_EQ(g_lines[1].find("one"), std::string::npos);
    EXPECT_TRUE(shared.str().empty());
}

TEST_F(TraceRegistryTest, RegistrationRules)
{
    const fs::path path = fs::temp_directory_path() / ("tvr-trace-" + std::to_string(::getpid()) + ".log");
    fs::remove(path);
    SetDebugFile(path.string(), 0); // silent handle
    EXPECT_EQ(GetTraceLevel(), 0);
    EXPECT_FALSE(fs::exists(path));
    SetDebugFile("", 3); // removes the entry: back to the default handle
    EXPECT_EQ(GetTraceLevel(), 1);
    for (int level : {5, -1}) {
        EXPECT_EQ(CodeOf([&] { SetDebugFile(path.string(), level); }), 4) << level;
        EXPECT_EQ(CodeOf([&] { SetDebugCallback(CollectLine, level); }), 4) << level;
    }
    EXPECT_EQ(CodeOf([] { SetDebugFile((fs::temp_directory_path() / "no-such-dir-tvr" / "t.log").string(), 3); }), 13);
    EXPECT_EQ(GetTraceLevel(), 1);

    SetDebugFile(path.string(), 4);
    TraceDebug("src/a.cpp", 9, "to file");
    SetDebugFile("", 3);
    EXPECT_NE(ReadAll(path).find("a.cpp:9 - to file\n"), std::string::npos);
    fs::remove(path);
}

TEST_F(TraceRegistryTest, ThreadsShareAFileHandleAndTheLastLevelApplies)
{
    const fs::path path = fs::temp_directory_path() / ("tvr-shared-" + std::to_string(::getpid()) + ".log");
    fs::remove(path);
    SetDebugFile(path.string(), 4);
    const DebugHandlePtr mine = GetDebugHandle(CurrentThreadId());
    DebugHandle* theirs = nullptr;
    std::thread other([&] {
        SetDebugFile(path.string(), 2);
        theirs = GetDebugHandle(CurrentThreadId()).Get();
        SetDebugFile("", 1);
    });
    other.join();
    EXPECT_EQ(theirs, mine.Get());
    EXPECT_EQ(GetTraceLevel(), 2);
    SetDebugFile("", 1);
    fs::remove(path);
}

TEST_F(TraceRegistryTest, UnregisteredThreadsFallBackToTheMainThreadAndInheritCopies)
{
    ASSERT_EQ(CurrentThreadId(), static_cast<unsigned long>(::getpid())) << "runs on the main thread";
    SetDebugCallback(CollectLine, 4);
    const DebugHandle* mainHandle = GetDebugHandle(CurrentThreadId()).Get();
    std::atomic<int> step{0};
    const DebugHandle* fallback = nullptr;
    const DebugHandle* inherited = nullptr;
    std::thread child([&] {
        fallback = GetDebugHandle(CurrentThreadId()).Get();
        InheritDebugHandle(0);
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        inherited = GetDebugHandle(CurrentThreadId()).Get();
        SetDebugCallback(nullptr, 1);
    });
    while (step != 1)
        std::this_thread::yield();
    SetDebugCallback(OtherCollector, 3); // the main thread moves on; the child keeps its copy
    step = 2;
    child.join();
    EXPECT_EQ(fallback, mainHandle);
    EXPECT_EQ(inherited, mainHandle);
    EXPECT_NE(GetDebugHandle(CurrentThreadId()).Get(), mainHandle);
}

TEST(DebugHandleTest, FileHandleRotatesToBackupAtItsSizeLimit)
{
    const fs::path dir = fs::temp_directory_path() / ("tvr-rotate-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path path = dir / "trace.log";
    const fs::path backup = dir / "trace.1.log";
    std::ofstream(backup) << "older backup";

    DebugFileHandle handle(path.string(), 4, 100);
    EXPECT_TRUE(handle.IsOpen());
    const std::string first(90, 'a');
    const std::string second(20, 'b');
    handle.Write(first.c_str());
    EXPECT_EQ(ReadAll(path), first);
    handle.Write(second.c_str());
    EXPECT_EQ(ReadAll(backup), first);
    EXPECT_EQ(ReadAll(path), second);

    // Level 0 closes the file and drops writes; a level opens it again.
    handle.SetLevel(0);
    EXPECT_FALSE(handle.IsOpen());
    handle.Write("dropped");
    handle.SetLevel(3);
    handle.Write("c");
    EXPECT_EQ(ReadAll(path), second + "c");

    // A file already at its limit is rotated when it is opened.
    DebugFileHandle reopened(path.string(), 1, 10);
    EXPECT_EQ(ReadAll(backup), second + "c");
    EXPECT_EQ(fs::file_size(path), 0u);
    fs::remove_all(dir);
}

TEST(DebugHandleTest, BackupNamesAndHandleKinds)
{
    EXPECT_EQ(DebugFileHandle::BackupName("trace.log"), "trace.1.log");
    EXPECT_EQ(DebugFileHandle::BackupName("/var/x.d/trace"), "/var/x.d/trace.1");
    EXPECT_EQ(DebugFileHandle::BackupName("c:\\x.d\\a.b.txt"), "c:\\x.d\\a.b.1.txt");

    DebugCallbackHandle callback(3, CollectLine);
    EXPECT_TRUE(callback.IsOpen());
    EXPECT_TRUE(callback.IsSameCallback(CollectLine));
    EXPECT_FALSE(callback.IsSamePath(""));
    EXPECT_EQ(callback.GetMaxSize(), 0u);
    EXPECT_EQ(CodeOf([&] { callback.SetMaxSize(10); }), 11);
    EXPECT_FALSE(DebugCallbackHandle(3, nullptr).IsOpen());
    EXPECT_EQ(CodeOf([] { DebugFileHandle empty("", 3, 0); }), 1);
}

// Threads register, trace and unregister at once; each text arrives whole.
TEST_F(TraceRegistryTest, ConcurrentRegistrationAndWriting)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int round = 0; round < 4; ++round) {
                SetDebugCallback(CollectLine, 4);
                for (int i = 0; i < kLines / 4; ++i)
                    TraceDebug("src/t.cpp", t, "thread " + std::to_string(t) + " line " + std::to_string(i));
                SetDebugCallback(nullptr, 1);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::lock_guard<std::mutex> guard(g_linesLock);
    ASSERT_EQ(g_lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex whole("^" + kTimeStamp + R"( DEBUG \[tid:\d+\] t\.cpp:\d - thread \d line \d+\n$)");
    for (const std::string& line : g_lines)
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
}

} // namespace

namespace {

TEST(ScopedLockTest, TracedSectionLogsEnteringAndLeaving)
{
    CapturingLogger logger;
    TvrCommon::SetLogger(&logger);
    TracedCriticalSection traced(true);
    TracedCriticalSection quiet(false);
    {
        ScopedLock outer(traced);
        ScopedLock inner(traced); // re-entrant for the owning thread
        ScopedLock silent(quiet);
    }
    TvrCommon::SetLogger(nullptr);
    const std::string address = std::to_string(reinterpret_cast<std::uintptr_t>(&traced));
    EXPECT_EQ(logger.debug.str(), "entered mutex: " + address + "\nentered mutex: " + address +
                                      "\nleave mutex: " + address + "leave mutex: " + address);
}

TEST(LastErrorGuardTest, TracingKeepsErrno)
{
    errno = ENOENT;
    {
        LastErrorGuard guard;
        errno = EACCES;
    }
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
