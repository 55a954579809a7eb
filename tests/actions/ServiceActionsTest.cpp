// The core-service actions and the final configuration, called as the installer calls
// them, against Wine's service control manager with the stand-in service as SntSvc.
#include "CustomActions.h"
#include "InstallationDate.h"
#include "support/FakeScm.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>

namespace
{
const std::wstring kSetupKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup";
DWORD g_dependentsAsked = 0; // the states asked for

// A moment of 3 February 2026.
SYSTEMTIME At(WORD hour, WORD minute, WORD second, WORD ms = 0)
{
    return {2026, 2, 2, 3, hour, minute, second, ms};
}

FILETIME FileTime(const SYSTEMTIME& time)
{
    FILETIME fileTime{};
    SystemTimeToFileTime(&time, &fileTime);
    return fileTime;
}

// The date recorded for these readings of the clocks.
std::wstring DateFor(const SYSTEMTIME& utc, const SYSTEMTIME& local, const SYSTEMTIME& utcAgain)
{
    LONG value = 0;
    EXPECT_TRUE(LocalTimeValue(utc, local, FileTime(utcAgain), value));
    return FormatInstallationDate(value);
}
} // namespace

// 09:05:07 local at +5:30 and -3:30, the UTC file time read at the same moment, a few
// seconds off either way, or half a minute off, which is a minute of offset.
TEST(InstallationDate, LocalOffsetsAreRoundedToTheMinute)
{
    const std::tuple<WORD, SYSTEMTIME, const wchar_t*> cases[] = {
        {3, At(3, 35, 7), L"05:07"},       {12, At(12, 35, 7), L"05:07"},  {3, At(3, 35, 3), L"05:07"},
        {3, At(3, 35, 11, 600), L"05:07"}, {12, At(12, 35, 29), L"05:07"}, {3, At(3, 34, 37), L"06:07"},
        {12, At(12, 35, 37), L"04:07"}};
    for (const auto& [utcHour, utcAgain, expected] : cases)
        EXPECT_EQ(L"02/03/2026 09:" + std::wstring(expected),
                  DateFor(At(utcHour, 35, 7), At(9, 5, 7), utcAgain));
    const SYSTEMTIME later{2040, 7, 3, 4, 23, 0, 0, 0}; // past January 2038
    EXPECT_EQ(L"07/04/2040 23:00:00", DateFor(later, later, later));
}

TEST(ServiceActions, StartAndStopTheCoreService)
{
    CFaultInjector injector;
    CVirtualClock clock(injector);
    clock.OnSleep(&LetServicesRun);
    SCM_FAKE(injector, EnumDependentServicesW,
             [](SC_HANDLE, DWORD filter, LPENUM_SERVICE_STATUSW, DWORD, LPDWORD needed, LPDWORD count) {
                 g_dependentsAsked |= filter;
                 *needed = *count = 0;
                 return TRUE;
             });
    CTraceCapture trace(2);
    EXPECT_EQ(0u, vrxCA_StopSentrel(0)) << "no such service: traced, and the installation goes on";
    EXPECT_TRUE(trace.Contains(L"Stop service Sentrel failed!"));

    CTestService core(L"SntSvc", L"--start-pending 200 --start-hint 1500 --stop-pending 200");
    EXPECT_EQ(0u, vrxCA_StartSentrel(0));
    EXPECT_EQ(DWORD{SERVICE_RUNNING}, ServiceState(L"SntSvc"));
    EXPECT_EQ(0u, vrxCA_StopSentrel(0));
    EXPECT_EQ(DWORD{SERVICE_STOPPED}, ServiceState(L"SntSvc"));
    EXPECT_EQ(DWORD{SERVICE_STATE_ALL}, g_dependentsAsked); // dependents started and stopped too
    EXPECT_EQ(L"", trace.FirstFound({L"Wait hint", L"Sleep ", L"Open service control manager database"}))
        << "level 4 lines at level 2";
}

TEST(ServiceActions, FinalConfigRecordsTheLocalDateAndNoVersionWithoutItsExecutable)
{
    CTestKey vendor(L"SOFTWARE\\Arvetta");
    CTestKey setup(kSetupKey);
    CTestDir folder; // without SntSvc.exe
    setup.SetString(L"FileRoot", folder.Path());
    // 09:05:07 local, +5:30 from UTC.
    CFaultInjector injector;
    FAKE_IMPORT(injector, "kernel32.dll", GetSystemTime, [](LPSYSTEMTIME time) { *time = At(3, 35, 7); });
    FAKE_IMPORT(injector, "kernel32.dll", GetLocalTime, [](LPSYSTEMTIME time) { *time = At(9, 5, 7); });
    FAKE_IMPORT(injector, "kernel32.dll", GetSystemTimeAsFileTime,
                [](LPFILETIME time) { *time = FileTime(At(3, 35, 7)); });

    EXPECT_EQ(0u, vrxCA_FinalConfig(0));
    std::wstring installed, version;
    EXPECT_TRUE(ReadStringValue(kSetupKey, L"Installed", installed));
    EXPECT_TRUE(ReadStringValue(kSetupKey, L"Version", version));
    EXPECT_EQ(L"02/03/2026 09:05:07", installed);
    EXPECT_EQ(L"", version);
}
