#include "system/interactive_user.h"

#include <sddl.h>
#include <tlhelp32.h>

#include "system/bounded_string.h"
#include "system/heap_buffer.h"

namespace {

const DWORD kTokenInfoBytes = 16 * 1024;

// SHGetFolderPathW impersonates the token and reads its profile's
// environment: it needs query, impersonate and duplicate rights.
const DWORD kUserTokenAccess = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;

wchar_t gSidOverride[kSidUnits];

// Reads the token's owner; tells whether the token could be queried.
bool ReadTokenOwner(HANDLE token)
{
    HeapBuffer<BYTE> owner(kTokenInfoBytes);
    DWORD needed = 0;
    return owner.Get() != nullptr &&
           GetTokenInformation(token, TokenOwner, owner.Get(), kTokenInfoBytes, &needed) != 0;
}

// Enables SeDebugPrivilege while it lives, where the token holds it:
// OpenProcess and OpenProcessToken on another account's process need it.
// Only a privilege this object turned on is turned off again.
class DebugPrivilege {
public:
    DebugPrivilege()
    {
        previous_.PrivilegeCount = 0;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              token_.Receive()))
            return;
        TOKEN_PRIVILEGES enable;
        enable.PrivilegeCount = 1;
        enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &enable.Privileges[0].Luid))
            return;
        // The previous state lists only what the call changed: nothing when
        // the privilege was on already or the token lacks it.
        DWORD size = 0;
        if (!AdjustTokenPrivileges(token_.Get(), FALSE, &enable, sizeof(previous_), &previous_, &size))
            previous_.PrivilegeCount = 0;
    }
    ~DebugPrivilege()
    {
        if (previous_.PrivilegeCount != 0)
            AdjustTokenPrivileges(token_.Get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
    DebugPrivilege(const DebugPrivilege&) = delete;
    DebugPrivilege& operator=(const DebugPrivilege&) = delete;

private:
    UniqueHandle token_;
    TOKEN_PRIVILEGES previous_;
};

bool OpenProcessUserToken(DWORD processId, UniqueHandle& token)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    return process.IsValid() && OpenProcessToken(process.Get(), kUserTokenAccess, token.Receive()) &&
           ReadTokenOwner(token.Get());
}

// The token's user as a string SID. The user, not the owner, names the
// account's hive: an administrator's tokens on XP are owned by the group.
bool TokenUserSid(HANDLE token, wchar_t* sid)
{
    sid[0] = L'\0';
    HeapBuffer<BYTE> user(kTokenInfoBytes);
    DWORD needed = 0;
    if (user.Get() == nullptr ||
        !GetTokenInformation(token, TokenUser, user.Get(), kTokenInfoBytes, &needed))
        return false;
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.Get())->User.Sid, &text))
        return false;
    bool fits = BoundedCopy(sid, kSidUnits, text) == kStringOk;
    LocalFree(text);
    if (!fits)
        sid[0] = L'\0';
    return fits;
}

const DWORD kNoSession = 0xFFFFFFFF;

bool IsExplorerIn(const PROCESSENTRY32W& entry, DWORD session)
{
    DWORD its = kNoSession;
    return lstrcmpiW(entry.szExeFile, L"explorer.exe") == 0 &&
           Sessions().processSession(entry.th32ProcessID, &its) && its == session;
}

// Whether the listing has an explorer.exe in session.
bool HasExplorerIn(HANDLE snapshot, DWORD session)
{
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (IsExplorerIn(entry, session))
            return true;
    }
    return false;
}

// Before Vista the first user to log on shares session 0 with the
// services; under fast user switching that user may be disconnected while
// another one is at the console.
bool SessionZeroIsShared()
{
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    return GetVersionExW(&version) && version.dwMajorVersion < 6;
}

// The session whose desktop is the user's: this process's own, or where
// that has no shell and this process is a service's (session 0), the one
// at the physical console. Never any other: a session of its own without
// explorer (an alternate shell, a published program) belongs to someone
// who is not at the console, and the console's user is a bystander. A
// shared session 0 counts as its own only while it is at the console.
DWORD DesktopSession(HANDLE snapshot)
{
    DWORD own = kNoSession;
    if (!Sessions().processSession(GetCurrentProcessId(), &own))
        return kNoSession;
    if (own == 0 && SessionZeroIsShared())
        return Sessions().consoleSession();
    if (HasExplorerIn(snapshot, own))
        return own;
    if (own != 0)
        return kNoSession;
    return Sessions().consoleSession();  // kNoSession while no one is attached
}

}  // namespace

SessionCalls& Sessions()
{
    static SessionCalls calls = {ProcessIdToSessionId, WTSGetActiveConsoleSessionId};
    return calls;
}

DWORD OpenInteractiveUserToken(UniqueHandle& token)
{
    token.Reset();
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return GetLastError();

    // Only a token of our own that cannot be opened stops the search.
    UniqueHandle ownToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, ownToken.Receive()))
        return 0;

    // Telling another account's process's session needs query rights on it
    // (documented for ProcessIdToSessionId), as opening its token does.
    DebugPrivilege debug;
    const DWORD session = DesktopSession(snapshot.Get());
    if (session == kNoSession)
        return 0;
    PROCESSENTRY32W entry;
    ZeroMemory(&entry, sizeof(entry));
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        if (IsExplorerIn(entry, session) && OpenProcessUserToken(entry.th32ProcessID, token))
            return 0;
    }
    token.Reset();
    return 0;
}

bool OpenInteractiveUser(InteractiveUser& user)
{
    user.sid[0] = L'\0';
    OpenInteractiveUserToken(user.token);
    if (gSidOverride[0] != L'\0')
        return BoundedCopy(user.sid, kSidUnits, gSidOverride) == kStringOk;
    return user.token.IsValid() && TokenUserSid(user.token.Get(), user.sid);
}

void OverrideInteractiveUserSid(const wchar_t* sid)
{
    BoundedCopy(gSidOverride, kSidUnits, sid != nullptr ? sid : L"");
}

bool OwnUserSid(wchar_t* sid)
{
    sid[0] = L'\0';
    UniqueHandle ownToken;
    return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, ownToken.Receive()) &&
           TokenUserSid(ownToken.Get(), sid);
}

namespace {

// Compares user with this process's account: -1 when either cannot be
// told, else whether they differ.
int ComparedWithOwnAccount(const InteractiveUser& user)
{
    wchar_t own[kSidUnits];
    if (user.sid[0] == L'\0' || !OwnUserSid(own))
        return -1;
    return lstrcmpiW(user.sid, own) != 0 ? 1 : 0;
}

}  // namespace

bool IsAnotherAccount(const InteractiveUser& user)
{
    return ComparedWithOwnAccount(user) == 1;
}

bool IsThisAccount(const InteractiveUser& user)
{
    return ComparedWithOwnAccount(user) == 0;
}
