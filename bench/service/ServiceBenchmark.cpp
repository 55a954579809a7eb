// The core-service actions' own overhead: wall time of vrxCA_StartSentrel and
// vrxCA_StopSentrel against the stand-in service registered as SntSvc, minus the sleeps the
// library takes and minus the time spent inside the service control manager's calls (both
// counted by pass-through fakes of the library's imports). The baseline, measured in the
// same run, is the same start and stop done with bare service calls and the same sleeps.
#include "CustomActions.h"
#include "support/FaultInjection.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "trace/CTrace.h"
#include "BenchClock.h"
#include <windows.h>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{
constexpr int kRounds = 9;
const wchar_t kService[] = L"SntSvc";

// Sleeps of the library, passed on to the real Sleep: what they asked for and how long
// they took (a sleep overshoots by a little, which is not the library's work either).
DWORD g_librarySleepsMs = 0;
double g_librarySleptMs = 0;
void WINAPI CountingSleep(DWORD ms)
{
    g_librarySleepsMs += ms;
    const double start = Seconds();
    Sleep(ms);
    g_librarySleptMs += (Seconds() - start) * 1000;
}

// Time the library spends inside service control manager calls.
double g_inServiceCallsMs = 0;
template <class Function, class... Arguments>
auto Timed(const char* name, Arguments... arguments)
{
    const double start = Seconds();
    const auto result = reinterpret_cast<Function>(CFaultInjector::Original(name))(arguments...);
    g_inServiceCallsMs += (Seconds() - start) * 1000;
    return result;
}
SC_HANDLE WINAPI TimedOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access)
{
    return Timed<decltype(&OpenSCManagerW)>("OpenSCManagerW", machine, database, access);
}
SC_HANDLE WINAPI TimedOpenServiceW(SC_HANDLE database, LPCWSTR name, DWORD access)
{
    return Timed<decltype(&OpenServiceW)>("OpenServiceW", database, name, access);
}
BOOL WINAPI TimedCloseServiceHandle(SC_HANDLE handle)
{
    return Timed<decltype(&CloseServiceHandle)>("CloseServiceHandle", handle);
}
BOOL WINAPI TimedQueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status)
{
    return Timed<decltype(&QueryServiceStatus)>("QueryServiceStatus", service, status);
}
BOOL WINAPI TimedQueryServiceConfigW(SC_HANDLE service, LPQUERY_SERVICE_CONFIGW config, DWORD bytes,
                                     LPDWORD needed)
{
    return Timed<decltype(&QueryServiceConfigW)>("QueryServiceConfigW", service, config, bytes, needed);
}
BOOL WINAPI TimedStartServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments)
{
    return Timed<decltype(&StartServiceW)>("StartServiceW", service, count, arguments);
}
BOOL WINAPI TimedControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    return Timed<decltype(&ControlService)>("ControlService", service, control, status);
}
BOOL WINAPI TimedEnumDependentServicesW(SC_HANDLE service, DWORD state, LPENUM_SERVICE_STATUSW records,
                                        DWORD bytes, LPDWORD needed, LPDWORD count)
{
    return Timed<decltype(&EnumDependentServicesW)>("EnumDependentServicesW", service, state, records, bytes,
                                                    needed, count);
}

void CountLibraryWaits(CFaultInjector& injector)
{
    injector.Replace("kernel32.dll", "Sleep", &CountingSleep);
    injector.Replace("advapi32.dll", "OpenSCManagerW", &TimedOpenSCManagerW);
    injector.Replace("advapi32.dll", "OpenServiceW", &TimedOpenServiceW);
    injector.Replace("advapi32.dll", "CloseServiceHandle", &TimedCloseServiceHandle);
    injector.Replace("advapi32.dll", "QueryServiceStatus", &TimedQueryServiceStatus);
    injector.Replace("advapi32.dll", "QueryServiceConfigW", &TimedQueryServiceConfigW);
    injector.Replace("advapi32.dll", "StartServiceW", &TimedStartServiceW);
    injector.Replace("advapi32.dll", "ControlService", &TimedControlService);
    injector.Replace("advapi32.dll", "EnumDependentServicesW", &TimedEnumDependentServicesW);
}

struct Timing
{
    double wallMs = 0;
    double sleptMs = 0;
    double inServiceCallsMs = 0;
    DWORD sleepsAskedMs = 0;
    // What the library itself spends: neither waiting nor inside the system.
    double OwnMs() const { return wallMs - sleptMs - inServiceCallsMs; }
};

template <class Action>
Timing TimeLibrary(Action&& action)
{
    g_librarySleepsMs = 0;
    g_librarySleptMs = 0;
    g_inServiceCallsMs = 0;
    const double start = Seconds();
    action();
    return {(Seconds() - start) * 1000, g_librarySleptMs, g_inServiceCallsMs, g_librarySleepsMs};
}

double TimedSleep(DWORD ms)
{
    const double start = Seconds();
    Sleep(ms);
    return (Seconds() - start) * 1000;
}

// The baseline: what a start or stop needs at the least, with the same sleeps the library
// takes (one poll after the request, the settle delay after a stop).
Timing BareStart()
{
    Timing timing;
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

Timing BareStop()
{
    Timing timing;
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

void Report(const char* action, const std::vector<Timing>& library, const std::vector<double>& bare)
{
    std::vector<double> wall, slept, calls, own, working;
    const DWORD asked = library.front().sleepsAskedMs;
    for (const Timing& timing : library)
    {
        wall.push_back(timing.wallMs);
        slept.push_back(timing.sleptMs);
        calls.push_back(timing.inServiceCallsMs);
        own.push_back(timing.OwnMs());
        working.push_back(timing.wallMs - timing.sleptMs);
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
    std::vector<Timing> starts, stops;
    std::vector<double> bareStarts, bareStops;
    for (int round = 0; round < kRounds; ++round)
    {
        starts.push_back(TimeLibrary([] { vrxCA_StartSentrel(0); }));
        stops.push_back(TimeLibrary([] { vrxCA_StopSentrel(0); }));
        const Timing bareStart = BareStart();
        const Timing bareStop = BareStop();
        bareStarts.push_back(bareStart.wallMs - bareStart.sleptMs);
        bareStops.push_back(bareStop.wallMs - bareStop.sleptMs);
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
