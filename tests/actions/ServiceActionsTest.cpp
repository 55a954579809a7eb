// The core-service actions and the final configuration, called as the installer calls
// them, against Wine's SCM with the stand-in service as SntSvc.
#include "CustomActions.h"
#include "InstallationDate.h"
#include "standins/TestService/TestServiceVersion.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <regex>

namespace
{
const std::wstring kSetupKey = L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup";
const wchar_t kTag[] = L"MsiCA               : ";

SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD ms = 0)
{
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    time.wMilliseconds = ms;
    return time;
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

// Everything the action wrote after its entry line, tags removed.
std::vector<std::wstring> ActionLines(const CTraceCapture& trace)
{
    std::vector<std::wstring> lines;
    for (const auto& line : trace.Lines())
    {
        const size_t tag = line.find(kTag);
        if (tag != std::wstring::npos)
        {
            lines.push_back(line.substr(tag + wcslen(kTag)));
        }
    }
    return lines;
}

// The clocks that the final configuration reads, fixed at one moment.
SYSTEMTIME g_utcNow;
SYSTEMTIME g_localNow;
void WINAPI FakeGetSystemTime(LPSYSTEMTIME time)
{
    *time = g_utcNow;
}
void WINAPI FakeGetLocalTime(LPSYSTEMTIME time)
{
    *time = g_localNow;
}
void WINAPI FakeGetSystemTimeAsFileTime(LPFILETIME time)
{
    *time = FileTime(g_utcNow);
}

SC_HANDLE WINAPI DeniedOpenSCManagerW(LPCWSTR, LPCWSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

// The core component's registry as an installation leaves it: the default core key with
// a Setup key whose FileRoot is a test folder.
struct InstalledProduct
{
    InstalledProduct() { setup.SetString(L"FileRoot", folder.Path()); }
    void AddCoreExecutable()
    {
        ASSERT_TRUE(CopyFileW(BinPath(L"TestService.exe").c_str(), (folder / L"SntSvc.exe").c_str(), FALSE));
    }
    CTestKey vendor{L"SOFTWARE\\Arvetta"};
    CTestKey setup{kSetupKey};
    CTestDir folder;
};
} // namespace

TEST(InstallationDate, LocalOffsetsAreAppliedToTheMinute)
{
    const SYSTEMTIME local = Time(2026, 2, 3, 9, 5, 7);
    // +5:30 and -3:30 exactly.
    EXPECT_EQ(L"02/03/2026 09:05:07", DateFor(Time(2026, 2, 3, 3, 35, 7), local, Time(2026, 2, 3, 3, 35, 7)));
    EXPECT_EQ(L"02/03/2026 09:05:07",
              DateFor(Time(2026, 2, 3, 12, 35, 7), local, Time(2026, 2, 3, 12, 35, 7)));
    // The readings a few seconds apart either way: the offset is still whole minutes.
    EXPECT_EQ(L"02/03/2026 09:05:07", DateFor(Time(2026, 2, 3, 3, 35, 7), local, Time(2026, 2, 3, 3, 35, 3)));
    EXPECT_EQ(L"02/03/2026 09:05:07",
              DateFor(Time(2026, 2, 3, 3, 35, 7), local, Time(2026, 2, 3, 3, 35, 11, 600)));
    EXPECT_EQ(L"02/03/2026 09:05:07",
              DateFor(Time(2026, 2, 3, 12, 35, 7), local, Time(2026, 2, 3, 12, 35, 29)));
    // Half a minute and more is a minute of offset.
    EXPECT_EQ(L"02/03/2026 09:06:07",
              DateFor(Time(2026, 2, 3, 3, 35, 7), local, Time(2026, 2, 3, 3, 34, 37)));
    EXPECT_EQ(L"02/03/2026 09:04:07",
              DateFor(Time(2026, 2, 3, 12, 35, 7), local, Time(2026, 2, 3, 12, 35, 37)));
    // The day and year turn with the offset; dates after January 2038 still read right.
    EXPECT_EQ(L"01/01/2027 01:29:59", DateFor(Time(2026, 12, 31, 19, 59, 59), Time(2027, 1, 1, 1, 29, 59),
                                              Time(2026, 12, 31, 19, 59, 59)));
    EXPECT_EQ(L"07/04/2040 23:00:00",
              DateFor(Time(2040, 7, 4, 23, 0, 0), Time(2040, 7, 4, 23, 0, 0), Time(2040, 7, 4, 23, 0, 0)));

    LONG value = 0;
    EXPECT_FALSE(LocalTimeValue(Time(2026, 13, 40, 0, 0, 0), local, FileTime(local), value));
    const std::wstring now = CurrentInstallationDate();
    EXPECT_TRUE(std::regex_match(now, std::wregex(L"\\d\\d/\\d\\d/20\\d\\d \\d\\d:\\d\\d:\\d\\d")))
        << Narrow(now);
}

TEST(ServiceActions, StartAndStopTheCoreService)
{
    CTestService core(L"SntSvc", L"--start-pending 200 --start-hint 1500 --stop-pending 200");
    CFaultInjector injector;
    CVirtualClock clock(injector);
    clock.OnSleep(&LetServicesRun);
    CTraceCapture trace(2);

    EXPECT_EQ(0u, vrxCA_StartSentrel(0));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), ServiceState(L"SntSvc"));
    EXPECT_EQ(std::vector<std::wstring>({L"vrxCA_StartSentrel", L"Starting service Sentrel ...",
                                         L"Sentrel service successfully started!"}),
              ActionLines(trace));
    // Running already: the same success.
    trace.Clear();
    EXPECT_EQ(0u, vrxCA_StartSentrel(0));
    EXPECT_TRUE(trace.Contains(L"Sentrel service successfully started!"));

    trace.Clear();
    EXPECT_EQ(0u, vrxCA_StopSentrel(0));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), ServiceState(L"SntSvc"));
    EXPECT_EQ(std::vector<std::wstring>({L"vrxCA_StopSentrel", L"Stopping service Sentrel ...",
                                         L"Sentrel service successfully stopped!"}),
              ActionLines(trace));
    EXPECT_EQ(5000u, clock.Sleeps().back());
}

