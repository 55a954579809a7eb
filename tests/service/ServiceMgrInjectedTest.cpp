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
constexpr DWORD kTimeout = CServiceMgr::kDefaultTimeoutMs;
constexpr DWORD kLocked = ERROR_SERVICE_DATABASE_LOCKED;
const SERVICE_STATUS kStopped = CFakeScm::Status(SERVICE_STOPPED);
const SERVICE_STATUS kRunning = CFakeScm::Status(SERVICE_RUNNING);

struct ScriptedScm
{
    ScriptedScm() : clock(injector), scm(injector) { EXPECT_EQ(0u, manager.OpenDatabase()); }
    // The sleeps since the last call.
    Sleeps NewSleeps()
    {
        const Sleeps sleeps(clock.Sleeps().begin() + taken, clock.Sleeps().end());
        taken = clock.Sleeps().size();
        return sleeps;
    }
    CFaultInjector injector;
    CVirtualClock clock;
    CFakeScm scm;
    CServiceMgr manager;
    size_t taken = 0;
};
} // namespace

TEST(ServiceMgrInjected, LockedDatabaseIsTriedTenTimesTwoSecondsApart)
{
    ScriptedScm fake;
    fake.scm.startErrors.assign(10, kLocked);
    EXPECT_EQ(kLocked, fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ(10, fake.scm.startCalls);
    EXPECT_EQ(Sleeps(10, 2000), fake.NewSleeps());
    EXPECT_TRUE(fake.scm.captions.empty()); // no owner window, no question

    // Success on the seventh attempt: six locked sleeps, then the start's own wait.
    fake.scm.startErrors.assign(6, kLocked);
    fake.scm.statuses.assign(7, kStopped);
    fake.scm.statuses.push_back(kRunning);
    EXPECT_EQ(0u, fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ(17, fake.scm.startCalls);
    EXPECT_EQ((Sleeps{2000, 2000, 2000, 2000, 2000, 2000, 1000}), fake.NewSleeps());

    // Create, stop and delete go through the same rule; the create leaves its result as
    // the last error.
    fake.scm.createErrors.assign(10, kLocked);
    EXPECT_TRUE(fake.manager.CreateSvc(L"Drv", L"C:\\d.sys", L"Drv") == kLocked && GetLastError() == kLocked);
    fake.scm.statuses = {kRunning};
    fake.scm.controlErrors.assign(10, kLocked);
    EXPECT_EQ(kLocked, fake.manager.StopSvc(L"Svc", true, kTimeout));
    fake.scm.statuses = {kStopped};
    fake.scm.deleteErrors.assign(10, kLocked);
    EXPECT_EQ(kLocked, fake.manager.DelSvc(L"Svc"));
    EXPECT_EQ(Sleeps(30, 2000), fake.NewSleeps());
    EXPECT_EQ(std::tuple(10, 10, 10),
              std::tuple(fake.scm.createCalls, fake.scm.controlCalls, fake.scm.deleteCalls));

    // Other errors end the operation at once.
    fake.scm.startErrors = {ERROR_SERVICE_DISABLED};
    EXPECT_EQ(DWORD{ERROR_SERVICE_DISABLED}, fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ(18, fake.scm.startCalls);

    // An owner window asks after each series whether to go on.
    CServiceMgr asking(nullptr, nullptr); // the desktop: a real owner window
    ASSERT_EQ(0u, asking.OpenDatabase());
    fake.scm.startErrors.assign(25, kLocked);
    fake.scm.retries = 1;
    fake.NewSleeps();
    EXPECT_EQ(kLocked, asking.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ(Sleeps(20, 2000), fake.NewSleeps());
    EXPECT_EQ(std::vector<std::wstring>(2, L"Start service 'Fake Service' failed!"), fake.scm.captions);
}

TEST(ServiceMgrInjected, WaitsFollowTheWaitHintWithinTheTimeOut)
{
    ScriptedScm fake;
    CTraceCapture trace(1);

    // Stuck in start-pending: one-second polls until 120 s have passed.
    fake.scm.statuses = {kStopped, CFakeScm::Status(SERVICE_START_PENDING)};
    EXPECT_EQ(DWORD{ERROR_SERVICE_REQUEST_TIMEOUT},
              fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ(Sleeps(121, 1000), fake.NewSleeps());
    EXPECT_TRUE(trace.Contains(L"ERROR! Timeout after 121 seconds!"));
    EXPECT_EQ(1, fake.scm.startCalls); // a time-out is not a locked database

    // Hints, read before the start and then while pending, are kept within 1..10 s.
    fake.scm.statuses = {CFakeScm::Status(SERVICE_STOPPED, 30000), CFakeScm::Status(SERVICE_START_PENDING, 0),
                         CFakeScm::Status(SERVICE_START_PENDING, 4321), kRunning};
    EXPECT_EQ(0u, fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));
    EXPECT_EQ((Sleeps{10000, 1000, 4321}), fake.NewSleeps());

    // A start that ends in "stopped" fails with the service's exit code.
    SERVICE_STATUS died = kStopped;
    died.dwWin32ExitCode = ERROR_FILE_NOT_FOUND;
    fake.scm.statuses = {kStopped, died};
    EXPECT_EQ(DWORD{ERROR_FILE_NOT_FOUND}, fake.manager.StartSvc(L"Svc", 0, nullptr, true, kTimeout));

    // Stuck in stop-pending: the same loop, from the hint that ControlService gave.
    fake.scm.statuses = {kRunning, CFakeScm::Status(SERVICE_STOP_PENDING, 20000)};
    fake.NewSleeps();
    EXPECT_EQ(DWORD{ERROR_SERVICE_REQUEST_TIMEOUT}, fake.manager.StopSvc(L"Svc", true, kTimeout));
    EXPECT_EQ(Sleeps(13, 10000), fake.NewSleeps());
    EXPECT_TRUE(trace.Contains(L"ERROR! Timeout after 130 seconds!"));
}

TEST(ServiceMgrInjected, DriversSettleAndDeletionsEndAsMarked)
{
    ScriptedScm fake;
    // A stopped kernel driver gets three seconds to unload.
    const SERVICE_STATUS driver = CFakeScm::Status(SERVICE_RUNNING, 0, SERVICE_KERNEL_DRIVER);
    fake.scm.statuses = {driver, CFakeScm::Status(SERVICE_STOPPED, 0, SERVICE_KERNEL_DRIVER)};
    EXPECT_EQ(0u, fake.manager.StopSvc(L"Drv", true, kTimeout));
    EXPECT_EQ((Sleeps{1000, 3000}), fake.NewSleeps());

    // A driver that refuses the stop control is deleted all the same: marked, result 1052.
    fake.scm.statuses = {driver};
    fake.scm.controlErrors = {ERROR_INVALID_SERVICE_CONTROL};
    EXPECT_EQ(DWORD{ERROR_INVALID_SERVICE_CONTROL}, fake.manager.DelSvc(L"Drv"));
    EXPECT_TRUE(fake.scm.deleteCalls == 1 && fake.NewSleeps().empty()) << "nothing to wait for";

    // A key still marked for deletion is watched for twenty rounds, 100 ms apart: 1072.
    CTestKey key(CServiceMgr::ServiceKeyPath(L"MsiCAWatched"));
    key.SetDword(L"DeleteFlag", 1);
    fake.scm.statuses = {kStopped};
    EXPECT_EQ(DWORD{ERROR_SERVICE_MARKED_FOR_DELETE}, fake.manager.DelSvc(L"MsiCAWatched"));
    EXPECT_EQ(Sleeps(20, 100), fake.NewSleeps());
}
