// CServiceMgr against Wine's real service control manager, with the stand-in service.
// Sleeps run on the virtual clock; each one also lets a little real time pass, so that
// the real service gets on while the library "waits".
#include "service/CServiceMgr.h"
#include "support/FaultInjection.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <map>

namespace
{
int g_startCalls = 0;
int g_controlCalls = 0;

BOOL WINAPI CountingStartServiceW(SC_HANDLE service, DWORD count, LPCWSTR* arguments)
{
    ++g_startCalls;
    return reinterpret_cast<decltype(&StartServiceW)>(CFaultInjector::Original("StartServiceW"))(
        service, count, arguments);
}

BOOL WINAPI CountingControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    ++g_controlCalls;
    return reinterpret_cast<decltype(&ControlService)>(CFaultInjector::Original("ControlService"))(
        service, control, status);
}

// The virtual clock with real services behind it, and the start and control calls counted.
struct RealScmFixture
{
    RealScmFixture() : clock(injector)
    {
        clock.OnSleep(&LetServicesRun);
        injector.Replace("advapi32.dll", "StartServiceW", &CountingStartServiceW);
        injector.Replace("advapi32.dll", "ControlService", &CountingControlService);
        g_startCalls = 0;
        g_controlCalls = 0;
    }
    // The sleeps since the last call.
    std::vector<DWORD> TakeSleeps()
    {
        std::vector<DWORD> sleeps(clock.Sleeps().begin() + taken, clock.Sleeps().end());
        taken = clock.Sleeps().size();
        return sleeps;
    }

    CFaultInjector injector;
    CVirtualClock clock;
    size_t taken = 0;
};

// Wine's EnumDependentServicesW reports no dependents at all; this answers it as Windows
// does, for the real services behind the library's handles, filtered by their real state.
class CDependentsAnswer
{
  public:
    CDependentsAnswer(CFaultInjector& injector, std::map<std::wstring, std::vector<std::wstring>> dependents)
    {
        s_dependents = std::move(dependents);
        s_handleNames.clear();
        injector.Replace("advapi32.dll", "OpenServiceW", &RecordingOpenServiceW);
        injector.Replace("advapi32.dll", "EnumDependentServicesW", &AnsweringEnumDependentServicesW);
    }

  private:
    static SC_HANDLE WINAPI RecordingOpenServiceW(SC_HANDLE database, LPCWSTR name, DWORD access)
    {
        const SC_HANDLE service = reinterpret_cast<decltype(&OpenServiceW)>(
            CFaultInjector::Original("OpenServiceW"))(database, name, access);
        if (service)
        {
            s_handleNames[service] = name;
        }
        return service;
    }

    static BOOL WINAPI AnsweringEnumDependentServicesW(SC_HANDLE service, DWORD filter,
                                                       LPENUM_SERVICE_STATUSW records, DWORD bytes,
                                                       LPDWORD needed, LPDWORD count)
    {
        std::vector<std::pair<std::wstring, DWORD>> matching;
        for (const auto& name : s_dependents[s_handleNames[service]])
        {
            const DWORD state = ServiceState(name);
            if ((filter & (state == SERVICE_STOPPED ? SERVICE_INACTIVE : SERVICE_ACTIVE)) != 0)
            {
                matching.emplace_back(name, state);
            }
        }
        DWORD size = static_cast<DWORD>(matching.size() * sizeof(ENUM_SERVICE_STATUSW));
        for (const auto& entry : matching)
        {
            size += static_cast<DWORD>((entry.first.size() + 1) * sizeof(wchar_t));
        }
        *count = 0;
        *needed = size;
        if (bytes < size)
        {
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        auto* text = reinterpret_cast<wchar_t*>(records + matching.size());
        for (const auto& entry : matching)
        {
            ENUM_SERVICE_STATUSW& record = records[(*count)++];
            record = ENUM_SERVICE_STATUSW{};
            wcscpy(text, entry.first.c_str());
            record.lpServiceName = record.lpDisplayName = text;
            record.ServiceStatus.dwCurrentState = entry.second;
            text += entry.first.size() + 1;
        }
        return TRUE;
    }

    static std::map<std::wstring, std::vector<std::wstring>> s_dependents;
    static std::map<SC_HANDLE, std::wstring> s_handleNames;
};
std::map<std::wstring, std::vector<std::wstring>> CDependentsAnswer::s_dependents;
std::map<SC_HANDLE, std::wstring> CDependentsAnswer::s_handleNames;

std::vector<std::wstring> Names(const DependentList& list)
{
    std::vector<std::wstring> names;
    for (DWORD index = 0; index < list.Count(); ++index)
    {
        names.push_back(list[index].lpServiceName);
    }
    return names;
}
} // namespace

