#pragma once
#include <windows.h>
#include <string>

// Where the core component lives: its registry key, installation folder and data folder.
// Every read tries the 64-bit registry view first and the 32-bit view second; nothing is
// cached and nothing is traced (callers trace the paths they obtain).

// Where a location came from, for those who need to explain it (the support tool).
enum class LocationSource
{
    Value,         // the registry value
    Fallback,      // the fixed default key, or FileRoot\Data for the data folder
    ProcessFolder, // the folder of the process's executable
    TempFolder     // the temporary directory
};

// The registry key below HKLM that the UUID key names in "Sentrel", or the fixed default.
const wchar_t* GetSentrelRegistryKey(std::wstring& out);
const wchar_t* GetSentrelRegistryKey(std::wstring& out, LocationSource& source);
// The installation folder ("FileRoot" below <core key>\Setup, without a trailing backslash),
// else the folder of the host process's executable.
const wchar_t* GetFileRoot(std::wstring& out);
const wchar_t* GetFileRoot(std::wstring& out, LocationSource& source);
// The data folder ("DataRoot" below <core key>\DATA), else FileRoot\Data when that folder
// exists, else the temporary directory; never with a trailing backslash.
const wchar_t* GetDataRoot(std::wstring& out);
const wchar_t* GetDataRoot(std::wstring& out, LocationSource& source);
// GetTempPathW's folder, ending with a backslash.
bool GetTempDirectory(std::wstring& out);
// The full path of the process's executable, however long.
bool GetProcessImagePath(std::wstring& out);
// A string value (REG_EXPAND_SZ expanded) of subKey below HKLM; out is left unchanged when
// the key or the value is missing.
bool ReadRegistryString(const wchar_t* subKey, const wchar_t* valueName, std::wstring& out);
// "C:\a\b" gives "C:\a", "C:\x.exe" gives "C:"; a path without an inner backslash stays.
void RemoveLastPathComponent(std::wstring& path);
// "C:\a\" gives "C:\a"; a root such as "C:\" keeps its backslash.
void StripTrailingBackslash(std::wstring& path);
// Whether the system runs Windows PE (the MiniNT key opens with full access).
bool IsWinPE();
