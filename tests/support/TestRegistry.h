#pragma once
#include "util/CUniqueHandle.h"
#include <windows.h>
#include <string>

// A key below HKEY_LOCAL_MACHINE (64-bit view unless told otherwise) that a test creates
// and whose whole tree it removes again when it ends.
class CTestKey
{
  public:
    explicit CTestKey(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY);
    ~CTestKey(); // (not copyable: it holds the key)

    CTestKey& SetDword(const wchar_t* name, DWORD value);
    CTestKey& SetString(const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ);
    // Raw bytes with any type, e.g. a string without its terminator.
    CTestKey& SetBytes(const wchar_t* name, const void* bytes, DWORD size, DWORD type);
    CTestKey& DeleteValue(const wchar_t* name);
    const std::wstring& Path() const { return m_path; }

  private:
    std::wstring m_path;
    REGSAM m_view;
    CRegKeyHandle m_key;
};

// Removes a key tree below HKLM if it exists.
void DeleteKeyTree(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY);
bool KeyExists(const std::wstring& path, REGSAM view = KEY_WOW64_64KEY);
// Reads a value below HKLM (64-bit view); false when absent.
bool ReadDwordValue(const std::wstring& path, const wchar_t* name, DWORD& value);
bool ReadStringValue(const std::wstring& path, const wchar_t* name, std::wstring& value);
