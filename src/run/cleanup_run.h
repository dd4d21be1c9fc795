// One press of Start Cleanup: the fixed sequence of removal phases.
#pragma once

struct CleanupDialog;
struct CleanupState;

void RunCleanup(CleanupDialog& dialog);

// Whether runs keep the account of what stays (on unless turned off): the
// benchmark's switch, to weigh what the account costs.
void KeepAccountOfWhatStays(bool keep);

// The process's one state, made at the first run; null before it.
CleanupState* CurrentCleanupState();

// Ends the process's state, for a process that makes more than one main
// window in turn (the tests); the next run starts with a fresh state.
void ForgetCleanupState();
