// Times whole cleanup runs of the real program, from the click on Start
// Cleanup to the controls coming back, and reads its peak memory after each.
//
//   bench_cleanup_run clean REPEATS
//       runs on the prefix as it is (nothing of the vendor installed)
//   bench_cleanup_run products REPEATS [LISTNAME=]PACKAGE.msi...
//       installs the packages before each run (a LISTNAME also puts the
//       product into the endpoint suite's uninstall list; "XPV" is the
//       suite's primary product). Each run alternates with an identical
//       seeding on which the bench itself makes the same installer calls,
//       timed, so the installer's share can be told from the program's own.
//   bench_cleanup_run phases REPEATS
//       times the phases of a run one by one, in this process, on the real
//       dialog (needs the program's resources linked in)
//   bench_cleanup_run account REPEATS [[LISTNAME=]PACKAGE.msi...]
//       times whole runs in this process, on the real dialog, with and
//       without the account of what stays, in turn, each on the same
//       seeding: what the account costs
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/cleanup_dialog.h"
#include "app/resource_ids.h"
#include "maintenance/browser_cache.h"
#include "removal/class_registrations.h"
#include "removal/desktop_components.h"
#include "removal/endpoint_agent.h"
#include "removal/tunnel_client.h"
#include "run/cleanup_run.h"
#include "support/test_support.h"
#include "support/window_driver.h"
#include "system/cleanup_state.h"
#include "system/platform_probes.h"
#include "tools/bench_common.h"

