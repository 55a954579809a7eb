#include "CustomActionFrame.h"
#include "util/PathJoin.h"
#include "CustomActions.h"
#include "RunMode.h"
#include "extmod/CComponentSettingsBackup.h"
#include "extmod/CExtensionModuleConf.h"
#include "extmod/CSavedCopies.h"
#include "extmod/CSentrelSetupA.h"
#include "extmod/KvqAgentLocations.h"
#include "extmod/OldModuleSettings.h"
#include "service/CServiceMgr.h"
#include "trace/CTrace.h"
#include "util/CDirectory.h"
#include "util/CFileVersionInfo.h"
#include "util/CProgressReport.h"
#include "util/CUniqueHandle.h"
#include "util/ProcAddress.h"
#include "util/ProductLocations.h"
#include "util/TextFileConversion.h"
#include <string>

// The extension-module data actions. In run mode 5 the modules save and restore their own
// data; otherwise the data folder travels through the temporary directory and back.

namespace
{
const wchar_t kKvqService[] = L"kvq_srv";

const wchar_t kSentrelCopy[] = L"Sentrel";

CSavedCopies SentrelCopies()
{
    std::wstring temp;
    GetTempDirectory(temp);
    return CSavedCopies(temp, kSentrelCopy);
}

// The data folder, or nothing where the data root only fell back to the temporary
// directory: that is no data folder of the product.
std::wstring DataFolder(std::wstring& dataRoot)
{
    LocationSource source = LocationSource::Value;
    GetDataRoot(dataRoot, source);
    return source == LocationSource::TempFolder ? std::wstring() : dataRoot;
}

// The settings that old modules leave to the installer, saved below T + module name.
void SaveOldModuleSettings(const std::wstring& module, bool versionChecked)
{
    const OldModuleSetting setting = GetOldModuleSetting(module, versionChecked);
    if (!setting.name)
    {
        return;
    }
    std::wstring data;
    GetDataRoot(data);
    if (versionChecked)
    {
        TRACE(2, MSICA_TAG L"Special backup handling for extension module \"%s\": Backup %s \"%s\"",
              module.c_str(), setting.isFolder ? L"folder" : L"file", setting.name);
    }
    const std::wstring path = JoinPath(data, setting.name);
    if (setting.isFolder)
    {
        CComponentSettingsBackup::BackupDirectory(module.c_str(), path.c_str());
    }
    else
    {
        CComponentSettingsBackup::BackupFile(module.c_str(), path.c_str());
    }
}

void BackupModule(const std::wstring& binPath, const std::wstring& module)
{
    const wchar_t* actionName = CSentrelSetupA::GetSetupActionName(EM_SETUP_ACTION_DATA_BACKUP);
    CModuleHandle dll(LoadLibraryW(JoinPath(binPath, module.c_str()).c_str()));
    if (!dll)
    {
        TRACE(1, MSICA_TAG L"ERROR 0x%X! Failed to load extension module DLL \"%s.dll\"", GetLastError(),
              module.c_str());
        return;
    }
    const auto entry = GetProcAddressAs<EMSetupActionProc>(dll.Get(), EM_SETUP_ACTION_ENTRY);
    if (!entry)
    {
        TRACE(1, MSICA_TAG L"ERROR 0x%X! \"%s\": Could not found DLL entry EM_SetupAction", GetLastError(),
              module.c_str());
        SaveOldModuleSettings(module, false);
        return;
    }
    TRACE(2, MSICA_TAG L"\"%s\": Call DLL entry EM_SetupAction (%s)", module.c_str(), actionName);
    BYTE result = 0;
    if (!CSentrelSetupA::InvokeEntry(entry, EM_SETUP_ACTION_DATA_BACKUP, result))
    {
        TRACE(1, MSICA_TAG L"ERROR! \"%s\": Exception during SetupAction (%s) for EM ", module.c_str(),
              actionName);
    }
    else if (result == 1)
    {
        TRACE(2, MSICA_TAG L"SetupAction (%s) completed with success", actionName);
    }
    VS_FIXEDFILEINFO fixed{};
    const CFileVersionInfo version(dll.Get());
    if (version.Data().empty() || !version.QueryFixedFileInfo(fixed))
    {
        TRACE(1, MSICA_TAG L"SetupAction (%s) ERROR! FAILED to get fixed file version!", actionName);
        return;
    }
    TRACE(3, MSICA_TAG L"Extension module \"%s\": Version MS: 0x%X", module.c_str(), fixed.dwFileVersionMS);
    if (SavesOwnSettings(fixed.dwFileVersionMS))
    {
        TRACE(3,
              MSICA_TAG L"Extension module \"%s\": DLL version > 7.10.xx. Special backup handling skipped.",
              module.c_str());
        return;
    }
    SaveOldModuleSettings(module, true);
}

void BackupModules(const std::wstring& binPath)
{
    const std::wstring configuration = JoinPath(binPath, L"Module.ini");
    ModuleList modules;
    if (!CExtensionModuleConf::ReadModuleList(configuration, RUN_MODE_MORA, modules))
    {
        TRACE(1, MSICA_TAG L"ERROR! Failed to open extension module configuration file \"%s\"",
              configuration.c_str());
        return;
    }
    DWORD done = 0;
    CProgressReport::Begin(configuration.c_str(), static_cast<DWORD>(modules.size()));
    for (const std::wstring& module : modules)
    {
        if (CProgressReport::StopRequested())
        {
            break;
        }
        BackupModule(binPath, module);
        CProgressReport::Advance(++done, module.c_str());
    }
}

// Copies a file of the KVQ agent into the backup folder; never overwrites.
void CopyKvqFile(const wchar_t* description, const std::wstring& source, const std::wstring& target)
{
    if (CopyFileNoOverwrite(source.c_str(), target.c_str()))
    {
        TRACE(2, MSICA_TAG L"KVQ %s \"%s\" copied to \"%s\"", description, source.c_str(), target.c_str());
    }
    else
    {
        TRACE(1, MSICA_TAG L"ERROR 0x%X! Failed to copy KVQ %s \"%s\" to \"%s\"", GetLastError(), description,
              source.c_str(), target.c_str());
    }
}

void BackupKvqAgent(const std::wstring& backupDir)
{
    KvqAgentLocations kvq;
    ReadKvqAgentLocations(kvq);
    if (kvq.fileRoot.empty())
    {
        return;
    }
    TRACE(2, MSICA_TAG L"Overlyn Agents V5 -> V6: Copy KVQ agent settings");
    TRACE(2, MSICA_TAG L"Stopping KVQ service...");
    DWORD stopCode = 0;
    {
        CServiceMgr services;
        if (services.OpenDatabase() == 0)
        {
            stopCode = services.StopSvc(kKvqService, true, CServiceMgr::kDefaultTimeoutMs);
            services.CloseDatabase();
        }
    }
    TRACE(2, MSICA_TAG L"... KVQ service stop returned 0x%X.", stopCode);
    CopyKvqFile(L"data base file", JoinPath(kvq.varDir, L"db\\kvqDb.db"), JoinPath(backupDir, L"kvqDb.db"));
    CopyKvqFile(L"log file", JoinPath(kvq.varDir, L"log\\kvq_status.xml"),
                JoinPath(backupDir, L"kvq_status.xml"));
}

void BackupSentrel()
{
    CSavedCopies copies = SentrelCopies();
    TRACE(2, L"\n" MSICA_TAG L"Sentrel backup directory is: \"%s\"", copies.CopyPath().c_str());
    std::wstring dataRoot;
    copies.Save(DataFolder(dataRoot), BackupKvqAgent);
}

UINT EMDataBackup(MSIHANDLE install)
{
    std::wstring binPath;
    GetFileRoot(binPath);
    TRACE(2, MSICA_TAG L"Sentrel Bin Path: \"%s\"", binPath.c_str());
    const int runMode = GetRunMode(install);
    TRACE(2, MSICA_TAG L"Setup run mode: %d", runMode);
    if (runMode == RUN_MODE_MORA)
    {
        BackupModules(binPath);
    }
    else
    {
        BackupSentrel();
    }
    return 0;
}

void ConvertConfiguration(const std::wstring& data)
{
    const std::wstring config = JoinPath(data, L"CommonConfig.ccs");
    if (GetFileAttributesW(config.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        // A first installation has none yet; nothing is wrong.
        TRACE(2, MSICA_TAG L"No \"%s\" to convert", config.c_str());
        return;
    }
    if (HasUtf16Bom(config.c_str()))
    {
        return;
    }
    TRACE(3, MSICA_TAG L"Convert \"%s\" to UTF16", config.c_str());
    if (ConvertToUtf16(config.c_str()))
    {
        TRACE(3, MSICA_TAG L"\"%s\" successfully converted to UTF16!", config.c_str());
    }
    else
    {
        TRACE(1, MSICA_TAG L"ERROR! Failed to convert \"%s\" to UTF16!", config.c_str());
    }
}

// rollback: the installation is being undone, so the copy goes back as it was saved,
// unconverted, even when it was restored already.
void RestoreSentrel(bool rollback)
{
    CSavedCopies copies = SentrelCopies();
    TRACE(2, MSICA_TAG L"Backup source path: %s", copies.CopyPath().c_str());
    std::wstring dataRoot;
    std::wstring data = DataFolder(dataRoot);
    TRACE(2, MSICA_TAG L"Sentrel desination path: %s", dataRoot.c_str());
    if (data.empty())
    {
        // A rollback may run after the product's registry values are gone.
        data = copies.SavedFrom();
        if (data.empty())
        {
            TRACE(2, MSICA_TAG L"No data folder to restore into");
            return;
        }
        TRACE(
            2,
            MSICA_TAG L"No data folder is registered: the copy goes back to \"%s\", where it was saved from",
            data.c_str());
    }
    copies.Restore(data, rollback);
    if (!rollback)
    {
        ConvertConfiguration(data);
    }
}

UINT EMDataRestore(MSIHANDLE install)
{
    const int runMode = GetRunMode(install);
    TRACE(2, MSICA_TAG L"Setup run mode: %d", runMode);
    if (runMode == RUN_MODE_MORA)
    {
        // The cleanup, in another load of the library, spares the modules named here.
        std::vector<std::wstring> failed;
        if (CSentrelSetupA::RunSetupAction(EM_SETUP_ACTION_DATA_RESTORE, GetRunMode(install), {}, &failed))
        {
            CSavedCopies::RecordFailedRestores(failed);
        }
    }
    else
    {
        RestoreSentrel(false);
    }
    return 0;
}

UINT EMDataConvert(MSIHANDLE install)
{
    CSentrelSetupA::RunSetupAction(EM_SETUP_ACTION_DATA_CONVERT, GetRunMode(install));
    return 0;
}

UINT EMDataCleanup(MSIHANDLE install)
{
    // A module deletes its backup when told to clean up: not after its restore failed.
    CSentrelSetupA::RunSetupAction(EM_SETUP_ACTION_DATA_CLEANUP, GetRunMode(install),
                                   CSavedCopies::FailedRestores());
    return 0;
}

UINT EMDataRollback(MSIHANDLE install)
{
    const int runMode = GetRunMode(install);
    TRACE(2, MSICA_TAG L"Setup run mode: %d", runMode);
    if (runMode != RUN_MODE_MORA)
    {
        RestoreSentrel(true);
    }
    return 0;
}
} // namespace

UINT __stdcall moraCA_EMDataBackup(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_EMDataBackup", L"Sentrel", install, EMDataBackup);
}

// The last three entry lines begin with a capital M, unlike their export names.
UINT __stdcall moraCA_EMDataRestore(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataRestore", L"Sentrel", install, EMDataRestore);
}

UINT __stdcall moraCA_EMDataConvert(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataConvert", L"Module.ini", install, EMDataConvert);
}

UINT __stdcall moraCA_EMDataCleanup(MSIHANDLE install)
{
    return RunCustomAction(L"MoraCA_EMDataCleanup", L"Module.ini", install, EMDataCleanup);
}

UINT __stdcall moraCA_EMDataRollback(MSIHANDLE install)
{
    return RunCustomAction(L"moraCA_EMDataRollback", L"Sentrel", install, EMDataRollback);
}
