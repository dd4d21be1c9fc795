#include "app/window_during_run.h"

#include "system/responsiveness.h"

namespace {

bool gRunInProgress = false;

// The mouse messages past the XP headers' WM_MOUSELAST, the non-client ones
// and the hover and leave notices.
const UINT kLastMouseMessage = 0x020E;    // WM_MOUSEHWHEEL
const UINT kLastNonClientMouse = 0x00AD;  // WM_NCXBUTTONDBLCLK
const UINT kFirstHoverMessage = 0x02A0;   // WM_NCMOUSEHOVER
const UINT kLastHoverMessage = 0x02A3;    // WM_MOUSELEAVE

bool IsInput(UINT message)
{
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= kLastMouseMessage) ||
           (message >= WM_NCMOUSEMOVE && message <= kLastNonClientMouse) ||
           (message >= kFirstHoverMessage && message <= kLastHoverMessage);
}

// What a click, a key or the close box turns into once it has reached a
// window: commands, system commands, the close request, a button click.
bool IsRequestToAct(UINT message)
{
    return message == WM_COMMAND || message == WM_SYSCOMMAND || message == WM_CLOSE ||
           message == BM_CLICK;
}

// Takes every queued message: input and requests to act are dropped, the
// rest (paint above all) is handled. Messages that other threads send are
// handled inside PeekMessageW itself.
void ServiceWindow()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the message loop
            return;
        }
        if (IsInput(message.message) || IsRequestToAct(message.message))
            continue;
        DispatchMessageW(&message);
    }
}

}  // namespace

bool RunInProgress()
{
    return gRunInProgress;
}

WindowDuringRun::WindowDuringRun(HWND window) : window_(window), focus_(GetFocus())
{
    gRunInProgress = true;
    SetResponsivenessHook(ServiceWindow);
}

WindowDuringRun::~WindowDuringRun()
{
    // What arrived after the run's last turn is dropped too, before the
    // message loop could hand it to the controls that are enabled again.
    ServiceWindow();
    SetResponsivenessHook(nullptr);
    gRunInProgress = false;
    // SetFocus, not WM_NEXTDLGCTL, which would select the whole log when the
    // run was started from the pane, for the next key to replace.
    if (focus_ != nullptr && IsChild(window_, focus_) && IsWindowEnabled(focus_))
        SetFocus(focus_);
}
