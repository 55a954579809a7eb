#pragma once
#include <windows.h>

// Identifiers of one generation of the board driver family (constants of the program).
struct HalbDriverIds
{
    const wchar_t* driverName;
    const wchar_t* infFileName;
    const wchar_t* classGuid; // without braces
    const wchar_t* biosHardwareId;
    const wchar_t* busIoHardwareId;
    const wchar_t* smbusHardwareId;
};

// The board driver family: Halb3 from Windows 10 on, Halb2 on older systems, each three
// root devices (BIOS, bus I/O, SMBus) installed from the generation's INF file.
class CHalbDriver
{
  public:
    static constexpr DWORD kNotInstalled = 0xFFFFFFFF;

    // 3, 2, or 0 when no generation fits this system.
    static int GetDriverGeneration();
    static bool GetDriverIds(HalbDriverIds& ids);
    // The identifiers of generation 3 or 2; null for any other number.
    static const HalbDriverIds* IdsOfGeneration(int generation);
    // Uninstalls the legacy "Halb" service, then pauses a second. 0 or the error.
    static DWORD UninstallLegacy();
    // folder holds the INF and driver files. 0, kNotInstalled for an empty folder or an
    // unsupported system, otherwise the error of the last device that failed.
    static DWORD Install(const wchar_t* folder);
    // Removes the devices of both generations. Always 0.
    static DWORD Remove();
};
