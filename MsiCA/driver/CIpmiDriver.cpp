#include "driver/CIpmiDriver.h"
#include "util/PathJoin.h"
#include "driver/CDriverInstaller.h"
#include "driver/CPnpDevice.h"
#include "firmware/CSMBios.h"
#include "trace/CTrace.h"
#include "util/CRegistryKey.h"
#include <string>

#define IPMI_TAG L"\nCIpmiDriver         : "

const wchar_t* const CIpmiDriver::kIpmiKey = L"SYSTEM\\CurrentControlSet\\Control\\IPMI";

namespace
{
const wchar_t* const kDriverName = L"ImbDrvNT";
const wchar_t* const kDriverFile = L"ImbDrvNT.sys";
const wchar_t* const kDisplayName = L"NT IMB Interface Driver";
const wchar_t* const kIoLogMessageFile = L"%SYSTEMROOT%\\system32\\IoLogMsg.dll";
const wchar_t* const kIpmiHardwareId = L"ACPI\\IPI0001";
const wchar_t* const kSlaveAddressValue = L"SlaveAddressDetectionMethod";

constexpr BYTE kIpmiDeviceInformation = 38;
constexpr size_t kLengthOffset = 1;
constexpr size_t kSlaveAddressOffset = 6;
// The address the operating system's driver assumes by itself.
constexpr BYTE kDefaultSlaveAddress = 0x20;
constexpr DWORD kRemovalPauseMs = 1000;

void SetSlaveAddressDetection()
{
    CRegistryKey key;
    key.Open(CIpmiDriver::kIpmiKey, KEY_ALL_ACCESS);
    key.SetDword(kSlaveAddressValue, 1);
}

void DeleteSlaveAddressDetection()
{
    CRegistryKey key;
    key.Open(CIpmiDriver::kIpmiKey, KEY_ALL_ACCESS);
    key.DeleteValue(kSlaveAddressValue);
}

// Registers ImbDrvNT from driverPath unless it already is, with its event source.
// A registration that fails for another reason than an existing service is only traced.
void RegisterDriver(CDriverInstaller& installer, const std::wstring& driverPath)
{
    std::wstring registeredPath;
    if (installer.GetImagePath(kDriverName, registeredPath))
    {
        // The labels read as this trace always has, though each names the other path.
        TRACE(4, IPMI_TAG L"  current driver path = %s", driverPath.c_str());
        TRACE(4, L"\n                    :   desired driver path = %s", registeredPath.c_str());
        if (lstrcmpiW(registeredPath.c_str(), driverPath.c_str()) != 0)
        {
            TRACE(3, IPMI_TAG L"IPMI driver not registered in current directory - reregister driver...");
            installer.Unregister(kDriverName);
            installer.RemoveEventSource(kDriverName);
        }
    }
    // Register and StartDriver open the database for their own steps.
    installer.OpenDatabase();
    const bool registered = installer.IsDriverRegistered(kDriverName);
    installer.CloseDatabase();
    if (registered)
    {
        TRACE(4, IPMI_TAG L"  IPMI driver already registered - don't install it again");
        return;
    }
    TRACE(3, IPMI_TAG L"IPMI driver not yet registered - install it...");
    if (installer.Register(kDriverName, kDisplayName, driverPath.c_str()))
    {
        TRACE(3, IPMI_TAG L"Driver installed successfully");
    }
    else if (GetLastError() == ERROR_SERVICE_EXISTS)
    {
        TRACE(4, IPMI_TAG L"  driver already exists");
    }
    else
    {
        TRACE(1, IPMI_TAG L"## ERROR 0x%X! Failed to install IPMI driver!", GetLastError());
        TRACE(4, IPMI_TAG L"  IPMI driver could not be installed - do not register event source");
        return;
    }
    TRACE(4, IPMI_TAG L"  register driver event source...");
    const wchar_t* const messageFiles[] = {driverPath.c_str(), kIoLogMessageFile, L""};
    if (!installer.AddEventSource(kDriverName, messageFiles))
    {
        TRACE(1,
              L"\n\nCIpmiDriver         : ## ERROR 0x%X! Failed to register driver event source for IPMI "
              L"driver!\n",
              GetLastError());
    }
}
} // namespace

CIpmiDriver::SlaveAddress CIpmiDriver::ReadSlaveAddress(const CSMBios& smbios, BYTE& address)
{
    if (!smbios.FindStructure(kIpmiDeviceInformation))
    {
        return SlaveAddress::Absent;
    }
    BYTE length = 0;
    if (!smbios.ReadStructureByte(kIpmiDeviceInformation, kLengthOffset, length) ||
        length <= kSlaveAddressOffset ||
        !smbios.ReadStructureByte(kIpmiDeviceInformation, kSlaveAddressOffset, address))
    {
        TRACE(1, IPMI_TAG L"## WARNING! SMBIOS structure type 38 of %d bytes holds no IMB slave address!",
              length);
        return SlaveAddress::Unreadable;
    }
    return SlaveAddress::Found;
}

