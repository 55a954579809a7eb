#include "support/TraceCapture.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>

namespace
{
const wchar_t kTag[] = L"\nConfigTest          : ";
int g_deny; // 1: the global key, else anything in the 64-bit view
} // namespace

TEST(TraceConfig, EachSinkFollowsItsLevel)
{
    CTraceCapture sinks(0);
    DeleteKeyTree(L"SOFTWARE\\Debug");
    EXPECT_FALSE(CTrace().IsActive()) << "nothing configured";
    EXPECT_EQ(0, sinks.consolesAllocated);

    TraceRegistry registry;
    registry.application.SetDword(L"ConDebugLevel", 2).SetDword(L"WinDebugLevel", 1);
    CTrace trace;
    for (unsigned level : {1u, 2u, 3u, 0u})
        trace.Print(level, L"%slevel %u", kTag, level);
    const std::wstring tag = kTag;
    EXPECT_EQ((std::vector<std::wstring>{tag + L"level 1", tag + L"level 2", tag + L"level 0"}),
              sinks.console)
        << "level 0 counts as 1";
    EXPECT_EQ((std::vector<std::wstring>{tag.substr(1) + L"level 1\n", tag.substr(1) + L"level 0\n"}),
              sinks.debugger);
    trace.ReadConfig();
    EXPECT_EQ(1, sinks.consolesAllocated) << "one console for the life of the process";
}

// TraceEnabled 0 or an unreadable global key silence every sink; a key denied in the 64-bit view is read
// without it.
TEST(TraceConfig, TheGlobalKeyDecidesWhetherAnythingIsWritten)
{
    CTestDir dir;
    FileTraceRegistry registry(dir / L"trace.log");
    registry.application.SetDword(L"WinDebugLevel", 6);
    // TraceEnabled 0, the global key denied, the 64-bit view denied (in case 0 too).
    for (const int deny : {0, 1, 2})
    {
        CTraceCapture sinks(0);
        CFaultInjector injector;
        registry.global.SetDword(L"TraceEnabled", deny != 0);
        g_deny = deny;
        FAKE_IMPORT(injector, "advapi32.dll", RegOpenKeyExW,
                    [](HKEY key, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result) {
                        const bool denied = g_deny == 1 ? !_wcsicmp(subKey, L"SOFTWARE\\Debug")
                                                        : (access & KEY_WOW64_64KEY) != 0;
                        return denied ? LONG{ERROR_ACCESS_DENIED}
                                      : ORIGINAL(RegOpenKeyExW)(key, subKey, options, access, result);
                    });
        CTrace trace;
        EXPECT_TRUE(trace.IsActive()) << "callers still make their calls";
        trace.Print(1, L"%sline %d", kTag, 1);
        EXPECT_EQ(deny == 2, !sinks.debugger.empty());
        EXPECT_EQ(deny == 2, FileExists(dir / L"trace.log"));
    }
}

TEST(TraceConfig, FileSettings)
{
    CTraceCapture sinks(0);
    TraceRegistry registry;
    registry.application.SetDword(L"FileDebugLevel", 2).SetString(L"TraceFile", L"C:\\trace.log");
    EXPECT_EQ(52428800u, CTrace().FileSizeLimit()) << "without a limit";
    // Longer than 520 bytes, empty, of another type, or no file level: no file sink.
    for (const std::wstring& value : {std::wstring(270, L'x'), std::wstring()})
    {
        registry.application.SetString(L"TraceFile", value);
        EXPECT_FALSE(CTrace().IsActive());
    }
    EXPECT_FALSE((registry.application.SetDword(L"TraceFile", 5), CTrace().IsActive()));
    registry.application.SetString(L"TraceFile", L"C:\\never.log").SetDword(L"FileDebugLevel", 0);
    EXPECT_STREQ(L"", CTrace().FilePath()) << "the path is not even read";
}

TEST(TraceConfig, DynamicUpdateRereadsAfterItsInterval)
{
    CTraceCapture sinks(0);
    CFaultInjector injector;
    CVirtualClock clock(injector, 5'000'000);
    TraceRegistry registry;
    registry.global.SetDword(L"DynamicUpdate", 30);
    registry.application.SetDword(L"WinDebugLevel", 1);
    CTrace trace;
    registry.application.SetDword(L"WinDebugLevel", 0);
    clock.Advance(29'999);
    trace.Print(1, L"%sold configuration", kTag);
    clock.Advance(1);
    trace.Print(1, L"%sre-read before this line", kTag);
    EXPECT_TRUE(sinks.debugger.size() == 1 && trace.IsActive())
        << "dynamic update keeps it active without sinks";

    registry.application.SetDword(L"WinDebugLevel", 1);
    clock.Set(1'000); // the 32-bit tick count wrapped: re-read at once
    trace.Print(1, L"%swrapped", kTag);
    EXPECT_EQ(2u, sinks.debugger.size());
}
