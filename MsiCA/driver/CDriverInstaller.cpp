#include "driver/CDriverInstaller.h"
#include "util/PathJoin.h"
#include "trace/CTrace.h"
#include "util/CRegistryKey.h"
#include "util/CUniqueHandle.h"
#include "util/StringFormat.h"
#include <strsafe.h>

#define DRV_TAG L"\nCDriverInstaller    : "
#define UNINSTALL_TAG L"\nCDriver (Uninstall) : "

namespace
{
constexpr DWORD kLockTries = 10;
constexpr DWORD kLockRetryDelayMs = 5000;
constexpr DWORD kImagePathBytes = MAX_PATH * sizeof(wchar_t);
constexpr DWORD kAllEventTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
const wchar_t* const kSharedCounterKey = L"SharedCounter";
const wchar_t* const kEventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\SYSTEM";

struct ServiceLockTraits
{
    using Handle = SC_LOCK;
    static Handle Empty() { return nullptr; }
    static bool Close(Handle lock) { return UnlockServiceDatabase(lock) != FALSE; }
};
using CServiceLock = CUniqueHandle<ServiceLockTraits>;

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

std::wstring EventSourceKeyPath(const wchar_t* name)
{
    return std::wstring(kEventLogKey) + L"\\" + (name ? name : L"");
}

std::wstring CounterKeyPath(const wchar_t* name)
{
    return CServiceMgr::ServiceKeyPath(name) + L"\\" + kSharedCounterKey;
}

// The service database lock, taken for a deletion. Someone else holding it is waited for
// five seconds at a time; any other failure is tried again at once.
CServiceLock LockDatabase(SC_HANDLE database)
{
    for (DWORD tryNumber = 1; tryNumber <= kLockTries; ++tryNumber)
    {
        TRACE(4, SVC_TAG L"Lock service database");
        CServiceLock lock(LockServiceDatabase(database));
        if (lock)
        {
            return lock;
        }
        if (GetLastError() == ERROR_SERVICE_DATABASE_LOCKED && tryNumber < kLockTries)
        {
            Sleep(kLockRetryDelayMs);
        }
    }
    SetLastError(ERROR_SERVICE_DATABASE_LOCKED);
    return CServiceLock();
}
} // namespace

CDriverInstaller::CDriverInstaller(SC_HANDLE database, HWND ownerWindow, const wchar_t* startCounterName,
                                   const wchar_t* installCounterName)
    : CServiceMgr(database, ownerWindow), m_startCounterName(startCounterName),
      m_installCounterName(installCounterName)
{
}

bool CDriverInstaller::GetImagePath(const wchar_t* name, std::wstring& path)
{
    if (!name || !*name)
    {
        return false;
    }
    CRegKeyHandle key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0, KEY_READ | KEY_WOW64_64KEY,
                      key.Receive()) != ERROR_SUCCESS)
    {
        return false;
    }
    // One character more than the value may fill, so that the text always ends.
    wchar_t value[MAX_PATH + 1] = {};
    DWORD bytes = kImagePathBytes;
    if (RegQueryValueExW(key.Get(), L"ImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &bytes) !=
        ERROR_SUCCESS)
    {
        return false;
    }
    std::wstring text = value;
    if (StartsWith(text, L"\\??\\"))
    {
        text.erase(0, 4);
    }
    const wchar_t* const systemRootPrefix = L"\\SystemRoot";
    if (StartsWith(text, systemRootPrefix))
    {
        wchar_t systemRoot[MAX_PATH] = {};
        const DWORD chars = ExpandEnvironmentStringsW(L"%SystemRoot%", systemRoot, MAX_PATH);
        if (chars != 0 && chars <= MAX_PATH)
        {
            text = systemRoot + text.substr(wcslen(systemRootPrefix));
        }
    }
    if (StartsWith(text, L"system32"))
    {
        wchar_t windowsDir[MAX_PATH] = {};
        const UINT chars = GetWindowsDirectoryW(windowsDir, MAX_PATH);
        if (chars != 0 && chars < MAX_PATH)
        {
            text = JoinPath(windowsDir, text);
        }
    }
    path = text;
    return true;
}

