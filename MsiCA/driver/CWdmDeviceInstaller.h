#pragma once
#include <windows.h>

// Creates a root-enumerated device for a hardware ID and installs (or updates) its driver
// from an INF file through newdev.dll, loaded for the call. Every call creates a further
// device node; the driver update then covers every present device with the hardware ID.
class CWdmDeviceInstaller
{
  public:
    // The last error holds the failing step's code, 0 on success. A device node that was
    // registered stays when the driver installation fails.
    static bool InstallOrUpdate(const wchar_t* hardwareId, const wchar_t* infPath);
};
