// A product installed for this account alone is the account's to shape:
// its package's immediate custom actions run with the rights of the
// process that removes it. An elevated run therefore removes it with the
// account's own desktop rights, by the installer in a child process, or
// not at all.
#pragma once

#include <windows.h>

#include "system/handles.h"

// The token calls the choice rests on. Wine gives every token an
// administrator's rights and starts any process as its caller, so tests
// stand in for a token without them and for a Windows without the start.
typedef BOOL(WINAPI* StartWithTokenFn)(HANDLE token, DWORD logonFlags, LPCWSTR application,
                                       LPWSTR commandLine, DWORD creationFlags, LPVOID environment,
                                       LPCWSTR folder, LPSTARTUPINFOW startup,
                                       LPPROCESS_INFORMATION process);
struct UserTokenCalls {
    // As CheckTokenMembership for the Administrators group; token is an
    // identification token, or null for this process.
    BOOL(WINAPI* adminMember)(HANDLE token, BOOL* member);
    // CreateProcessWithTokenW (Vista on); null where advapi32 lacks it.
    StartWithTokenFn startWithToken;
};
UserTokenCalls& UserTokens();

enum class OwnRemoval {
    kInProcess,  // the product's code gets no rights beyond the account's own here
    kChild,      // removed by a child process with the token given
    kRefused,    // no way to give it only the account's rights: left installed
};
// How this account's own product is removed; for kChild, token receives
// the account's desktop token.
OwnRemoval ChooseOwnRemoval(UniqueHandle& token);

// Removes the product with the system folder's msiexec.exe started with
// token, silently (uiLevel 2) or with its basic interface (3), and waits
// for it at most the installer's busy-wait budget, the window having its
// turns. Returns the installer's result as msiexec ends with it; a product
// still installed after a success, or a child that could not start or did
// not end in time, is a failure.
int UninstallAsUser(HANDLE token, const wchar_t* productCode, int uiLevel);
