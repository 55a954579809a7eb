#include "TraceSinks.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

namespace
{
const wchar_t kTag[] = L"\nConfigTest          : ";

LONG WINAPI RealRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    using Real = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    return reinterpret_cast<Real>(CFaultInjector::Original("RegOpenKeyExW"))(key, subKey, options, access,
                                                                             result);
}

LONG WINAPI DenyTheSixtyFourBitView(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return (access & KEY_WOW64_64KEY) ? ERROR_ACCESS_DENIED
                                      : RealRegOpenKeyExW(key, subKey, options, access, result);
}

LONG WINAPI DenyTheGlobalKey(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    return _wcsicmp(subKey, L"SOFTWARE\\Debug") == 0
               ? ERROR_ACCESS_DENIED
               : RealRegOpenKeyExW(key, subKey, options, access, result);
}
} // namespace

TEST(TraceConfig, EachSinkFollowsItsLevel)
{
    CTraceSinks sinks;
    DeleteKeyTree(L"SOFTWARE\\Debug");
    {
        CTrace trace;
        EXPECT_FALSE(trace.IsActive()) << "nothing configured";
        trace.Print(1, L"%snever", kTag);
    }
    EXPECT_EQ(0, sinks.consolesAllocated);

    TraceRegistry registry;
    registry.application.SetDword(L"ConDebugLevel", 2).SetDword(L"WinDebugLevel", 1);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());
    EXPECT_TRUE(trace.IsTraceEnabled()) << "an absent TraceEnabled means on";
    for (unsigned level : {1u, 2u, 3u, 0u})
        trace.Print(level, L"%slevel %u", kTag, level);
    const std::vector<std::wstring> console = {L"\nConfigTest          : level 1",
                                               L"\nConfigTest          : level 2",
                                               L"\nConfigTest          : level 0"};
    EXPECT_EQ(console, sinks.console) << "level 0 counts as 1";
    const std::vector<std::wstring> debugger = {L"ConfigTest          : level 1\n",
                                                L"ConfigTest          : level 0\n"};
    EXPECT_EQ(debugger, sinks.debugger);
    trace.ReadConfig();
    EXPECT_EQ(1, sinks.consolesAllocated) << "one console for the life of the process";
}

TEST(TraceConfig, TraceEnabledZeroOrNoGlobalKeySilencesEveryoneWithoutFormatting)
{
    CTestDir dir;
    TraceRegistry registry;
    registry.application.SetDword(L"ConDebugLevel", 6)
        .SetDword(L"WinDebugLevel", 6)
        .SetDword(L"FileDebugLevel", 6)
        .SetString(L"TraceFile", dir / L"trace.log");
    for (bool denyGlobalKey : {false, true})
    {
        CTraceSinks sinks;
        if (denyGlobalKey)
        {
            sinks.injector.Replace("advapi32.dll", "RegOpenKeyExW", &DenyTheGlobalKey);
        }
        else
        {
            registry.global.SetDword(L"TraceEnabled", 0);
        }
        CTrace trace;
        EXPECT_TRUE(trace.IsActive()) << "callers still make their calls";
        sinks.formatCalls = 0;
        trace.Print(1, L"%snot written %d", kTag, 1);
        EXPECT_TRUE(sinks.console.empty() && sinks.debugger.empty());
        EXPECT_FALSE(FileExists(dir / L"trace.log"));
        EXPECT_EQ(0, sinks.formatCalls);
    }
}

TEST(TraceConfig, FileSettings)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    registry.application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", L"C:\\trace.log");
    const std::pair<DWORD, ULONGLONG> limits[] = {{10, 10485760}, {0x80001000u, 4096}, {0, 52428800}};
    for (const auto& limit : limits)
    {
        registry.application.SetDword(L"TraceFileLimit", limit.first);
        EXPECT_EQ(limit.second, CTrace().FileSizeLimit()) << std::hex << limit.first;
    }
    registry.application.DeleteValue(L"TraceFileLimit");
    EXPECT_EQ(52428800u, CTrace().FileSizeLimit());

    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH), 0u);
    registry.application.SetString(L"TraceFile", L"%TEMP%\\x.log", REG_EXPAND_SZ);
    EXPECT_EQ(std::wstring(temp) + L"\\x.log", CTrace().FilePath());
    registry.application.SetString(L"TraceFile", L"%TEMP%\\x.log", REG_SZ);
    EXPECT_STREQ(L"%TEMP%\\x.log", CTrace().FilePath());

    // A value of another type, longer than 520 bytes or empty, or no file level: no file sink.
    registry.application.SetDword(L"TraceFile", 5);
    EXPECT_FALSE(CTrace().IsActive());
    registry.application.SetString(L"TraceFile", std::wstring(270, L'x'));
    EXPECT_FALSE(CTrace().IsActive());
    registry.application.SetString(L"TraceFile", L"");
    EXPECT_FALSE(CTrace().IsActive());
    registry.application.SetString(L"TraceFile", L"C:\\never.log").SetDword(L"FileDebugLevel", 0);
    EXPECT_STREQ(L"", CTrace().FilePath()) << "the path is not even read";
}

TEST(TraceConfig, AccessDeniedInTheSixtyFourBitViewRetriesPlain)
{
    CTraceSinks sinks;
    sinks.injector.Replace("advapi32.dll", "RegOpenKeyExW", &DenyTheSixtyFourBitView);
    TraceRegistry registry;
    registry.application.SetDword(L"WinDebugLevel", 1);
    EXPECT_EQ(1u, CTrace().DebuggerLevel());
}

TEST(TraceConfig, DynamicUpdateRereadsAfterItsInterval)
{
    CTraceSinks sinks;
    CVirtualClock clock(sinks.injector, 5'000'000);
    TraceRegistry registry;
    registry.global.SetDword(L"DynamicUpdate", 30);
    registry.application.SetDword(L"WinDebugLevel", 1);
    CTrace trace;

    registry.application.SetDword(L"WinDebugLevel", 0);
    clock.Advance(29'999);
    trace.Print(1, L"%sold configuration", kTag);
    clock.Advance(1);
    trace.Print(1, L"%sre-read before this line", kTag);
    EXPECT_EQ(1u, sinks.debugger.size());
    EXPECT_TRUE(trace.IsActive()) << "dynamic update keeps the trace active without sinks";

    // A tick count that went back (the 32-bit count wrapped) re-reads at once.
    registry.application.SetDword(L"WinDebugLevel", 1);
    clock.Set(1'000);
    trace.Print(1, L"%swrapped", kTag);
    ASSERT_EQ(2u, sinks.debugger.size());
    EXPECT_EQ(L"ConfigTest          : wrapped\n", sinks.debugger[1]);
}
