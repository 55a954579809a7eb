#pragma once
#include "service/CServiceMgr.h"
#include <string>

// Installs and removes a legacy (not Plug and Play) kernel driver: an auto-start
// kernel-driver service with an event source in the System log, started and stopped
// through the service control manager. Successful starts are counted in the service's
// volatile SharedCounter key, for the trace only.
//
// Register, Unregister, StartDriver and StopDriver open and close the database
// themselves; IsDriverRegistered works on a database the caller opened.
class CDriverInstaller : public CServiceMgr
{
  public:
    explicit CDriverInstaller(SC_HANDLE database = nullptr, HWND ownerWindow = NoOwnerWindow(),
                              const wchar_t* startCounterName = L"StartCount",
                              const wchar_t* installCounterName = L"InstallCount");

    // The registered ImagePath as a full path ("\??\" dropped, "\SystemRoot" and a leading
    // "system32" resolved); false when it cannot be read, path then untouched.
    bool GetImagePath(const wchar_t* name, std::wstring& path);
    // Without binaryPath the driver is %windir%\system32\drivers\<name>.sys. On failure the
    // last error says why (1073: already registered).
    bool Register(const wchar_t* name, const wchar_t* displayName, const wchar_t* binaryPath = nullptr);
    bool IsDriverRegistered(const wchar_t* name);
    // Stops the driver and deletes its service under the service database lock. A driver
    // that cannot be stopped stays registered. On failure the last error says why.
    bool Unregister(const wchar_t* name);
    // messageFiles: texts ending with an empty one, joined with ";" into EventMessageFile.
    bool AddEventSource(const wchar_t* name, const wchar_t* const* messageFiles);
    bool RemoveEventSource(const wchar_t* name);
    bool StartDriver(const wchar_t* name);
    bool StopDriver(const wchar_t* name);
    DWORD ReadCounter(const wchar_t* name, const wchar_t* valueName);
    DWORD IncrementCounter(const wchar_t* name, const wchar_t* valueName);

    const wchar_t* StartCounterName() const { return m_startCounterName; }
    const wchar_t* InstallCounterName() const { return m_installCounterName; }

  private:
    const wchar_t* m_startCounterName;
    const wchar_t* m_installCounterName;
};

// Stops and deletes a legacy driver's service and removes its event source (even when the
// service could not be deleted). error, when given, receives the reason of a failure.
bool Uninstall(const wchar_t* name, DWORD* error = nullptr);
