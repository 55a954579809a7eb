#include "CTraceSettings.h"
#include "util/CRegistryKey.h"

const CTraceSettings::Prefix CTraceSettings::kPrefixes[7] = {
    {L"date", L"DateStampOn"}, {L"time", L"TimeStampOn"},  {L"thread", L"ThreadIdOn"},
    {L"cpu", L"CpuIdOn"},      {L"memory", L"MemUsageOn"}, {L"handles", L"HandleCountOn"},
    {L"app", L"AppNameOn"}};

namespace
{
constexpr DWORD kWriteAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY;

// Keeps the first failure of a series of writes.
struct FirstFailure
{
    LONG status = ERROR_SUCCESS;
    void operator+=(LONG result)
    {
        if (status == ERROR_SUCCESS && result != ERROR_SUCCESS)
        {
            status = result;
        }
    }
};

// A value that may be absent already.
LONG DeleteIfPresent(CRegistryKey& key, const wchar_t* name)
{
    const LONG status = key.DeleteValue(name);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}
} // namespace

bool CTraceSettings::EncodeLimit(ULONGLONG bytes, DWORD& value)
{
    constexpr ULONGLONG kMiB = 1024 * 1024;
    if (bytes != 0 && bytes % kMiB == 0 && bytes / kMiB <= 0x7FFFFFFF)
    {
        value = static_cast<DWORD>(bytes / kMiB);
        return true;
    }
    if (bytes != 0 && bytes <= 0x7FFFFFFF)
    {
        value = 0x80000000u | static_cast<DWORD>(bytes);
        return true;
    }
    return false;
}

LONG CTraceSettings::Write() const
{
    CRegistryKey key;
    FirstFailure result;
    result += key.Open(L"SOFTWARE", KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY);
    if (result.status == ERROR_SUCCESS)
    {
        result += key.Create(L"Debug", 0, kWriteAccess);
    }
    if (result.status != ERROR_SUCCESS)
    {
        return result.status;
    }
    result += key.SetDword(L"TraceEnabled", 1);
    if (setDynamicUpdate)
    {
        result += dynamicUpdate ? key.SetDword(L"DynamicUpdate", dynamicUpdate)
                                : DeleteIfPresent(key, L"DynamicUpdate");
    }
    result += key.Create(L"MsiCA", 0, kWriteAccess);
    if (result.status != ERROR_SUCCESS)
    {
        return result.status;
    }
    result += key.SetDword(L"FileDebugLevel", fileLevel);
    result += key.SetDword(L"ConDebugLevel", consoleLevel);
    result += key.SetDword(L"WinDebugLevel", debuggerLevel);
    result += key.SetDword(L"MsiLogDebugLevel", msiLogLevel);
    if (fileLevel != 0)
    {
        // A path with %VARIABLES% is expanded by each process that traces.
        const DWORD type = path.find(L'%') != std::wstring::npos ? REG_EXPAND_SZ : REG_SZ;
        result +=
            RegSetValueExW(key.Key(), L"TraceFile", 0, type, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        result += key.SetDword(L"TraceFileMemoryMapped", ring ? 1 : 0);
        result += limit ? key.SetDword(L"TraceFileLimit", limit) : DeleteIfPresent(key, L"TraceFileLimit");
    }
    for (size_t i = 0; i < ARRAYSIZE(kPrefixes); ++i)
    {
        result += key.SetDword(kPrefixes[i].value, prefixOn[i] ? 1 : 0);
    }
    return result.status;
}

LONG CTraceSettings::Remove(bool& globalRemoved)
{
    globalRemoved = false;
    CRegistryKey global;
    LONG status = global.Open(kGlobalKey, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
    if (status == ERROR_FILE_NOT_FOUND)
    {
        return ERROR_SUCCESS; // nothing configured
    }
    if (status != ERROR_SUCCESS)
    {
        return status;
    }
    status = RegDeleteTreeW(global.Key(), L"MsiCA");
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    {
        return status;
    }
    DWORD subKeys = 0;
    status = RegQueryInfoKeyW(global.Key(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
    global.Close();
    if (status == ERROR_SUCCESS && subKeys == 0)
    {
        // Its values concern only the applications that have keys below it.
        status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kGlobalKey, KEY_WOW64_64KEY, 0);
        globalRemoved = status == ERROR_SUCCESS;
    }
    return status;
}
