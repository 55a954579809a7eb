#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The stand-in service (TestService.exe, built beside the tests) registered with the real
// service control manager for one test under a name of the test's choosing, with the
// stand-in's options as arguments. Stopped (or ended) and deleted when the test ends.
class CTestService
{
  public:
    explicit CTestService(const std::wstring& name, const std::wstring& options = L"",
                          DWORD startType = SERVICE_DEMAND_START,
                          const std::vector<std::wstring>& dependencies = {});
    ~CTestService();
    CTestService(const CTestService&) = delete;
    CTestService& operator=(const CTestService&) = delete;

    const std::wstring& Name() const { return m_name; }
    // Starts the service directly (not through the library) and waits until it runs.
    bool Start();

  private:
    std::wstring m_name;
};

// The service's current state (SERVICE_STOPPED ...), 0 when it is not registered.
DWORD ServiceState(const std::wstring& name);
// Waits on the real clock until the service reaches state; false after timeoutMs.
bool WaitForServiceState(const std::wstring& name, DWORD state, DWORD timeoutMs = 15000);
bool ServiceExists(const std::wstring& name);
// For CVirtualClock::OnSleep while the code under test waits for real services: each
// virtual sleep lets a twentieth of its time pass for real, so that they get on meanwhile.
void LetServicesRun(DWORD virtualMs);

// Stops the service (or ends its process when it refuses), deletes it and waits until the
// service control manager has forgotten it. Nothing happens when it does not exist.
void RemoveService(const std::wstring& name);
