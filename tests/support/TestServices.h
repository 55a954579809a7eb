#pragma once
#include <windows.h>
#include <string>

// The service's current state (SERVICE_STOPPED ...), 0 when it is not registered.
DWORD ServiceState(const std::wstring& name);
inline bool ServiceExists(const std::wstring& name)
{
    return ServiceState(name) != 0;
}
// Stops the service (or ends its process when it refuses), deletes it and waits until the
// service control manager has forgotten it. Nothing happens when it does not exist.
void RemoveService(const std::wstring& name);
// For CVirtualClock::OnSleep while the code under test waits for real services: each
// virtual sleep lets a twentieth of its time pass for real, so that they get on meanwhile.
void LetServicesRun(DWORD virtualMs);

// The stand-in service (TestService.exe) registered with the real service control manager
// under a name of the test's choosing, with the stand-in's options; removed when it goes.
class CTestService
{
  public:
    explicit CTestService(const std::wstring& name, const std::wstring& options = L"",
                          DWORD startType = SERVICE_DEMAND_START);
    ~CTestService() { RemoveService(m_name); }
    CTestService(const CTestService&) = delete;
    CTestService& operator=(const CTestService&) = delete;
    // Starts the service directly (not through the library) and waits until it runs.
    bool Start();

  private:
    std::wstring m_name;
};
