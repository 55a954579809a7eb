#include "TestRegistry.h"
#include "util/CUniqueHandle.h"
#include <gtest/gtest.h>

namespace
{
DWORD InView(REGSAM view)
{
    return view == KEY_WOW64_32KEY ? 0x00020000 : 0x00010000; // RRF_SUBKEY_WOW6432KEY, ...64KEY
}
} // namespace

CTestKey::CTestKey(const std::wstring& path, REGSAM view) : m_path(path), m_view(view)
{
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS | view, nullptr, &m_key, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, result) << "creating HKLM\\" << std::string(path.begin(), path.end());
}

CTestKey::~CTestKey()
{
    if (m_key)
        RegCloseKey(m_key);
    DeleteKeyTree(m_path, m_view);
}

CTestKey& CTestKey::SetBytes(const wchar_t* name, const void* bytes, DWORD size, DWORD type)
{
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(bytes), size));
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
    RegDeleteValueW(m_key, name);
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

bool ReadDwordValue(const std::wstring& path, const wchar_t* name, DWORD& value, REGSAM view)
{
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_DWORD | InView(view), nullptr,
                        &value, &size) == ERROR_SUCCESS;
}

bool ReadStringValue(const std::wstring& path, const wchar_t* name, std::wstring& value, REGSAM view)
{
    const DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND | InView(view);
    DWORD size = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, flags, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, flags, nullptr, &text[0], &size) !=
        ERROR_SUCCESS)
        return false;
    value = text.c_str();
    return true;
}
