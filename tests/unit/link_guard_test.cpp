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

    EXPECT_EQ(0, DeleteMatchingFiles(slashed.c_str(), L"cookies.*"));
    EXPECT_TRUE(folder.TargetIntact());

    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(slashed.c_str()));
    EXPECT_TRUE(folder.TargetIntact());
    EXPECT_TRUE(TreeHoldsLink(slashed.c_str()));
    EXPECT_TRUE(TreeHoldsLink((folder.link + L"\\\\").c_str()));
}

// Only a path that is not there holds nothing; one whose attributes cannot
// be read may hold anything, and is refused.
TEST(LinkGuard, OnlyAMissingPathHoldsNothing)
{
    struct GuardCase {
        const char* what;
        const wchar_t* name;
        bool holdsLink;
    };
    const GuardCase cases[] = {
        {"nothing there", L"missing", false},
        {"no parent either", L"gone\\missing", false},
        {"a plain folder", L"plain", false},
        {"a name whose attributes cannot be read", L"Kes|trix", true},
    };
    std::wstring scratch = MakeScratchFolder(L"link-guard-unreadable");
    MakeFolders(scratch + L"\\plain");
    WriteTextFile(scratch + L"\\plain\\keep.txt", "x");
    for (const GuardCase& test : cases) {
        SCOPED_TRACE(test.what);
        std::wstring path = scratch + L"\\" + test.name;
        EXPECT_EQ(test.holdsLink, TreeHoldsLink(path.c_str()));
        if (test.holdsLink) {
            EXPECT_EQ(kShellFailed, DeleteTreeViaShell(path.c_str()));
        }
    }
    EXPECT_TRUE(Exists(scratch + L"\\plain\\keep.txt"));
    RemoveTestTree(scratch);
}

TEST(LinkGuard, PlainFolderWithTrailingBackslashIsEmptied)
{
    std::wstring scratch = MakeScratchFolder(L"link-guard-plain");
    std::wstring vendor = scratch + L"\\Kestrix";
    MakeFolders(vendor);
    WriteTextFile(vendor + L"\\settings.ini", "x");
    EXPECT_FALSE(TreeHoldsLink((vendor + L"\\").c_str()));
    EmptyAndRemoveFolder((vendor + L"\\").c_str());
    EXPECT_FALSE(Exists(vendor));
    RemoveTestTree(scratch);
}

TEST(LinkGuard, LinkAtTheLongestPathTheShellTakes)
{
    // 260 units reach the shell whole, so the guard must see all of them.
    LinkedFolder folder;
    ASSERT_TRUE(folder.linked);
    std::wstring deep = folder.scratch + L"\\";
    while (deep.size() < kPathUnits - 20)
        deep += (deep.size() % 40 == 0) ? L'\\' : L'd';
    if (deep.back() == L'\\')
        deep.back() = L'e';
    ASSERT_TRUE(MakeFolders(deep));
    std::wstring link = deep + L"\\" + std::wstring(kPathUnits - deep.size() - 1, L'k');
    ASSERT_EQ(kPathUnits, link.size());
    ASSERT_TRUE(MakeDirectoryLink(link, folder.target));

    EXPECT_TRUE(TreeHoldsLink(link.c_str()));
    EXPECT_EQ(kShellFailed, DeleteTreeViaShell(link.c_str()));
    EXPECT_TRUE(folder.TargetIntact());
    RemoveLink(link);
}
