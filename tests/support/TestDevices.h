#pragma once
#include <windows.h>
#include <string>
#include <vector>

// The System setup class, where tests put devices that belong to no class of their own.
extern const GUID kSystemClassGuid;

// Creates a root-enumerated device as a driver installation does: a generated instance ID
// below ROOT\<className>, the hardware ID list (entries in order) and DIF_REGISTERDEVICE.
// Returns its instance ID, empty on failure (the test then fails).
std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds,
                              const GUID& classGuid = kSystemClassGuid, const wchar_t* className = L"System");
bool RemoveDeviceInstance(const std::wstring& instanceId);
// Instance IDs of the present devices of all classes whose hardware ID list holds
// hardwareId (case ignored), in enumeration order.
std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& hardwareId);
// Removes every present device that carries hardwareId; returns how many went.
size_t RemoveDevicesWithHardwareId(const std::wstring& hardwareId);
// The setup class of a device instance (all zeros when it cannot be opened).
GUID DeviceClass(const std::wstring& instanceId);

// A root device for one test, removed when it goes (when it is still there).
class CTestDevice
{
  public:
    explicit CTestDevice(const std::vector<std::wstring>& hardwareIds,
                         const GUID& classGuid = kSystemClassGuid, const wchar_t* className = L"System")
        : m_instanceId(CreateRootDevice(hardwareIds, classGuid, className))
    {
    }
    ~CTestDevice() { RemoveDeviceInstance(m_instanceId); }
    CTestDevice(const CTestDevice&) = delete;
    CTestDevice& operator=(const CTestDevice&) = delete;

    const std::wstring& InstanceId() const { return m_instanceId; }

  private:
    std::wstring m_instanceId;
};
