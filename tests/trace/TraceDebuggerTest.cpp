#include "TraceSinks.h"
#include "support/TestFiles.h"
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace
{
// Runs a program under this process as its debugger and collects the strings it sends with
// OutputDebugString, as any debugger sees them.
std::vector<std::wstring> DebugStringsOf(std::wstring commandLine)
{
    std::vector<std::wstring> strings;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &process))
    {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
        return strings;
    }
    for (DEBUG_EVENT event{}; WaitForDebugEvent(&event, 30000);)
    {
        const DWORD code = event.dwDebugEventCode;
        if (code == OUTPUT_DEBUG_STRING_EVENT)
        {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            std::vector<char> bytes(info.nDebugStringLength * (info.fUnicode ? 2 : 1) + 2, 0);
            ReadProcessMemory(process.hProcess, info.lpDebugStringData, bytes.data(), bytes.size() - 2,
                              nullptr);
            strings.push_back(info.fUnicode
                                  ? std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()))
                                  : std::wstring(bytes.begin(), bytes.begin() + strlen(bytes.data())));
        }
        if (code == CREATE_PROCESS_DEBUG_EVENT || code == LOAD_DLL_DEBUG_EVENT)
            CloseHandle(code == LOAD_DLL_DEBUG_EVENT ? event.u.LoadDll.hFile
                                                     : event.u.CreateProcessInfo.hFile);
        const bool handled = code != EXCEPTION_DEBUG_EVENT ||
                             event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId,
                           handled ? DBG_CONTINUE : DBG_EXCEPTION_NOT_HANDLED);
        if (code == EXIT_PROCESS_DEBUG_EVENT)
            break;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return strings;
}
} // namespace

TEST(TraceDebugger, ARealDebuggerSeesOneMessagePerLine)
{
    TraceRegistry registry;
    registry.application.SetDword(L"WinDebugLevel", 2);
    std::vector<std::wstring> expected;
    for (const wchar_t* line :
         {L"DllMain: DLL_PROCESS_ATTACH", L"vrxCA_StartSentrel", L"Starting service Sentrel ...",
          L"Start service Sentrel failed!", L"vrxCA_StopSentrel", L"Stopping service Sentrel ...",
          L"Stop service Sentrel failed!", L"DllMain: DLL_PROCESS_DETACH"})
        expected.push_back(L"MsiCA               : " + std::wstring(line) + L"\n");
    EXPECT_EQ(expected,
              DebugStringsOf(L"\"" + BinPath(L"ca_host.exe") + L"\" vrxCA_StartSentrel vrxCA_StopSentrel"));
}
