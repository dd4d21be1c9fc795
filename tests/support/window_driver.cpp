#include "support/window_driver.h"

#include <cstdio>

#include "app/resource_ids.h"
#include "support/test_support.h"
#include "system/handles.h"

namespace {

const wchar_t kMainCaption[] = L"Norvale NVX Host Sweeper";

void PrintNoAnswer(const char* what)
{
    fprintf(stderr, "the program did not answer: %s\n", what);
}

void (*gNoAnswerHandler)(const char*) = PrintNoAnswer;

struct WindowSearch {
    DWORD processId;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window))
        return TRUE;
    wchar_t caption[256] = L"";
    GetWindowTextW(window, caption, 256);
    if (lstrcmpW(caption, search->caption) != 0)
        return TRUE;
    search->found = window;
    return FALSE;
}

}  // namespace

void SetNoAnswerHandler(void (*handler)(const char* what))
{
    gNoAnswerHandler = handler != nullptr ? handler : PrintNoAnswer;
}

HWND FindVisibleWindow(DWORD processId, const wchar_t* caption)
{
    WindowSearch search = {processId, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

namespace {

// A token like ours, but holding Administrators for deny only.
bool MakeRestrictedToken(HANDLE* restricted)
{
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token.Receive()))
        return false;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return false;
    SID_AND_ATTRIBUTES denyOnly = {administrators, 0};
    BOOL made = CreateRestrictedToken(token.Get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted);
    FreeSid(administrators);
    return made != FALSE;
}

}  // namespace

ProgramUnderTest::~ProgramUnderTest()
{
    if (process_ == nullptr)
        return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 255);
        WaitForSingleObject(process_, EventWaitMs());
    }
    CloseHandle(process_);
}

bool ProgramUnderTest::Start(bool restricted, const std::wstring& program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;
    BOOL started = FALSE;
    if (restricted) {
        UniqueHandle token;
        if (!MakeRestrictedToken(token.Receive()))
            return false;
        started = CreateProcessAsUserW(token.Get(), program.c_str(), line.data(), nullptr, nullptr,
                                       FALSE, 0, nullptr, nullptr, &startup, &info);
    } else {
        started = CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                 nullptr, &startup, &info);
    }
    if (!started)
        return false;
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    processId_ = info.dwProcessId;
    window_ = WaitForOwnWindow(kMainCaption);
    if (window_ == nullptr)
        return false;
    threadId_ = GetWindowThreadProcessId(window_, nullptr);
    return true;
}

HWND ProgramUnderTest::Control(int id) const
{
    return GetDlgItem(window_, id);
}

// A dead or hung window reads as unchecked, disabled and empty, which would
// pass every negative check: it is reported instead, once per program.
bool ProgramUnderTest::Answered(bool answered, const char* what) const
{
    if (!answered && noAnswers_++ == 0)
        gNoAnswerHandler(what);
    return answered;
}

bool ProgramUnderTest::IsChecked(int id) const
{
    DWORD_PTR state = 0;
    Answered(SendMessageTimeoutW(Control(id), BM_GETCHECK, 0, 0, SMTO_NORMAL, EventWaitMs(), &state) != 0,
             "a check box's state");
    return state == BST_CHECKED;
}

bool ProgramUnderTest::IsEnabled(int id) const
{
    HWND control = Control(id);
    Answered(IsWindow(control) != FALSE, "whether a control is enabled");
    return IsWindowEnabled(control) != FALSE;
}

std::wstring ProgramUnderTest::Text(int id) const
{
    std::wstring text;
    Answered(TextWithin(id, EventWaitMs(), &text), "a control's text");
    return text;
}

bool ProgramUnderTest::TextWithin(int id, DWORD timeoutMs, std::wstring* text) const
{
    HWND control = Control(id);
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, timeoutMs, &length))
        return false;
    // Room for lines that a run may add between the two messages.
    std::vector<wchar_t> buffer(length + 4096, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, buffer.size(),
                             reinterpret_cast<LPARAM>(buffer.data()), SMTO_NORMAL, timeoutMs,
                             &copied))
        return false;
    *text = buffer.data();
    return true;
}

int ProgramUnderTest::FocusedControl() const
{
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(threadId_, &info) || info.hwndFocus == nullptr)
        return 0;
    return GetDlgCtrlID(info.hwndFocus);
}

void ProgramUnderTest::Click(int id) const
{
    Answered(ClickWithin(id, EventWaitMs()), "a click");
}

bool ProgramUnderTest::ClickWithin(int id, DWORD timeoutMs) const
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(Control(id), BM_CLICK, 0, 0, SMTO_NORMAL, timeoutMs, &result) != 0;
}

void ProgramUnderTest::PostClick(int id) const
{
    PostMessageW(Control(id), BM_CLICK, 0, 0);
}

