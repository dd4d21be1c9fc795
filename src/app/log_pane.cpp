#include "app/log_pane.h"

#include <commdlg.h>

#include <vector>

#include "app/cleanup_dialog.h"
#include "system/bounded_string.h"
#include "system/handles.h"

namespace {

const size_t kLineBound = 1024;
const DWORD kFileNameUnits = 1024;

// The pane's text, or false when its length is out of range.
bool ReadPane(HWND pane, std::vector<wchar_t>& text)
{
    int length = GetWindowTextLengthW(pane);
    int units = static_cast<int>(static_cast<unsigned>(length) + 1u);
    if (units <= 0)
        return false;
    text.assign(static_cast<size_t>(units), L'\0');
    GetWindowTextW(pane, text.data(), units);
    return true;
}

// Sets the pane's text, shows its newest line and paints it at once: a run
// keeps the thread busy, so the paint cannot wait for the message loop.
void ShowLog(HWND pane, const wchar_t* text)
{
    SetWindowTextW(pane, text);
    LPARAM end = GetWindowTextLengthW(pane);
    SendMessageW(pane, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(pane, EM_SCROLLCARET, 0, 0);
    UpdateWindow(pane);
}

}  // namespace

void AppendLog(CleanupDialog& dialog, const wchar_t* text)
{
    std::vector<wchar_t> old;
    if (!ReadPane(dialog.logPane, old)) {
        ShowLog(dialog.logPane, text);
        return;
    }
    size_t n = old.size() - 1;
    size_t lineUnits = 0;
    BoundedLength(text, kLineBound, &lineUnits);
    std::vector<wchar_t> joined(n + lineUnits + 5, L'\0');
    BoundedFormat(joined.data(), joined.size(), L"%s \r\n%s", old.data(), text);
    ShowLog(dialog.logPane, joined.data());
}

void ChooseLogFile(HWND owner, CleanupDialog& dialog)
{
    wchar_t fileName[kFileNameUnits];
    ZeroMemory(fileName, sizeof(fileName));
    BoundedCopy(fileName, kFileNameUnits, L"HostSweepLogs");

    OPENFILENAMEW request;
    ZeroMemory(&request, sizeof(request));
    request.lStructSize = sizeof(request);
    request.hwndOwner = owner;
    request.lpstrFilter = L"*.txt\0*.txt\0";
    request.nFilterIndex = 0;
    request.lpstrFile = fileName;
    request.nMaxFile = kFileNameUnits;
    request.lpstrInitialDir = L"";
    request.lpstrTitle = L"Save Log files";
    request.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT;
    request.lpstrDefExt = L"txt";
    if (GetSaveFileNameW(&request))
        SaveLogToFile(fileName, dialog);
}

std::string NarrowLogText(const wchar_t* text)
{
    std::string bytes;
    for (const wchar_t* unit = text; *unit != L'\0'; ++unit)
        bytes.push_back(*unit > 0xFF ? '?' : static_cast<char>(*unit));
    return bytes;
}

void SaveLogToFile(const wchar_t* path, CleanupDialog& dialog)
{
    UniqueHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        AppendLog(dialog, L"File to save log is not able to create");
        return;
    }
    std::vector<wchar_t> text;
    if (!ReadPane(dialog.logPane, text))
        return;
    std::string bytes = NarrowLogText(text.data());
    DWORD length = static_cast<DWORD>(bytes.size());

    DWORD position = SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    LockFile(file.Get(), position, 0, length, 0);
    DWORD written = 0;
    // A write that stops short (a full disk, say) leaves a cut log: it
    // fails like a write that wrote nothing.
    if (!WriteFile(file.Get(), bytes.data(), length, &written, nullptr) || written != length)
        MessageBoxW(nullptr, L"Error in writing", L"SaveLog", MB_OK);
}
