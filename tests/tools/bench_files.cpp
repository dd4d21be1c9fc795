// Times each file deletion primitive against the plain loop a program would
// write (FindFirstFileW/FindNextFileW, DeleteFileW for each entry,
// RemoveDirectoryW) over the same folder of empty files, in this process.
//
//   bench_files REPEATS SIZE...
//
// Every round fills the folder anew before each timed pass and measures
// every size and every primitive, each next to a plain pass of its own (which
// goes first alternates), so a busy spell falls on both sides of a pair.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "system/file_removal.h"
#include "tools/bench_common.h"
#include "tools/bench_folders.h"

namespace {

enum Primitive { kTree, kEmpty, kPrimitives };
const char* const kPrimitiveNames[kPrimitives] = {"tree", "empty"};

typedef PairedSeries Series;

void RunPrimitive(Primitive primitive, const std::wstring& folder)
{
    if (primitive == kTree)
        DeleteTreeViaShell(folder.c_str());
    else
        EmptyAndRemoveFolder(folder.c_str());
}

// One timed pass on a freshly filled folder; negative when the folder could
// not be made or the pass left something behind.
double TimedPass(const std::wstring& folder, int files, bool plain, Primitive primitive,
                 double* cpuMs)
{
    if (!Fill(folder, files))
        return -1.0;
    double cpuBefore = CpuMs();
    double started = NowMs();
    if (plain)
        PlainLoop(folder);
    else
        RunPrimitive(primitive, folder);
    double elapsed = NowMs() - started;
    double cpuAfter = CpuMs();
    *cpuMs = cpuBefore < 0 || cpuAfter < 0 ? -1.0 : cpuAfter - cpuBefore;
    return Exists(folder) ? -1.0 : elapsed;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    int repeats = _wtoi(argv[1]);
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i)
        sizes.push_back(_wtoi(argv[i]));
    std::wstring base = MakeScratchFolder(L"bench-files");
    std::wstring folder = base + L"\\Kestrix";
    // Something beside the folder that no pass may reach.
    std::wstring beside = base + L"\\beside.txt";
    if (!WriteTextFile(beside, "beside"))
        return 3;

    std::vector<Series> series(sizes.size() * kPrimitives);
    // One untimed pass of each kind first, so that no size pays for a cold start.
    for (int p = 0; p < kPrimitives; ++p) {
        double cpu = 0;
        if (TimedPass(folder, 100, false, static_cast<Primitive>(p), &cpu) < 0 ||
            TimedPass(folder, 100, true, kTree, &cpu) < 0) {
            fprintf(stderr, "warm-up pass left files behind\n");
            return 4;
        }
    }
    for (int r = 0; r < repeats; ++r) {
        for (size_t s = 0; s < sizes.size(); ++s) {
            for (int k = 0; k < kPrimitives; ++k) {
                Primitive primitive = static_cast<Primitive>((k + r) % kPrimitives);
                Series& row = series[s * kPrimitives + primitive];
                bool plainFirst = (r + k) % 2 == 0;
                double firstCpu = 0, secondCpu = 0;
                double first = TimedPass(folder, sizes[s], plainFirst, primitive, &firstCpu);
                double second = TimedPass(folder, sizes[s], !plainFirst, primitive, &secondCpu);
                if (first < 0 || second < 0) {
                    fprintf(stderr, "a %s pass of %d files left files behind\n",
                            kPrimitiveNames[primitive], sizes[s]);
                    return 5;
                }
                PassPair pair = row.Add(plainFirst, first, firstCpu, second, secondCpu);
                printf("files_pair %d %s %d %.3f %.3f cpu %.3f %.3f\n", sizes[s],
                       kPrimitiveNames[primitive], r, pair.own, pair.plain, pair.ownCpu, pair.plainCpu);
            }
        }
    }
    if (ReadWholeFile(beside) != "beside") {
        fprintf(stderr, "the file beside the folder was reached\n");
        return 6;
    }
    RemoveTestTree(base);

    for (size_t s = 0; s < sizes.size(); ++s) {
        for (int p = 0; p < kPrimitives; ++p) {
            ReportPairedSeries("files", sizes[s], kPrimitiveNames[p], series[s * kPrimitives + p]);
        }
    }
    return 0;
}
