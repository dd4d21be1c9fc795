#include <gtest/gtest.h>

#include <string>

#include "app/cleanup_dialog.h"
#include "app/log_pane.h"
#include "app/resource_ids.h"
#include "support/test_support.h"

namespace {

const wchar_t kCreateFailed[] = L"File to save log is not able to create";

std::wstring Repeated(wchar_t unit, size_t count)
{
    return std::wstring(count, unit);
}

void SetPaneText(const TestWindow& window, const std::wstring& text)
{
    SetWindowTextW(GetDlgItem(window.Window(), IDC_LOG_PANE), text.c_str());
}

}  // namespace

TEST(LogPane, AppendJoinsLinesWithSeparators)
{
    TestWindow window;
    ASSERT_NE(nullptr, gCleanupDialog);
    EXPECT_EQ(L"", window.LogText());

    AppendLog(*gCleanupDialog, L"first");
    EXPECT_EQ(L" \r\nfirst", window.LogText());
    AppendLog(*gCleanupDialog, L"second ");
    EXPECT_EQ(L" \r\nfirst \r\nsecond ", window.LogText());
    AppendLog(*gCleanupDialog, L"");
    EXPECT_EQ(L" \r\nfirst \r\nsecond  \r\n", window.LogText());

    // Whatever the user typed stays in front of the next line.
    SetPaneText(window, L"123");
    AppendLog(*gCleanupDialog, L"next");
    EXPECT_EQ(L"123 \r\nnext", window.LogText());
}

TEST(LogPane, AppendMeasuresTheTextWithinItsBound)
{
    TestWindow window;
    std::wstring fits = Repeated(L'a', 1023);
    AppendLog(*gCleanupDialog, fits.c_str());
    EXPECT_EQ(L" \r\n" + fits, window.LogText());

    // 1024 units have no terminator within the bound: the separator and
    // the first unit of the text are all that is added.
    std::wstring tooLong = L"b" + Repeated(L'c', 1023);
    AppendLog(*gCleanupDialog, tooLong.c_str());
    EXPECT_EQ(L" \r\n" + fits + L" \r\nb", window.LogText());

    // The pane keeps working normally afterwards.
    AppendLog(*gCleanupDialog, L"after");
    EXPECT_EQ(L" \r\n" + fits + L" \r\nb \r\nafter", window.LogText());
}

// A run holds the thread, so each line must be painted as it is appended,
// and the pane must follow the log's end rather than go back to its top.
TEST(LogPane, AppendShowsAndPaintsTheNewestLine)
{
    TestWindow window;
    HWND pane = gCleanupDialog->logPane;
    RECT area;
    GetClientRect(pane, &area);
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        std::wstring line = L"line " + std::to_wstring(i);
        AppendLog(*gCleanupDialog, line.c_str());
        EXPECT_FALSE(GetUpdateRect(pane, nullptr, FALSE));
        // The newest line's first character lies inside the pane.
        int length = GetWindowTextLengthW(pane);
        LRESULT at = SendMessageW(pane, EM_POSFROMCHAR, length - line.size(), 0);
        POINT place = {static_cast<SHORT>(LOWORD(at)), static_cast<SHORT>(HIWORD(at))};
        EXPECT_TRUE(PtInRect(&area, place)) << place.x << "," << place.y;
    }
    EXPECT_GT(SendMessageW(pane, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
}

// The pane is written as bytes, in place of whatever file was there, and
// the pane gains nothing. Units up to 0xFF keep their value as one byte;
// each unit above becomes one '?' and the rest of the text is kept.
TEST(LogPane, SaveWritesThePaneAsBytes)
{
    const struct {
        const char* what;
        std::wstring pane;
        const char* before;  // the file's content before; null: no file
        std::string saved;
    } rows[] = {
        {"lines", L" \r\nCleaning Registry...  \r\nRegistry Cleanup Successful", nullptr,
         " \r\nCleaning Registry...  \r\nRegistry Cleanup Successful"},
        {"over a longer file", L" \r\nshort", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz",
         " \r\nshort"},
        {"an empty pane", L"", nullptr, ""},
        {"an empty pane over a file", L"", "previous content", ""},
        {"units without a byte", std::wstring(L" \r\ncaf\x00E9 \x20AC 5 ") + L"\xD83D\xDE00" + L" \x0001" L"end",
         nullptr, " \r\ncaf\xE9 ? 5 ?? \x01" "end"},
    };
    TestWindow window;
    std::wstring folder = MakeScratchFolder(L"log-save");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const std::wstring path = folder + L"\\" + Widen(row.what) + L".txt";
        if (row.before != nullptr) {
            ASSERT_TRUE(WriteTextFile(path, row.before));
        }
        SetPaneText(window, row.pane);
        SaveLogToFile(path.c_str(), *gCleanupDialog);
        EXPECT_TRUE(Exists(path));
        EXPECT_EQ(row.saved, ReadWholeFile(path));
        EXPECT_EQ(row.pane, window.LogText());
    }
    RemoveTestTree(folder);
}

