// The main window while a run works on its one thread: it keeps painting
// and answering other programs, and the input that arrives meanwhile is
// dropped, so none of it is acted on once the controls come back.
#pragma once

#include <windows.h>

// True from the start of a run until its leftover input has been dropped.
bool RunInProgress();

// Lives for the length of one run: services the window through the
// responsiveness hook, and at the end gives the focus back to the control
// that had it when the run began.
class WindowDuringRun {
public:
    explicit WindowDuringRun(HWND window);
    ~WindowDuringRun();
    WindowDuringRun(const WindowDuringRun&) = delete;
    WindowDuringRun& operator=(const WindowDuringRun&) = delete;

private:
    HWND window_;
    HWND focus_;
};
