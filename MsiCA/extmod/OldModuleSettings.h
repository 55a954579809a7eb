#pragma once
#include <windows.h>
#include <string>

// Extension modules up to version 7.10 do not save some of their settings in their own
// backup; the backup action saves them instead, from the data folder.
struct OldModuleSetting
{
    const wchar_t* name; // file or folder below the data folder; null: nothing to save
    bool isFolder;
};

// versionChecked: the module exports EM_SetupAction and its version was read as old.
// A module without the entry has its two files saved without any version check; its
// folder is not saved.
OldModuleSetting GetOldModuleSetting(const std::wstring& module, bool versionChecked);
// Whether a module of this file version (major in the high word) saves them itself.
bool SavesOwnSettings(DWORD fileVersionMS);
