#include <gtest/gtest.h>

#include "app/resource_ids.h"
#include "support/test_support.h"
#include "support/window_driver.h"

TEST(ProgramWindow, StartsWithDefaultsAndExitsThroughExit)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    EXPECT_TRUE(program.IsChecked(IDC_CLEAR_CACHE));
    EXPECT_FALSE(program.IsChecked(IDC_RESTART));
    EXPECT_TRUE(program.IsEnabled(IDC_SKIP_DESKTOP));
    program.Click(IDC_EXIT);
    DWORD code = 1234;
    ASSERT_TRUE(program.WaitForExit(10000, &code));
    EXPECT_EQ(0u, code);
}

TEST(ProgramWindow, RestrictedTokenDisablesSkipDesktop)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start(true));
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));
}
