#include "TraceSinks.h"
#include "support/TestFiles.h"
#include <gtest/gtest.h>
#include <vector>

namespace
{
// Runs a program under this process as its debugger and collects the strings it sends with
// OutputDebugString, as any debugger sees them.
std::vector<std::wstring> DebugStringsOf(const std::wstring& commandLine)
{
    std::vector<std::wstring> strings;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &startup, &process))
    {
        ADD_FAILURE() << "CreateProcess failed: " << GetLastError();
        return strings;
    }
    for (bool running = true; running;)
    {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, 30000))
        {
            ADD_FAILURE() << "the debuggee went quiet";
            TerminateProcess(process.hProcess, 1);
            break;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case OUTPUT_DEBUG_STRING_EVENT: {
            const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
            const size_t unit = info.fUnicode ? 2 : 1;
            std::vector<char> bytes(info.nDebugStringLength * unit);
            SIZE_T read = 0;
            ReadProcessMemory(process.hProcess, info.lpDebugStringData, bytes.data(), bytes.size(), &read);
            std::wstring text;
            if (info.fUnicode)
            {
                text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), read / 2);
            }
            else
            {
                text.assign(bytes.begin(), bytes.begin() + static_cast<long>(read));
            }
            text.resize(wcslen(text.c_str()));
            strings.push_back(text);
            break;
        }
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case CREATE_PROCESS_DEBUG_EVENT:
            CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            CloseHandle(event.u.LoadDll.hFile);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            running = false;
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
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
    const std::vector<std::wstring> strings =
        DebugStringsOf(L"\"" + BinPath(L"ca_host.exe") + L"\" vrxCA_StartSentrel moraCA_EMDataBackup");
    const std::vector<std::wstring> expected = {
        L"MsiCA               : DllMain: DLL_PROCESS_ATTACH\n",
        L"MsiCA               : vrxCA_StartSentrel\n",
        L"MsiCA               : Starting service Sentrel ...\n",
        L"MsiCA               : Start service Sentrel failed!\n",
        L"MsiCA               : moraCA_EMDataBackup\n",
        L"MsiCA               : WARNING! MSI Property \"RUNMODE\" NOT set!\n",
        L"MsiCA               : Run mode set to 0\n",
        L"MsiCA               : Setup run mode: 0\n",
        L"MsiCA               : DllMain: DLL_PROCESS_DETACH\n",
    };
    EXPECT_EQ(expected, strings);
}
