#pragma once
#include <windows.h>
#include <set>
#include <string>
#include <vector>

// Codes of EM_SetupAction, the one entry of an extension module DLL.
constexpr DWORD EM_SETUP_ACTION_DATA_BACKUP = 1;
constexpr DWORD EM_SETUP_ACTION_DATA_RESTORE = 2;
constexpr DWORD EM_SETUP_ACTION_DATA_CONVERT = 3;
constexpr DWORD EM_SETUP_ACTION_DATA_CLEANUP = 4;

// The entry's name as GetProcAddress takes it, and its type: one code in, 1 back for success.
constexpr const char* EM_SETUP_ACTION_ENTRY = "EM_SetupAction";
using EMSetupActionProc = BYTE (*)(DWORD code);

// Calls EM_SetupAction of every extension module that Module.ini enables, one module DLL
// loaded at a time and freed before the next. No state of its own.
class CSentrelSetupA
{
  public:
    static const wchar_t* GetSetupActionName(DWORD code);
    // Loads the DLL (the loader adds ".dll"), calls its entry with code and frees it again:
    // true only when the entry returned 1.
    static bool CallSetupAction(const wchar_t* dllPath, const wchar_t* moduleName, DWORD code);
    // Calls every enabled module of the bin path's Module.ini but those in skip; a failing
    // module does not stop the others, and failed (when given) receives its name. True when
    // Module.ini could be opened. Leaves the current directory at the bin path.
    static bool RunSetupAction(DWORD code, int runMode, const std::set<std::wstring>& skip = {},
                               std::vector<std::wstring>* failed = nullptr);
    // entry(code) with every exception, machine faults included, contained: false when one
    // escaped (result is then left as it was).
    static bool InvokeEntry(EMSetupActionProc entry, DWORD code, BYTE& result);
};
