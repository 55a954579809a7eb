#include "TestRegistry.h"
#include <gtest/gtest.h>

CTestKey::CTestKey(const std::wstring& path, REGSAM view) : m_path(path), m_view(view)
{
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS | view, nullptr, m_key.Receive(), nullptr);
    EXPECT_EQ(ERROR_SUCCESS, result) << "creating HKLM\\" << std::string(path.begin(), path.end());
}

CTestKey::~CTestKey()
{
    m_key.Reset();
    DeleteKeyTree(m_path, m_view);
}

CTestKey& CTestKey::SetBytes(const wchar_t* name, const void* bytes, DWORD size, DWORD type)
{
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(m_key.Get(), name, 0, type, static_cast<const BYTE*>(bytes), size));
    return *this;
}

CTestKey& CTestKey::SetDword(const wchar_t* name, DWORD value)
{
    return SetBytes(name, &value, sizeof(value), REG_DWORD);
}

CTestKey& CTestKey::SetString(const wchar_t* name, const std::wstring& value, DWORD type)
{
    return SetBytes(name, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), type);
}

CTestKey& CTestKey::DeleteValue(const wchar_t* name)
{
    RegDeleteValueW(m_key.Get(), name);
    return *this;
}

void DeleteKeyTree(const std::wstring& path, REGSAM view)
{
    CRegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | view, key.Receive()) ==
        ERROR_SUCCESS)
    {
        RegDeleteTreeW(key.Get(), nullptr);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
    }
}

bool KeyExists(const std::wstring& path, REGSAM view)
{
    CRegKeyHandle key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.Receive()) ==
           ERROR_SUCCESS;
}

bool ReadDwordValue(const std::wstring& path, const wchar_t* name, DWORD& value)
{
    DWORD size = sizeof(value);
    return !RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
}

bool ReadStringValue(const std::wstring& path, const wchar_t* name, std::wstring& value)
{
    std::wstring text(16384, L'\0');
    DWORD size = DWORD(text.size() * sizeof(wchar_t));
    const bool read =
        !RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name,
                      RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, &text[0], &size);
    value = read ? text.c_str() : value;
    return read;
}
