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

// The global values the tool may change.
const wchar_t* const kGlobalValues[] = {L"TraceEnabled", L"DynamicUpdate"};

// Where the application key keeps a global value as it was before the tool's first change:
// a DWORD as it was, or a value without data for one that was absent.
std::wstring KeptName(const wchar_t* name)
{
    return std::wstring(L"ToolKept") + name;
}

// Sets a global value (0 deletes it), keeping what it was before unless that is kept already.
LONG ChangeGlobal(CRegistryKey& global, CRegistryKey& application, const wchar_t* name, DWORD value)
{
    const std::wstring kept = KeptName(name);
    DWORD previous = 0;
    if (application.QueryDword(previous, kept.c_str()) == ERROR_FILE_NOT_FOUND)
    {
        const LONG status = global.QueryDword(previous, name) == ERROR_SUCCESS
                                ? application.SetDword(kept.c_str(), previous)
                                : RegSetValueExW(application.Key(), kept.c_str(), 0, REG_NONE, nullptr, 0);
        if (status != ERROR_SUCCESS)
        {
            return status;
        }
    }
    return value ? global.SetDword(name, value) : DeleteIfPresent(global, name);
}
} // namespace

bool CTraceSettings::IsSwitchedOff()
{
    CRegistryKey global;
    DWORD enabled = 1;
    return global.Open(kGlobalKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY) == ERROR_SUCCESS &&
           global.QueryDword(enabled, L"TraceEnabled") == ERROR_SUCCESS && enabled == 0;
}

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
    CRegistryKey global, key;
    FirstFailure result;
    result += global.Open(L"SOFTWARE", KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY);
    if (result.status == ERROR_SUCCESS)
    {
        result += global.Create(L"Debug", 0, kWriteAccess);
    }
    if (result.status == ERROR_SUCCESS)
    {
        result += key.Open(kGlobalKey, KEY_CREATE_SUB_KEY | KEY_WOW64_64KEY);
    }
    if (result.status == ERROR_SUCCESS)
    {
        result += key.Create(L"MsiCA", 0, kWriteAccess);
    }
    if (result.status != ERROR_SUCCESS)
    {
        return result.status;
    }
    // Absent means on: the switch is written only where someone turned it off.
    if (forceEnabled && IsSwitchedOff())
    {
        result += ChangeGlobal(global, key, L"TraceEnabled", 1);
    }
    if (setDynamicUpdate)
    {
        result += ChangeGlobal(global, key, L"DynamicUpdate", dynamicUpdate);
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
    CRegistryKey application;
    if (application.Open(kApplicationKey, KEY_QUERY_VALUE | KEY_WOW64_64KEY) == ERROR_SUCCESS)
    {
        for (const wchar_t* name : kGlobalValues)
        {
            DWORD previous = 0;
            if (application.QueryDword(previous, KeptName(name).c_str()) == ERROR_SUCCESS &&
                (status = application.DataType() == REG_DWORD
                              ? global.SetDword(name, previous)
                              : DeleteIfPresent(global, name)) != ERROR_SUCCESS)
            {
                return status;
            }
        }
        application.Close();
    }
    status = RegDeleteTreeW(global.Key(), L"MsiCA");
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    {
        return status;
    }
    DWORD subKeys = 0, values = 0;
    status = RegQueryInfoKeyW(global.Key(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                              nullptr, nullptr, nullptr, nullptr);
    global.Close();
    if (status == ERROR_SUCCESS && subKeys == 0 && values == 0)
    {
        status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kGlobalKey, KEY_WOW64_64KEY, 0);
        globalRemoved = status == ERROR_SUCCESS;
    }
    return status;
}
