// A second process that tries to rename folders away while a test deletes
// them, each time the test asks.
//   rename_probe.exe TAG SOURCE DESTINATION [SOURCE DESTINATION ...]
// The test makes the events TAG-ask, TAG-done and TAG-stop and the mapping
// TAG-results first. On each ask, every source is renamed to its
// destination (and, when that worked, straight back), and the outcome, 0
// for a rename that worked or the error, goes into the results in order.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 4 || (argc - 2) % 2 != 0 || (argc - 2) / 2 > 8)
        return 2;
    std::wstring tag = argv[1];
    HANDLE ask = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-ask").c_str());
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, (tag + L"-done").c_str());
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-stop").c_str());
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, (tag + L"-results").c_str());
    if (ask == nullptr || done == nullptr || stop == nullptr || mapping == nullptr)
        return 3;
    DWORD* results = static_cast<DWORD*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (results == nullptr)
        return 3;
    HANDLE waits[] = {stop, ask};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (int i = 2; i + 1 < argc; i += 2) {
            DWORD outcome = 0;
            if (MoveFileExW(argv[i], argv[i + 1], 0))
                MoveFileExW(argv[i + 1], argv[i], 0);
            else
                outcome = GetLastError();
            results[(i - 2) / 2] = outcome;
        }
        SetEvent(done);
    }
    return 0;
}