bool CDriverInstaller::Register(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath)
{
    std::wstring defaultPath;
    if (!binaryPath)
    {
        wchar_t windowsDir[MAX_PATH] = {};
        const UINT chars = GetWindowsDirectoryW(windowsDir, MAX_PATH);
        if (chars == 0 || chars >= MAX_PATH)
        {
            return false;
        }
        FormatString(defaultPath, L"%s\\system32\\drivers\\%s.sys", windowsDir, name);
        binaryPath = defaultPath.c_str();
    }
    if (OpenDatabase() != 0)
    {
        return false;
    }
    const DWORD result = CreateSvc(name, binaryPath, displayName);
    CloseDatabase();
    SetLastError(result);
    return result == 0;
}

bool CDriverInstaller::IsDriverRegistered(const wchar_t* name)
{
    const bool registered = IsRegistered(name);
    TRACE(2, DRV_TAG L"Device driver \"%s\" is %s registered!", name, registered ? L"already" : L"NOT");
    return registered;
}

bool CDriverInstaller::Unregister(const wchar_t* name)
{
    if (!StopDriver(name))
    {
        return false;
    }
    const DWORD openResult = OpenDatabase();
    if (openResult != 0)
    {
        SetLastError(openResult);
        return false;
    }
    DWORD result = ERROR_SERVICE_DATABASE_LOCKED;
    CServiceLock lock = LockDatabase(Database());
    if (lock)
    {
        result = DelSvc(name);
        TRACE(4, SVC_TAG L"Unlock service database");
        lock.Reset();
    }
    CloseDatabase();
    SetLastError(result);
    return result == 0;
}

bool CDriverInstaller::AddEventSource(const wchar_t* name, const wchar_t* const* messageFiles)
{
    if (!name || !*name)
    {
        return false;
    }
    // Registry calls return their error: it becomes the last error callers report.
    CRegKeyHandle eventLog;
    LONG error =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_WRITE | KEY_WOW64_64KEY, eventLog.Receive());
    CRegKeyHandle source;
    if (error == ERROR_SUCCESS)
    {
        error = RegCreateKeyW(eventLog.Get(), name, source.Receive());
    }
    if (error != ERROR_SUCCESS)
    {
        SetLastError(static_cast<DWORD>(error));
        return false;
    }
    const DWORD types = kAllEventTypes;
    RegSetValueExW(source.Get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof(types));
    wchar_t files[MAX_PATH] = {};
    if (messageFiles && messageFiles[0])
    {
        StringCchCopyW(files, MAX_PATH, messageFiles[0]);
        for (const wchar_t* const* file = messageFiles + 1; *file && **file; ++file)
        {
            StringCchCatW(files, MAX_PATH, L";");
            StringCchCatW(files, MAX_PATH, *file);
        }
    }
    RegSetValueExW(source.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(files),
                   static_cast<DWORD>((wcslen(files) + 1) * sizeof(wchar_t)));
    return true;
}

bool CDriverInstaller::RemoveEventSource(const wchar_t* name)
{
    if (!name || !*name)
    {
        return false;
    }
    const std::wstring sourcePath = EventSourceKeyPath(name);
    CRegKeyHandle source;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, sourcePath.c_str(), 0, KEY_WRITE | KEY_WOW64_64KEY,
                               source.Receive());
    if (error != ERROR_SUCCESS)
    {
        TRACE(1, DRV_TAG L"ERROR 0x%X! FAILED to open key \"%s\"", error, sourcePath.c_str());
        return false;
    }
    RegDeleteValueW(source.Get(), L"TypesSupported");
    RegDeleteValueW(source.Get(), L"EventMessageFile");
    source.Reset();
    TRACE(3, DRV_TAG L"Values in sub key \"%s\" deleted", sourcePath.c_str());

    CRegKeyHandle eventLog;
    error =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_WRITE | KEY_WOW64_64KEY, eventLog.Receive());
    if (error != ERROR_SUCCESS)
    {
        TRACE(1, DRV_TAG L"ERROR 0x%X! FAILED to open key \"%s\"", error, kEventLogKey);
        return false;
    }
    RegDeleteKeyW(eventLog.Get(), name);
    eventLog.Reset();
    TRACE(3, DRV_TAG L"Sub key \"%s\" deleted", kEventLogKey);
    return true;
}

