// CServiceMgr against Wine's service control manager with the stand-in service. Sleeps run
// on the virtual clock; each lets a little real time pass, so that the services get on.
#include "service/CServiceMgr.h"
#include "support/FakeScm.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <map>

namespace
{
constexpr DWORD kTimeout = CServiceMgr::kDefaultTimeoutMs;
const wchar_t* const kFamily[] = {L"MsiCATestBase", L"MsiCATestDepA", L"MsiCATestDepB", L"MsiCATestDepC"};
std::map<std::wstring, std::vector<std::wstring>> g_dependents{
    {L"MsiCATestBase", {L"MsiCATestDepA", L"MsiCATestDepB"}}, {L"MsiCATestDepA", {L"MsiCATestDepC"}}};
std::map<SC_HANDLE, std::wstring> g_serviceNames; // of the handles the library opened
int g_startCalls = 0;

// The real services with the start requests counted and, since Wine's EnumDependentServicesW
// knows no dependents, the family above answered as Windows does, by their real states; the
// manager's database open.
struct RealScm
{
    RealScm() : clock(injector)
    {
        clock.OnSleep(&LetServicesRun);
        g_startCalls = 0;
        SCM_FAKE(injector, StartServiceW, [](auto... arguments) {
            ++g_startCalls;
            return ORIGINAL(StartServiceW)(arguments...);
        });
        SCM_FAKE(injector, OpenServiceW, [](SC_HANDLE database, LPCWSTR name, DWORD access) {
            const SC_HANDLE service = ORIGINAL(OpenServiceW)(database, name, access);
            g_serviceNames[service] = name;
            return service;
        });
        SCM_FAKE(injector, EnumDependentServicesW,
                 [](SC_HANDLE service, DWORD filter, LPENUM_SERVICE_STATUSW records, DWORD bytes,
                    LPDWORD needed, LPDWORD count) -> BOOL {
                     auto& names = g_dependents[g_serviceNames[service]];
                     *count = 0;
                     *needed = static_cast<DWORD>(names.size() * sizeof(*records));
                     if (bytes < *needed)
                     {
                         SetLastError(ERROR_MORE_DATA);
                         return FALSE;
                     }
                     for (std::wstring& name : names)
                     {
                         const DWORD state = ServiceState(name);
                         if (filter & (state == SERVICE_STOPPED ? SERVICE_INACTIVE : SERVICE_ACTIVE))
                             records[(*count)++] = {name.data(), name.data(), CFakeScm::Status(state)};
                     }
                     return TRUE;
                 });
        EXPECT_EQ(0u, manager.OpenDatabase());
    }
    CFaultInjector injector;
    CVirtualClock clock;
    CTraceCapture trace{4};
    CServiceMgr manager;
};
} // namespace

TEST(ServiceMgrScm, StartsAndStopsDependentsInTheirOrders)
{
    CTestService base(kFamily[0], L"--start-pending 300 --start-hint 2000");
    CTestService depA(kFamily[1]), depB(kFamily[2]), depC(kFamily[3]);
    RealScm scm;

    // The first wait follows the hint read before the start (none: one second), the next
    // ones the service's own; dependents start last to first, each with its own.
    EXPECT_EQ(0u, scm.manager.StartSvc(L"MsiCATestBase", 0, nullptr, true, kTimeout));
    for (const wchar_t* name : kFamily)
        EXPECT_EQ(DWORD{SERVICE_RUNNING}, ServiceState(name)) << Narrow(name);
    EXPECT_EQ(4, g_startCalls);
    EXPECT_TRUE(scm.trace.InOrder({L"Sleep 1000 mseconds", L"Sleep 2000 mseconds", L"start \"MsiCATestDepB\"",
                                   L"start \"MsiCATestDepA\"", L"start \"MsiCATestDepC\""}));

    // Running already: no start request, no wait, no state line.
    scm.trace.Clear();
    const size_t sleeps = scm.clock.Sleeps().size();
    EXPECT_EQ(0u, scm.manager.StartSvc(L"MsiCATestBase", 0, nullptr, true, kTimeout));
    EXPECT_EQ(4, g_startCalls);
    EXPECT_EQ(sleeps, scm.clock.Sleeps().size());
    EXPECT_FALSE(scm.trace.Contains(L"Current state"));

    // Dependents stop first to last, each after its own; a process gets five seconds to exit.
    EXPECT_EQ(0u, scm.manager.StopSvc(L"MsiCATestBase", true, kTimeout));
    for (const wchar_t* name : kFamily)
        EXPECT_EQ(DWORD{SERVICE_STOPPED}, ServiceState(name)) << Narrow(name);
    EXPECT_TRUE(scm.trace.InOrder({L"\"MsiCATestDepC\" (RetCode 0x0)", L"\"MsiCATestDepA\" (RetCode 0x0)",
                                   L"\"MsiCATestDepB\" (RetCode 0x0)", L"\"MsiCATestBase\" (RetCode 0x0)"}));
    EXPECT_EQ(4u, scm.trace.Count(L"Waiting additional 5 seconds"));
    EXPECT_EQ(5000u, scm.clock.Sleeps().back());
}

TEST(ServiceMgrScm, DisabledAndRunningServices)
{
    CTestService disabled(L"MsiCATestDisabled", L"", SERVICE_DISABLED);
    CTestService running(L"MsiCATestDelete");
    ASSERT_TRUE(running.Start());
    RealScm scm;

    // Disabled: result 1 without a start request.
    EXPECT_EQ(1u, scm.manager.StartSvc(L"MsiCATestDisabled", 0, nullptr, true, kTimeout));
    EXPECT_EQ(0, g_startCalls);

    // Running: stopped, deleted, and done once its registry key is gone.
    EXPECT_EQ(0u, scm.manager.DelSvc(L"MsiCATestDelete"));
    EXPECT_FALSE(ServiceExists(L"MsiCATestDelete"));
    EXPECT_FALSE(KeyExists(CServiceMgr::ServiceKeyPath(L"MsiCATestDelete")));
    EXPECT_TRUE(scm.trace.InOrder({L"sucessfully stopped - delete service now!",
                                   L"registry key for service no longer existing, service deleted"}));
}