TEST(ServiceMgrScm, StartsAndStopsTheStandInAndWaitsForIt)
{
    CTestService service(L"MsiCATestStartStop",
                         L"--start-pending 400 --start-hint 2000 --stop-pending 300 --stop-hint 1500");
    RealScmFixture fixture;
    CTraceCapture trace(4);
    CServiceMgr manager;
    ASSERT_EQ(0u, manager.OpenDatabase());

    EXPECT_EQ(0u, manager.StartSvc(service.Name().c_str(), 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(service.Name()));
    EXPECT_EQ(1, g_startCalls);
    std::vector<DWORD> sleeps = fixture.TakeSleeps();
    ASSERT_FALSE(sleeps.empty());
    // The first wait uses the hint read before the start (none: one second), then the
    // service's own start hint.
    EXPECT_EQ(1000u, sleeps[0]);
    EXPECT_TRUE(std::all_of(sleeps.begin() + 1, sleeps.end(), [](DWORD ms) { return ms == 2000; }));
    EXPECT_TRUE(trace.InOrder({L"Try to start \"MsiCATestStartStop\" service ...",
                               L"Current state 1 (!= SERVICE_RUNNING)", L"Wait hint 0 mseconds",
                               L"Sleep 1000 mseconds ...", L"OK! Service started!",
                               L".. start of service \"MsiCATestStartStop\" completed (RetCode 0x0)!"}));

    // Already running: no start request, no wait, no state line.
    trace.Clear();
    EXPECT_EQ(0u, manager.StartSvc(service.Name().c_str(), 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(1, g_startCalls);
    EXPECT_TRUE(fixture.TakeSleeps().empty());
    EXPECT_FALSE(trace.Contains(L"Current state"));

    // A process service gets five seconds to exit after it reports "stopped".
    EXPECT_EQ(0u, manager.StopSvc(service.Name().c_str(), true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(service.Name()));
    EXPECT_EQ(1, g_controlCalls);
    sleeps = fixture.TakeSleeps();
    ASSERT_GE(sleeps.size(), 2u);
    EXPECT_EQ(1500u, sleeps.front());
    EXPECT_EQ(5000u, sleeps.back());
    EXPECT_TRUE(trace.InOrder({L"Stop service \"MsiCATestStartStop\"", L"Current state: 4: (running)",
                               L"Service (type 0x10) accepts STOP control - try to stop service now ...",
                               L"OK! Service signaled status \"stopped\"!",
                               L"Waiting additional 5 seconds to unload driver or exit process ...",
                               L".. assume that handles are closed now!",
                               L"Stop service \"MsiCATestStartStop\" (RetCode 0x0)"}));

    // Already stopped: no control, no settle delay.
    trace.Clear();
    EXPECT_EQ(0u, manager.StopSvc(service.Name().c_str(), true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(1, g_controlCalls);
    EXPECT_TRUE(fixture.TakeSleeps().empty());
    EXPECT_TRUE(trace.Contains(L"Current state: 1: (stopped)"));
    EXPECT_EQ(0u, manager.CloseDatabase());
    EXPECT_TRUE(trace.Contains(L"Service control manager database successfully closed!"));
}

TEST(ServiceMgrScm, DisabledServicesMissingNamesAndAClosedDatabase)
{
    CTestService disabled(L"MsiCATestDisabled", L"", SERVICE_DISABLED);
    RealScmFixture fixture;
    CServiceMgr manager;

    // Nothing works on a closed database.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              manager.StartSvc(L"MsiCATestDisabled", 0, nullptr, true, 1000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), manager.StopSvc(L"MsiCATestDisabled", true, 1000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), manager.DelSvc(L"MsiCATestDisabled"));
    EXPECT_EQ(0xFFFFFFFFu, manager.CreateSvc(L"MsiCATestDisabled", L"C:\\x.sys", L"x"));
    EXPECT_EQ(0u, manager.CloseDatabase());
    EXPECT_TRUE(ServiceExists(L"MsiCATestDisabled"));

    ASSERT_EQ(0u, manager.OpenDatabase());
    {
        CTraceCapture trace(6);
        EXPECT_EQ(1u,
                  manager.StartSvc(L"MsiCATestDisabled", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
        EXPECT_EQ(0, g_startCalls);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"MsiCATestDisabled"));
        EXPECT_TRUE(trace.Contains(L"completed (RetCode 0x1)!"));

        trace.Clear();
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_ARGUMENTS), manager.StopSvc(nullptr, true, 1000));
        EXPECT_TRUE(trace.Lines().empty());
        EXPECT_EQ(0u, manager.StartSvc(L"", 0, nullptr, true, 1000));
        EXPECT_EQ(0u, manager.StartSvc(nullptr, 0, nullptr, true, 1000));
        EXPECT_EQ(0, g_startCalls);

        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST),
                  manager.StartSvc(L"MsiCATestMissing", 0, nullptr, true, 1000));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST),
                  manager.StopSvc(L"MsiCATestMissing", true, 1000));
        trace.Clear();
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), manager.DelSvc(L"MsiCATestMissing"));
        EXPECT_TRUE(trace.Contains(L"ERROR 0x424! Service \"MsiCATestMissing\" could not be opened!"));
        EXPECT_TRUE(trace.Contains(
            L"CServiceMgr (DelSvc): Delete service \"MsiCATestMissing\" done (RetCode 0x424)"));

        trace.Clear();
        EXPECT_TRUE(manager.IsRegistered(L"MsiCATestDisabled"));
        EXPECT_TRUE(trace.Contains(L"QueryServiceConfig for \"MsiCATestDisabled\" OK"));
        EXPECT_FALSE(manager.IsRegistered(L"MsiCATestMissing"));
        EXPECT_TRUE(trace.Contains(L"WARNING! OpenService() \"MsiCATestMissing\" failed (ErrorCode 0x424)!"));
        EXPECT_TRUE(fixture.TakeSleeps().empty());
    }
    EXPECT_EQ(0u, manager.CloseDatabase());
    CTraceCapture trace(1);
    EXPECT_FALSE(manager.IsRegistered(L"MsiCATestDisabled"));
    EXPECT_TRUE(manager.GetDependents(L"MsiCATestDisabled", SERVICE_INACTIVE).Empty());
    EXPECT_EQ(2u, trace.Count(L"ERROR! Service control manager not opened!"));
}

