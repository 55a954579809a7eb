#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The System setup class, where the test devices go.
extern const GUID kSystemClassGuid;

// Creates a root-enumerated device as a driver installation does (a generated instance ID
// below ROOT\SYSTEM, the hardware ID list in order, DIF_REGISTERDEVICE) and returns its
// instance ID; empty on failure, which fails the test.
std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds);
bool RemoveDeviceInstance(const std::wstring& instanceId);
// Instance IDs of the present devices of all classes that carry hardwareId (case ignored).
std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& hardwareId);

// A root device for one test, removed when it goes (when it is still there).
class CTestDevice
{
  public:
    explicit CTestDevice(const std::vector<std::wstring>& hardwareIds) : m_id(CreateRootDevice(hardwareIds))
    {
    }
    ~CTestDevice() { RemoveDeviceInstance(m_id); }
    const std::wstring& InstanceId() const { return m_id; }

  private:
    std::wstring m_id;
};
