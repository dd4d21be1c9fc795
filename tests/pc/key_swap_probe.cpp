// A second process that, as a user owning the parent would, swaps each of
// the test's vendor keys for a registry link the moment its last subkey
// has gone, while the test deletes them.
//   key_swap_probe.exe TAG PARENT COUNT
// Below HKEY_CURRENT_USER\PARENT the test has made the keys
// HsTestKestrix.Swap000... (each with one subkey) and, beside each, a
// finished link HsTestStage000... The test makes the events TAG-ready and
// TAG-stop and the mapping TAG-results first. Once every key is held, the
// probe sets TAG-ready; then it watches the keys in turn and, when one is
// empty, deletes it and renames its link into its name. Each key's outcome
// goes into the results: 1 for a swap, else the status that ended it.
//   key_swap_probe.exe TAG feed KEY
// Keeps HKEY_CURRENT_USER\KEY at 500 subkeys Fed<n> or more (up to 2000),
// adding them as they go; TAG-ready is set once there are that many. Ends
// at TAG-stop, after a minute, or once the key has gone.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct UnicodeName {
    USHORT length;
    USHORT maximumLength;
    const wchar_t* buffer;
};

typedef LONG(WINAPI* NtDeleteKeyFn)(HANDLE);
typedef LONG(WINAPI* NtRenameKeyFn)(HANDLE, UnicodeName*);

const DWORD kMaxKeys = 1000;
const DWORD kSwapped = 1;

std::wstring Numbered(const std::wstring& parent, const wchar_t* stem, DWORD n)
{
    wchar_t name[64];
    swprintf(name, 64, L"%ls%03lu", stem, static_cast<unsigned long>(n));
    return parent.empty() ? name : parent + L"\\" + name;
}

// Waits for the key to lose its last subkey; the status of the query that
// ended the wait (a deleted key no longer answers), or ERROR_CANCELLED.
LONG WaitUntilEmpty(HKEY key, HANDLE stop)
{
    for (DWORD polls = 0;; ++polls) {
        DWORD subkeys = 0;
        LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS || subkeys == 0)
            return status;
        if (polls % 4096 == 0 && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
            return ERROR_CANCELLED;
    }
}

// Keeps KEY at five hundred subkeys or more, so that a deletion that goes
// on while the key has subkeys never sees it empty. Counting them takes
// Wine a walk over them all, so it is done once every 64 turns.
int Feed(HANDLE ready, HANDLE stop, const std::wstring& path)
{
    const DWORD kPopulation = 500;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_CREATE_SUB_KEY,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 4;
    const DWORD started = GetTickCount();
    DWORD made = 0;
    bool full = false;
    for (DWORD turn = 0; GetTickCount() - started < 60000; ++turn) {
        if (turn % 64 == 0) {
            if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
                break;
            DWORD subkeys = 0;
            if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return 5;
            if (subkeys >= kPopulation)
                SetEvent(ready);
            full = subkeys >= 4 * kPopulation;
        }
        if (full)
            continue;
        wchar_t name[32];
        swprintf(name, 32, L"Fed%08lu", static_cast<unsigned long>(made++));
        HKEY fed = nullptr;
        if (RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_READ, nullptr, &fed, nullptr) != ERROR_SUCCESS)
            return 6;  // the key has gone: the deletion outran the feeding
        RegCloseKey(fed);
    }
    RegCloseKey(key);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    std::wstring tag = argv[1];
    if (lstrcmpW(argv[2], L"feed") == 0) {
        HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-ready").c_str());
        HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
        return ready == nullptr || stop == nullptr ? 3 : Feed(ready, stop, argv[3]);
    }
    std::wstring parent = argv[2];
    DWORD count = static_cast<DWORD>(wcstoul(argv[3], nullptr, 10));
    HMODULE ntdll = GetModuleHandleW(L"ntdll");
    NtDeleteKeyFn deleteKey =
        reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
    NtRenameKeyFn renameKey =
        reinterpret_cast<NtRenameKeyFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtRenameKey")));
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-ready").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, (tag + L"-results").c_str());
    if (count == 0 || count > kMaxKeys || deleteKey == nullptr || renameKey == nullptr ||
        ready == nullptr || stop == nullptr || mapping == nullptr)
        return 3;
    DWORD* results = static_cast<DWORD*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (results == nullptr)
        return 3;

    std::vector<HKEY> keys(count, nullptr), stages(count, nullptr);
    for (DWORD n = 0; n < count; ++n) {
        if (RegOpenKeyExW(HKEY_CURRENT_USER, Numbered(parent, L"HsTestKestrix.Swap", n).c_str(), 0,
                          KEY_QUERY_VALUE | DELETE, &keys[n]) != ERROR_SUCCESS ||
            RegOpenKeyExW(HKEY_CURRENT_USER, Numbered(parent, L"HsTestStage", n).c_str(),
                          REG_OPTION_OPEN_LINK, KEY_WRITE | DELETE, &stages[n]) != ERROR_SUCCESS)
            return 4;
    }
    SetEvent(ready);

    for (DWORD n = 0; n < count; ++n) {
        LONG status = WaitUntilEmpty(keys[n], stop);
        if (status == ERROR_CANCELLED)
            break;
        if (status == ERROR_SUCCESS)
            status = deleteKey(keys[n]);
        if (status == 0) {
            std::wstring name = Numbered(L"", L"HsTestKestrix.Swap", n);
            UnicodeName newName = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                                   static_cast<USHORT>(name.size() * sizeof(wchar_t)), name.c_str()};
            status = renameKey(stages[n], &newName);
        }
        results[n] = status == 0 ? kSwapped : static_cast<DWORD>(status);
    }
    WaitForSingleObject(stop, 30000);
    return 0;
}
