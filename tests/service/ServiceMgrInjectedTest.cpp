// CServiceMgr against a scripted service control manager on the virtual clock: what Wine
// cannot do (a locked database, a service that never finishes starting, refused controls)
// and the exact sequence of sleeps each rule costs.
#include "service/CServiceMgr.h"
#include "support/FakeScm.h"
#include "support/FaultInjection.h"
#include "support/TestRegistry.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

namespace
{
using Sleeps = std::vector<DWORD>;

Sleeps Repeated(DWORD ms, size_t count)
{
    return Sleeps(count, ms);
}

Sleeps Joined(std::initializer_list<Sleeps> parts)
{
    Sleeps all;
    for (const auto& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::deque<DWORD> Locked(size_t times)
{
    return std::deque<DWORD>(times, ERROR_SERVICE_DATABASE_LOCKED);
}

struct ScriptedScm
{
    ScriptedScm() : clock(injector), scm(injector) { EXPECT_EQ(0u, manager.OpenDatabase()); }
    CFaultInjector injector;
    CVirtualClock clock;
    CFakeScm scm;
    CServiceMgr manager;
};

const SERVICE_STATUS kRunning = CFakeScm::Status(SERVICE_RUNNING, 0, SERVICE_ACCEPT_STOP);
const SERVICE_STATUS kStopped = CFakeScm::Status(SERVICE_STOPPED);
} // namespace

TEST(ServiceMgrInjected, LockedDatabaseIsTriedTenTimesTwoSecondsApart)
{
    ScriptedScm fake;
    CTraceCapture trace(4);

    // Start: ten locked attempts, then the operation gives up; no window, no question.
    fake.scm.startErrors = Locked(10);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED),
              fake.manager.StartSvc(L"Locked", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(10, fake.scm.startCalls);
    EXPECT_EQ(Repeated(2000, 10), fake.clock.Sleeps());
    EXPECT_TRUE(fake.scm.messageBoxCaptions.empty());

    // Success on the seventh attempt: six locked sleeps, then the start's own wait.
    fake.scm.statuses = {kStopped};
    fake.scm.startCalls = 0;
    fake.scm.startErrors = Locked(6);
    fake.scm.afterStart = {kRunning};
    const size_t before = fake.clock.Sleeps().size();
    EXPECT_EQ(0u, fake.manager.StartSvc(L"Locked", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(7, fake.scm.startCalls);
    EXPECT_EQ(Joined({Repeated(2000, 6), {1000}}),
              Sleeps(fake.clock.Sleeps().begin() + before, fake.clock.Sleeps().end()));

    // Create: each locked attempt is reported; the series ends in 1055, left as last error.
    trace.Clear();
    fake.scm.createErrors = Locked(10);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED),
              fake.manager.CreateSvc(L"Drv", L"C:\\d.sys", L"Drv"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED), GetLastError());
    EXPECT_EQ(10u, trace.Count(L"ERROR Create service 'Drv' failed!"));
    EXPECT_EQ(10u, trace.Count(L"The service database is locked!"));
    EXPECT_TRUE(trace.Contains(L"CreateService finished (RetCode 0x41F)!"));
    // ... and a series that ends in success gives 0.
    fake.scm.createErrors = Locked(3);
    EXPECT_EQ(0u, fake.manager.CreateSvc(L"Drv", L"C:\\d.sys", L"Drv"));
    EXPECT_EQ(0u, GetLastError());

    // Stop and delete go through the same rule; a locked deletion repeats the stop too.
    fake.scm.statuses = {kRunning};
    fake.scm.controlErrors = Locked(10);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED), fake.manager.StopSvc(L"Svc", true, 120000));
    EXPECT_EQ(10, fake.scm.controlCalls);
    fake.scm.statuses = {kStopped};
    fake.scm.deleteErrors = Locked(10);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED), fake.manager.DelSvc(L"Svc"));
    EXPECT_EQ(10, fake.scm.deleteCalls);
    EXPECT_EQ(10u, trace.Count(L"Service \"Svc\"  sucessfully stopped - delete service now!"));
    EXPECT_TRUE(fake.scm.messageBoxCaptions.empty());

    // Other errors end the operation at once.
    fake.scm.startErrors = {ERROR_SERVICE_DISABLED};
    fake.scm.startCalls = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DISABLED),
              fake.manager.StartSvc(L"Svc", 0, nullptr, false, 120000));
    EXPECT_EQ(1, fake.scm.startCalls);
}

