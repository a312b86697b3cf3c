#include "SecureString.h"

#include "TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

using TvrCommon::SecureString;

// The array allocator of this test program: it snapshots one watched buffer at
// the moment it is handed back, so a test can see what was left in it.
namespace {
const void* g_watched = nullptr;
size_t g_watchedLength = 0;
char g_snapshot[64];
bool g_released = false;

void Watch(const char* buffer)
{
    g_watched = buffer;
    g_watchedLength = std::strlen(buffer);
    g_released = false;
    std::memset(g_snapshot, 'X', sizeof g_snapshot);
}

bool ReleasedWiped()
{
    if (!g_released) {
        return false;
    }
    for (size_t i = 0; i < g_watchedLength; ++i) {
        if (g_snapshot[i] != '\0') {
            return false;
        }
    }
    return true;
}
}  // namespace

void* operator new[](std::size_t size)
{
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void operator delete[](void* memory) noexcept
{
    if (memory != nullptr && memory == g_watched) {
        std::memcpy(g_snapshot, memory, g_watchedLength);
        g_released = true;
        g_watched = nullptr;
    }
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    operator delete[](memory);
}

TEST(SecureStringTest, EveryReleasedBufferIsWipedFirst)
{
    {
        SecureString s("1234-secret");
        Watch(s.CStr());
    }
    EXPECT_TRUE(ReleasedWiped()) << "destructor";

    SecureString target("old-password");
    Watch(target.CStr());
    target = SecureString("new");
    EXPECT_TRUE(ReleasedWiped()) << "assignment";
    EXPECT_STREQ(target.CStr(), "new");

    SecureString grown("pin-");
    Watch(grown.CStr());
    grown.Append("0000");
    EXPECT_TRUE(ReleasedWiped()) << "append";
    EXPECT_STREQ(grown.CStr(), "pin-0000");

    char* raw = new char[7];
    std::strcpy(raw, "secret");
    Watch(raw);
    SecureString::WipeAndFree(raw);
    EXPECT_TRUE(ReleasedWiped()) << "WipeAndFree";
    SecureString::WipeAndFree(nullptr);
}

TEST(SecureStringTest, ZeroWrittenIntoTheTextStillLeavesNothingBehind)
{
    {
        SecureString s("1234-secret");
        Watch(s.CStr());
        s.At(4) = '\0';
        EXPECT_EQ(s.Length(), 4u);
        EXPECT_STREQ(s.CStr(), "1234");
    }
    EXPECT_TRUE(ReleasedWiped()) << "destructor wipes past the written zero";

    SecureString grown("pin-secret");
    Watch(grown.CStr());
    grown.At(3) = '\0';
    grown.Append("0000");
    EXPECT_TRUE(ReleasedWiped()) << "append";
    EXPECT_STREQ(grown.CStr(), "pin0000");

    SecureString target("old-password");
    Watch(target.CStr());
    target.At(0) = '\0';
    target = SecureString("new");
    EXPECT_TRUE(ReleasedWiped()) << "assignment";
}

TEST(SecureStringTest, TerminatingZeroIsReadOnly)
{
    SecureString s("abc");
    s.At(2) = 'C';
    EXPECT_STREQ(s.CStr(), "abC");
    EXPECT_EQ(CodeOf([&] { s.At(3) = 'x'; }), 4);
    EXPECT_EQ(CodeOf([&] { s.At(4); }), 4);
    EXPECT_EQ(s.Length(), 3u);
    const SecureString& view = s;
    EXPECT_EQ(view.At(3), '\0');
    SecureString empty;
    EXPECT_EQ(CodeOf([&] { empty.At(0); }), 4);
}

TEST(SecureStringTest, SearchesFollowPositionRules)
{
    const SecureString s("abcabc");
    const size_t npos = SecureString::npos;
    struct Case {
        size_t got;
        size_t expected;
        const char* what;
    };
    const Case cases[] = {
        {s.Find('c'), 2, "Find c"},
        {s.Find('c', 3), 5, "Find c from 3"},
        {s.ReverseFind('a'), 3, "ReverseFind a"},
        {s.ReverseFind('a', 2), 0, "ReverseFind a from 2"},
        {s.FindNot('a'), 1, "FindNot a"},
        {s.ReverseFindNot('c'), 4, "ReverseFindNot c"},
        {s.Find('x'), npos, "Find x"},
        {s.Find('a', 6), npos, "Find from the length"},
        {s.Find('a', npos), npos, "Find from npos"},
        {s.ReverseFind('x'), npos, "ReverseFind x"},
        {SecureString().ReverseFind('a'), npos, "empty ReverseFind"},
        {SecureString().ReverseFindNot('a'), npos, "empty ReverseFindNot"},
        {SecureString("aaa").FindNot('a'), npos, "FindNot all equal"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, c.expected) << c.what;
    }
    EXPECT_EQ(CodeOf([&] { s.Find('a', 7); }), 4);
    EXPECT_EQ(CodeOf([&] { s.ReverseFind('a', 7); }), 4);
    EXPECT_EQ(CodeOf([&] { s.At(7); }), 4);
    EXPECT_EQ(s.At(6), '\0');
}

TEST(SecureStringTest, SubstrAppendAndComparison)
{
    const SecureString s("abcabc");
    EXPECT_STREQ(s.Substr(2).CStr(), "cabc");
    EXPECT_STREQ(s.Substr(1, 2).CStr(), "bc");
    EXPECT_STREQ(s.Substr(4, 100).CStr(), "bc");
    EXPECT_STREQ(s.Substr(6).CStr(), "");
    EXPECT_EQ(CodeOf([&] { s.Substr(7); }), 4);

    SecureString joined = SecureString("ab") + SecureString("") + SecureString("cd");
    EXPECT_STREQ(joined.CStr(), "abcd");
    EXPECT_EQ(joined.Length(), 4u);
    joined.Append(joined);
    EXPECT_STREQ(joined.CStr(), "abcdabcd");
    EXPECT_TRUE(SecureString("x") == SecureString("x"));
    EXPECT_TRUE(SecureString("x") != SecureString("xy"));

    SecureString self("same");
    SecureString& alias = self;
    self = alias;
    EXPECT_STREQ(self.CStr(), "same");

    SecureString copy(self);
    copy.At(0) = 'S';
    EXPECT_STREQ(self.CStr(), "same") << "copies never share a buffer";
    EXPECT_STREQ(SecureString(nullptr).CStr(), "");
}
