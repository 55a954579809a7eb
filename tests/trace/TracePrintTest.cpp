#include "TraceSinks.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <regex>

namespace
{
// A trace whose console and debugger sinks are captured at level 6.
struct PrintFixture : testing::Test
{
    PrintFixture() { registry.application.SetDword(L"ConDebugLevel", 6).SetDword(L"WinDebugLevel", 6); }
    CTraceSinks sinks;
    TraceRegistry registry;
};

const wchar_t* volatile g_badString = reinterpret_cast<const wchar_t*>(0x10);
} // namespace

using TracePrint = PrintFixture;

TEST_F(TracePrint, EveryPrefixInItsOrderAndForm)
{
    registry.application.SetDword(L"DateStampOn", 1)
        .SetDword(L"TimeStampOn", 1)
        .SetDword(L"ThreadIdOn", 1)
        .SetDword(L"CpuIdOn", 1)
        .SetDword(L"MemUsageOn", 1)
        .SetDword(L"HandleCountOn", 1)
        .SetDword(L"AppNameOn", 1);
    CTrace trace;
    trace.Print(2, L"\nTag                 : %s", L"text");
    ASSERT_EQ(1u, sinks.console.size());
    const std::wregex form(
        LR"(\n\[\d{4}-\d{2}-\d{2}\] \[\d{2}:\d{2}:\d{2}\.\d{3}\] \(\d{6}\) #\d{2,} )"
        LR"(\{PB \d{5,}kB, MU \d{5,}kB\} \{\d{3,} H\} MsiCA:         Tag                 : text)");
    EXPECT_TRUE(std::regex_match(sinks.console[0], form)) << testing::PrintToString(sinks.console[0]);
}

TEST_F(TracePrint, TwoLeadingLineFeedsAsEachSinkReceivesThem)
{
    registry.application.SetDword(L"DateStampOn", 1).SetDword(L"TimeStampOn", 1);
    CTrace trace;
    trace.Print(1, L"\n\nTag                 : text");
    ASSERT_EQ(1u, sinks.console.size());
    EXPECT_EQ(L"\n\n[", sinks.console[0].substr(0, 3));
    // The debugger gets one leading line feed less: an empty message, then the line.
    ASSERT_EQ(2u, sinks.debugger.size());
    EXPECT_EQ(L"\n", sinks.debugger[0]);
    EXPECT_EQ(sinks.console[0].substr(2) + L"\n", sinks.debugger[1]);
}

TEST_F(TracePrint, LastErrorSurvivesEveryPath)
{
    CTrace trace;
    const std::wstring longText(3000, L'L');
    const std::wstring feeds(300, L'\n');
    const struct
    {
        const wchar_t* format;
        const wchar_t* argument;
    } calls[] = {
        {L"\nshort %s", L"x"}, {L"\nlong %s", longText.c_str()}, {feeds.c_str(), L""}, {nullptr, nullptr}};
    for (const auto& call : calls)
    {
        SetLastError(0xdeadbeef);
        trace.Print(1, call.format, call.argument);
        EXPECT_EQ(0xdeadbeefu, GetLastError());
    }
    ASSERT_EQ(3u, sinks.console.size()) << "a null format writes nothing";
    EXPECT_EQ(L"\nlong " + longText, sinks.console[1]) << "long messages use the heap, complete";
}

TEST_F(TracePrint, BufferTooSmallWhenLineFeedsAndPrefixesLeaveNoRoom)
{
    CTrace trace;
    const std::wstring feeds = std::wstring(256, L'\n') + L"text";
    trace.Print(3, feeds.c_str());
    trace.Print(4, L"%s", std::wstring(255, L'\n').c_str());
    ASSERT_EQ(2u, sinks.console.size());
    EXPECT_EQ(L"\n################ ERROR in TRACE - BUFFER TOO SMALL - FIXME! ################",
              sinks.console[0]);
    EXPECT_EQ(std::wstring(255, L'\n'), sinks.console[1]) << "255 line feeds as an argument still fit";
}

TEST_F(TracePrint, ABadPointerGivesTheExceptionNotice)
{
    CTrace trace;
    trace.Print(1, L"\nTag                 : value \"%s\"", g_badString);
    ASSERT_EQ(1u, sinks.console.size());
    const std::wstring& notice = sinks.console[0];
    EXPECT_EQ(0u, notice.find(L"\n\n#################################### EXCEPTION in TRACE ####"));
    EXPECT_NE(std::wstring::npos, notice.find(L"\nAppName=MsiCA, ThreadId="));
    EXPECT_NE(std::wstring::npos, notice.find(L"\nFormat: \"Tag                 : value \"%s\"\"\n"));
    EXPECT_EQ(
        L"############################################################################################\n",
        notice.substr(notice.size() - 93));
    EXPECT_FALSE(sinks.debugger.empty()) << "the debugger always gets the notice";

    // A format of more than 79 characters shows its first 76 and "...".
    const std::wstring longFormat = L"\n" + std::wstring(100, L'f') + L"%s";
    trace.Print(1, longFormat.c_str(), g_badString);
    ASSERT_EQ(2u, sinks.console.size());
    EXPECT_NE(std::wstring::npos, sinks.console[1].find(L"Format: \"" + std::wstring(76, L'f') + L"...\"\n"));

    // The trace goes on working afterwards.
    trace.Print(1, L"\nfine");
    EXPECT_EQ(L"\nfine", sinks.console.back());
}