TEST(ServiceMgrInjected, AnOwnerWindowIsAskedAfterEachSeries)
{
    CFaultInjector injector;
    CVirtualClock clock(injector);
    CFakeScm scm(injector);
    const HWND owner = nullptr; // the desktop: a real owner, unlike the all-ones value
    CServiceMgr manager(nullptr, owner);
    ASSERT_EQ(0u, manager.OpenDatabase());

    scm.displayName = L"Sentrel Core Service";
    scm.startErrors = Locked(25);
    scm.messageBoxAnswers = {IDRETRY};
    scm.messageBoxAnswer = IDCANCEL;
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED),
              manager.StartSvc(L"SntSvc", 0, nullptr, true, 120000));
    EXPECT_EQ(20, scm.startCalls);
    EXPECT_EQ(Repeated(2000, 20), clock.Sleeps());
    ASSERT_EQ(2u, scm.messageBoxCaptions.size());
    EXPECT_EQ(L"Start service 'Sentrel Core Service' failed!", scm.messageBoxCaptions[0]);
    EXPECT_EQ(L"The service database is locked! Close all(!) applications and press Retry!",
              scm.messageBoxTexts[0]);
    EXPECT_EQ(static_cast<UINT>(MB_RETRYCANCEL | MB_ICONEXCLAMATION), scm.messageBoxFlags[0]);
    EXPECT_EQ(owner, scm.messageBoxOwners[0]);

    // Retry after the first series, then success in the second.
    scm.messageBoxCaptions.clear();
    scm.messageBoxAnswers = {IDRETRY, IDRETRY};
    scm.createErrors = Locked(13);
    EXPECT_EQ(0u, manager.CreateSvc(L"Drv", L"C:\\d.sys", L"The Driver"));
    ASSERT_EQ(1u, scm.messageBoxCaptions.size());
    EXPECT_EQ(L"Create service 'The Driver' failed!", scm.messageBoxCaptions[0]);

    // Without a display name from the system the caption names the service.
    scm.messageBoxCaptions.clear();
    scm.messageBoxAnswers.clear();
    scm.displayName = std::wstring(300, L'x');
    scm.statuses = {kRunning};
    scm.controlErrors = Locked(10);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED), manager.StopSvc(L"kvq_srv", true, 120000));
    ASSERT_EQ(1u, scm.messageBoxCaptions.size());
    EXPECT_EQ(L"Stop service 'kvq_srv' failed!", scm.messageBoxCaptions[0]);
}

