#include "ErrCodeException.h"

#include "CapturingLogger.h"
#include "Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using TvrCommon::ErrCodeException;

namespace {

class ErrCodeExceptionTest : public ::testing::Test {
protected:
    void SetUp() override { TvrCommon::SetLogger(&logger); }
    void TearDown() override { TvrCommon::SetLogger(nullptr); }

    int ErrorLines() const
    {
        const std::string text = logger.error.str();
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    CapturingLogger logger;
};

struct CodeCase {
    int code;
    const char* what;
    const char* message;
};

TEST_F(ErrCodeExceptionTest, WhatAndMessageTextFollowTheCodeTable)
{
    const CodeCase cases[] = {
        {0, "Error code: 0.", "OK"},
        {1, "Error code: 1.", "Internal error"},
        {2, "Error code: 2.", "Not implemented"},
        {3, "Error code: 3.", "Out of memory"},
        {4, "Error code: 4.", "Bad argument(s)"},
        {5, "Error code: 5.", "File read error"},
        {6, "Error code: 6.", "File write error"},
        {7, "Error code: 7.", "Format error"},
        {8, "Error code: 8.", "Algorithm error"},
        {9, "Error code: 9.", "Canceled"},
        {10, "Error code: 10.", "Value overflow"},
        {11, "Error code: 11.", "Invalid operation"},
        {12, "Error code: 12.", "Unknown error"},
        {13, "Error code: 13.", "Unknown error"},
        {14, "Error code: 14.", "The Uri is wrong"},
        {15, "Error code: 15.", "Unknown error"},
        {-1, "Error code: -1.", "Unknown error"},
    };
    for (const CodeCase& c : cases) {
        SCOPED_TRACE(c.code);
        const ErrCodeException e(c.code);
        EXPECT_EQ(e.GetCode(), c.code);
        EXPECT_STREQ(e.what(), c.what);
        EXPECT_STREQ(e.GetMessageText(), c.message);
        // Reached through the standard base, never the base's empty message.
        const std::exception& base = e;
        EXPECT_STREQ(base.what(), c.what);
    }
}

TEST_F(ErrCodeExceptionTest, LogsOncePerConstructionAndNeverOnCopy)
{
    try {
        throw ErrCodeException(7);
    } catch (const ErrCodeException& caught) {
        ErrCodeException copy(caught);
        ErrCodeException assigned(1);
        assigned = copy;
        EXPECT_EQ(assigned.GetCode(), 7);
    }
    EXPECT_EQ(logger.error.str(), "Error occured; Format error\nError occured; Internal error\n");
    EXPECT_EQ(ErrorLines(), 2);
}

TEST_F(ErrCodeExceptionTest, AssignmentCarriesCodeIntoLaterWhat)
{
    ErrCodeException target(4);
    EXPECT_STREQ(target.what(), "Error code: 4.");
    const ErrCodeException source(-1);
    target = source;
    EXPECT_EQ(target.GetCode(), -1);
    EXPECT_STREQ(target.what(), "Error code: -1.");
    const auto& same = target;  // self-assignment, through a reference
    target = same;
    EXPECT_EQ(target.GetCode(), -1);
}

TEST(NoLoggerTest, DefaultLoggerSwallowsEverythingWithoutFailing)
{
    TvrCommon::SetLogger(nullptr);
    TvrLogger::ILogger* logger = TvrCommon::GetLogger();
    ASSERT_EQ(logger, TvrLogger::SharedNoLogger());
    EXPECT_FALSE(logger->IsActive());
    std::ostream& out = logger->Error("src/x", 1);
    out << "text " << 42 << std::string(10000, 'x') << std::endl;
    EXPECT_TRUE(out.good());
    EXPECT_EQ(&logger->Debug("a", 1), &logger->Log(3, "a", 1));
}

} // namespace
