// A second process that keeps adding subkeys to a key, as a user's program
// may while an administrator's run deletes it.
//   key_feed_probe.exe TAG KEY
// The test makes the events TAG-ready and TAG-stop first. Keeps
// HKEY_CURRENT_USER\KEY at 10,001 subkeys Fed<n> or more (up to 12,001), adding
// them as they go; TAG-ready is set once there are that many. Ends at
// TAG-stop, after a tenth of the test's deadline, or once the key has gone.
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/test_deadline.h"

namespace {

// Keeps KEY at more subkeys than a deletion visits in all (10,000), so
// that it never sees the key empty, however seldom this process gets its
// turn on a loaded machine. Counting them takes Wine a walk over them all,
// so it is done once every 64 turns.
int Feed(HANDLE ready, HANDLE stop, const std::wstring& path)
{
    const DWORD kPopulation = 10001;
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_CREATE_SUB_KEY,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return 4;
    const DWORD started = GetTickCount();
    const DWORD feeding = EventWaitMs();  // a deletion that lasts as long never ended
    DWORD made = 0;
    bool full = false;
    for (DWORD turn = 0; GetTickCount() - started < feeding; ++turn) {
        if (turn % 64 == 0) {
            if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0)
                break;
            DWORD subkeys = 0;
            if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                return 5;
            if (subkeys >= kPopulation)
                SetEvent(ready);
            full = subkeys >= kPopulation + 2000;
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
    if (argc != 3)
        return 2;
    std::wstring tag = argv[1];
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-ready").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
    return ready == nullptr || stop == nullptr ? 3 : Feed(ready, stop, argv[2]);
}
