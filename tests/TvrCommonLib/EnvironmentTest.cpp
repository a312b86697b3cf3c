#include "Environment.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(EnvironmentTest, SetEmptyAndUnsetVariablesDiffer)
{
    const char* name = "TVR_ENVIRONMENT_TEST_VARIABLE";
    unsetenv(name);
    EXPECT_FALSE(TvrCommon::IsEnvironmentVariableSet(name));
    EXPECT_EQ(TvrCommon::GetEnvironmentVariable(name), "");

    setenv(name, "", 1);
    EXPECT_TRUE(TvrCommon::IsEnvironmentVariableSet(name)) << "an empty value still exists";
    EXPECT_EQ(TvrCommon::GetEnvironmentVariable(name), "");

    setenv(name, "\xC3\xA1rv\xC3\xADz", 1);
    EXPECT_EQ(TvrCommon::GetEnvironmentVariable(name), "\xC3\xA1rv\xC3\xADz");
    unsetenv(name);
}
