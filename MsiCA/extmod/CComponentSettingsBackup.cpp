#include "extmod/CComponentSettingsBackup.h"
#include "util/PathJoin.h"
#include "trace/CTrace.h"
#include "util/CDirectory.h"
#include "util/ProductLocations.h"
#include "extmod/CSavedCopies.h"
#include <string>

#define BACKUP_TAG L"\nCComponentSettingsBa: "

namespace
{
bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
} // namespace

const wchar_t* CComponentSettingsBackup::LastPathComponent(const wchar_t* path)
{
    const wchar_t* last = path;
    for (const wchar_t* character = path; *character; ++character)
    {
        if ((*character == L'\\' || *character == L'/') && character != path)
        {
            last = character + 1;
        }
    }
    return last;
}

bool CComponentSettingsBackup::BackupDirectory(const wchar_t* component, const wchar_t* source)
{
    std::wstring root;
    if (!component || !source || !GetTempDirectory(root))
    {
        return false;
    }
    root += component;
    const std::wstring backup = JoinPath(root, LastPathComponent(source));
    TRACE(2, BACKUP_TAG L"Backup component settings directory: \"%s\"", backup.c_str());
    // With the data folder in the temporary directory the two can meet; the clean-up
    // below must never reach the settings themselves.
    if (IsSameOrInsideDir(backup.c_str(), source))
    {
        TRACE(1, BACKUP_TAG L"ERROR! Backup directory \"%s\" lies inside the source \"%s\"", backup.c_str(),
              source);
        return false;
    }
    // The earlier copy is replaced only by a complete new one: a missing source keeps it.
    if (IsDirectory(backup))
    {
        TRACE(2, BACKUP_TAG L"Clean up existing component settings backup directory \"%s\"", backup.c_str());
    }
    else
    {
        TRACE(4, BACKUP_TAG L"Component settings backup directory \"%s\" does not yet exist.",
              backup.c_str());
    }
    if (!CSavedCopies::PrepareFolder(root))
    {
        TRACE(1, BACKUP_TAG L"ERROR 0x%X! Failed to create components settings backup directory \"%s\"",
              GetLastError(), backup.c_str());
        return false;
    }
    const auto copy = [source](const std::wstring& target) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return IsDirectory(source) && CopyDir(source, target.c_str()) && IsDirectory(target);
    };
    if (!CSavedCopies::ReplaceWhole(backup, copy))
    {
        TRACE(1, BACKUP_TAG L"ERROR 0x%X! Failed to save component settings directory to \"%s\"",
              GetLastError(), backup.c_str());
        return false;
    }
    TRACE(2, BACKUP_TAG L"Saved component settings diretory to \"%s\"", backup.c_str());
    return true;
}

bool CComponentSettingsBackup::BackupFile(const wchar_t* component, const wchar_t* file)
{
    std::wstring root;
    if (!component || !file || !GetTempDirectory(root))
    {
        return false;
    }
    root += component;
    const wchar_t* name = LastPathComponent(file);
    const std::wstring backup = JoinPath(root, name);
    TRACE(2, BACKUP_TAG L"Backup component settings file \"%s\" to: \"%s\"", name, backup.c_str());
    if (IsFile(backup))
    {
        TRACE(2, BACKUP_TAG L"Clean up existing component settings file \"%s\"", backup.c_str());
    }
    else
    {
        TRACE(4, BACKUP_TAG L"Component setttings backup file \"%s\" does not yet exist.", backup.c_str());
    }
    if (!CSavedCopies::PrepareFolder(root))
    {
        TRACE(1, BACKUP_TAG L"ERROR 0x%X! Failed to create component settings backup root directory \"%s\"",
              GetLastError(), root.c_str());
        return false;
    }
    const auto copy = [file](const std::wstring& target) {
        return CopyFileW(file, target.c_str(), FALSE) == TRUE;
    };
    if (!*file || !CSavedCopies::ReplaceWhole(backup, copy))
    {
        TRACE(1, BACKUP_TAG L"ERROR 0x%X! Failed to save component settings file \"%s\" to \"%s\"",
              GetLastError(), name, backup.c_str());
        return false;
    }
    TRACE(2, BACKUP_TAG L"Saved component settings file \"%s\" to \"%s\"", name, backup.c_str());
    return true;
}
