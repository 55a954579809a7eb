// The core-service actions' own overhead: wall time of vrxCA_StartSentrel and
// vrxCA_StopSentrel against the stand-in service registered as SntSvc, minus the sleeps the
// library takes and minus the time spent inside the service control manager's calls (both
// counted by pass-through fakes of the library's imports). The baseline, measured in the
// same run, is the same start and stop done with bare service calls and the same sleeps.
#include "CustomActions.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "trace/CTrace.h"
#include "BenchOwnTime.h"
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
constexpr int kRounds = 9;
const wchar_t kService[] = L"SntSvc";

void CountLibraryWaits(CFaultInjector& injector)
{
    injector.Replace("kernel32.dll", "Sleep", &CountingSleep);
    TimeServiceControl(injector);
}

double TimedSleep(DWORD ms)
{
    const double start = Seconds();
    Sleep(ms);
    return (Seconds() - start) * 1000;
}

// The baseline: what a start or stop needs at the least, with the same sleeps the library
// takes (one poll after the request, the settle delay after a stop).
ActionTiming BareStart()
{
    ActionTiming timing;
    const double start = Seconds();
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, kService, SERVICE_QUERY_STATUS | SERVICE_START);
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    StartServiceW(service, 0, nullptr);
    timing.sleptMs += TimedSleep(1000);
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    timing.wallMs = (Seconds() - start) * 1000;
    if (status.dwCurrentState != SERVICE_RUNNING)
    {
        std::printf("baseline start did not end running (state %lu)\n", status.dwCurrentState);
    }
    return timing;
}

ActionTiming BareStop()
{
    ActionTiming timing;
    const double start = Seconds();
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, kService, SERVICE_QUERY_STATUS | SERVICE_STOP);
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    timing.sleptMs += TimedSleep(1000);
    QueryServiceStatus(service, &status);
    timing.sleptMs += TimedSleep(5000);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    timing.wallMs = (Seconds() - start) * 1000;
    if (status.dwCurrentState != SERVICE_STOPPED)
    {
        std::printf("baseline stop did not end stopped (state %lu)\n", status.dwCurrentState);
    }
    return timing;
}

void Report(const char* action, const std::vector<ActionTiming>& library, const std::vector<double>& bare)
{
    std::vector<double> wall, slept, calls, own, working;
    const DWORD asked = library.front().sleepsAskedMs;
    for (const ActionTiming& timing : library)
    {
        wall.push_back(timing.wallMs);
        slept.push_back(timing.sleptMs);
        calls.push_back(timing.inSystemMs);
        own.push_back(timing.OwnMs());
        working.push_back(timing.WorkingMs());
    }
    std::printf("  %-18s wall %7.1f ms, slept %7.1f ms (asked %lu), in service calls %5.1f ms, library's own "
                "%5.2f ms "
                "(max %5.2f); working (wall - slept) %5.1f ms against bare calls %5.1f ms: %.2f\n",
                action, Median(wall), Median(slept), asked, Median(calls), Median(own),
                *std::max_element(own.begin(), own.end()), Median(working), Median(bare),
                Median(working) / Median(bare));
}

void Run(const char* title)
{
    std::vector<ActionTiming> starts, stops;
    std::vector<double> bareStarts, bareStops;
    for (int round = 0; round < kRounds; ++round)
    {
        starts.push_back(TimeAction([] { vrxCA_StartSentrel(0); }));
        stops.push_back(TimeAction([] { vrxCA_StopSentrel(0); }));
        const ActionTiming bareStart = BareStart();
        const ActionTiming bareStop = BareStop();
        bareStarts.push_back(bareStart.WorkingMs());
        bareStops.push_back(bareStop.WorkingMs());
        if (ServiceState(kService) != SERVICE_STOPPED)
        {
            std::printf("round %d: the service did not end stopped\n", round);
        }
    }
    std::printf("%s, medians of %d rounds:\n", title, kRounds);
    Report("vrxCA_StartSentrel", starts, bareStarts);
    Report("vrxCA_StopSentrel", stops, bareStops);
}
} // namespace

int main()
{
    CTestService core(kService);
    CFaultInjector injector;
    CountLibraryWaits(injector);

    Run("Trace off");

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring traceFile = std::wstring(temp) + L"msica-bench-service.log";
    {
        CTestKey global(L"SOFTWARE\\Debug");
        CTestKey application(L"SOFTWARE\\Debug\\MsiCA");
        application.SetDword(L"FileDebugLevel", 6).SetString(L"TraceFile", traceFile);
        // The trace reads its configuration when the library loads; this run needs it now.
        g_Trace.ReadConfig();
        Run("Trace at level 6 into a file");
    }
    g_Trace.ReadConfig();
    DeleteFileW(traceFile.c_str());
    return 0;
}
