#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/resource_ids.h"
#include "support/test_support.h"
#include "support/window_driver.h"
#include "system/bounded_string.h"
#include "system/platform_probes.h"
#include "system/special_folders.h"

namespace {

typedef std::vector<std::wstring> Lines;

const wchar_t kHldId[] = L"{51BA3E78-ECB2-16F4-A22E-A41505A64625}";
const wchar_t kPwId[] = L"{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}";

std::wstring ClassKey(const wchar_t* id)
{
    return std::wstring(IsNative64Bit() ? L"Wow6432Node\\CLSID\\" : L"CLSID\\") + id;
}

std::wstring DataFolder(const wchar_t* name)
{
    return ShellFolder(CSIDL_COMMON_APPDATA) + L"\\" + name;
}

// The lines of the log from the first one equal to from, count of them.
Lines LinesFrom(const Lines& log, const wchar_t* from, size_t count)
{
    auto at = std::find(log.begin(), log.end(), from);
    if (at == log.end())
        return Lines();
    size_t left = static_cast<size_t>(log.end() - at);
    return Lines(at, at + std::min(count, left));
}

bool MentionsDesktopComponents(const Lines& log)
{
    for (const std::wstring& line : log) {
        if (line.find(L"HLD") != std::wstring::npos || line.find(L"Pyrewick") != std::wstring::npos ||
            line.find(L"PW ") != std::wstring::npos)
            return true;
    }
    return false;
}

// Installs the two components as the vendor's installer leaves them, and
// removes whatever of it the program left behind.
class DesktopPhase : public testing::Test {
protected:
    void TearDown() override
    {
        for (const std::wstring& path : {ClassKey(kHldId), ClassKey(kPwId)})
            DeleteKeyForTest(HKEY_CLASSES_ROOT, path, NativeView());
        RemoveTestTree(DataFolder(L"Halcyra"));
        RemoveTestTree(DataFolder(L"Pyrewick"));
        if (!perUser_.empty())
            RemoveTestTree(perUser_);
        if (!madeFolder_.empty())
            RemoveTestTree(madeFolder_);
    }

    // Call once the program's window exists: the per-user folder is found
    // through explorer.exe, which starts with the first window.
    void Install(bool registered)
    {
        std::wstring appData = WaitForInteractiveAppData();
        ASSERT_FALSE(appData.empty()) << "no explorer.exe";
        perUser_ = appData + L"\\Halcyra";

        // Wine keeps its later folder layout in XP mode: the test makes the
        // XP folders itself, and removes the part it made.
        std::wstring base = DataFolder(L"");
        base.pop_back();
        for (std::wstring at = base; !IsFolder(at);) {
            madeFolder_ = at;
            at = at.substr(0, at.find_last_of(L'\\'));
        }

        for (const std::wstring& folder : {DataFolder(L"Halcyra"), DataFolder(L"Pyrewick"), perUser_}) {
            ASSERT_TRUE(MakeFolders(folder + L"\\cache")) << Narrow(folder);
            ASSERT_TRUE(WriteTextFile(folder + L"\\settings.ini", "[vendor]"));
            ASSERT_TRUE(WriteTextFile(folder + L"\\cache\\entry.bin", "data"));
        }
        if (registered) {
            ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, ClassKey(kHldId) + L"\\InprocServer32", NativeView()));
            ASSERT_TRUE(CreateKey(HKEY_CLASSES_ROOT, ClassKey(kPwId) + L"\\InprocServer32", NativeView()));
        }
    }

    void ExpectInstalled() const
    {
        EXPECT_TRUE(Exists(DataFolder(L"Halcyra") + L"\\settings.ini"));
        EXPECT_TRUE(Exists(DataFolder(L"Pyrewick") + L"\\settings.ini"));
        EXPECT_TRUE(Exists(perUser_ + L"\\settings.ini"));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(kHldId), NativeView()));
        EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(kPwId), NativeView()));
    }

    // A run without the browser caches, which have nothing to do with it.
    void StartRun(ProgramUnderTest& program) const
    {
        if (program.IsChecked(IDC_CLEAR_CACHE))
            program.Click(IDC_CLEAR_CACHE);
        ASSERT_FALSE(program.IsChecked(IDC_CLEAR_CACHE));
        program.Click(IDC_START_CLEANUP);
        ASSERT_TRUE(program.WaitForControls());
    }

    // A whole run that never reaches the phase: no line of it, nothing gone.
    void ExpectRunWithoutThePhase(ProgramUnderTest& program) const
    {
        StartRun(program);
        Lines log = program.LogLines();
        ASSERT_NE(log.end(), std::find(log.begin(), log.end(), L"Registry Cleanup Successful"))
            << Narrow(program.LogText());
        EXPECT_FALSE(MentionsDesktopComponents(log)) << Narrow(program.LogText());
        ExpectInstalled();
    }

    std::wstring perUser_;
    std::wstring madeFolder_;
};

TEST_F(DesktopPhase, AdministratorRemovesBothComponentsThenFindsNone)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    Install(true);

    StartRun(program);
    Lines log = program.LogLines();
    EXPECT_EQ(Lines({L"Registry Cleanup Successful", L"Uninstalling HLD... ", L"HLD Uninstallation Successful",
                     L"Uninstalling Pyrewick... ", L"PW Uninstallation Successful"}),
              LinesFrom(log, L"Registry Cleanup Successful", 5))
        << Narrow(program.LogText());
    EXPECT_FALSE(Exists(DataFolder(L"Halcyra")));
    EXPECT_FALSE(Exists(DataFolder(L"Pyrewick")));
    EXPECT_FALSE(Exists(perUser_));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(kHldId), NativeView()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, ClassKey(kPwId), NativeView()));

    StartRun(program);
    log = program.LogLines();
    EXPECT_EQ(Lines({L"Registry Cleanup Successful", L"HLD not installed", L"Pyrewick not installed"}),
              LinesFrom(log, L"Registry Cleanup Successful", 3))
        << Narrow(program.LogText());
    EXPECT_EQ(log.end(), std::find(log.begin(), log.end(), L"Uninstalling HLD... "));
}

TEST_F(DesktopPhase, NonAdministratorNeverReachesThePhase)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start(true));
    Install(true);
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));

    ExpectRunWithoutThePhase(program);
    EXPECT_TRUE(program.IsEnabled(IDC_START_CLEANUP));
    EXPECT_FALSE(program.IsEnabled(IDC_SKIP_DESKTOP));
}

TEST_F(DesktopPhase, SkipOptionKeepsThePhaseFromRunning)
{
    ProgramUnderTest program;
    ASSERT_TRUE(program.Start());
    Install(true);
    program.Click(IDC_SKIP_DESKTOP);
    ASSERT_TRUE(program.IsChecked(IDC_SKIP_DESKTOP));

    ExpectRunWithoutThePhase(program);
    EXPECT_TRUE(program.IsChecked(IDC_SKIP_DESKTOP));
    EXPECT_TRUE(program.IsEnabled(IDC_SKIP_DESKTOP));
}

}  // namespace
