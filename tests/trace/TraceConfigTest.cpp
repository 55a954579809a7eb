#include "TraceSinks.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

namespace
{
const wchar_t kTag[] = L"\nConfigTest          : ";

std::wstring Line(const wchar_t* text)
{
    return std::wstring(kTag) + text;
}
} // namespace

TEST(TraceConfig, NothingConfiguredMeansNothingAtAll)
{
    CTraceSinks sinks;
    DeleteKeyTree(L"SOFTWARE\\Debug");
    CTrace trace;
    EXPECT_FALSE(trace.IsActive());
    sinks.formatCalls = 0;
    trace.Print(1, L"%s", L"never");
    EXPECT_EQ(0, sinks.consolesAllocated);
    EXPECT_TRUE(sinks.console.empty());
    EXPECT_TRUE(sinks.debugger.empty());
    EXPECT_EQ(0, sinks.formatCalls);
}

TEST(TraceConfig, ConsoleLevelDecidesWhichLinesArrive)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    registry.application.SetDword(L"ConDebugLevel", 2);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());
    EXPECT_TRUE(trace.IsTraceEnabled()) << "an absent TraceEnabled means on";
    EXPECT_EQ(1, sinks.consolesAllocated);

    trace.Print(1, L"%sone", kTag);
    trace.Print(2, L"%stwo", kTag);
    trace.Print(3, L"%sthree", kTag);
    trace.Print(0, L"%szero", kTag);
    ASSERT_EQ(3u, sinks.console.size());
    EXPECT_EQ(Line(L"one"), sinks.console[0]);
    EXPECT_EQ(Line(L"two"), sinks.console[1]);
    EXPECT_EQ(Line(L"zero"), sinks.console[2]) << "level 0 is level 1";
    EXPECT_TRUE(sinks.debugger.empty());

    // A console once allocated stays; a re-read does not allocate another.
    trace.ReadConfig();
    EXPECT_EQ(1, sinks.consolesAllocated);
}

TEST(TraceConfig, DebuggerLevelDecidesWhichLinesArrive)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    registry.application.SetDword(L"WinDebugLevel", 6);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());
    EXPECT_EQ(0, sinks.consolesAllocated);
    trace.Print(6, L"%sdetail %d", kTag, 6);
    ASSERT_EQ(1u, sinks.debugger.size());
    EXPECT_EQ(L"ConfigTest          : detail 6\n", sinks.debugger[0]);
}

TEST(TraceConfig, TraceEnabledZeroSilencesEverySinkWithoutFormatting)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    CTestDir dir;
    registry.global.SetDword(L"TraceEnabled", 0);
    registry.application.SetDword(L"ConDebugLevel", 6)
        .SetDword(L"WinDebugLevel", 6)
        .SetDword(L"FileDebugLevel", 6)
        .SetString(L"TraceFile", dir / L"trace.log");
    CTrace trace;
    EXPECT_TRUE(trace.IsActive()) << "callers still make their calls";
    EXPECT_FALSE(trace.IsTraceEnabled());
    sinks.formatCalls = 0;
    trace.Print(1, L"%sshould not appear %d", kTag, 1);
    EXPECT_TRUE(sinks.console.empty());
    EXPECT_TRUE(sinks.debugger.empty());
    EXPECT_FALSE(FileExists(dir / L"trace.log"));
    EXPECT_EQ(0, sinks.formatCalls);
}

TEST(TraceConfig, FileLimitEncodings)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    CTestDir dir;
    registry.application.SetDword(L"FileDebugLevel", 1).SetString(L"TraceFile", dir / L"trace.log");
    const struct
    {
        DWORD value;
        ULONGLONG bytes;
    } cases[] = {{10, 10485760ull}, {0x80001000u, 4096ull}, {0, 52428800ull}, {1, 1048576ull}};
    for (const auto& c : cases)
    {
        registry.application.SetDword(L"TraceFileLimit", c.value);
        CTrace trace;
        EXPECT_EQ(c.bytes, trace.FileSizeLimit()) << "TraceFileLimit 0x" << std::hex << c.value;
    }
    registry.application.DeleteValue(L"TraceFileLimit");
    CTrace trace;
    EXPECT_EQ(52428800ull, trace.FileSizeLimit());
}

