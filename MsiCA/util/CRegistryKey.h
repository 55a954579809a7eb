#pragma once
#include "util/Win32Errors.h"
#include <windows.h>

// Holder of one open registry key below HKEY_LOCAL_MACHINE and of the data block of the
// value it read last. Every registry call is guarded: a fault inside one gives status 574
// (ERROR_UNHANDLED_EXCEPTION) instead of a crash.
class CRegistryKey
{
  public:
    CRegistryKey() = default;
    ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens subKey below HKLM, or below the held key, which it then replaces. Access denied
    // with KEY_WOW64_64KEY in access is tried once more without that bit.
    LONG Open(const wchar_t* subKey, DWORD access);
    // Creates or opens subKey below the held key (RegCreateKeyExW) and holds it instead.
    LONG Create(const wchar_t* subKey, DWORD options, DWORD access);
    // The value's bytes (owned by the holder, always followed by a zero character), null
    // when there is no such value, it is empty or memory ran out. REG_EXPAND_SZ text is
    // expanded while expand is on.
    const BYTE* QueryValue(const wchar_t* name);
    // Status 6 without a key (the status field is then left alone).
    LONG QueryDword(DWORD& out, const wchar_t* name);
    LONG SetDword(const wchar_t* name, DWORD value);
    LONG SetString(const wchar_t* name, const wchar_t* text);
    LONG DeleteValue(const wchar_t* name);
    void Close();

    LONG Status() const { return m_status; }
    DWORD DataSize() const { return m_dataSize; }
    DWORD DataType() const { return m_dataType; }
    HKEY Key() const { return m_key; }
    bool IsOpen() const { return m_key != nullptr; }
    void SetExpand(bool expand) { m_expand = expand; }
    // The data block as text (empty when nothing was read).
    const wchar_t* Text() const;

  private:
    template <class Operation>
    LONG RunGuarded(Operation&& operation);
    void FreeData();
    void ExpandData();

    LONG m_status = 0;
    DWORD m_dataSize = 0;
    DWORD m_dataType = 0;
    bool m_expand = true;
    HKEY m_key = nullptr;
    BYTE* m_data = nullptr;
};
