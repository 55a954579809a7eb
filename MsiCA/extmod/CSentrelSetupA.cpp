#include "extmod/CSentrelSetupA.h"
#include "util/PathJoin.h"
#include "extmod/CExtensionModuleConf.h"
#include "trace/CTrace.h"
#include "util/CProgressReport.h"
#include "util/CUniqueHandle.h"
#include "util/GuardedCall.h"
#include "util/ProcAddress.h"
#include "util/ProductLocations.h"
#include <string>

#define SETUP_TAG L"\nCSentrelSetupA      : "

const wchar_t* CSentrelSetupA::GetSetupActionName(DWORD code)
{
    switch (code)
    {
    case EM_SETUP_ACTION_DATA_BACKUP:
        return L"EM_SETUP_ACTION_DATA_BACKUP";
    case EM_SETUP_ACTION_DATA_RESTORE:
        return L"EM_SETUP_ACTION_DATA_RESTORE";
    case EM_SETUP_ACTION_DATA_CONVERT:
        return L"EM_SETUP_ACTION_DATA_CONVERT";
    case EM_SETUP_ACTION_DATA_CLEANUP:
        return L"EM_SETUP_ACTION_DATA_CLEANUP";
    default:
        return L"EM_SETUP_ACTION_???";
    }
}

bool CSentrelSetupA::CallSetupAction(const wchar_t* dllPath, const wchar_t* moduleName, DWORD code)
{
    CModuleHandle module(LoadLibraryW(dllPath));
    if (!module)
    {
        const DWORD error = GetLastError();
        TRACE(1, SETUP_TAG L"ERROR 0x%X! Failed to load extension module DLL \"%s.dll\"", error, moduleName);
        return false;
    }
    const auto entry = GetProcAddressAs<EMSetupActionProc>(module.Get(), EM_SETUP_ACTION_ENTRY);
    if (!entry)
    {
        const DWORD error = GetLastError();
        TRACE(1, SETUP_TAG L"ERROR 0x%X! \"%s\": Could not found DLL entry EM_SetupAction", error,
              moduleName);
        return false;
    }
    const wchar_t* actionName = GetSetupActionName(code);
    TRACE(2, SETUP_TAG L"\"%s\": Call DLL entry EM_SetupAction %s (%d)", moduleName, actionName, code);
    BYTE result = 0;
    if (!InvokeEntry(entry, code, result))
    {
        TRACE(1, SETUP_TAG L"ERROR! \"%s\": Exception during SetupAction %s (%d) for EM ", moduleName,
              actionName, code);
    }
    const bool succeeded = result == 1;
    if (succeeded)
    {
        TRACE(2, SETUP_TAG L"SetupAction %s (%d) completed with success", actionName, code);
    }
    else
    {
        TRACE(2, SETUP_TAG L"SetupAction %s (%d) completed with error", actionName, code);
    }
    if (!module.Reset())
    {
        const DWORD error = GetLastError();
        TRACE(1, SETUP_TAG L"ERROR 0x%X! Failed to free extension module DLL \"%s.dll\"", error, moduleName);
    }
    return succeeded;
}

bool CSentrelSetupA::RunSetupAction(DWORD code, int runMode, const std::set<std::wstring>& skip,
                                    std::vector<std::wstring>* failed)
{
    std::wstring binPath;
    GetFileRoot(binPath);
    TRACE(2, SETUP_TAG L"Sentrel Bin Path: \"%s\"", binPath.c_str());
    if (!binPath.empty())
    {
        SetCurrentDirectoryW(binPath.c_str());
    }
    const std::wstring configPath = JoinPath(binPath, L"Module.ini");
    ModuleList modules;
    if (!CExtensionModuleConf::ReadModuleList(configPath, runMode, modules))
    {
        TRACE(1, SETUP_TAG L"ERROR! Failed to open extension module configuration file \"%s\"",
              configPath.c_str());
        return false;
    }
    DWORD done = 0;
    CProgressReport::Begin(configPath.c_str(), static_cast<DWORD>(modules.size()));
    for (const std::wstring& module : modules)
    {
        if (CProgressReport::StopRequested())
        {
            break;
        }
        if (skip.count(module))
        {
            TRACE(1,
                  SETUP_TAG L"WARNING! \"%s\": its restore failed in this installation; not called with %s",
                  module.c_str(), GetSetupActionName(code));
        }
        else if (!CallSetupAction(JoinPath(binPath, module).c_str(), module.c_str(), code) && failed)
        {
            failed->push_back(module);
        }
        CProgressReport::Advance(++done, module.c_str());
    }
    return true;
}

bool CSentrelSetupA::InvokeEntry(EMSetupActionProc entry, DWORD code, BYTE& result)
{
    volatile BYTE returned = result;
    const DWORD exception = Guarded([&] { returned = entry(code); });
    if (exception == 0)
    {
        result = returned;
    }
    return exception == 0;
}
