// A second process that holds one file open, as a virus scanner or the
// search indexer does, while a test deletes the folder it is in.
//   hold_probe.exe TAG delete|keep FILE [WATCHED ...]
//   hold_probe.exe TAG delete-each FILE ...
// The test makes the events TAG-ready and TAG-stop first. FILE is opened
// sharing read and write, and delete too when asked, then TAG-ready is set.
// With WATCHED paths the file is let go one second after the last of them
// is gone; without, at TAG-stop, which also ends the probe. delete-each
// holds every FILE so, until TAG-stop.
#include <windows.h>

#include <string>

namespace {

bool AllGone(int count, wchar_t** paths)
{
    for (int i = 0; i < count; ++i) {
        if (GetFileAttributesW(paths[i]) != INVALID_FILE_ATTRIBUTES)
            return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4)
        return 2;
    std::wstring tag = argv[1];
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-ready").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
    if (ready == nullptr || stop == nullptr)
        return 3;
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (lstrcmpW(argv[2], L"delete-each") == 0) {
        for (int i = 3; i < argc; ++i) {
            if (CreateFileW(argv[i], GENERIC_READ, sharing | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            0, nullptr) == INVALID_HANDLE_VALUE)
                return 4;
        }
        SetEvent(ready);
        WaitForSingleObject(stop, 120000);  // the handles close as the probe ends
        return 0;
    }
    if (lstrcmpW(argv[2], L"delete") == 0)
        sharing |= FILE_SHARE_DELETE;
    HANDLE held = CreateFileW(argv[3], GENERIC_READ, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 4;
    SetEvent(ready);
    if (argc > 4) {
        while (!AllGone(argc - 4, argv + 4) && WaitForSingleObject(stop, 10) == WAIT_TIMEOUT) {
        }
        WaitForSingleObject(stop, 1000);
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }
    WaitForSingleObject(stop, 60000);  // never outlives a test that forgot it
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