bool CDriverInstaller::StartDriver(const wchar_t* name)
{
    TRACE(3, DRV_TAG L"Starting  driver %s (Old StartCount %d) ..", name,
          ReadCounter(name, m_startCounterName));
    DWORD result = OpenDatabase();
    if (result == 0)
    {
        result = StartSvc(name, 0, nullptr, true, kDefaultTimeoutMs);
        if (result == 0)
        {
            IncrementCounter(name, m_startCounterName);
        }
        TRACE(1, DRV_TAG L"Start driver %s %s (Error code 0x%08X, StartCount %d)!", name,
              result == 0 ? L"OK" : L"FAILED", result, ReadCounter(name, m_startCounterName));
        CloseDatabase();
    }
    if (result == 0)
    {
        TRACE(3, DRV_TAG L"Starting driver %s done (New StartCount %d)!", name,
              ReadCounter(name, m_startCounterName));
        return true;
    }
    TRACE(3, DRV_TAG L"ERROR 0x%X! FAILED to start driver \"%s\" (New StartCount %d)!", result, name,
          ReadCounter(name, m_startCounterName));
    SetLastError(result);
    return false;
}

bool CDriverInstaller::StopDriver(const wchar_t* name)
{
    TRACE(3, DRV_TAG L"Stopping  driver \"%s\" (Old StartCount %d) ..", name,
          ReadCounter(name, m_startCounterName));
    DWORD result = OpenDatabase();
    if (result == 0)
    {
        result = StopSvc(name, true, kDefaultTimeoutMs);
        TRACE(1, DRV_TAG L"Stop driver %s %s (Error code 0x%08X, StartCount %d)!", name,
              result == 0 ? L"OK" : L"FAILED", result, ReadCounter(name, m_startCounterName));
        CloseDatabase();
    }
    TRACE(3, DRV_TAG L"Stopping  driver %s done (New StartCount %d)!", name,
          ReadCounter(name, m_startCounterName));
    SetLastError(result);
    return result == 0;
}

DWORD CDriverInstaller::ReadCounter(const wchar_t* name, const wchar_t* valueName)
{
    CRegistryKey key;
    DWORD count = 0;
    if (key.Open(CounterKeyPath(name).c_str(), KEY_READ | KEY_WOW64_64KEY) != ERROR_SUCCESS ||
        key.QueryDword(count, valueName) != ERROR_SUCCESS)
    {
        return 0;
    }
    return count;
}

DWORD CDriverInstaller::IncrementCounter(const wchar_t* name, const wchar_t* valueName)
{
    CRegistryKey key;
    if (key.Open(ServiceKeyPath(name).c_str(), KEY_ALL_ACCESS | KEY_WOW64_64KEY) != ERROR_SUCCESS)
    {
        return 0;
    }
    // Volatile: the count starts again from nothing at every restart of the system.
    if (key.Create(kSharedCounterKey, REG_OPTION_VOLATILE, KEY_ALL_ACCESS) != ERROR_SUCCESS)
    {
        return 0;
    }
    DWORD count = 0;
    if (key.QueryDword(count, valueName) != ERROR_SUCCESS)
    {
        count = 0;
    }
    ++count;
    key.SetDword(valueName, count);
    return count;
}

bool Uninstall(const wchar_t* name, DWORD* error)
{
    if (!name)
    {
        return false;
    }
    TRACE(2, UNINSTALL_TAG L"Uninstall legacy driver %s", name);
    if (error)
    {
        *error = 0;
    }
    CDriverInstaller installer;
    TRACE(3, UNINSTALL_TAG L"Unregister driver");
    const bool unregistered = installer.Unregister(name);
    if (unregistered)
    {
        TRACE(2, UNINSTALL_TAG L"Legacy driver %s successfully uninstalled", name);
    }
    else
    {
        const DWORD reason = GetLastError();
        if (error)
        {
            *error = reason;
        }
        TRACE(1, UNINSTALL_TAG L"## ERROR 0x%X! Unregister driver failed!\n", reason);
    }
    // The event source goes even when the service stays.
    TRACE(3, UNINSTALL_TAG L"Unregister event source");
    installer.RemoveEventSource(name);
    installer.CloseDatabase();
    return unregistered;
}