TEST(TraceConfig, TraceFilePathByValueType)
{
    CTraceSinks sinks;
    TraceRegistry registry;
    registry.application.SetDword(L"FileDebugLevel", 2);
    wchar_t temp[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    ASSERT_GT(length, 0u);

    registry.application.SetString(L"TraceFile", L"%TEMP%\\msica-config.log", REG_EXPAND_SZ);
    {
        CTrace trace;
        EXPECT_EQ(std::wstring(temp) + L"\\msica-config.log", trace.FilePath());
        EXPECT_TRUE(trace.IsActive());
    }
    registry.application.SetString(L"TraceFile", L"%TEMP%\\msica-config.log", REG_SZ);
    {
        CTrace trace;
        EXPECT_STREQ(L"%TEMP%\\msica-config.log", trace.FilePath());
    }
    // Wrong type, too long, empty: no file sink.
    registry.application.SetDword(L"TraceFile", 5);
    EXPECT_FALSE(CTrace().IsActive());
    registry.application.SetString(L"TraceFile", std::wstring(270, L'x'));
    EXPECT_FALSE(CTrace().IsActive());
    registry.application.SetString(L"TraceFile", L"");
    EXPECT_FALSE(CTrace().IsActive());

    // Without a file level the path is not even read.
    registry.application.SetString(L"TraceFile", L"C:\\never.log").SetDword(L"FileDebugLevel", 0);
    CTrace trace;
    EXPECT_FALSE(trace.IsActive());
    EXPECT_STREQ(L"", trace.FilePath());
}

namespace
{
LONG WINAPI DenyTheSixtyFourBitView(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    if (access & KEY_WOW64_64KEY)
    {
        return ERROR_ACCESS_DENIED;
    }
    using Real = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    return reinterpret_cast<Real>(CFaultInjector::Original("RegOpenKeyExW"))(key, subKey, options, access,
                                                                             result);
}
} // namespace

LONG WINAPI DenyTheGlobalKey(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    if (subKey && _wcsicmp(subKey, L"SOFTWARE\\Debug") == 0)
    {
        return ERROR_ACCESS_DENIED;
    }
    using Real = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    return reinterpret_cast<Real>(CFaultInjector::Original("RegOpenKeyExW"))(key, subKey, options, access,
                                                                             result);
}

TEST(TraceConfig, AccessDeniedInTheSixtyFourBitViewRetriesPlain)
{
    CTraceSinks sinks;
    sinks.injector.Replace("advapi32.dll", "RegOpenKeyExW", &DenyTheSixtyFourBitView);
    TraceRegistry registry;
    registry.application.SetDword(L"WinDebugLevel", 1);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());
    EXPECT_EQ(1u, trace.DebuggerLevel());
}

TEST(TraceConfig, AGlobalKeyThatCannotBeOpenedKeepsTheTraceSilent)
{
    CTraceSinks sinks;
    sinks.injector.Replace("advapi32.dll", "RegOpenKeyExW", &DenyTheGlobalKey);
    TraceRegistry registry;
    registry.application.SetDword(L"WinDebugLevel", 6);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());
    EXPECT_FALSE(trace.IsTraceEnabled());
    trace.Print(1, L"%snot written", kTag);
    EXPECT_TRUE(sinks.debugger.empty());
}

TEST(TraceConfig, DynamicUpdateRereadsAfterItsInterval)
{
    CTraceSinks sinks;
    CVirtualClock clock(sinks.injector, 5'000'000);
    TraceRegistry registry;
    registry.global.SetDword(L"DynamicUpdate", 30);
    registry.application.SetDword(L"WinDebugLevel", 1);
    CTrace trace;
    EXPECT_TRUE(trace.IsActive());

    registry.application.SetDword(L"WinDebugLevel", 0);
    clock.Advance(29'999);
    trace.Print(1, L"%sbefore", kTag);
    EXPECT_EQ(1u, sinks.debugger.size()) << "29.999 s after the read: old configuration";

    clock.Advance(1);
    trace.Print(1, L"%safter", kTag);
    EXPECT_EQ(1u, sinks.debugger.size()) << "30 s after the read: re-read before the line";
    EXPECT_TRUE(trace.IsActive()) << "dynamic update keeps the trace active without sinks";

    // A clock that went backwards (the 32-bit tick count wrapped) re-reads at once.
    registry.application.SetDword(L"WinDebugLevel", 1);
    clock.Set(1'000);
    trace.Print(1, L"%swrapped", kTag);
    ASSERT_EQ(2u, sinks.debugger.size());
    EXPECT_EQ(L"ConfigTest          : wrapped\n", sinks.debugger[1]);
}
