#include "app/log_pane.h"

#include <commdlg.h>

#include "app/cleanup_dialog.h"
#include "system/bounded_string.h"
#include "system/cleanup_state.h"
#include "system/handles.h"
#include "system/heap_buffer.h"
#include "system/phase_log.h"

namespace {

const size_t kLineBound = 1024;
const DWORD kFileNameUnits = 1024;

// The pane's length in units with its terminator, or 0 when out of range.
size_t PaneUnits(HWND pane)
{
    int length = GetWindowTextLengthW(pane);
    int units = static_cast<int>(static_cast<unsigned>(length) + 1u);
    return units <= 0 ? 0 : static_cast<size_t>(units);
}

// Reads the pane's text into a buffer of PaneUnits(pane) units.
void ReadPane(HWND pane, HeapBuffer<wchar_t>& text)
{
    GetWindowTextW(pane, text.Get(), static_cast<int>(text.Count()));
}

// One byte per unit; a unit above 0xFF, which has no 8-bit form, becomes
// '?'. Returns the number of bytes.
DWORD NarrowLogText(const wchar_t* text, char* bytes)
{
    DWORD count = 0;
    for (const wchar_t* unit = text; *unit != L'\0'; ++unit)
        bytes[count++] = *unit > 0xFF ? '?' : static_cast<char>(*unit);
    return count;
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

// A file the log may replace: one plain file with one name, no folder and
// no link, as the handle and, for Wine, which opens a link's target even
// when asked for the link itself, the path show it.
bool IsPlainFile(HANDLE file, const wchar_t* path)
{
    const DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & refused) != 0 ||
        info.nNumberOfLinks != 1)
        return false;
    DWORD seen = GetFileAttributesW(path);
    return seen != INVALID_FILE_ATTRIBUTES && (seen & refused) == 0;
}

// Opens the chosen file without writing through a link: a new file is
// made; an existing one is emptied only once it shows itself a plain file,
// through the handle that checked it. Not shared for deletion, its name
// cannot be swapped meanwhile. FILE_FLAG_OPEN_REPARSE_POINT opens a link
// itself (Windows' documented contract; Wine opens the target).
bool OpenLogFile(const wchar_t* path, UniqueHandle& file)
{
    const DWORD access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    *file.Receive() = CreateFileW(path, access, sharing, nullptr, CREATE_NEW, flags, nullptr);
    if (file.IsValid() || GetLastError() != ERROR_FILE_EXISTS)
        return file.IsValid();
    *file.Receive() = CreateFileW(path, access, sharing, nullptr, OPEN_EXISTING, flags, nullptr);
    return file.IsValid() && IsPlainFile(file.Get(), path) && SetEndOfFile(file.Get());
}

}  // namespace

void AppendLog(CleanupDialog& dialog, const wchar_t* text)
{
    size_t units = PaneUnits(dialog.logPane);
    if (units == 0) {
        ShowLog(dialog.logPane, text);
        return;
    }
    HeapBuffer<wchar_t> old(units);
    if (old.Get() == nullptr)
        return;
    ReadPane(dialog.logPane, old);
    size_t lineUnits = 0;
    BoundedLength(text, kLineBound, &lineUnits);
    HeapBuffer<wchar_t> joined(units - 1 + lineUnits + 5);
    if (joined.Get() == nullptr)
        return;
    BoundedFormat(joined.Get(), joined.Count(), L"%s \r\n%s", old.Get(), text);
    ShowLog(dialog.logPane, joined.Get());
}

void ClearLog(CleanupDialog& dialog)
{
    SetWindowTextW(dialog.logPane, L"");
}

void LogLine(CleanupDialog* window, const wchar_t* text)
{
    if (window != nullptr)
        AppendLog(*window, text);
}

void LogLine(const CleanupState& state, const wchar_t* text)
{
    LogLine(state.dialog, text);
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

void SaveLogToFile(const wchar_t* path, CleanupDialog& dialog)
{
    UniqueHandle file;
    if (!OpenLogFile(path, file)) {
        AppendLog(dialog, L"File to save log is not able to create");
        return;
    }
    size_t units = PaneUnits(dialog.logPane);
    HeapBuffer<wchar_t> text(units);
    HeapBuffer<char> bytes(units);
    if (text.Get() == nullptr || bytes.Get() == nullptr)
        return;
    ReadPane(dialog.logPane, text);
    DWORD length = NarrowLogText(text.Get(), bytes.Get());

    DWORD position = SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    LockFile(file.Get(), position, 0, length, 0);
    DWORD written = 0;
    // A write that stops short (a full disk, say) leaves a cut log: it
    // fails like a write that wrote nothing.
    if (!WriteFile(file.Get(), bytes.Get(), length, &written, nullptr) || written != length)
        MessageBoxW(nullptr, L"Error in writing", L"SaveLog", MB_OK);
}
