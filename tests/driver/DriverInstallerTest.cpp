// CDriverInstaller and Uninstall against Wine's registry and service control manager. The
// stand-in service plays a driver where one has to run; the service database lock, which
// Wine never refuses, comes from the scripted SCM.
#include "driver/CDriverInstaller.h"
#include "support/FakeScm.h"
#include "support/TestFiles.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

const std::wstring kServicesKey = L"SYSTEM\\CurrentControlSet\\Services\\";
const std::wstring kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM";

TEST(DriverInstaller, GetImagePathNormalisesInTurnCaseSensitivelyWithoutExpanding)
{
    const std::wstring windows = _wgetenv(L"windir");
    SetEnvironmentVariableW(L"SystemRoot", L"D:\\Root"); // tells the two folders apart
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"\\??\\C:\\Drivers\\x.sys", L"C:\\Drivers\\x.sys"},
        {L"\\SystemRoot\\system32\\drivers\\x.sys", L"D:\\Root\\system32\\drivers\\x.sys"},
        {L"system32\\drivers\\x.sys", windows + L"\\system32\\drivers\\x.sys"},
        {L"\\??\\system32\\x.sys", windows + L"\\system32\\x.sys"},
        {L"System32\\x.sys", L"System32\\x.sys"},
        {L"\\systemroot\\x.sys", L"\\systemroot\\x.sys"},
        {L"%SystemRoot%\\x.sys", L"%SystemRoot%\\x.sys"},
        {L"", L""}};
    CTestKey key(kServicesKey + L"MsiCATestImage");
    CDriverInstaller installer;
    std::wstring path;
    EXPECT_FALSE(installer.GetImagePath(L"MsiCATestImage", path)); // no ImagePath value
    for (const DWORD type : {REG_SZ, REG_EXPAND_SZ})
        for (const auto& [stored, expected] : cases)
        {
            key.SetString(L"ImagePath", stored, type);
            EXPECT_TRUE(installer.GetImagePath(L"MsiCATestImage", path));
            EXPECT_EQ(expected, path) << Narrow(stored);
        }
    SetEnvironmentVariableW(L"SystemRoot", windows.c_str());
}

TEST(DriverInstaller, RegisterWithoutAPathAddAnEventSourceAndUninstall)
{
    const wchar_t* const name = L"MsiCATestDrv";
    const std::wstring sourceKey = kEventLogKey + L"\\MsiCATestDrv";
    RemoveService(name);
    CTraceCapture trace(1);
    CDriverInstaller installer;

    ASSERT_TRUE(installer.Register(name, L"MsiCA Test Driver"));
    std::wstring imagePath;
    EXPECT_TRUE(ReadStringValue(kServicesKey + name, L"ImagePath", imagePath));
    EXPECT_EQ(_wgetenv(L"windir") + std::wstring(L"\\system32\\drivers\\MsiCATestDrv.sys"), imagePath);
    EXPECT_FALSE(installer.Register(name, L"MsiCA Test Driver", L"C:\\elsewhere.sys"));
    EXPECT_EQ(DWORD{ERROR_SERVICE_EXISTS}, GetLastError());

    // The message files up to the first empty one, unexpanded; all three event types.
    const wchar_t* const files[] = {L"C:\\Windows\\system32\\drivers\\ImbDrvNT.sys",
                                    L"%SYSTEMROOT%\\system32\\IoLogMsg.dll", L"", L"C:\\never.dll", nullptr};
    EXPECT_TRUE(installer.AddEventSource(name, files));
    std::wstring messageFiles;
    DWORD types = 0;
    EXPECT_TRUE(ReadStringValue(sourceKey, L"EventMessageFile", messageFiles));
    EXPECT_EQ(L"C:\\Windows\\system32\\drivers\\ImbDrvNT.sys;%SYSTEMROOT%\\system32\\IoLogMsg.dll",
              messageFiles);
    EXPECT_TRUE(ReadDwordValue(sourceKey, L"TypesSupported", types) && types == 7);

    DWORD error = 0xdeadbeef;
    EXPECT_TRUE(Uninstall(name, &error) && error == 0);
    EXPECT_FALSE(ServiceExists(name) || KeyExists(sourceKey));
    EXPECT_TRUE(KeyExists(kEventLogKey));
    // A missing source: false, and the line says why.
    EXPECT_FALSE(installer.RemoveEventSource(name));
    EXPECT_TRUE(trace.Contains(L"ERROR 0x2! FAILED to open key \"" + sourceKey + L"\""));
}

