// Folders of many empty files and the plain delete loop over them, shared
// by the deletion measurements.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/bench_common.h"

// The files ("file000000.dat" on) are made on the Unix side: for a name
// that is not there yet, Wine's case-insensitive lookup reads the whole
// folder, so making 30,000 files with CreateFileW would take minutes, each
// time. The folders above are made as needed.
inline bool Fill(const std::wstring& folder, int files)
{
    std::string unixFolder = WindowsToUnixPath(folder);
    std::wstring marker = folder + L".filled";
    std::string unixMarker = WindowsToUnixPath(marker);
    if (unixFolder.empty() || unixMarker.empty() || Exists(folder))
        return false;
    std::wstring line = Widen("/bin/sh -c \"mkdir -p '" + unixFolder + "' && cd '" + unixFolder +
                              "' && seq -f file%06g.dat 0 " + std::to_string(files - 1) +
                              " | xargs touch && touch '" + unixMarker + "'\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started))
        return false;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    // Wine cannot wait on a Unix process; the marker tells it is done.
    for (int i = 0; i < 2400 && !Exists(marker); ++i)
        Sleep(25);
    return DeleteFileW(marker.c_str()) != 0;
}

// The CPU time, in ns, the threads listed in a /proc task folder have had.
inline double TaskNs(const std::wstring& tasks)
{
    double total = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((tasks + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return -1.0;
    do {
        if (found.cFileName[0] < L'0' || found.cFileName[0] > L'9')
            continue;
        std::wstring path = tasks + L"\\" + found.cFileName + L"\\schedstat";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        char text[96] = {};
        DWORD read = 0;
        if (file != INVALID_HANDLE_VALUE) {
            ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
            CloseHandle(file);
        }
        total += strtod(text, nullptr);  // the first field: time on a CPU
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return total;
}

// The CPU time, in ms, of this process and of the Wine server (whose Unix
// process id HS_WINESERVER_PID gives): what a pass costs, whatever else
// the machine runs meanwhile. Negative when it cannot be read.
inline double CpuMs()
{
    static const std::wstring server = EnvironmentValue(L"HS_WINESERVER_PID");
    if (server.empty())
        return -1.0;
    double own = TaskNs(L"Z:\\proc\\self\\task");
    double wineserver = TaskNs(L"Z:\\proc\\" + server + L"\\task");
    return own < 0 || wineserver < 0 ? -1.0 : (own + wineserver) / 1e6;
}

// The loop a program would write: FindFirstFileW/FindNextFileW, DeleteFileW
// for each entry, RemoveDirectoryW.
inline void PlainLoop(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (lstrcmpW(found.cFileName, L".") != 0 && lstrcmpW(found.cFileName, L"..") != 0)
                DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

// One pass of the measured code and the plain loop's pass beside it, in one
// round, whichever went first: ms by the clock and in CPU time.
struct PassPair {
    double own, plain, ownCpu, plainCpu;
};

// One row of measurements against the plain loop, over the rounds.
struct PairedSeries {
    std::vector<double> own, plain, pairRatios;
    std::vector<double> ownCpu, plainCpu, cpuPairRatios;

    // Adds a round's two passes; the plain loop's went first when plainFirst.
    PassPair Add(bool plainFirst, double first, double firstCpu, double second, double secondCpu)
    {
        PassPair pair = {plainFirst ? second : first, plainFirst ? first : second,
                         plainFirst ? secondCpu : firstCpu, plainFirst ? firstCpu : secondCpu};
        own.push_back(pair.own);
        plain.push_back(pair.plain);
        pairRatios.push_back(pair.own / pair.plain);
        if (pair.ownCpu > 0 && pair.plainCpu > 0) {
            ownCpu.push_back(pair.ownCpu);
            plainCpu.push_back(pair.plainCpu);
            cpuPairRatios.push_back(pair.ownCpu / pair.plainCpu);
        }
        return pair;
    }
};

// Reports a row as "KIND.SIZE.NAME.WHAT" lines: the passes, the ratios to
// the plain loop, the costs per file.
inline void ReportPairedSeries(const char* kind, int size, const char* name,
                               const PairedSeries& row)
{
    char key[128];
    auto named = [&](const char* what) {
        snprintf(key, sizeof(key), "%s.%d.%s.%s", kind, size, name, what);
        return key;
    };
    ReportSamples(named("ms"), row.own);
    ReportSamples(named("plain_ms"), row.plain);
    Report(named("ratio"), Median(row.own) / Median(row.plain));
    Report(named("paired_ratio"), Median(row.pairRatios));
    Report(named("fastest_ratio"), Smallest(row.own) / Smallest(row.plain));
    Report(named("us_per_file"), Median(row.own) * 1000.0 / size);
    Report(named("plain_us_per_file"), Median(row.plain) * 1000.0 / size);
    if (row.cpuPairRatios.empty())
        return;
    Report(named("cpu_paired_ratio"), Median(row.cpuPairRatios));
    Report(named("cpu_us_per_file"), Median(row.ownCpu) * 1000.0 / size);
    Report(named("plain_cpu_us_per_file"), Median(row.plainCpu) * 1000.0 / size);
}
