#include "support/TraceCapture.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <regex>

namespace
{
// Every sink at level 6: the console and the debugger captured, the file real.
struct TracePrint : testing::Test
{
    TracePrint() { registry.application.SetDword(L"ConDebugLevel", 6).SetDword(L"WinDebugLevel", 6); }
    CTestDir dir;
    CTraceCapture sinks{0};
    FileTraceRegistry registry{dir / L"trace.log"};
};

const wchar_t* volatile g_badString = reinterpret_cast<const wchar_t*>(0x10);
} // namespace

// Leading line feeds stand before the prefixes, which keep their order and form; the
// debugger gets one line feed less, as an empty message; a new file is UTF-16 behind FF FE
// with "\r\n" for each line feed.
TEST_F(TracePrint, LeadingLineFeedsPrefixesAndWhatEachSinkReceives)
{
    for (const wchar_t* flag : {L"DateStampOn", L"TimeStampOn", L"ThreadIdOn", L"CpuIdOn", L"MemUsageOn",
                                L"HandleCountOn", L"AppNameOn"})
        registry.application.SetDword(flag, 1);
    CTrace().Print(2, L"\n\nTag                 : %s\nContinued", L"text");
    ASSERT_EQ(1u, sinks.console.size());
    const std::wstring line = sinks.console[0].substr(2, sinks.console[0].size() - 12);
    EXPECT_TRUE(std::regex_match(
        sinks.console[0],
        std::wregex(LR"(\n\n\[\d{4}-\d\d-\d\d\] \[\d\d:\d\d:\d\d\.\d{3}\] \(\d{6}\) #\d{2,} )"
                    LR"(\{PB \d{5,}kB, MU \d{5,}kB\} \{\d{3,} H\} MsiCA: {9}Tag {17}: text)"
                    LR"(\nContinued)")))
        << Narrow(sinks.console[0]);
    EXPECT_EQ((std::vector<std::wstring>{L"\n", line + L"\n", L"Continued\n"}), sinks.debugger);
    EXPECT_EQ(L"\r\n\r\n" + line + L"\r\nContinued", ReadUtf16File(dir / L"trace.log"));
}

// With a real file the writer's own calls set errors (an existing file opens with 183).
// Line feeds and prefixes that leave no room give the BUFFER TOO SMALL line.
TEST_F(TracePrint, LastErrorSurvivesEveryPath)
{
    CTrace trace;
    const std::wstring longText(3000, L'L'), feeds(256, L'\n');
    const std::pair<const wchar_t*, const wchar_t*> calls[] = {{L"\nlong %s", longText.c_str()},
                                                               {feeds.c_str(), L""},
                                                               {L"%s", feeds.c_str() + 1},
                                                               {nullptr, nullptr}};
    for (int round = 0; round < 2; ++round)
        for (const auto& call : calls)
        {
            SetLastError(0xdeadbeef);
            trace.Print(1, call.first, call.second);
            EXPECT_EQ(0xdeadbeefu, GetLastError());
        }
    const std::vector<std::wstring> console = {
        L"\nlong " + longText, // long messages use the heap, complete
        L"\n################ ERROR in TRACE - BUFFER TOO SMALL - FIXME! ################",
        std::wstring(255, L'\n')}; // as an argument they still fit; a null format writes nothing
    EXPECT_EQ(console, std::vector<std::wstring>(sinks.console.begin() + 3, sinks.console.end()));
}

TEST_F(TracePrint, ABadPointerGivesTheExceptionNotice)
{
    CTrace trace;
    trace.Print(1, L"\nTag                 : value \"%s\"", g_badString);
    trace.Print(1, (L"\n" + std::wstring(100, L'f') + L"%s").c_str(), g_badString);
    trace.Print(1, L"\nfine");
    ASSERT_EQ(3u, sinks.console.size());
    const std::wregex notice(LR"(\n\n#{36} EXCEPTION in TRACE #{36}\nAppName=MsiCA, ThreadId=\d{6}, )"
                             LR"re(Date/Time=[-\d]{10} [:.\d]{12}\nFormat: "(.*)"\n#{92}\n)re");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(sinks.console[0], match, notice)) << Narrow(sinks.console[0]);
    EXPECT_EQ(L"Tag                 : value \"%s\"", match[1].str());
    EXPECT_TRUE(std::regex_match(sinks.console[1], match, notice) &&
                match[1] == std::wstring(76, L'f') + L"...")
        << "a long format is cut";
    EXPECT_EQ(L"\nfine", sinks.console[2]) << "the trace goes on working";
}
