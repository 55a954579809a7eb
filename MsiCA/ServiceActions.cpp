#include "CustomActionFrame.h"
#include "CustomActions.h"
#include "InstallationDate.h"
#include "service/CServiceMgr.h"
#include "trace/CTrace.h"
#include "util/CFileVersionInfo.h"
#include "util/CRegistryKey.h"
#include "util/ProductLocations.h"

// The core service's start and stop, and the final configuration that records when and
// which version was installed. Failures are traced only: the installation goes on.

namespace
{
const wchar_t* const kCoreService = L"SntSvc";
const wchar_t* const kCoreExecutable = L"\\SntSvc.exe";

// Opens the service database, runs change (start or stop, dependents included) on the
// core service and traces its outcome.
template <class Change>
void ChangeCoreService(Change&& change, const wchar_t* doneText, const wchar_t* failedText)
{
    CServiceMgr manager;
    if (manager.OpenDatabase() != 0)
    {
        TRACE(1, MSICA_TAG L"ERROR! Open service manager failed!\n");
        return;
    }
    if (change(manager) == 0)
    {
        TRACE(2, MSICA_TAG L"%s", doneText);
    }
    else
    {
        TRACE(1, MSICA_TAG L"%s", failedText);
    }
    manager.CloseDatabase();
}

UINT StartSentrel(MSIHANDLE)
{
    TRACE(2, MSICA_TAG L"Starting service Sentrel ...");
    ChangeCoreService(
        [](CServiceMgr& manager) {
            return manager.StartSvc(kCoreService, 0, nullptr, true, CServiceMgr::kDefaultTimeoutMs);
        },
        L"Sentrel service successfully started!", L"Start service Sentrel failed!");
    return 0;
}

UINT StopSentrel(MSIHANDLE)
{
    TRACE(2, MSICA_TAG L"Stopping service Sentrel ...");
    ChangeCoreService(
        [](CServiceMgr& manager) {
            return manager.StopSvc(kCoreService, true, CServiceMgr::kDefaultTimeoutMs);
        },
        L"Sentrel service successfully stopped!", L"Stop service Sentrel failed!");
    return 0;
}

UINT FinalConfig(MSIHANDLE)
{
    if (IsWinPE())
    {
        return 0;
    }
    std::wstring keyPath;
    GetSentrelRegistryKey(keyPath);
    keyPath += L"\\Setup";
    CRegistryKey key;
    if (key.Open(keyPath.c_str(), KEY_ALL_ACCESS) != ERROR_SUCCESS)
    {
        TRACE(1, MSICA_TAG L"ERROR 0x%X! Could not open setup registry root \"%s\"", key.Status(),
              keyPath.c_str());
        return 0;
    }

    const std::wstring date = CurrentInstallationDate();
    TRACE(2, MSICA_TAG L"Store installation date %s into registry \"%s\"", date.c_str(), keyPath.c_str());
    key.SetString(L"Installed", date.c_str());

    std::wstring exePath;
    GetFileRoot(exePath);
    exePath += kCoreExecutable;
    CFileVersionInfo versionInfo;
    std::wstring version;
    if (versionInfo.Load(exePath.c_str()) && !versionInfo.QueryProductVersion(version))
    {
        version.clear();
    }
    TRACE(2, MSICA_TAG L"Store version %s into registry \"%s\"", version.c_str(), keyPath.c_str());
    key.SetString(L"Version", version.c_str());
    key.Close();
    return 0;
}
} // namespace

UINT __stdcall vrxCA_StartSentrel(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_StartSentrel", L"Sentrel", install, StartSentrel);
}

UINT __stdcall vrxCA_StopSentrel(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_StopSentrel", L"Sentrel", install, StopSentrel);
}

UINT __stdcall vrxCA_FinalConfig(MSIHANDLE install)
{
    return RunCustomAction(L"vrxCA_FinalConfig", L"SntSvc.exe", install, FinalConfig);
}
