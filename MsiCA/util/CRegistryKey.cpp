#include "util/CRegistryKey.h"
#include "util/GuardedCall.h"

namespace
{
// Every block is rounded up to whole characters and followed by a zero character, so that
// a string stored without its terminator (even one of an odd byte count) ends inside it.
BYTE* AllocZeroed(SIZE_T bytes)
{
    const SIZE_T wholeCharacters = (bytes + 1) & ~SIZE_T(1);
    return static_cast<BYTE*>(GlobalAlloc(GPTR, wholeCharacters + sizeof(wchar_t)));
}
} // namespace

template <class Operation>
LONG CRegistryKey::RunGuarded(Operation&& operation)
{
    volatile LONG result = ERROR_UNHANDLED_EXCEPTION;
    if (Guarded([&] { result = operation(); }) != 0)
    {
        return ERROR_UNHANDLED_EXCEPTION;
    }
    return result;
}

CRegistryKey::~CRegistryKey()
{
    FreeData();
    Close();
}

void CRegistryKey::Close()
{
    if (m_key)
    {
        HKEY key = m_key;
        m_key = nullptr;
        RunGuarded([&] { return RegCloseKey(key); });
    }
}

void CRegistryKey::FreeData()
{
    if (m_data)
    {
        BYTE* data = m_data;
        m_data = nullptr;
        RunGuarded([&] {
            GlobalFree(data);
            return LONG(0);
        });
    }
}

const wchar_t* CRegistryKey::Text() const
{
    return m_data ? reinterpret_cast<const wchar_t*>(m_data) : L"";
}

LONG CRegistryKey::Open(const wchar_t* subKey, DWORD access)
{
    HKEY opened = nullptr;
    HKEY parent = m_key ? m_key : HKEY_LOCAL_MACHINE;
    m_status = RunGuarded([&] {
        LONG result = RegOpenKeyExW(parent, subKey, 0, access, &opened);
        if (result == ERROR_ACCESS_DENIED && (access & KEY_WOW64_64KEY))
        {
            result = RegOpenKeyExW(parent, subKey, 0, access & ~KEY_WOW64_64KEY, &opened);
        }
        return result;
    });
    if (m_status == ERROR_SUCCESS)
    {
        Close();
        m_key = opened;
    }
    return m_status;
}

LONG CRegistryKey::Create(const wchar_t* subKey, DWORD options, DWORD access)
{
    if (!m_key)
    {
        return m_status = ERROR_INVALID_HANDLE;
    }
    HKEY created = nullptr;
    m_status = RunGuarded([&] {
        return RegCreateKeyExW(m_key, subKey, 0, nullptr, options, access, nullptr, &created, nullptr);
    });
    if (m_status == ERROR_SUCCESS)
    {
        Close();
        m_key = created;
    }
    return m_status;
}

const BYTE* CRegistryKey::QueryValue(const wchar_t* name)
{
    FreeData();
    DWORD size = 0;
    if (m_key)
    {
        m_status =
            RunGuarded([&] { return RegQueryValueExW(m_key, name, nullptr, nullptr, nullptr, &size); });
        if (m_status != ERROR_SUCCESS)
        {
            size = 0;
        }
    }
    m_dataSize = size;
    if (size == 0)
    {
        return nullptr;
    }
    m_data = AllocZeroed(size);
    if (!m_data)
    {
        m_status = ERROR_NOT_ENOUGH_MEMORY;
        m_dataSize = 0;
        return nullptr;
    }
    DWORD type = 0;
    m_status = RunGuarded([&] { return RegQueryValueExW(m_key, name, nullptr, &type, m_data, &size); });
    m_dataType = type;
    if (m_status != ERROR_SUCCESS)
    {
        return m_data;
    }
    if (m_expand && type == REG_EXPAND_SZ)
    {
        ExpandData();
    }
    return m_data;
}

void CRegistryKey::ExpandData()
{
    const wchar_t* source = reinterpret_cast<const wchar_t*>(m_data);
    volatile DWORD length = 0;
    const LONG sized = RunGuarded([&] {
        length = ExpandEnvironmentStringsW(source, nullptr, 0);
        return length ? LONG(ERROR_SUCCESS) : static_cast<LONG>(GetLastError());
    });
    if (sized != ERROR_SUCCESS)
    {
        m_status = sized;
        return;
    }
    BYTE* expanded = AllocZeroed(SIZE_T(length) * sizeof(wchar_t));
    if (!expanded)
    {
        m_status = ERROR_NOT_ENOUGH_MEMORY;
        m_dataSize = 0;
        return;
    }
    const LONG result = RunGuarded([&] {
        return ExpandEnvironmentStringsW(source, reinterpret_cast<wchar_t*>(expanded), length)
                   ? LONG(ERROR_SUCCESS)
                   : static_cast<LONG>(GetLastError());
    });
    if (result != ERROR_SUCCESS)
    {
        m_status = result;
        GlobalFree(expanded);
        return;
    }
    FreeData();
    m_data = expanded;
}

LONG CRegistryKey::QueryDword(DWORD& out, const wchar_t* name)
{
    if (!m_key)
    {
        return ERROR_INVALID_HANDLE;
    }
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    m_status = RunGuarded(
        [&] { return RegQueryValueExW(m_key, name, nullptr, &type, reinterpret_cast<BYTE*>(&out), &size); });
    m_dataType = type;
    m_dataSize = size;
    return m_status;
}

LONG CRegistryKey::SetDword(const wchar_t* name, DWORD value)
{
    if (!m_key)
    {
        return m_status = ERROR_INVALID_HANDLE;
    }
    return m_status = RunGuarded([&] {
               return RegSetValueExW(m_key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                     sizeof(value));
           });
}

LONG CRegistryKey::SetString(const wchar_t* name, const wchar_t* text)
{
    if (!m_key || !name || !text)
    {
        return m_status = ERROR_INVALID_HANDLE;
    }
    return m_status = RunGuarded([&] {
               const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
               return RegSetValueExW(m_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
           });
}

LONG CRegistryKey::DeleteValue(const wchar_t* name)
{
    if (!m_key)
    {
        return m_status = ERROR_INVALID_HANDLE;
    }
    return m_status = RunGuarded([&] { return RegDeleteValueW(m_key, name); });
}
