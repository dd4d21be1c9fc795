// A second process that holds one file open, as a virus scanner or the
// search indexer does, while a test deletes the folder it is in.
//   hold_probe.exe TAG delete|keep FILE
//   hold_probe.exe TAG delete-each FILE ...
// The test makes the events TAG-ready and TAG-stop first. FILE is opened
// sharing read and write, and delete too when asked, then TAG-ready is set.
// It is let go at TAG-stop, which also ends the probe. delete-each
// holds every FILE so, until TAG-stop.
//   hold_probe.exe TAG mutex NAME [abandon]
// holds the mutex NAME instead, as a running installation holds its own,
// until TAG-stop; with abandon it then ends without letting it go, as an
// installation that crashed.
#include <windows.h>

#include <string>

#include "support/test_deadline.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
        return 2;
    std::wstring tag = argv[1];
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-ready").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
    if (ready == nullptr || stop == nullptr)
        return 3;
    if (lstrcmpW(argv[2], L"mutex") == 0) {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, argv[3]);
        if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
            return 4;
        SetEvent(ready);
        WaitForSingleObject(stop, TestDeadlineMs());
        if (argc > 4 && lstrcmpW(argv[4], L"abandon") == 0)
            ExitProcess(0);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (lstrcmpW(argv[2], L"delete-each") == 0) {
        for (int i = 3; i < argc; ++i) {
            if (CreateFileW(argv[i], GENERIC_READ, sharing | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            0, nullptr) == INVALID_HANDLE_VALUE)
                return 4;
        }
        SetEvent(ready);
        WaitForSingleObject(stop, TestDeadlineMs());  // the handles close as the probe ends
        return 0;
    }
    if (lstrcmpW(argv[2], L"delete") == 0)
        sharing |= FILE_SHARE_DELETE;
    HANDLE held = CreateFileW(argv[3], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 4;
    SetEvent(ready);
    WaitForSingleObject(stop, TestDeadlineMs());
    CloseHandle(held);
    return 0;
}