TEST(LogPane, SaveFailureAddsALine)
{
    TestWindow window;
    std::wstring folder = MakeScratchFolder(L"log-fail");
    AppendLog(*gCleanupDialog, L"Registry Cleanup Successful");

    std::wstring missing = folder + L"\\no such folder\\log.txt";
    SaveLogToFile(missing.c_str(), *gCleanupDialog);
    EXPECT_FALSE(Exists(missing));
    EXPECT_EQ(std::wstring(L" \r\nRegistry Cleanup Successful \r\n") + kCreateFailed,
              window.LogText());

    // A file another program holds open without write sharing.
    std::wstring held = folder + L"\\held.txt";
    ASSERT_TRUE(WriteTextFile(held, "kept"));
    HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    SaveLogToFile(held.c_str(), *gCleanupDialog);
    CloseHandle(holder);
    EXPECT_EQ(std::string("kept"), ReadWholeFile(held));
    std::vector<std::wstring> lines = window.LogLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(kCreateFailed, lines[2]);
    EXPECT_EQ(kCreateFailed, lines[3]);

    // A later save exports the failure lines with the rest.
    std::wstring good = folder + L"\\good.txt";
    SaveLogToFile(good.c_str(), *gCleanupDialog);
    EXPECT_EQ(" \r\nRegistry Cleanup Successful \r\n" + Narrow(kCreateFailed) + " \r\n" +
                  Narrow(kCreateFailed),
              ReadWholeFile(good));

    RemoveTestTree(folder);
}

// Where the technician saves, a user may have put a link in the log's
// name: the save fails as for a file it cannot create, and what the link
// leads to keeps its content, or stays missing. (Wine shows a symbolic link
// to a file as the file itself, so that case is left to Windows.)
TEST(LogPane, SaveNeverWritesThroughALink)
{
    const struct {
        const char* what;
        bool hardLink;  // else a symbolic link to a missing file
    } cases[] = {
        {"a second name of a file", true},
        {"a symbolic link to nothing", false},
    };
    TestWindow window;
    std::wstring folder = MakeScratchFolder(L"log-link");
    std::wstring path = folder + L"\\HostSweepLogs.txt";
    std::wstring victim = folder + L"\\victim.txt";
    std::wstring missing = folder + L"\\missing";
    ASSERT_TRUE(WriteTextFile(victim, "not the log"));
    for (const auto& test : cases) {
        SCOPED_TRACE(test.what);
        if (test.hardLink) {
            ASSERT_TRUE(CreateHardLinkW(path.c_str(), victim.c_str(), nullptr));
        } else {
            // Made to a folder, which Wine shows as a link, then left dangling.
            ASSERT_TRUE(MakeFolders(missing));
            ASSERT_TRUE(MakeDirectoryLink(path, missing));
            ASSERT_TRUE(RemoveDirectoryW(missing.c_str()));
        }
        SetPaneText(window, L" \r\nRegistry Cleanup Successful");

        SaveLogToFile(path.c_str(), *gCleanupDialog);
        EXPECT_EQ(L" \r\nRegistry Cleanup Successful \r\n" + std::wstring(kCreateFailed),
                  window.LogText());
        EXPECT_EQ("not the log", ReadWholeFile(victim));
        EXPECT_FALSE(Exists(missing));
        RemoveLink(path);
    }
    RemoveTestTree(folder);
}
