#include "support/ChildProcess.h"
#include "support/TraceCapture.h"
#include "support/TestFiles.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace
{
// Runs a program under this process as its debugger and collects the strings it sends with
// OutputDebugString, as any debugger sees them, and "load NAME" and "unload NAME" for each
// library mapped and unmapped, in their order.
std::vector<std::wstring> DebugStringsOf(const std::wstring& commandLine)
{
    std::map<void*, std::wstring> names; // by base address
    std::vector<std::wstring> strings;
    const auto debug = [&] {
        HANDLE process = nullptr; // the debugger's, closed with the last event
        for (DEBUG_EVENT event{}; WaitForDebugEvent(&event, 30000);)
        {
            if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT)
                process = event.u.CreateProcessInfo.hProcess;
            if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT)
            {
                const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
                std::vector<char> bytes(info.nDebugStringLength * (info.fUnicode ? 2 : 1) + 2, 0);
                ReadProcessMemory(process, info.lpDebugStringData, bytes.data(), bytes.size() - 2, nullptr);
                strings.push_back(info.fUnicode
                                      ? std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()))
                                      : std::wstring(bytes.begin(), bytes.begin() + strlen(bytes.data())));
            }
            if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT)
            {
                wchar_t path[MAX_PATH] = {};
                GetFinalPathNameByHandleW(event.u.LoadDll.hFile, path, MAX_PATH, 0);
                names[event.u.LoadDll.lpBaseOfDll] = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
                strings.push_back(L"load " + names[event.u.LoadDll.lpBaseOfDll]);
            }
            if (event.dwDebugEventCode == UNLOAD_DLL_DEBUG_EVENT)
                strings.push_back(L"unload " + names[event.u.UnloadDll.lpBaseOfDll]);
            if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT ||
                event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT)
            {
                CloseHandle(event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT ? event.u.LoadDll.hFile
                                                                           : event.u.CreateProcessInfo.hFile);
            }
            const bool handled = event.dwDebugEventCode != EXCEPTION_DEBUG_EVENT ||
                                 event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT;
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId,
                               handled ? DBG_CONTINUE : DBG_EXCEPTION_NOT_HANDLED);
            if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
                break;
        }
    };
    EXPECT_EQ(0u, RunProcess(commandLine, 30000, debug, nullptr, nullptr, DEBUG_ONLY_THIS_PROCESS));
    return strings;
}
} // namespace

// Loading or freeing a library under the loader lock (static initialisation and termination,
// DllMain) can deadlock: with every prefix on, the library loads and frees no more libraries
// while it loads and unloads than with none.
TEST(TraceDebugger, NoPrefixLoadsOrFreesALibraryUnderTheLoaderLock)
{
    auto underLoaderLock = [](bool prefixes) {
        TraceRegistry registry;
        registry.application.SetDword(L"WinDebugLevel", 2);
        for (const wchar_t* flag : {L"DateStampOn", L"TimeStampOn", L"ThreadIdOn", L"CpuIdOn", L"MemUsageOn",
                                    L"HandleCountOn", L"AppNameOn"})
            registry.application.SetDword(flag, prefixes);
        std::vector<std::wstring> libraries;
        bool held = false; // from MsiCA.dll's mapping to its export's first line; from its detach line on
        bool attached = false;
        for (const std::wstring& event :
             DebugStringsOf(L"\"" + BinPath(L"ca_host.exe") + L"\" vrxCA_StartSentrel"))
        {
            attached |= EndsWith(event, L"MsiCA               : DllMain: DLL_PROCESS_ATTACH\n");
            held = event == L"load MsiCA.dll" || event.find(L"DLL_PROCESS_DETACH") != std::wstring::npos ||
                   (held && event.find(L"vrxCA_StartSentrel") == std::wstring::npos);
            if (held && (event.rfind(L"load ", 0) == 0 || event.rfind(L"unload ", 0) == 0))
                libraries.push_back(event);
        }
        EXPECT_TRUE(attached) << "a real debugger sees the library's lines";
        return libraries;
    };
    const std::vector<std::wstring> plain = underLoaderLock(false);
    EXPECT_NE(plain.end(), std::find(plain.begin(), plain.end(), L"unload MsiCA.dll"))
        << "the unload was seen";
    EXPECT_EQ(plain, underLoaderLock(true));
}
