// CDriverInstaller and Uninstall against Wine's registry and service control manager. The
// stand-in service plays a driver where one has to run; the service database lock, which
// Wine never refuses, comes from the scripted SCM.
#include "driver/CDriverInstaller.h"
#include "support/FakeScm.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

namespace
{
const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM";

std::wstring WindowsDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring ExpandedSystemRoot()
{
    wchar_t path[MAX_PATH] = {};
    ExpandEnvironmentStringsW(L"%SystemRoot%", path, MAX_PATH);
    return path;
}

// The image path as GetImagePath reports it for a stored value.
std::wstring ImagePathFor(const std::wstring& stored, DWORD type = REG_EXPAND_SZ)
{
    CTestKey key(kServicesKey + L"MsiCATestImage");
    key.SetString(L"ImagePath", stored, type);
    CDriverInstaller installer;
    std::wstring path = L"untouched";
    EXPECT_TRUE(installer.GetImagePath(L"MsiCATestImage", path)) << Narrow(stored);
    return path;
}

// A value as stored, with its type, without expansion.
bool ReadRawString(const std::wstring& keyPath, const wchar_t* name, std::wstring& text, DWORD& type)
{
    wchar_t buffer[1024] = {};
    DWORD bytes = sizeof(buffer);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, keyPath.c_str(), name,
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, buffer,
                     &bytes) != ERROR_SUCCESS)
    {
        return false;
    }
    text = buffer;
    return true;
}

std::wstring ConfiguredBinaryPath(const wchar_t* name)
{
    CServiceMgr manager;
    manager.OpenDatabase();
    CServiceHandle service(OpenServiceW(manager.Database(), name, SERVICE_QUERY_CONFIG));
    const ServiceConfig config = service ? manager.QueryConfig(service.Get()) : nullptr;
    return config ? config->lpBinaryPathName : L"";
}

// The virtual clock with the real services getting on meanwhile.
struct ServiceClock
{
    ServiceClock() : clock(injector) { clock.OnSleep(&LetServicesRun); }
    CFaultInjector injector;
    CVirtualClock clock;
};
} // namespace

TEST(DriverInstaller, GetImagePathMakesRegisteredPathsFull)
{
    EXPECT_EQ(L"C:\\Drivers\\x.sys", ImagePathFor(L"\\??\\C:\\Drivers\\x.sys"));
    EXPECT_EQ(ExpandedSystemRoot() + L"\\system32\\drivers\\x.sys",
              ImagePathFor(L"\\SystemRoot\\system32\\drivers\\x.sys"));
    EXPECT_EQ(WindowsDirectory() + L"\\system32\\drivers\\x.sys",
              ImagePathFor(L"system32\\drivers\\x.sys", REG_SZ));
    // The tests are case-sensitive and the text is taken as stored (no expansion).
    EXPECT_EQ(L"System32\\drivers\\x.sys", ImagePathFor(L"System32\\drivers\\x.sys"));
    EXPECT_EQ(L"\\systemroot\\x.sys", ImagePathFor(L"\\systemroot\\x.sys"));
    EXPECT_EQ(L"%SystemRoot%\\x.sys", ImagePathFor(L"%SystemRoot%\\x.sys"));
    // Rules apply in turn: a stripped "\??\" may reveal "system32".
    EXPECT_EQ(WindowsDirectory() + L"\\system32\\x.sys", ImagePathFor(L"\\??\\system32\\x.sys"));
    EXPECT_EQ(L"", ImagePathFor(L""));

    CDriverInstaller installer;
    std::wstring path = L"untouched";
    {
        CTestKey key(kServicesKey + L"MsiCATestImage");
        EXPECT_FALSE(installer.GetImagePath(L"MsiCATestImage", path)); // no ImagePath value
        const std::wstring tooLong = L"C:\\" + std::wstring(300, L'a') + L".sys";
        key.SetString(L"ImagePath", tooLong);
        EXPECT_FALSE(installer.GetImagePath(L"MsiCATestImage", path)); // beyond MAX_PATH
    }
    EXPECT_FALSE(installer.GetImagePath(L"MsiCATestImage", path)); // no service key
    EXPECT_FALSE(installer.GetImagePath(nullptr, path));
    EXPECT_EQ(L"untouched", path);
}