bool CIpmiDriver::NeedsImbDrvNT(SlaveAddress slave, bool microsoftIpmiPresent)
{
    return slave != SlaveAddress::Absent && !microsoftIpmiPresent;
}

bool CIpmiDriver::NeedsSlaveAddressDetection(SlaveAddress slave, BYTE address)
{
    return slave == SlaveAddress::Found && address != kDefaultSlaveAddress;
}

DWORD CIpmiDriver::Install(const wchar_t* directory)
{
    if (!directory || !*directory)
    {
        return ERROR_INVALID_PARAMETER;
    }
    CSMBios smbios;
    if (!smbios.Connect())
    {
        TRACE(1, IPMI_TAG L"ERROR! Failed to connect to SMBIOS!");
        return ERROR_INVALID_PARAMETER;
    }
    DWORD result = ERROR_INVALID_PARAMETER;
    BYTE address = 0;
    const SlaveAddress slave = ReadSlaveAddress(smbios, address);
    if (slave == SlaveAddress::Absent)
    {
        TRACE(2, IPMI_TAG L"SMBIOS structure type 38 not found on system!");
    }
    else
    {
        if (slave == SlaveAddress::Found)
        {
            TRACE(2, IPMI_TAG L"SMBIOS structure type 38: Found IMB slave address 0x%X (%d)", address,
                  address);
        }
        if (!NeedsImbDrvNT(slave, IsMicrosoftIpmiPresent()))
        {
            TRACE(2, IPMI_TAG L"Windows IPMI ACPI device found - no deviced driver needed!");
        }
        else
        {
            TRACE(3, L"\n\nCIpmiDriver         : Start IPMI driver installation");
            const std::wstring driverPath = JoinPath(directory, kDriverFile);
            CDriverInstaller installer(nullptr, CServiceMgr::NoOwnerWindow(), L"StartCount", L"InstallCount");
            RegisterDriver(installer, driverPath);
            result = 0;
            if (!installer.StartDriver(kDriverName))
            {
                result = GetLastError();
                TRACE(1, L"\n\nCIpmiDriver         : ## ERROR 0x%X! Failed to start IPMI device driver!\n",
                      result);
            }
        }
    }
    smbios.Disconnect();
    return result;
}

DWORD CIpmiDriver::Uninstall()
{
    DWORD error = 0;
    TRACE(3, L"\n\nCIpmiDriver         : Start %s driver deinstallation", kDriverName);
    if (::Uninstall(kDriverName, &error))
    {
        TRACE(3, IPMI_TAG L"%s driver unregistered!", kDriverName);
    }
    else
    {
        TRACE(1, IPMI_TAG L"ERROR 0x%X! Delete %s driver failed!", error, kDriverName);
    }
    TRACE(3, L"\n\nCIpmiDriver         : %s driver uninstalled", kDriverName);
    Sleep(kRemovalPauseMs);
    DeleteSlaveAddressDetection();
    return error;
}

bool CIpmiDriver::RestartMicrosoftIpmi()
{
    if (!IsMicrosoftIpmiPresent())
    {
        TRACE(2, IPMI_TAG L"IPMI driver restart supported on Windows Server 2008 or higher versions only");
        return false;
    }
    CPnpDevice device;
    if (!device.CreateFromHardwareId(kIpmiHardwareId, nullptr))
    {
        return false;
    }
    TRACE(3, IPMI_TAG L"Found ACPI device %s", kIpmiHardwareId);
    CSMBios smbios;
    if (smbios.Connect())
    {
        BYTE address = 0;
        const SlaveAddress slave = ReadSlaveAddress(smbios, address);
        if (slave == SlaveAddress::Found)
        {
            TRACE(3, IPMI_TAG L"SMBIOS struct type 38: Found IMB slave address 0x%X", address);
            if (NeedsSlaveAddressDetection(slave, address))
            {
                TRACE(3, IPMI_TAG L"Set registry value \"%s\" in \"%s\"", kSlaveAddressValue, kIpmiKey);
                SetSlaveAddressDetection();
            }
        }
        else if (slave == SlaveAddress::Absent)
        {
            TRACE(3, IPMI_TAG L"SMBIOS struct type 38 not found");
        }
        smbios.Disconnect();
    }
    const bool restarted = device.Restart();
    TRACE(2, IPMI_TAG L"Restart device %s %s!", kIpmiHardwareId, restarted ? L"OK" : L"FAILED");
    return restarted;
}

bool CIpmiDriver::IsMicrosoftIpmiPresent()
{
    CPnpDevice device;
    const bool found = device.CreateFromHardwareId(kIpmiHardwareId, nullptr);
    TRACE(4, IPMI_TAG L"Windows IPMI device %s %sfound", kIpmiHardwareId, found ? L"" : L"not ");
    return found;
}
