#include <gtest/gtest.h>

#include "support/test_support.h"

TEST(Harness, WindowLogsAndLinks)
{
    TestWindow window;
    ASSERT_NE(nullptr, window.Window());
    std::wstring scratch = MakeScratchFolder(L"smoke");
    ASSERT_TRUE(IsFolder(scratch));
    MakeFolders(scratch + L"\\target");
    ASSERT_TRUE(MakeDirectoryLink(scratch + L"\\link", scratch + L"\\target"));
    RemoveTestTree(scratch);
    EXPECT_FALSE(Exists(scratch));
}
