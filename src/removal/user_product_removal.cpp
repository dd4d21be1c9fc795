#include "removal/user_product_removal.h"

#include <msi.h>

#include "removal/installer_api.h"
#include "removal/product_removal.h"
#include "system/bounded_string.h"
#include "system/interactive_user.h"
#include "system/responsiveness.h"
#include "system/system_exports.h"
#include "system/system_library.h"

namespace {

const DWORD kTurnMs = 25;  // the window's turns while the child runs

BOOL WINAPI AdminMember(HANDLE token, BOOL* member)
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return FALSE;
    BOOL told = CheckTokenMembership(token, administrators, member);
    FreeSid(administrators);
    return told;
}

// Whether token (null: this process's) holds an administrator's rights;
// untold when that cannot be asked. A limited token of a split
// administrator holds the group for denying only, which counts as not.
bool HasAdminRights(HANDLE token, bool untold)
{
    UniqueHandle identification;
    if (token != nullptr &&
        !DuplicateToken(token, SecurityIdentification, identification.Receive()))
        return untold;
    BOOL member = FALSE;
    if (!UserTokens().adminMember(identification.Get(), &member))
        return untold;
    return member != FALSE;
}

// A braced GUID, the only form a product code has; nothing else reaches
// the child's command line.
bool IsBracedGuid(const wchar_t* code)
{
    const size_t kUnits = 38;
    for (size_t i = 0; i < kUnits; ++i) {
        wchar_t c = code[i];
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        bool fits = i == 0               ? c == L'{'
                    : i == kUnits - 1    ? c == L'}'
                    : dash               ? c == L'-'
                                         : (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') ||
                                               (c >= L'a' && c <= L'f');
        if (!fits)
            return false;
    }
    return code[kUnits] == L'\0';
}

// The system folder and its msiexec.exe, by full path.
bool MsiexecPath(wchar_t* folder, wchar_t* program)
{
    UINT length = GetSystemDirectoryW(folder, kPathUnits);
    return length != 0 && length < kPathUnits &&
           BoundedCopy(program, kPathUnits, folder) == kStringOk &&
           BoundedAppend(program, kPathUnits, L"\\msiexec.exe") == kStringOk;
}

// "<program>" /x {code} /qn|/qb REBOOT=ReallySuppress: restarting is the
// technician's option, at the end of the run, as for the removals here.
bool BuildCommandLine(wchar_t* line, const wchar_t* program, const wchar_t* code, int uiLevel)
{
    line[0] = L'\0';
    return BoundedAppend(line, kPathUnits, L"\"") == kStringOk &&
           BoundedAppend(line, kPathUnits, program) == kStringOk &&
           BoundedAppend(line, kPathUnits, L"\" /x ") == kStringOk &&
           BoundedAppend(line, kPathUnits, code) == kStringOk &&
           BoundedAppend(line, kPathUnits, uiLevel == kUiSilent ? L" /qn" : L" /qb") == kStringOk &&
           BoundedAppend(line, kPathUnits, L" REBOOT=ReallySuppress") == kStringOk;
}

// The account's own environment, made from its profile as Windows makes
// it for a process started with a token; none (null) where userenv.dll
// cannot give it, and the start then makes the same.
class UserEnvironment {
public:
    explicit UserEnvironment(HANDLE token)
    {
        HMODULE userenv = LoadSystemLibrary(L"userenv.dll");
        BOOL(WINAPI * create)(LPVOID*, HANDLE, BOOL) = nullptr;
        if (userenv != nullptr && LookUpFunction(userenv, "CreateEnvironmentBlock", &create) &&
            LookUpFunction(userenv, "DestroyEnvironmentBlock", &destroy_) &&
            !create(&block_, token, FALSE))
            block_ = nullptr;
    }
    ~UserEnvironment()
    {
        if (block_ != nullptr)
            destroy_(block_);
    }
    UserEnvironment(const UserEnvironment&) = delete;
    UserEnvironment& operator=(const UserEnvironment&) = delete;
    LPVOID Get() const { return block_; }

private:
    LPVOID block_ = nullptr;
    BOOL(WINAPI* destroy_)(LPVOID) = nullptr;
};

// A code that must not pass for one of the results the phases act on.
int AsFailure(DWORD code)
{
    int result = static_cast<int>(code);
    if (result == 0 || result == kNotInstalled || result == kSkipped ||
        result == kRebootRequired || result == kRebootInitiated)
        return ERROR_INSTALL_FAILURE;
    return result;
}

// Starts msiexec with the account's token; false with the error set. It
// runs in this process's session (as documented), the desktop's own but
// for a service's run.
bool StartMsiexec(HANDLE token, wchar_t* commandLine, const wchar_t* program, const wchar_t* folder,
                  PROCESS_INFORMATION& started)
{
    // CreateProcessWithTokenW wants a primary token with these rights.
    UniqueHandle primary;
    if (!DuplicateTokenEx(token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, nullptr,
                          SecurityImpersonation, TokenPrimary, primary.Receive()))
        return false;
    UserEnvironment environment(token);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    DWORD flags = environment.Get() != nullptr ? CREATE_UNICODE_ENVIRONMENT : 0;
    return UserTokens().startWithToken(primary.Get(), 0, program, commandLine, flags,
                                       environment.Get(), folder, &startup, &started) != FALSE;
}

// Waits for the child at most the busy-wait budget, the window answering
// meanwhile; one that runs on (a custom action that never ends) is ended.
bool WaitForChild(HANDLE process)
{
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD state = WaitForSingleObject(process, kTurnMs);
        if (state == WAIT_OBJECT_0)
            return true;
        if (state != WAIT_TIMEOUT || GetTickCount() - start >= BusyWaitTimes().budgetMs) {
            TerminateProcess(process, ERROR_TIMEOUT);
            return false;
        }
        KeepResponsive();
    }
}

}  // namespace

