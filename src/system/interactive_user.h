// The user whose desktop shell (explorer.exe) is running in this process's
// session, or at the console when this process is a service's (session 0);
// who may be another account than the one this process runs as.
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

// The interactive user as one token tells them. Each decision about that
// user takes all it needs (folders, SID, profile) from one of these, so an
// explorer.exe restarting, or another one answering, cannot mix two users.
struct InteractiveUser {
    UniqueHandle token;           // closed when no explorer.exe answered
    wchar_t sid[kSidUnits] = {};  // the token's user; empty when not known
};

// Opens the interactive user's token and reads its user; false (sid
// empty) when there is none. Tests name another account with
// OverrideInteractiveUserSid (null: explorer.exe's own again), which
// replaces the SID alone: Wine has a single account.
bool OpenInteractiveUser(InteractiveUser& user);
void OverrideInteractiveUserSid(const wchar_t* sid);

// This process's user as a string SID, whose hive HKEY_CURRENT_USER is;
// false (sid empty) when it cannot be read.
bool OwnUserSid(wchar_t* sid);

// Whether user is another account than this process's; false when they
// are the same, or either cannot be told.
bool IsAnotherAccount(const InteractiveUser& user);
// Whether user is surely this process's account; false when either
// cannot be told.
bool IsThisAccount(const InteractiveUser& user);
