// A vendor folder given with a trailing backslash must still be seen as the
// link it is: the file system looks through "link\" to the target.
#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/bounded_string.h"
#include "system/file_removal.h"

namespace {

struct LinkedFolder {
    LinkedFolder()
    {
        scratch = MakeScratchFolder(L"link-guard");
        target = scratch + L"\\target";
        MakeFolders(target + L"\\sub");
        WriteTextFile(target + L"\\cookies.sqlite", "precious");
        WriteTextFile(target + L"\\sub\\deep.txt", "precious");
        link = scratch + L"\\Kestrix";
        linked = MakeDirectoryLink(link, target);
    }
    ~LinkedFolder() { RemoveTestTree(scratch); }

    bool TargetIntact() const
    {
        return ReadWholeFile(target + L"\\cookies.sqlite") == "precious" &&
               ReadWholeFile(target + L"\\sub\\deep.txt") == "precious";
    }

    std::wstring scratch, target, link;
    bool linked;
};

}  // namespace

TEST(LinkGuard, TrailingBackslashDoesNotHideTheLink)
{
    LinkedFolder folder;
    ASSERT_TRUE(folder.linked);
    std::wstring slashed = folder.link + L"\\";

    EmptyAndRemoveFolder(slashed.c_str());
    EXPECT_TRUE(folder.TargetIntact());

    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(slashed.c_str()));
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell((folder.link + L"\\\\").c_str()));
    EXPECT_TRUE(folder.TargetIntact());
}

// A path that is not there, or whose attributes cannot be read, is no tree
// to delete.
TEST(LinkGuard, NothingToReadNothingDeleted)
{
    const struct {
        const char* what;
        const wchar_t* name;
    } cases[] = {
        {"nothing there", L"missing"},
        {"no parent either", L"gone\\missing"},
        {"a name whose attributes cannot be read", L"Kes|trix"},
    };
    std::wstring scratch = MakeScratchFolder(L"link-guard-unreadable");
    ASSERT_TRUE(MakeFolders(scratch + L"\\plain"));
    ASSERT_TRUE(WriteTextFile(scratch + L"\\plain\\keep.txt", "x"));
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        EXPECT_EQ(kShellFailed, DeleteTreeViaShell((scratch + L"\\" + test.name).c_str()));
    }
    EXPECT_TRUE(Exists(scratch + L"\\plain\\keep.txt"));
    RemoveTestTree(scratch);
}

TEST(LinkGuard, PlainFolderWithTrailingBackslashIsEmptied)
{
    std::wstring scratch = MakeScratchFolder(L"link-guard-plain");
    std::wstring vendor = scratch + L"\\Kestrix";
    ASSERT_TRUE(MakeFolders(vendor));
    ASSERT_TRUE(WriteTextFile(vendor + L"\\settings.ini", "x"));
    EmptyAndRemoveFolder((vendor + L"\\").c_str());
    EXPECT_FALSE(Exists(vendor));
    RemoveTestTree(scratch);
}

TEST(LinkGuard, LinkAtTheLongestPathTheShellTakes)
{
    // 260 units reach the shell whole, so the guard must see all of them.
    LinkedFolder folder;
    ASSERT_TRUE(folder.linked);
    std::wstring deep = FolderPathOfLength(folder.scratch, kPathUnits - 20, 40);
    ASSERT_TRUE(MakeFolders(deep));
    std::wstring link = deep + L"\\" + std::wstring(kPathUnits - deep.size() - 1, L'k');
    ASSERT_EQ(kPathUnits, link.size());
    ASSERT_TRUE(MakeDirectoryLink(link, folder.target));

    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(link.c_str()));
    EXPECT_TRUE(folder.TargetIntact());
    RemoveLink(link);
}