UserTokenCalls& UserTokens()
{
    // Filled on first use, without a guarded static (no C++ runtime).
    static UserTokenCalls calls = {AdminMember, nullptr};
    static bool lookedUp = false;
    if (!lookedUp) {
        calls.startWithToken = LookUpExport<StartWithTokenFn>(L"advapi32", "CreateProcessWithTokenW");
        lookedUp = true;
    }
    return calls;
}

OwnRemoval ChooseOwnRemoval(UniqueHandle& token)
{
    token.Reset();
    // A run without an administrator's rights has only the account's own.
    if (!HasAdminRights(nullptr, true))
        return OwnRemoval::kInProcess;
    // The account's own rights are those its desktop runs with. The
    // elevated token's linked one is not used: without the TCB privilege
    // it is given for identification only, and no process starts with it.
    InteractiveUser user;
    if (!OpenInteractiveUser(user) || !user.token.IsValid())
        return OwnRemoval::kRefused;
    // Another account at the desk: this one is a technician's who typed an
    // administrator's name, and only that account installs for itself.
    if (IsAnotherAccount(user))
        return OwnRemoval::kInProcess;
    if (!IsThisAccount(user))
        return OwnRemoval::kRefused;
    if (UserTokens().startWithToken != nullptr) {
        *token.Receive() = user.token.Release();
        return OwnRemoval::kChild;
    }
    // XP has no start with a token short of a service's privilege; there
    // the code runs here only when the desktop has these rights anyway.
    return HasAdminRights(user.token.Get(), false) ? OwnRemoval::kInProcess : OwnRemoval::kRefused;
}

int UninstallAsUser(HANDLE token, const wchar_t* productCode, int uiLevel)
{
    wchar_t folder[kPathUnits];
    wchar_t program[kPathUnits];
    wchar_t commandLine[kPathUnits];
    if (!IsBracedGuid(productCode) || !MsiexecPath(folder, program) ||
        !BuildCommandLine(commandLine, program, productCode, uiLevel))
        return ERROR_INVALID_PARAMETER;
    PROCESS_INFORMATION started;
    ZeroMemory(&started, sizeof(started));
    if (!StartMsiexec(token, commandLine, program, folder, started))
        return AsFailure(GetLastError());
    UniqueHandle process(started.hProcess);
    UniqueHandle thread(started.hThread);
    DWORD exitCode = ERROR_TIMEOUT;
    if (!WaitForChild(process.Get()))
        return ERROR_TIMEOUT;
    if (!GetExitCodeProcess(process.Get(), &exitCode))
        return AsFailure(GetLastError());
    // The child is the account's to tamper with: its word that the
    // product went is taken only when the installer agrees.
    int result = static_cast<int>(exitCode);
    bool removed = result == 0 || result == kRebootRequired || result == kRebootInitiated;
    if (removed && Installer().queryProductState(productCode) == INSTALLSTATE_DEFAULT)
        return ERROR_INSTALL_FAILURE;
    return removed ? result : AsFailure(exitCode);
}