TEST(DriverInstaller, RegisterCheckAndUnregisterAKernelDriver)
{
    const wchar_t* const name = L"MsiCATestDrv";
    RemoveService(name);
    ServiceClock clock;
    CTraceCapture trace(4);
    CDriverInstaller installer;

    // Without a path the driver lives in the system's drivers folder.
    ASSERT_TRUE(installer.Register(name, L"MsiCA Test Driver"));
    EXPECT_FALSE(installer.IsOpen());
    const std::wstring expected = WindowsDirectory() + L"\\system32\\drivers\\MsiCATestDrv.sys";
    EXPECT_EQ(expected, ConfiguredBinaryPath(name));
    std::wstring imagePath;
    EXPECT_TRUE(installer.GetImagePath(name, imagePath));
    EXPECT_EQ(expected, imagePath);

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(installer.Register(name, L"MsiCA Test Driver", L"C:\\elsewhere.sys"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_EXISTS), GetLastError());

    ASSERT_EQ(0u, installer.OpenDatabase());
    EXPECT_TRUE(installer.IsDriverRegistered(name));
    EXPECT_TRUE(
        trace.Contains(L"CDriverInstaller    : Device driver \"MsiCATestDrv\" is already registered!"));
    installer.CloseDatabase();

    // A stopped driver is deleted at once under the database lock.
    trace.Clear();
    EXPECT_TRUE(installer.Unregister(name));
    EXPECT_FALSE(ServiceExists(name));
    EXPECT_TRUE(
        trace.InOrder({L"Stopping  driver \"MsiCATestDrv\" (Old StartCount 0) ..",
                       L"Stop driver MsiCATestDrv OK (Error code 0x00000000, StartCount 0)!",
                       L"CServiceMgr         : Lock service database", L"Delete service \"MsiCATestDrv\"",
                       L"done (RetCode 0x0)", L"CServiceMgr         : Unlock service database"}));
    EXPECT_FALSE(installer.IsOpen());

    ASSERT_EQ(0u, installer.OpenDatabase());
    EXPECT_FALSE(installer.IsDriverRegistered(name));
    EXPECT_TRUE(trace.Contains(L"Device driver \"MsiCATestDrv\" is NOT registered!"));
    installer.CloseDatabase();

    // Nothing to stop: the unregistration fails and says why.
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(installer.Unregister(name));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
}