TEST(ServiceMgrInjected, WaitsFollowTheWaitHintWithinTheTimeOut)
{
    ScriptedScm fake;
    CTraceCapture trace(4);

    // Stuck in start-pending with no hint: one-second polls until 120 s have passed.
    fake.scm.afterStart = {CFakeScm::Status(SERVICE_START_PENDING, 0)};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT),
              fake.manager.StartSvc(L"Stuck", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(Repeated(1000, 121), fake.clock.Sleeps());
    EXPECT_TRUE(trace.Contains(L"ERROR! Timeout after 121 seconds!"));
    EXPECT_FALSE(trace.Contains(L"OK! Service started!"));
    EXPECT_EQ(1, fake.scm.startCalls); // a time-out is not a locked database

    // Hints are clamped to 1..10 s; the lines show the raw hint and the sleep.
    trace.Clear();
    fake.scm.statuses = {CFakeScm::Status(SERVICE_STOPPED, 30000)};
    fake.scm.afterStart = {CFakeScm::Status(SERVICE_START_PENDING, 30000),
                           CFakeScm::Status(SERVICE_START_PENDING, 0),
                           CFakeScm::Status(SERVICE_START_PENDING, 4321), kRunning};
    const size_t before = fake.clock.Sleeps().size();
    EXPECT_EQ(0u, fake.manager.StartSvc(L"Slow", 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs));
    EXPECT_EQ(Sleeps({10000, 10000, 1000, 4321}),
              Sleeps(fake.clock.Sleeps().begin() + before, fake.clock.Sleeps().end()));
    EXPECT_TRUE(
        trace.InOrder({L"Current state 1 (!= SERVICE_RUNNING)", L"Wait hint 30000 mseconds",
                       L"Sleep 10000 mseconds ...", L"Wait hint 30000 mseconds", L"Sleep 10000 mseconds ...",
                       L"Wait hint 0 mseconds", L"Sleep 1000 mseconds ...", L"Wait hint 4321 mseconds",
                       L"Sleep 4321 mseconds ...", L"OK! Service started!"}));

    // A start that ends in "stopped" fails with the service's own exit code.
    fake.scm.statuses = {kStopped};
    fake.scm.afterStart = {CFakeScm::Status(SERVICE_START_PENDING), kStopped};
    fake.scm.afterStart.back().dwWin32ExitCode = ERROR_FILE_NOT_FOUND;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              fake.manager.StartSvc(L"Dies", 0, nullptr, true, 120000));

    // Stuck in stop-pending: the same loop from the hint ControlService returned.
    trace.Clear();
    fake.scm.statuses = {kRunning};
    fake.scm.controlStatus = CFakeScm::Status(SERVICE_STOP_PENDING, 20000);
    fake.scm.afterControl = {CFakeScm::Status(SERVICE_STOP_PENDING, 20000)};
    const size_t beforeStop = fake.clock.Sleeps().size();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT),
              fake.manager.StopSvc(L"Stuck", true, 120000));
    EXPECT_EQ(Repeated(10000, 13),
              Sleeps(fake.clock.Sleeps().begin() + beforeStop, fake.clock.Sleeps().end()));
    EXPECT_TRUE(trace.Contains(L"ERROR! Timeout after 130 seconds!"));
    EXPECT_FALSE(trace.Contains(L"Waiting additional"));
}