void ProgramUnderTest::Focus(int id) const
{
    DWORD_PTR result = 0;
    Answered(SendMessageTimeoutW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Control(id)), TRUE,
                                 SMTO_NORMAL, EventWaitMs(), &result) != 0,
             "a move of the focus");
}

void ProgramUnderTest::PressKey(WORD virtualKey) const
{
    GUITHREADINFO info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    HWND target = window_;
    if (GetGUIThreadInfo(threadId_, &info) && info.hwndFocus != nullptr)
        target = info.hwndFocus;
    UINT scan = MapVirtualKeyW(virtualKey, 0);
    PostMessageW(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000);
}

void ProgramUnderTest::TypeInto(int id, const std::wstring& characters) const
{
    for (wchar_t character : characters)
        PostMessageW(Control(id), WM_CHAR, character, 1);
}

void ProgramUnderTest::Close() const
{
    PostMessageW(window_, WM_CLOSE, 0, 0);
}

void ProgramUnderTest::PostSystemClose() const
{
    PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void ProgramUnderTest::PostMouseClick(int id) const
{
    HWND control = Control(id);
    RECT area;
    GetClientRect(control, &area);
    LPARAM middle = MAKELPARAM((area.right - area.left) / 2, (area.bottom - area.top) / 2);
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, middle);
    PostMessageW(control, WM_LBUTTONUP, 0, middle);
}

std::wstring ProgramUnderTest::LogText() const
{
    return Text(IDC_LOG_PANE);
}

std::vector<std::wstring> ProgramUnderTest::LogLines() const
{
    return SplitLog(LogText());
}

void ProgramUnderTest::SetLogText(const std::wstring& text) const
{
    DWORD_PTR result = 0;
    Answered(SendMessageTimeoutW(Control(IDC_LOG_PANE), WM_SETTEXT, 0,
                                 reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, EventWaitMs(),
                                 &result) != 0,
             "the log pane's new text");
}

bool ProgramUnderTest::PasteIntoLog(const std::wstring& text, DWORD timeoutMs) const
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(Control(IDC_LOG_PANE), EM_REPLACESEL, FALSE,
                               reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, timeoutMs,
                               &result) != 0;
}

bool ProgramUnderTest::WaitForControls(DWORD timeoutMs) const
{
    bool ready = false;
    WaitUntil([&] {
        if (!Answered(IsWindow(window_) != FALSE, "the controls"))
            return true;
        return ready = IsEnabled(IDC_START_CLEANUP) && IsEnabled(IDC_EXIT);
    }, timeoutMs);
    return ready;
}

bool ProgramUnderTest::WaitForPostedMessages(DWORD timeoutMs) const
{
    // Posted messages are taken in order: once a selection posted now
    // shows, everything posted before it has been handled. The second round
    // covers what those posted in turn (a close request posts a command).
    HWND pane = Control(IDC_LOG_PANE);
    for (DWORD end = 1; end <= 2; ++end) {
        if (!PostMessageW(pane, EM_SETSEL, 0, end))
            return Answered(false, "a posted message");
        bool answered = true;
        const bool shown = WaitUntil([&] {
            DWORD_PTR selection = 0;
            answered = Answered(SendMessageTimeoutW(pane, EM_GETSEL, 0, 0, SMTO_NORMAL, EventWaitMs(),
                                                    &selection) != 0,
                                "the log pane's selection");
            return !answered || selection == static_cast<DWORD_PTR>(MAKELONG(0, end));
        }, timeoutMs);
        if (!shown || !answered)
            return false;
    }
    return true;
}

bool ProgramUnderTest::WaitForExit(DWORD timeoutMs, DWORD* exitCode) const
{
    if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return false;
    return GetExitCodeProcess(process_, exitCode) != FALSE;
}

bool ProgramUnderTest::IsRunning() const
{
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

HWND ProgramUnderTest::WaitForOwnWindow(const wchar_t* caption, DWORD timeoutMs) const
{
    HWND found = nullptr;
    WaitUntil([&] {
        found = FindVisibleWindow(processId_, caption);
        return found != nullptr || !IsRunning();
    }, timeoutMs);
    return found;
}

bool AcceptSaveDialog(HWND dialog, const std::wstring& fileName)
{
    // The explorer-style dialog keeps its file name in combo box cmb13
    // (0x47C), whose edit is its child; older ones use edt1 (0x480).
    HWND name = GetDlgItem(dialog, 0x47C);
    if (name == nullptr)
        name = GetDlgItem(dialog, 0x480);
    if (name == nullptr)
        return false;
    DWORD_PTR result = 0;
    SendMessageTimeoutW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(fileName.c_str()), SMTO_NORMAL,
                        EventWaitMs(), &result);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return true;
}

