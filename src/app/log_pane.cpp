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
    UniqueHandle file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
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
