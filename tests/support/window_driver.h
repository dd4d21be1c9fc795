// Drives the real HostSweeper.exe from another process, as a user would:
// finds its window, reads and clicks controls, types keys through the
// dialog manager, reads the log pane and waits for runs and for the exit.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/test_support.h"

class ProgramUnderTest {
public:
    ProgramUnderTest() = default;
    ~ProgramUnderTest();  // ends the program if it is still running
    ProgramUnderTest(const ProgramUnderTest&) = delete;
    ProgramUnderTest& operator=(const ProgramUnderTest&) = delete;

    // Starts the program (or a copy of it) and waits for its window.
    // restricted starts it with Administrators deny-only, as a
    // non-administrator.
    bool Start(bool restricted = false, const std::wstring& program = ProgramPath());

    HWND Window() const { return window_; }
    HWND Control(int id) const;
    bool IsChecked(int id) const;
    bool IsEnabled(int id) const;
    std::wstring Text(int id) const;
    // The control's text, when the program answers within timeoutMs.
    bool TextWithin(int id, DWORD timeoutMs, std::wstring* text) const;
    // The id of the control that has the keyboard focus (0 for none).
    int FocusedControl() const;

    // Clicks a control and waits until the program has handled the click
    // (for Start Cleanup, until the run is over).
    void Click(int id) const;
    // The same, false when the program has not handled it within timeoutMs.
    bool ClickWithin(int id, DWORD timeoutMs) const;
    // Clicks without waiting (Save Logs opens a modal dialog).
    void PostClick(int id) const;
    // Moves the focus to a control, through the dialog manager.
    void Focus(int id) const;
    // Sends a key to the focused control through the message loop.
    void PressKey(WORD virtualKey) const;
    // Types characters into a control, posted as the characters that
    // keys give.
    void TypeInto(int id, const std::wstring& characters) const;
    // Closes the window with its close box (WM_CLOSE).
    void Close() const;
    // The system command the close box sends (SC_CLOSE), posted.
    void PostSystemClose() const;
    // A left-button click at the middle of a control, posted as mouse input.
    void PostMouseClick(int id) const;

    std::wstring LogText() const;
    std::vector<std::wstring> LogLines() const;
    // Puts text into the log pane as a user would paste it.
    void SetLogText(const std::wstring& text) const;
    // Pastes text at the log pane's caret; false when the program does not
    // take it within timeoutMs.
    bool PasteIntoLog(const std::wstring& text, DWORD timeoutMs) const;

    // Waits until Start Cleanup is enabled again after a run began.
    bool WaitForControls(DWORD timeoutMs = EventWaitMs()) const;
    // Waits until the program has handled every message posted to it so
    // far, and those that handling them posted in turn (it moves the log
    // pane's selection, so the pane must hold two units or more).
    bool WaitForPostedMessages(DWORD timeoutMs = EventWaitMs()) const;
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode) const;
    bool IsRunning() const;

    // A top-level window of the program with this caption (the save-as
    // dialog, a message box), waiting up to timeoutMs.
    HWND WaitForOwnWindow(const wchar_t* caption, DWORD timeoutMs = EventWaitMs()) const;

    DWORD ProcessId() const { return processId_; }
    // How many readings and actions the program left unanswered.
    int NoAnswers() const { return noAnswers_; }

private:
    bool Answered(bool answered, const char* what) const;

    mutable int noAnswers_ = 0;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

// Called with what could not be read or done the first time a program does
// not answer (its window is gone or hung). By default it goes to standard
// error; the test suites make it a failure of the running test.
void SetNoAnswerHandler(void (*handler)(const char* what));

// A visible top-level window of the process with exactly this caption.
HWND FindVisibleWindow(DWORD processId, const wchar_t* caption);

// Fills the real save-as dialog's file name and presses Save.
bool AcceptSaveDialog(HWND dialog, const std::wstring& fileName);