TEST(DriverInstaller, StartsAreCountedInAVolatileKeyAndStopsLeaveTheCount)
{
    CTestService driver(L"MsiCATestCounted");
    ServiceClock clock;
    CTraceCapture trace(3);
    CDriverInstaller installer;
    const std::wstring counterKey = kServicesKey + L"MsiCATestCounted\\SharedCounter";

    EXPECT_EQ(0u, installer.ReadCounter(L"MsiCATestCounted", L"StartCount"));
    EXPECT_TRUE(installer.StartDriver(L"MsiCATestCounted"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"MsiCATestCounted"));
    EXPECT_EQ(1u, installer.ReadCounter(L"MsiCATestCounted", L"StartCount"));
    // Already running: still a successful start, still counted.
    EXPECT_TRUE(installer.StartDriver(L"MsiCATestCounted"));
    EXPECT_EQ(2u, installer.ReadCounter(L"MsiCATestCounted", L"StartCount"));
    EXPECT_TRUE(trace.InOrder({L"Starting  driver MsiCATestCounted (Old StartCount 1) ..",
                               L"Start driver MsiCATestCounted OK (Error code 0x00000000, StartCount 2)!",
                               L"Starting driver MsiCATestCounted done (New StartCount 2)!"}));
    DWORD stored = 0;
    EXPECT_TRUE(ReadDwordValue(counterKey, L"StartCount", stored));
    EXPECT_EQ(2u, stored);
    // The key is volatile: Windows refuses a lasting key below it.
    HKEY child = nullptr;
    EXPECT_EQ(static_cast<LONG>(ERROR_CHILD_MUST_BE_VOLATILE),
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, (counterKey + L"\\Lasting").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr));

    trace.Clear();
    EXPECT_TRUE(installer.StopDriver(L"MsiCATestCounted"));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"MsiCATestCounted"));
    EXPECT_EQ(2u, installer.ReadCounter(L"MsiCATestCounted", L"StartCount"));
    EXPECT_TRUE(trace.InOrder({L"Stopping  driver \"MsiCATestCounted\" (Old StartCount 2) ..",
                               L"Stop driver MsiCATestCounted OK (Error code 0x00000000, StartCount 2)!",
                               L"Stopping  driver MsiCATestCounted done (New StartCount 2)!"}));

    // A driver that is not there is neither started nor counted.
    trace.Clear();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(installer.StartDriver(L"MsiCATestAbsent"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
    EXPECT_TRUE(
        trace.Contains(L"Start driver MsiCATestAbsent FAILED (Error code 0x00000424, StartCount 0)!"));
    EXPECT_TRUE(
        trace.Contains(L"ERROR 0x424! FAILED to start driver \"MsiCATestAbsent\" (New StartCount 0)!"));
    EXPECT_EQ(0u, installer.IncrementCounter(L"MsiCATestAbsent", L"StartCount"));
    EXPECT_FALSE(KeyExists(kServicesKey + L"MsiCATestAbsent"));
}

TEST(DriverInstaller, EventSourcesAreAddedAndRemoved)
{
    const std::wstring sourceKey = kEventLogKey + L"\\MsiCATestSource";
    DeleteKeyTree(sourceKey);
    CTraceCapture trace(3);
    CDriverInstaller installer;

    const wchar_t* const files[] = {L"C:\\Windows\\system32\\drivers\\ImbDrvNT.sys",
                                    L"%SYSTEMROOT%\\system32\\IoLogMsg.dll", L"", L"C:\\never.dll", nullptr};
    EXPECT_TRUE(installer.AddEventSource(L"MsiCATestSource", files));
    std::wstring text;
    DWORD type = 0;
    ASSERT_TRUE(ReadRawString(sourceKey, L"EventMessageFile", text, type));
    EXPECT_EQ(L"C:\\Windows\\system32\\drivers\\ImbDrvNT.sys;%SYSTEMROOT%\\system32\\IoLogMsg.dll", text);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    DWORD types = 0;
    EXPECT_TRUE(ReadDwordValue(sourceKey, L"TypesSupported", types));
    EXPECT_EQ(7u, types);

    // Adding again rewrites the values; a single file has no separator.
    const wchar_t* const single[] = {L"C:\\one.dll", L""};
    EXPECT_TRUE(installer.AddEventSource(L"MsiCATestSource", single));
    ASSERT_TRUE(ReadRawString(sourceKey, L"EventMessageFile", text, type));
    EXPECT_EQ(L"C:\\one.dll", text);

    EXPECT_TRUE(installer.RemoveEventSource(L"MsiCATestSource"));
    EXPECT_FALSE(KeyExists(sourceKey));
    EXPECT_TRUE(trace.InOrder(
        {L"Values in sub key \"" + sourceKey + L"\" deleted", L"Sub key \"" + kEventLogKey + L"\" deleted"}));

    trace.Clear();
    EXPECT_FALSE(installer.RemoveEventSource(L"MsiCATestSource"));
    EXPECT_TRUE(
        trace.Contains(L"CDriverInstaller    : ERROR 0x2! FAILED to open key \"" + sourceKey + L"\""));
    EXPECT_FALSE(trace.Contains(L"deleted"));
}

TEST(DriverInstaller, UninstallRemovesServiceAndSourceOrLeavesAStubbornDriver)
{
    CTestService driver(L"MsiCATestUninst");
    ASSERT_TRUE(driver.Start());
    const wchar_t* const files[] = {L"C:\\x.sys", L""};
    CDriverInstaller().AddEventSource(L"MsiCATestUninst", files);
    ServiceClock clock;
    CTraceCapture trace(3);

    DWORD error = 0xdeadbeef;
    EXPECT_TRUE(Uninstall(L"MsiCATestUninst", &error));
    EXPECT_EQ(0u, error);
    EXPECT_FALSE(ServiceExists(L"MsiCATestUninst"));
    EXPECT_FALSE(KeyExists(kEventLogKey + L"\\MsiCATestUninst"));
    EXPECT_TRUE(
        trace.InOrder({L"CDriver (Uninstall) : Uninstall legacy driver MsiCATestUninst",
                       L"CDriver (Uninstall) : Unregister driver",
                       L"CDriver (Uninstall) : Legacy driver MsiCATestUninst successfully uninstalled",
                       L"CDriver (Uninstall) : Unregister event source", L"Sub key"}));

    // A driver that cannot be stopped is left in place; the event source goes anyway.
    CTestService stubborn(L"MsiCATestStubbornDrv", L"--no-stop");
    ASSERT_TRUE(stubborn.Start());
    CDriverInstaller().AddEventSource(L"MsiCATestStubbornDrv", files);
    trace.Clear();
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CDriverInstaller().Unregister(L"MsiCATestStubbornDrv"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"MsiCATestStubbornDrv"));
    EXPECT_FALSE(trace.Contains(L"Lock service database"));

    error = 0;
    EXPECT_FALSE(Uninstall(L"MsiCATestStubbornDrv", &error));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), error);
    EXPECT_TRUE(ServiceExists(L"MsiCATestStubbornDrv"));
    EXPECT_TRUE(trace.Contains(L"## ERROR 0x41C! Unregister driver failed!"));
    EXPECT_FALSE(KeyExists(kEventLogKey + L"\\MsiCATestStubbornDrv"));

    EXPECT_FALSE(Uninstall(nullptr, &error));
}