TEST(DriverInstaller, StartsAreCountedInAVolatileKeyAndADriverThatWillNotStopStays)
{
    const wchar_t* const name = L"MsiCATestCounted";
    CTestService driver(name);
    CFaultInjector injector;
    CVirtualClock clock(injector);
    clock.OnSleep(&LetServicesRun);
    CTraceCapture trace(4);
    CDriverInstaller installer;

    EXPECT_TRUE(installer.StartDriver(name));
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, ServiceState(name));
    EXPECT_TRUE(installer.StartDriver(name)); // already running: still counted
    DWORD count = 0;
    const std::wstring counterKey = kServicesKey + name + L"\\SharedCounter";
    EXPECT_TRUE(ReadDwordValue(counterKey, L"StartCount", count) && count == 2);
    HKEY child = nullptr; // Windows refuses a lasting key below a volatile one.
    EXPECT_EQ(LONG{ERROR_CHILD_MUST_BE_VOLATILE},
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, (counterKey + L"\\Lasting").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr));
    EXPECT_TRUE(installer.StopDriver(name) && ServiceState(name) == SERVICE_STOPPED);
    EXPECT_EQ(2u, installer.ReadCounter(name, L"StartCount"));

    // A driver that is not there gets no counter (nor a key of its own).
    EXPECT_EQ(0u, installer.IncrementCounter(L"MsiCATestAbsent", L"StartCount"));
    EXPECT_FALSE(KeyExists(kServicesKey + L"MsiCATestAbsent"));

    // One that refuses the stop control is left in place: no lock, no deletion. Its event
    // source goes all the same.
    CTestService stubborn(L"MsiCATestStubbornDrv", L"--no-stop");
    ASSERT_TRUE(stubborn.Start());
    const wchar_t* const files[] = {L"C:\\x.sys", L""};
    installer.AddEventSource(L"MsiCATestStubbornDrv", files);
    DWORD error = 0;
    EXPECT_TRUE(!Uninstall(L"MsiCATestStubbornDrv", &error) && error == ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, ServiceState(L"MsiCATestStubbornDrv"));
    EXPECT_FALSE(trace.Contains(L"Lock service database"));
    EXPECT_FALSE(KeyExists(kEventLogKey + L"\\MsiCATestStubbornDrv"));
}

TEST(DriverInstaller, UnregisterDeletesUnderTheDatabaseLockTakenInTenTriesFiveSecondsApart)
{
    CFaultInjector injector;
    CVirtualClock clock(injector);
    CFakeScm scm(injector);
    static CFakeScm* held; // the deletion fails once the lock is given back
    held = &scm;
    SCM_FAKE(injector, DeleteService,
             [](auto...) { return BOOL{held->unlockCalls == 0 && ++held->deleteCalls}; });
    CDriverInstaller installer;

    // Locked throughout: ten tries, five seconds apart, and nothing deleted.
    scm.lockErrors.assign(10, ERROR_SERVICE_DATABASE_LOCKED);
    EXPECT_TRUE(!installer.Unregister(L"MsiCATestLocked") && GetLastError() == ERROR_SERVICE_DATABASE_LOCKED);
    EXPECT_EQ(10, scm.lockCalls);
    EXPECT_EQ(std::vector<DWORD>(9, 5000), clock.Sleeps());
    EXPECT_EQ(0, scm.deleteCalls + scm.unlockCalls);

    // Obtained at the third try: a failure other than 'locked' is tried again at once.
    scm.lockErrors = {ERROR_SERVICE_DATABASE_LOCKED, ERROR_ACCESS_DENIED};
    EXPECT_TRUE(installer.Unregister(L"MsiCATestLocked"));
    EXPECT_EQ(std::tuple(13, size_t(10), 1, 1),
              std::tuple(scm.lockCalls, clock.Sleeps().size(), scm.deleteCalls, scm.unlockCalls));
}
