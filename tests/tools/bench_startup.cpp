// Times the start of the real program to its visible window against a
// minimal dialog program built the same way (and that dialog importing the
// program's system libraries), taking turns, and reads each one's peak
// memory once its window is up.
//
//   bench_startup REPEATS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/window_driver.h"
#include "tools/bench_common.h"

namespace {

struct Subject {
    const char* name;
    std::wstring path;
    const wchar_t* caption;
    std::vector<double> ms;
    std::vector<double> peakWorkingSetKiB;
    std::vector<double> peakPagefileKiB;
    double firstMs;
};

// Starts the program, waits for its visible window and closes it again;
// the time is from just before CreateProcessW to the window being seen.
bool StartOnce(Subject& subject, double* ms, double* workingSetKiB, double* pagefileKiB)
{
    std::wstring commandLine = L"\"" + subject.path + L"\"";
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info;

    double start = NowMs();
    if (!CreateProcessW(subject.path.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        fprintf(stderr, "bench_startup: cannot start %ls (%lu)\n", subject.path.c_str(),
                GetLastError());
        return false;
    }
    HWND found = nullptr;
    // Polling every millisecond leaves the CPU to the starting program.
    while (found == nullptr && NowMs() - start < 30000 &&
           WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
        found = FindVisibleWindow(info.dwProcessId, subject.caption);
        if (found == nullptr)
            Sleep(1);
    }
    *ms = NowMs() - start;

    bool seen = found != nullptr;
    if (!seen)
        fprintf(stderr, "bench_startup: no window from %ls\n", subject.path.c_str());
    else if (!ReadPeakMemory(info.dwProcessId, workingSetKiB, pagefileKiB))
        *workingSetKiB = *pagefileKiB = 0;
    if (seen)
        PostMessageW(found, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(info.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 255);
        WaitForSingleObject(info.hProcess, 10000);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return seen;
}

void ReportSubject(const Subject& subject)
{
    const Figures figures(std::string("startup.") + subject.name);
    figures.Samples("ms", subject.ms);
    figures.Value("first_ms", subject.firstMs);
    figures.Value("peak_working_set_kib", Median(subject.peakWorkingSetKiB));
    figures.Value("peak_pagefile_kib", Median(subject.peakPagefileKiB));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: bench_startup REPEATS\n");
        return 2;
    }
    int repeats = _wtoi(argv[1]);
    std::wstring build = UnixToWindowsPath(Narrow(EnvironmentValue(L"HS_BUILD_DIR")));
    const wchar_t kMinimalCaption[] = L"Host Sweeper Bench Minimal Dialog";
    const int kSubjects = 3;
    Subject subjects[kSubjects] = {
        {"hostsweeper", ProgramPath(), L"Norvale NVX Host Sweeper", {}, {}, {}, 0},
        {"minimal", build + L"\\tests\\tools\\bench_minimal_dialog.exe", kMinimalCaption, {}, {},
         {}, 0},
        {"minimal_imports", build + L"\\tests\\tools\\bench_minimal_imports.exe", kMinimalCaption,
         {}, {}, {}, 0},
    };

    // The first start of each loads everything from disk into the caches;
    // it is reported apart and left out of the median.
    for (Subject& subject : subjects) {
        double workingSet = 0;
        double pagefile = 0;
        if (!StartOnce(subject, &subject.firstMs, &workingSet, &pagefile))
            return 1;
    }
    for (int r = 0; r < repeats; ++r) {
        // Taking turns, and rotating who goes first, cancels drift.
        for (int k = 0; k < kSubjects; ++k) {
            Subject& subject = subjects[(r + k) % kSubjects];
            double ms = 0;
            double workingSet = 0;
            double pagefile = 0;
            if (!StartOnce(subject, &ms, &workingSet, &pagefile))
                return 1;
            subject.ms.push_back(ms);
            subject.peakWorkingSetKiB.push_back(workingSet);
            subject.peakPagefileKiB.push_back(pagefile);
        }
    }
    for (const Subject& subject : subjects)
        ReportSubject(subject);
    return 0;
}