TEST(DriverInstaller, UnregisterWaitsForTheDatabaseLockFiveSecondsATime)
{
    CFaultInjector injector;
    CVirtualClock clock(injector);
    CFakeScm scm(injector);
    CTraceCapture trace(4);
    CDriverInstaller installer;

    // Locked throughout: ten tries, nothing deleted.
    scm.lockErrors = std::deque<DWORD>(10, ERROR_SERVICE_DATABASE_LOCKED);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(installer.Unregister(L"MsiCATestLocked"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DATABASE_LOCKED), GetLastError());
    EXPECT_EQ(10, scm.lockCalls);
    EXPECT_EQ(std::vector<DWORD>(9, 5000), clock.Sleeps());
    EXPECT_EQ(0, scm.deleteCalls);
    EXPECT_EQ(0, scm.unlockCalls);
    EXPECT_EQ(10u, trace.Count(L"Lock service database"));
    EXPECT_FALSE(installer.IsOpen());

    // Obtained at the third try; other failures are tried again at once.
    scm.lockCalls = 0;
    scm.lockErrors = {ERROR_SERVICE_DATABASE_LOCKED, ERROR_ACCESS_DENIED};
    EXPECT_TRUE(installer.Unregister(L"MsiCATestLocked"));
    EXPECT_EQ(3, scm.lockCalls);
    EXPECT_EQ(10u, clock.Sleeps().size());
    EXPECT_EQ(1, scm.deleteCalls);
    EXPECT_EQ(1, scm.unlockCalls);
    EXPECT_TRUE(trace.InOrder({L"Delete service \"MsiCATestLocked\"", L"Unlock service database"}));
}