TEST(ServiceMgrScm, DependentsStartLastToFirstAndStopFirstToLast)
{
    CTestService base(L"MsiCATestBase");
    CTestService first(L"MsiCATestDepA", L"", SERVICE_DEMAND_START, {L"MsiCATestBase"});
    CTestService second(L"MsiCATestDepB", L"", SERVICE_DEMAND_START, {L"MsiCATestBase"});
    CTestService nested(L"MsiCATestDepC", L"", SERVICE_DEMAND_START, {L"MsiCATestDepA"});
    RealScmFixture fixture;
    CDependentsAnswer dependents(fixture.injector, {{L"MsiCATestBase", {L"MsiCATestDepA", L"MsiCATestDepB"}},
                                                    {L"MsiCATestDepA", {L"MsiCATestDepC"}}});
    CServiceMgr manager;
    ASSERT_EQ(0u, manager.OpenDatabase());
    EXPECT_EQ(std::vector<std::wstring>({L"MsiCATestDepA", L"MsiCATestDepB"}),
              Names(manager.GetDependents(L"MsiCATestBase", SERVICE_INACTIVE)));
    EXPECT_TRUE(manager.GetDependents(L"MsiCATestBase", SERVICE_ACTIVE).Empty());
    {
        CTraceCapture trace(4);
        EXPECT_EQ(0u, manager.StartSvc(L"MsiCATestBase", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
        for (const wchar_t* name : {L"MsiCATestBase", L"MsiCATestDepA", L"MsiCATestDepB", L"MsiCATestDepC"})
        {
            EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(name)) << Narrow(name);
        }
        // Last to first; DepA brings up its own dependent before DepA's start is complete.
        EXPECT_TRUE(trace.InOrder({L"Try to start \"MsiCATestBase\"", L"OK! Service started!",
                                   L"Try to start \"MsiCATestDepB\"", L"Try to start \"MsiCATestDepA\"",
                                   L"Try to start \"MsiCATestDepC\"",
                                   L"start of service \"MsiCATestDepC\" completed (RetCode 0x0)",
                                   L"start of service \"MsiCATestDepA\" completed (RetCode 0x0)",
                                   L"start of service \"MsiCATestBase\" completed (RetCode 0x0)"}));
    }
    EXPECT_EQ(std::vector<std::wstring>({L"MsiCATestDepA", L"MsiCATestDepB"}),
              Names(manager.GetDependents(L"MsiCATestBase", SERVICE_ACTIVE)));

    CTraceCapture trace(4);
    EXPECT_EQ(0u, manager.StopSvc(L"MsiCATestBase", true, CServiceMgr::kDefaultTimeoutMs));
    for (const wchar_t* name : {L"MsiCATestBase", L"MsiCATestDepA", L"MsiCATestDepB", L"MsiCATestDepC"})
    {
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(name)) << Narrow(name);
    }
    // First to last, each after its own dependents, the base service last.
    EXPECT_TRUE(trace.InOrder(
        {L"Stop service \"MsiCATestBase\"", L"Stop service \"MsiCATestDepA\"",
         L"Stop service \"MsiCATestDepC\" (RetCode 0x0)", L"Stop service \"MsiCATestDepA\" (RetCode 0x0)",
         L"Stop service \"MsiCATestDepB\" (RetCode 0x0)", L"Stop service \"MsiCATestBase\" (RetCode 0x0)"}));
    EXPECT_EQ(4u, trace.Count(L"Waiting additional 5 seconds"));
}

