// The user whose desktop shell (explorer.exe) is running in this process's
// session, or at the console when this session has none; who may be
// another account than the one this process runs as.
#pragma once

#include <windows.h>

#include "system/handles.h"

// A string SID ("S-1-5-21-...") with its terminator always fits.
const size_t kSidUnits = 192;

// Opens the token of the first explorer.exe of that session that answers,
// for query, impersonation and duplication; token stays closed when there
// is none. Returns the snapshot's error, else 0.
DWORD OpenInteractiveUserToken(UniqueHandle& token);

// The session calls the choice rests on (kernel32, Windows XP on). Wine
// runs every process in one session, so tests stand in for others here.
struct SessionCalls {
    BOOL(WINAPI* processSession)(DWORD processId, DWORD* session);
    DWORD(WINAPI* consoleSession)();
};
SessionCalls& Sessions();

// The string SID of the interactive user; false (sid empty) when there is
// none. Tests name another account with OverrideInteractiveUserSid (null:
// explorer.exe's own again): Wine has a single account.
bool GetInteractiveUserSid(wchar_t* sid);
void OverrideInteractiveUserSid(const wchar_t* sid);

// The interactive user's SID when that user is not this process's user;
// false when they are the same, or either cannot be told.
bool GetOtherInteractiveUserSid(wchar_t* sid);