TEST(ServiceMgrInjected, StopsSettleAndRefusedStopsAreDeletedAnyway)
{
    ScriptedScm fake;
    CTraceCapture trace(4);

    // A kernel driver gets three seconds to unload.
    fake.scm.serviceType = SERVICE_KERNEL_DRIVER;
    fake.scm.statuses = {CFakeScm::Status(SERVICE_RUNNING, 0, SERVICE_ACCEPT_STOP, SERVICE_KERNEL_DRIVER)};
    fake.scm.controlStatus = CFakeScm::Status(SERVICE_STOP_PENDING, 0, 0, SERVICE_KERNEL_DRIVER);
    fake.scm.afterControl = {kStopped};
    EXPECT_EQ(0u, fake.manager.StopSvc(L"Drv", true, 120000));
    EXPECT_EQ(Sleeps({1000, 3000}), fake.clock.Sleeps());
    EXPECT_TRUE(trace.Contains(L"Service (type 0x1) accepts STOP control - try to stop service now ..."));
    EXPECT_TRUE(trace.Contains(L"Waiting additional 3 seconds to unload driver or exit process ..."));

    // A driver that refuses the stop control: marked for deletion, result 1052, no watch.
    trace.Clear();
    fake.scm.statuses = {CFakeScm::Status(SERVICE_RUNNING, 0, SERVICE_ACCEPT_STOP, SERVICE_KERNEL_DRIVER)};
    fake.scm.afterControl.clear();
    fake.scm.controlErrors = {ERROR_INVALID_SERVICE_CONTROL};
    fake.scm.controlStatus = fake.scm.statuses.front();
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), fake.manager.DelSvc(L"Drv"));
    EXPECT_EQ(1, fake.scm.deleteCalls);
    EXPECT_TRUE(trace.InOrder({L"ERROR 0x41C! ControlService FAILED!",
                               L"WARNING! Stop service Drv failed! Delete service now!",
                               L"CServiceMgr (DelSvc): Delete service \"Drv\" done (RetCode 0x41C)"}));
    EXPECT_FALSE(trace.Contains(L"check registry"));

    // Not accepting the stop control at all is the same refusal.
    fake.scm.statuses = {CFakeScm::Status(SERVICE_RUNNING, 0, 0, SERVICE_KERNEL_DRIVER)};
    const int controls = fake.scm.controlCalls;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), fake.manager.DelSvc(L"Drv"));
    EXPECT_EQ(controls, fake.scm.controlCalls);
    EXPECT_EQ(2, fake.scm.deleteCalls);

    // Already marked for deletion: 1072 and no watch.
    trace.Clear();
    fake.scm.statuses = {kStopped};
    fake.scm.deleteErrors = {ERROR_SERVICE_MARKED_FOR_DELETE};
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), fake.manager.DelSvc(L"Drv"));
    EXPECT_TRUE(trace.Contains(L"ERROR! Service Drv is already marked for deletion"));
    EXPECT_FALSE(trace.Contains(L"check registry"));
}

TEST(ServiceMgrInjected, DeletionIsWatchedInTheRegistryForTwentyRounds)
{
    const std::wstring keyPath = L"SYSTEM\\CurrentControlSet\\Services\\MsiCAWatched";
    ScriptedScm fake;
    CTraceCapture trace(4);

    // Still marked after twenty rounds, 100 ms apart: 1072.
    {
        CTestKey key(keyPath);
        key.SetDword(L"DeleteFlag", 1);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), fake.manager.DelSvc(L"MsiCAWatched"));
        EXPECT_EQ(Repeated(100, 20), fake.clock.Sleeps());
        EXPECT_EQ(20u, trace.Count(L"CServiceMgr (DelSvc):     service still marked for deletion"));
        EXPECT_TRUE(trace.InOrder({L"(retry #0)...", L"(retry #19)...",
                                   L"## ERROR! Service could not be deleted (still marked for deletion)!",
                                   L"Delete service \"MsiCAWatched\" done (RetCode 0x430)"}));

        // Present without the flag: something is wrong, but the deletion itself succeeded.
        trace.Clear();
        key.DeleteValue(L"DeleteFlag");
        EXPECT_EQ(0u, fake.manager.DelSvc(L"MsiCAWatched"));
        EXPECT_EQ(20u, trace.Count(
                           L"## ERROR! Service still existing but not marked for deletion after deleting it "
                           L"(something wrong here)!"));
        EXPECT_EQ(40u, fake.clock.Sleeps().size());
    }

    // The key goes during the watch: done in the next round.
    static std::wstring s_keyPath;
    s_keyPath = keyPath;
    CTestKey key(keyPath);
    key.SetDword(L"DeleteFlag", 1);
    fake.clock.OnSleep([](DWORD) {
        static int sleeps = 0;
        if (++sleeps == 5)
        {
            DeleteKeyTree(s_keyPath);
        }
    });
    trace.Clear();
    EXPECT_EQ(0u, fake.manager.DelSvc(L"MsiCAWatched"));
    EXPECT_EQ(45u, fake.clock.Sleeps().size());
    EXPECT_TRUE(
        trace.InOrder({L"(retry #5)...", L"registry key for service no longer existing, service deleted",
                       L"done (RetCode 0x0)"}));
}