TEST(ServiceActions, FailuresAreTracedAndTheInstallationGoesOn)
{
    CFaultInjector injector;
    CVirtualClock clock(injector);
    CTraceCapture trace(2);
    {
        CTestService disabled(L"SntSvc", L"", SERVICE_DISABLED);
        EXPECT_EQ(0u, vrxCA_StartSentrel(0));
        EXPECT_EQ(std::vector<std::wstring>({L"vrxCA_StartSentrel", L"Starting service Sentrel ...",
                                             L"Start service Sentrel failed!"}),
                  ActionLines(trace));
    }
    trace.Clear();
    EXPECT_EQ(0u, vrxCA_StopSentrel(0)); // no such service
    EXPECT_TRUE(trace.Contains(L"Stop service Sentrel failed!"));

    // No service database: nothing is tried.
    injector.Replace("advapi32.dll", "OpenSCManagerW", &DeniedOpenSCManagerW);
    trace.Clear();
    EXPECT_EQ(0u, vrxCA_StartSentrel(0));
    EXPECT_EQ(0u, vrxCA_StopSentrel(0));
    EXPECT_EQ(2u, trace.Count(L"ERROR! Open service manager failed!"));
    EXPECT_FALSE(trace.Contains(L"service Sentrel failed!"));
    EXPECT_TRUE(clock.Sleeps().empty());
}

TEST(ServiceActions, FinalConfigRecordsDateAndVersion)
{
    InstalledProduct product;
    product.AddCoreExecutable();
    CFaultInjector injector;
    g_utcNow = Time(2026, 2, 3, 3, 35, 7);
    g_localNow = Time(2026, 2, 3, 9, 5, 7);
    injector.Replace("kernel32.dll", "GetSystemTime", &FakeGetSystemTime);
    injector.Replace("kernel32.dll", "GetLocalTime", &FakeGetLocalTime);
    injector.Replace("kernel32.dll", "GetSystemTimeAsFileTime", &FakeGetSystemTimeAsFileTime);
    CTraceCapture trace(2);

    EXPECT_EQ(0u, vrxCA_FinalConfig(0));
    std::wstring installed;
    std::wstring version;
    EXPECT_TRUE(ReadStringValue(kSetupKey, L"Installed", installed));
    EXPECT_TRUE(ReadStringValue(kSetupKey, L"Version", version));
    EXPECT_EQ(L"02/03/2026 09:05:07", installed);
    EXPECT_EQ(L"" TESTSERVICE_PRODUCT_VERSION, version);
    EXPECT_EQ(std::vector<std::wstring>(
                  {L"vrxCA_FinalConfig",
                   L"Store installation date 02/03/2026 09:05:07 into registry \"" + kSetupKey + L"\"",
                   L"Store version "
                   L"" TESTSERVICE_PRODUCT_VERSION L" into registry \"" +
                       kSetupKey + L"\""}),
              ActionLines(trace));

    // Without SntSvc.exe the version is recorded empty.
    DeleteFileW((product.folder / L"SntSvc.exe").c_str());
    EXPECT_EQ(0u, vrxCA_FinalConfig(0));
    EXPECT_TRUE(ReadStringValue(kSetupKey, L"Version", version));
    EXPECT_EQ(L"", version);
}

TEST(ServiceActions, FinalConfigNeedsTheSetupKeyAndSkipsWindowsPE)
{
    CTestKey vendor(L"SOFTWARE\\Arvetta");
    CTraceCapture trace(2);
    EXPECT_EQ(0u, vrxCA_FinalConfig(0));
    EXPECT_EQ(
        std::vector<std::wstring>(
            {L"vrxCA_FinalConfig", L"ERROR 0x2! Could not open setup registry root \"" + kSetupKey + L"\""}),
        ActionLines(trace));
    EXPECT_FALSE(KeyExists(kSetupKey));

    InstalledProduct product;
    CTestKey miniNt(L"SYSTEM\\CurrentControlSet\\Control\\MiniNT");
    trace.Clear();
    EXPECT_EQ(0u, vrxCA_FinalConfig(0));
    EXPECT_EQ(std::vector<std::wstring>({L"vrxCA_FinalConfig"}), ActionLines(trace));
    std::wstring installed;
    EXPECT_FALSE(ReadStringValue(kSetupKey, L"Installed", installed));
}
