#include "CustomActionFrame.h"
#include "support/TraceCapture.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <msiquery.h>
#include <stdexcept>

// The installer-log sink: what reaches MsiProcessMessage, and only while an action runs.

namespace
{
const MSIHANDLE kInstall = 0x4711;
std::vector<std::wstring> g_messages; // "handle type: text" per message

std::wstring Message(const std::wstring& text)
{
    return std::to_wstring(kInstall) + L" " + std::to_wstring(INSTALLMESSAGE_INFO >> 24) + L": " + text;
}

UINT TracingBody(MSIHANDLE)
{
    TRACE(2, L"\n\nLogTest             : [C:\\Temp] {x}\n                      second line");
    TRACE(3, L"\nLogTest             : too detailed");
    return 7;
}

class MsiLog : public testing::Test
{
  protected:
    MsiLog()
    {
        g_messages.clear();
        FAKE_IMPORT(injector, "msi.dll", MsiProcessMessage,
                    [](MSIHANDLE install, INSTALLMESSAGE type, MSIHANDLE record) {
                        if (type != INSTALLMESSAGE_INFO) // the action's progress
                            return IDOK;
                        wchar_t text[512] = L"";
                        DWORD size = ARRAYSIZE(text);
                        MsiRecordGetStringW(record, 0, text, &size);
                        g_messages.push_back(std::to_wstring(install) + L" " + std::to_wstring(type >> 24) +
                                             L": " + text);
                        return IDOK;
                    });
    }
    ~MsiLog() override
    {
        DeleteKeyTree(L"SOFTWARE\\Debug");
        g_Trace.ReadConfig();
    }

    CTraceCapture sinks{0};
    CFaultInjector injector;
    TraceRegistry registry;
};
} // namespace

TEST_F(MsiLog, LinesOfARunningActionReachTheInstallerEscapedOneMessageEachOnlyWhenAsked)
{
    registry.application.SetDword(L"MsiLogDebugLevel", 2);
    g_Trace.ReadConfig();
    EXPECT_TRUE(g_Trace.IsActive()) << "the installer log alone activates the trace";
    TRACE(1, L"\nLogTest             : no action runs");
    EXPECT_EQ(7u, RunCustomAction(L"TracingAction", L"", kInstall, TracingBody));
    EXPECT_EQ(9u, RunCustomAction(
                      L"FaultingAction", L"", kInstall,
                      [](MSIHANDLE) -> UINT {
                          TRACE(2, L"\nLogTest             : before the fault");
                          return *static_cast<volatile UINT*>(nullptr);
                      },
                      9));
    EXPECT_EQ(9u, RunCustomAction(
                      L"ThrowingAction", L"", kInstall,
                      [](MSIHANDLE) -> UINT { throw std::runtime_error("x"); }, 9));
    TRACE(1, L"\nLogTest             : after the actions");

    const std::vector<std::wstring> expected = {
        Message(L"MsiCA               : TracingAction"),
        Message(L"LogTest             : [\\[]C:\\Temp[\\]] [\\{]x[\\}]"),
        Message(L"                      second line"),
        Message(L"MsiCA               : FaultingAction"),
        Message(L"LogTest             : before the fault"),
        Message(L"MsiCA               : ## ERROR 0xC0000005! Exception in FaultingAction - action abandoned "
                L"(result 9)!"),
        Message(L"MsiCA               : ThrowingAction"),
        Message(L"MsiCA               : ## ERROR 0xE0474343! Exception in ThrowingAction - action abandoned "
                L"(result 9)!")};
    EXPECT_EQ(expected, g_messages);

    registry.application.DeleteValue(L"MsiLogDebugLevel").SetDword(L"WinDebugLevel", 6);
    g_Trace.ReadConfig();
    EXPECT_EQ(7u, RunCustomAction(L"TracingAction", L"", kInstall, TracingBody));
    EXPECT_EQ(expected, g_messages) << "without its value no line reaches the log";
    EXPECT_FALSE(sinks.debugger.empty()) << "the other sinks still write";
}