TEST(ServiceMgrScm, DelSvcStopsDeletesAndConfirmsInTheRegistry)
{
    CTestService running(L"MsiCATestDelete", L"--stop-pending 200 --stop-hint 1000");
    ASSERT_TRUE(running.Start());
    RealScmFixture fixture;
    CTraceCapture trace(4);
    CServiceMgr manager;
    ASSERT_EQ(0u, manager.OpenDatabase());

    EXPECT_EQ(0u, manager.DelSvc(L"MsiCATestDelete"));
    EXPECT_FALSE(ServiceExists(L"MsiCATestDelete"));
    EXPECT_FALSE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\MsiCATestDelete"));
    EXPECT_TRUE(trace.InOrder(
        {L"Delete service \"MsiCATestDelete\"",
         L"Service \"MsiCATestDelete\"  sucessfully stopped - delete service now!",
         L"Service \"MsiCATestDelete\"  sucessfully deleted!",
         L"CServiceMgr (DelSvc):   check registry whether service is finally deleted (retry #0)...",
         L"CServiceMgr (DelSvc):     registry key for service no longer existing, service deleted",
         L"CServiceMgr (DelSvc): Delete service \"MsiCATestDelete\" done (RetCode 0x0)"}));
    EXPECT_EQ(5000u, fixture.TakeSleeps().back());

    // A service that refuses the stop control is marked for deletion all the same.
    CTestService stubborn(L"MsiCATestStubborn", L"--no-stop");
    ASSERT_TRUE(stubborn.Start());
    trace.Clear();
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), manager.DelSvc(L"MsiCATestStubborn"));
    EXPECT_EQ(0, g_controlCalls - 1); // only the first service got the stop control
    EXPECT_TRUE(trace.Contains(L"WARNING! Stop service MsiCATestStubborn failed! Delete service now!"));
    EXPECT_FALSE(trace.Contains(L"check registry"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"MsiCATestStubborn"));

    trace.Clear();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), manager.DelSvc(L"MsiCATestStubborn"));
    EXPECT_TRUE(trace.Contains(L"ERROR! Service MsiCATestStubborn is already marked for deletion"));
    EXPECT_FALSE(trace.Contains(L"check registry"));
}

TEST(ServiceMgrScm, CreateSvcRegistersAnAutoStartKernelDriver)
{
    const wchar_t* const name = L"MsiCATestCreate";
    RemoveService(name);
    RealScmFixture fixture;
    CTraceCapture trace(4);
    CServiceMgr manager;
    ASSERT_EQ(0u, manager.OpenDatabase());

    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, manager.CreateSvc(name, L"C:\\windows\\system32\\drivers\\MsiCATestCreate.sys",
                                    L"MsiCA Test Driver"));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_TRUE(
        trace.InOrder({L"Create service MsiCATestCreate ..", L"   Display name:  MsiCA Test Driver",
                       L"   Bin path:      C:\\windows\\system32\\drivers\\MsiCATestCreate.sys",
                       L"   Start type:    2", L"   Error control: 0", L"CreateService() returned handle 0x",
                       L"CreateService finished (RetCode 0x0)!"}));
    {
        CServiceHandle service(OpenServiceW(manager.Database(), name, SERVICE_QUERY_CONFIG));
        ASSERT_TRUE(service);
        const ServiceConfig config = manager.QueryConfig(service.Get());
        ASSERT_TRUE(config);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config->dwServiceType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_IGNORE), config->dwErrorControl);
        EXPECT_STREQ(L"MsiCA Test Driver", config->lpDisplayName);
    }

    trace.Clear();
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), manager.CreateSvc(name, L"C:\\other.sys", L"Other"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());
    EXPECT_TRUE(trace.Contains(L"ERROR 1073! Create service FAILED!"));

    // A stopped driver is deleted without a stop control or a settle delay.
    EXPECT_EQ(0u, manager.DelSvc(name));
    EXPECT_FALSE(ServiceExists(name));
    EXPECT_EQ(0, g_controlCalls);
    for (DWORD ms : fixture.TakeSleeps())
    {
        EXPECT_EQ(100u, ms);
    }
}
