// One press of Start Cleanup: the fixed sequence of removal phases.
#pragma once

struct CleanupDialog;
struct CleanupState;

void RunCleanup(CleanupDialog& dialog);

// Ends the process's state, for a process that makes more than one main
// window in turn (the tests); the next run starts with a fresh state.
void ForgetCleanupState();
