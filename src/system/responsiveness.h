// Lets the one window keep answering while a long run works on its thread.
// Long loops call KeepResponsive() often (per entry, per key); it is cheap
// and does real work only when the hook is set and some time has passed.
#pragma once

// The least time between two turns that reach the hook: often enough that
// the window answers well within a second.
const unsigned long kTurnIntervalMs = 50;

// The window installs the hook for the length of a run; null removes it.
// The first call after gives the first turn. A hook that must see every
// turn (a test's) gives the interval 0.
void SetResponsivenessHook(void (*hook)(), unsigned long intervalMs = kTurnIntervalMs);
void KeepResponsive();
// The same at once, whatever the time since the last turn: for the few
// places between steps, and around a call that may block for long.
void KeepResponsiveNow();
