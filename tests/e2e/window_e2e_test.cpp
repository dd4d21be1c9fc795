#include <gtest/gtest.h>

#include "support/test_support.h"

TEST(ProgramWindow, ProgramIsBuilt)
{
    EXPECT_TRUE(Exists(ProgramPath()));
}
