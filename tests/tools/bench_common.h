// Clock, median and memory reading shared by the speed measurements. Each
// measurement prints "name value" lines on standard output, which
// scripts/bench.sh turns into docs/benchmarks.md.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "system/platform_probes.h"

inline double NowMs()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// How many subkeys root\path has, in the native view (0 when it cannot be
// opened).
inline DWORD SubkeyCount(HKEY root, const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, ReadAccessMask(), &key) != ERROR_SUCCESS)
        return 0;
    DWORD count = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return count;
}

inline double Median(std::vector<double> samples)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    size_t middle = samples.size() / 2;
    if (samples.size() % 2 == 1)
        return samples[middle];
    return (samples[middle - 1] + samples[middle]) / 2.0;
}

inline double Smallest(const std::vector<double>& samples)
{
    return samples.empty() ? 0.0 : *std::min_element(samples.begin(), samples.end());
}

inline double Largest(const std::vector<double>& samples)
{
    return samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end());
}

inline void Report(const char* name, double value)
{
    printf("%s %.3f\n", name, value);
    fflush(stdout);
}

inline void ReportSamples(const char* name, const std::vector<double>& samples)
{
    char key[128];
    snprintf(key, sizeof(key), "%s.median", name);
    Report(key, Median(samples));
    snprintf(key, sizeof(key), "%s.min", name);
    Report(key, Smallest(samples));
    snprintf(key, sizeof(key), "%s.max", name);
    Report(key, Largest(samples));
    snprintf(key, sizeof(key), "%s.count", name);
    Report(key, static_cast<double>(samples.size()));
}

// The figures of one subject, each reported as "PREFIX.NAME VALUE".
class Figures {
public:
    explicit Figures(const std::string& prefix) : prefix_(prefix + ".") {}
    void Value(const std::string& name, double value) const { Report((prefix_ + name).c_str(), value); }
    void Samples(const std::string& name, const std::vector<double>& samples) const
    {
        ReportSamples((prefix_ + name).c_str(), samples);
    }

private:
    std::string prefix_;
};

// The peaks of another process, in KiB; false if they could not be read.
inline bool ReadPeakMemory(DWORD processId, double* peakWorkingSetKiB, double* peakPagefileKiB)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr)
        return false;
    PROCESS_MEMORY_COUNTERS counters;
    ZeroMemory(&counters, sizeof(counters));
    counters.cb = sizeof(counters);
    BOOL read = GetProcessMemoryInfo(process, &counters, sizeof(counters));
    CloseHandle(process);
    if (!read)
        return false;
    *peakWorkingSetKiB = static_cast<double>(counters.PeakWorkingSetSize) / 1024.0;
    *peakPagefileKiB = static_cast<double>(counters.PeakPagefileUsage) / 1024.0;
    return true;
}
