#include "TestRegistry.h"
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

CTestKey::CTestKey(const std::wstring& path, REGSAM view) : m_path(path), m_view(view)
{
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS | view, nullptr, &m_key, nullptr);
    EXPECT_EQ(ERROR_SUCCESS, result) << "creating HKLM\\" << std::string(path.begin(), path.end());
}

CTestKey::~CTestKey()
{
    if (m_key)
    {
        RegCloseKey(m_key);
    }
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
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS)
    {
        return;
    }
    RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
}

bool KeyExists(const std::wstring& path, REGSAM view)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    RegCloseKey(key);
    return true;
}

namespace
{
bool QueryValue(const std::wstring& path, const wchar_t* name, REGSAM view, DWORD& type,
                std::vector<BYTE>& data)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
    {
        return false;
    }
    DWORD size = 0;
    LONG result = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS)
    {
        data.assign(size + sizeof(wchar_t), 0);
        result = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}
} // namespace

bool ReadDwordValue(const std::wstring& path, const wchar_t* name, DWORD& value, REGSAM view)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryValue(path, name, view, type, data) || type != REG_DWORD)
    {
        return false;
    }
    memcpy(&value, data.data(), sizeof(value));
    return true;
}

bool ReadStringValue(const std::wstring& path, const wchar_t* name, std::wstring& value, REGSAM view)
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryValue(path, name, view, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return false;
    }
    value = reinterpret_cast<const wchar_t*>(data.data());
    return true;
}