namespace {

const wchar_t kListKey[] = L"Software\\Kestrix\\XPV\\Uninstall";
const wchar_t kVendorKey[] = L"Software\\Kestrix";
const DWORD kSettleMs = 500;

struct Package {
    std::wstring listName;  // empty when not in the uninstall list
    std::wstring msiPath;
    std::wstring productCode;
};

struct RunSample {
    double ms;
    double peakWorkingSetKiB;
    double peakPagefileKiB;
};

std::wstring ReadProductCode(const std::wstring& msiPath)
{
    std::wstring code;
    MSIHANDLE database = 0;
    if (MsiOpenDatabaseW(msiPath.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return code;
    MSIHANDLE view = 0;
    if (MsiDatabaseOpenViewW(database,
                             L"SELECT `Value` FROM `Property` WHERE `Property`='ProductCode'",
                             &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS) {
        MSIHANDLE record = 0;
        if (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
            wchar_t value[64];
            DWORD units = 64;
            if (MsiRecordGetStringW(record, 1, value, &units) == ERROR_SUCCESS)
                code = value;
            MsiCloseHandle(record);
        }
        MsiViewClose(view);
    }
    if (view != 0)
        MsiCloseHandle(view);
    MsiCloseHandle(database);
    return code;
}

bool IsPrimary(const Package& package)
{
    return lstrcmpiW(package.listName.c_str(), L"XPV") == 0;
}

void Unseed(const std::vector<Package>& packages)
{
    for (const Package& package : packages)
        ForgetProduct(package.productCode.c_str());
    DeleteKeyForTest(HKEY_LOCAL_MACHINE, kVendorKey, NativeView());
}

bool Seed(const std::vector<Package>& packages)
{
    Unseed(packages);
    for (const Package& package : packages) {
        UINT result = InstallPackage(package.msiPath);
        if (result != ERROR_SUCCESS || !IsProductInstalled(package.productCode.c_str())) {
            fprintf(stderr, "bench_cleanup_run: installing %ls gave %u\n", package.msiPath.c_str(),
                    result);
            return false;
        }
        if (!package.listName.empty() &&
            !SetStringValue(HKEY_LOCAL_MACHINE, kListKey, package.listName, package.productCode,
                            NativeView()))
            return false;
    }
    // The installer's own processes settle before either kind of removal.
    Sleep(kSettleMs);
    return true;
}

bool RunOnce(RunSample* sample)
{
    ProgramUnderTest program;
    if (!program.Start()) {
        fprintf(stderr, "bench_cleanup_run: the program's window did not appear\n");
        return false;
    }
    double start = NowMs();
    program.Click(IDC_START_CLEANUP);  // returns when the run is over
    sample->ms = NowMs() - start;
    if (!program.WaitForControls(5000)) {
        fprintf(stderr, "bench_cleanup_run: the controls did not come back\n");
        return false;
    }
    if (program.LogText().find(L"Registry Cleanup Successful") == std::wstring::npos) {
        fprintf(stderr, "bench_cleanup_run: the run did not get through\n");
        return false;
    }
    if (!ReadPeakMemory(program.ProcessId(), &sample->peakWorkingSetKiB, &sample->peakPagefileKiB)) {
        sample->peakWorkingSetKiB = 0;
        sample->peakPagefileKiB = 0;
    }
    program.Close();
    DWORD exitCode = 0;
    program.WaitForExit(10000, &exitCode);
    return true;
}

// The installer calls the program makes for these products, in its order
// and with its arguments; returns their total time, or a negative value if
// a removal failed.
double TimeInstallerCalls(const std::vector<Package>& packages)
{
    double total = 0;
    for (const Package& package : packages) {
        double start = NowMs();
        INSTALLSTATE state = MsiQueryProductStateW(package.productCode.c_str());
        MsiSetInternalUI(IsPrimary(package) ? INSTALLUILEVEL_BASIC : INSTALLUILEVEL_NONE, nullptr);
        MsiSetExternalUIW(nullptr, 0, nullptr);
        UINT result =
            MsiConfigureProductExW(package.productCode.c_str(), INSTALLLEVEL_MAXIMUM,
                                   INSTALLSTATE_ABSENT, L"REMOVE=ALL REBOOT=ReallySuppress");
        total += NowMs() - start;
        if (state != INSTALLSTATE_DEFAULT || result != ERROR_SUCCESS) {
            fprintf(stderr, "bench_cleanup_run: removing %ls gave %u\n", package.productCode.c_str(),
                    result);
            return -1;
        }
    }
    return total;
}

void ReportRuns(const char* name, const std::vector<RunSample>& runs)
{
    std::vector<double> ms;
    std::vector<double> workingSet;
    std::vector<double> pagefile;
    for (const RunSample& run : runs) {
        ms.push_back(run.ms);
        workingSet.push_back(run.peakWorkingSetKiB);
        pagefile.push_back(run.peakPagefileKiB);
    }
    const Figures figures(std::string("run.") + name);
    figures.Samples("ms", ms);
    figures.Value("peak_working_set_kib", Largest(workingSet));
    figures.Value("peak_pagefile_kib", Largest(pagefile));
}

int BenchClean(int repeats)
{
    std::vector<RunSample> runs;
    for (int r = 0; r < repeats; ++r) {
        RunSample sample;
        if (!RunOnce(&sample))
            return 1;
        runs.push_back(sample);
    }
    ReportRuns("clean", runs);
    return 0;
}

int BenchProducts(int repeats, const std::vector<Package>& packages)
{
    std::vector<RunSample> runs;
    std::vector<double> installer;
    int status = 0;
    for (int r = 0; r < repeats && status == 0; ++r) {
        RunSample sample;
        if (!Seed(packages) || !RunOnce(&sample)) {
            status = 1;
            break;
        }
        for (const Package& package : packages) {
            if (IsProductInstalled(package.productCode.c_str())) {
                fprintf(stderr, "bench_cleanup_run: the run left %ls installed\n",
                        package.productCode.c_str());
                status = 1;
            }
        }
        runs.push_back(sample);

        if (!Seed(packages)) {
            status = 1;
            break;
        }
        double ms = TimeInstallerCalls(packages);
        if (ms < 0)
            status = 1;
        installer.push_back(ms);
    }
    Unseed(packages);
    if (status != 0)
        return status;

    ReportRuns("products", runs);
    ReportSamples("installer.products.ms", installer);
    Report("installer.products.count", static_cast<double>(packages.size()));
    return 0;
}

// How many subkey names the class registration phase reads: each parent it
// searches, once.
double ClassPhaseSubkeys()
{
    double names = SubkeyCount(HKEY_CLASSES_ROOT, nullptr) +
                   SubkeyCount(HKEY_CURRENT_USER, L"Software\\Classes") +
                   SubkeyCount(HKEY_CLASSES_ROOT, L"CLSID") +
                   SubkeyCount(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID");
    if (IsNative64Bit())
        names += SubkeyCount(HKEY_CLASSES_ROOT, L"Wow6432Node\\CLSID");
    return names;
}

// The phases of a run in its order, each timed apart; the run itself adds
// only the log pane and the controls around them.
int BenchPhases(int repeats)
{
    const char* const names[] = {"endpoint_manager", "endpoint_control", "tunnel_client",
                                 "class_registrations", "desktop_components", "browser_caches"};
    const int kPhases = 6;
    std::vector<double> samples[kPhases];
    for (int r = 0; r < repeats; ++r) {
        TestWindow window(1);
        if (gCleanupDialog == nullptr) {
            fprintf(stderr, "bench_cleanup_run: no dialog from template %d\n", IDD_MAIN);
            return 1;
        }
        CleanupDialog& dialog = *gCleanupDialog;
        CleanupState state = {};
        state.dialog = &dialog;
        double lap[kPhases + 1];
        lap[0] = NowMs();
        RemoveEndpointManager(state);
        lap[1] = NowMs();
        RemoveEndpointControl(state);
        lap[2] = NowMs();
        RemoveTunnelClient(state);
        lap[3] = NowMs();
        CleanClassRegistrations(state);
        lap[4] = NowMs();
        RemoveDesktopComponents(dialog, state);
        lap[5] = NowMs();
        ClearBrowserCaches(state);
        lap[6] = NowMs();
        for (int p = 0; p < kPhases; ++p)
            samples[p].push_back(lap[p + 1] - lap[p]);
    }
    for (int p = 0; p < kPhases; ++p) {
        Figures(std::string("phase.") + names[p]).Samples("ms", samples[p]);
    }
    Report("phase.class_registrations.subkeys_read", ClassPhaseSubkeys());
    return 0;
}

// One whole run in this process, on a fresh window; its time in ms, or a
// negative value when it could not run.
double TimeRun(bool account)
{
    TestWindow window(1);
    if (gCleanupDialog == nullptr) {
        fprintf(stderr, "bench_cleanup_run: no dialog from template %d\n", IDD_MAIN);
        return -1;
    }
    KeepAccountOfWhatStays(account);
    double start = NowMs();
    RunCleanup(*gCleanupDialog);
    double ms = NowMs() - start;
    KeepAccountOfWhatStays(true);
    ForgetCleanupState();
    return ms;
}

int BenchAccount(int repeats, const std::vector<Package>& packages)
{
    std::vector<double> with, without;
    for (int r = 0; r < repeats; ++r) {
        // Which goes first alternates, so that neither always meets a
        // prefix the other has just warmed.
        for (int turn = 0; turn < 2; ++turn) {
            bool account = (r + turn) % 2 == 0;
            if (!packages.empty() && !Seed(packages))
                return 1;
            double ms = TimeRun(account);
            if (ms < 0)
                return 1;
            (account ? with : without).push_back(ms);
        }
    }
    Unseed(packages);
    ReportSamples("run.account.with.ms", with);
    ReportSamples("run.account.without.ms", without);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        fprintf(stderr,
                "usage: bench_cleanup_run clean|phases|products|account REPEATS [[NAME=]PACKAGE.msi...]\n");
        return 2;
    }
    std::wstring mode = argv[1];
    int repeats = _wtoi(argv[2]);
    if (mode == L"clean")
        return BenchClean(repeats);
    if (mode == L"phases")
        return BenchPhases(repeats);

    std::vector<Package> packages;
    for (int a = 3; a < argc; ++a) {
        std::wstring argument = argv[a];
        Package package;
        size_t equals = argument.find(L'=');
        if (equals != std::wstring::npos) {
            package.listName = argument.substr(0, equals);
            argument = argument.substr(equals + 1);
        }
        package.msiPath = MsiPath(argument.c_str());
        package.productCode = ReadProductCode(package.msiPath);
        if (package.productCode.empty()) {
            fprintf(stderr, "bench_cleanup_run: no product code in %ls\n", package.msiPath.c_str());
            return 1;
        }
        packages.push_back(package);
    }
    if (mode == L"account")
        return BenchAccount(repeats, packages);
    return BenchProducts(repeats, packages);
}
