#pragma once
#include <windows.h>
#include <memory>
#include <string>

// One present Plug and Play device instance, found by one of its hardware IDs (optionally
// within a device setup class), which can then be removed or restarted. A new object is
// attached to nothing.
class CPnpDevice
{
  public:
    CPnpDevice() = default;
    virtual ~CPnpDevice() = default;
    CPnpDevice(const CPnpDevice&) = delete;
    CPnpDevice& operator=(const CPnpDevice&) = delete;

    // classGuid: the setup class as text without braces, or null for all classes. On
    // failure the object keeps what it was attached to.
    bool CreateFromHardwareId(const wchar_t* hardwareId, const wchar_t* classGuid = nullptr);
    // Nothing attached: false with last error ERROR_INVALID_HANDLE.
    bool Remove();
    // Makes the device reload its driver.
    bool Restart();

    // The instance ID of the first present device (in enumeration order) whose hardware ID
    // list holds hardwareId, case ignored. 0 when found, ERROR_NO_DATA when no device
    // carries it, otherwise the Setup API's error.
    static DWORD FindByHardwareId(std::wstring& instanceId, const wchar_t* hardwareId,
                                  const GUID* classGuid = nullptr);
    // 0, ERROR_INVALID_PARAMETER for a null ID, or the Setup API's error.
    static DWORD GetInstanceClassGuid(const wchar_t* instanceId, GUID& classGuid);

    bool IsAttached() const { return m_instanceId != nullptr; }
    const wchar_t* InstanceId() const { return m_instanceId.get(); }
    const GUID& ClassGuid() const { return m_classGuid; }

  private:
    GUID m_classGuid{};
    std::unique_ptr<wchar_t[]> m_instanceId;
};

// Finds the device within the class, then (when a class was given) in all classes, and
// removes it. True when a device was found and removed.
bool RemoveDeviceByHardwareId(const wchar_t* hardwareId, const wchar_t* classGuid = nullptr);
