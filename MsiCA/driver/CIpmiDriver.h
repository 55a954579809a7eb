#pragma once
#include <windows.h>

class CSMBios;

// The suite's legacy IPMI interface driver ImbDrvNT, needed only where SMBIOS announces an
// IPMI controller (structure type 38) and the operating system has no IPMI device of its
// own (ACPI\IPI0001); and the restart of that device once its driver has been told, in the
// registry, how to find the controller's slave address.
class CIpmiDriver
{
  public:
    // directory holds ImbDrvNT.sys. 0 when the driver was started, the start's error when it
    // was not, ERROR_INVALID_PARAMETER whenever no installation was attempted.
    static DWORD Install(const wchar_t* directory);
    // 0 or the error of the driver's removal. Always deletes the slave address value.
    static DWORD Uninstall();
    // True when ACPI\IPI0001 was restarted.
    static bool RestartMicrosoftIpmi();
    static bool IsMicrosoftIpmiPresent();

    enum class SlaveAddress
    {
        Absent,    // no type-38 structure
        Found,     // address holds byte 06
        Unreadable // the structure is too short to hold it
    };
    // The controller's I2C slave address from the first type-38 structure of a connected
    // reader, read within that structure's length and the table.
    static SlaveAddress ReadSlaveAddress(const CSMBios& smbios, BYTE& address);
    // Install registers and starts ImbDrvNT only where SMBIOS announces a controller that the
    // operating system has no device for.
    static bool NeedsImbDrvNT(SlaveAddress slave, bool microsoftIpmiPresent);
    // The restart writes "SlaveAddressDetectionMethod" for any address but the default one.
    static bool NeedsSlaveAddressDetection(SlaveAddress slave, BYTE address);
    static const wchar_t* const kIpmiKey;
};
