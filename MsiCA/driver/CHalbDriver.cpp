#include "driver/CHalbDriver.h"
#include "util/PathJoin.h"
#include "driver/CDriverInstaller.h"
#include "driver/CPnpDevice.h"
#include "driver/CWdmDeviceInstaller.h"
#include "trace/CTrace.h"
#include "util/COSVersion.h"
#include "util/CProgressReport.h"
#include <string>

#define HALB_TAG L"\nCHalbDriver         : "

namespace
{
const wchar_t* const kLegacyName = L"Halb";
const wchar_t* const kClassGuid = L"ec25d3f0-64b5-44e5-8522-b9b75a400749";
constexpr DWORD kLegacyUnloadPauseMs = 1000;

const HalbDriverIds kHalb3 = {L"Halb3",
                              L"Halb3.inf",
                              kClassGuid,
                              L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\bios",
                              L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\busio",
                              L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\smbus"};
const HalbDriverIds kHalb2 = {L"Halb2",
                              L"Halb2.inf",
                              kClassGuid,
                              L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\bios",
                              L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\busio",
                              L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\smbus"};

// One device of a generation with its trace wording.
struct DeviceStep
{
    const wchar_t* HalbDriverIds::*hardwareId;
    const wchar_t* installed;
    const wchar_t* installFailed;
};
const DeviceStep kDeviceSteps[] = {
    {&HalbDriverIds::biosHardwareId, HALB_TAG L"%s BIOS device successfully loaded",
     HALB_TAG L"## ERROR 0x%X! Installing %s BIOS device FAILED!"},
    {&HalbDriverIds::busIoHardwareId, HALB_TAG L"%s BUSIO device driver successfully loaded",
     HALB_TAG L"## ERROR 0x%X! Installing %s BUSIO device FAILED!"},
    {&HalbDriverIds::smbusHardwareId, HALB_TAG L"%s SMBUS device driver successfully loaded",
     HALB_TAG L"## ERROR 0x%X! Installing %s SMBUS device FAILED!"},
};

// Removes the three devices of one generation, each line telling whether it went.
void RemoveGeneration(const HalbDriverIds& ids, const wchar_t* const (&removedLines)[3])
{
    TRACE(2, L"\n" HALB_TAG L"Remove %s driver ...", ids.driverName);
    CProgressReport::Begin(ids.driverName, 3);
    for (size_t step = 0; step < 3 && !CProgressReport::StopRequested(); ++step)
    {
        const wchar_t* hardwareId = ids.*kDeviceSteps[step].hardwareId;
        if (RemoveDeviceByHardwareId(hardwareId, ids.classGuid))
        {
            TRACE(3, removedLines[step]);
        }
        else
        {
            TRACE(3, HALB_TAG L"Did not remove device %s", hardwareId);
        }
        CProgressReport::Advance(static_cast<DWORD>(step + 1), hardwareId);
    }
    TRACE(2, L"\n" HALB_TAG L"... %s driver removed.", ids.driverName);
}
} // namespace

int CHalbDriver::GetDriverGeneration()
{
    COSVersion version;
    version.Retrieve();
    const DWORD major = version.dwMajorVersion;
    const DWORD minor = version.dwMinorVersion;
    if (major >= 10)
    {
        TRACE(3, HALB_TAG L"Windows Server 2016 / Windows 10 or later: requires Halb3 driver");
        return 3;
    }
    if (major >= 6 || (major == 5 && minor == 2))
    {
        TRACE(3, HALB_TAG L"Windows Server 2003 / Windows XP or later: requires Halb2 driver");
        return 2;
    }
    TRACE(3, HALB_TAG L"Unsupported Windows version %u.%u - no driver available!", major, minor);
    return 0;
}

const HalbDriverIds* CHalbDriver::IdsOfGeneration(int generation)
{
    return generation == 3 ? &kHalb3 : generation == 2 ? &kHalb2 : nullptr;
}

bool CHalbDriver::GetDriverIds(HalbDriverIds& ids)
{
    switch (GetDriverGeneration())
    {
    case 3:
        ids = kHalb3;
        break;
    case 2:
        ids = kHalb2;
        break;
    default:
        TRACE(3,
              HALB_TAG L"## WARNING! Unsupported operating system - could not find a suitable Halb driver!");
        return false;
    }
    TRACE(3, HALB_TAG L"Use %s driver", ids.driverName);
    return true;
}

DWORD CHalbDriver::UninstallLegacy()
{
    TRACE(3, L"\n" HALB_TAG L"Start %s driver deinstallation...", kLegacyName);
    DWORD error = 0;
    if (Uninstall(kLegacyName, &error))
    {
        error = 0;
        TRACE(3, HALB_TAG L"%s driver unregistered!", kLegacyName);
    }
    else
    {
        TRACE(1, HALB_TAG L"ERROR 0x%X! Delete %s driver failed!", error, kLegacyName);
    }
    TRACE(3, HALB_TAG L"...%s driver deinstallation completed\n", kLegacyName);
    // Gives the stopped driver time to unload before its successor arrives.
    CProgressReport::Begin(kLegacyName, 1);
    Sleep(kLegacyUnloadPauseMs);
    CProgressReport::Advance(1, kLegacyName);
    return error;
}

DWORD CHalbDriver::Install(const wchar_t* folder)
{
    TRACE(2, L"\n" HALB_TAG L"Install Halbx driver from folder %s", folder ? folder : L"");
    HalbDriverIds ids{};
    if (!folder || !*folder || !GetDriverIds(ids))
    {
        return kNotInstalled;
    }
    TRACE(3, HALB_TAG L"Register and start %s PNP driver ...", ids.driverName);
    UninstallLegacy();
    const std::wstring infPath = JoinPath(folder, ids.infFileName);
    TRACE(4, HALB_TAG L"Register %s PNP driver using INF file \"%s\"", ids.driverName, infPath.c_str());
    DWORD result = 0;
    DWORD done = 0;
    CProgressReport::Begin(ids.driverName, ARRAYSIZE(kDeviceSteps));
    for (const DeviceStep& step : kDeviceSteps)
    {
        if (CProgressReport::StopRequested())
        {
            break;
        }
        if (CWdmDeviceInstaller::InstallOrUpdate(ids.*step.hardwareId, infPath.c_str()))
        {
            TRACE(3, step.installed, ids.driverName);
        }
        else
        {
            result = GetLastError();
            TRACE(1, step.installFailed, result, ids.driverName);
        }
        CProgressReport::Advance(++done, ids.*step.hardwareId);
    }
    TRACE(2, HALB_TAG L"...registration and start of %s PNP driver completed\n", ids.driverName);
    return result;
}

DWORD CHalbDriver::Remove()
{
    RemoveGeneration(kHalb3, {HALB_TAG L"Halb3 BIOS device successfully removed",
                              HALB_TAG L"Halb3 bus I/O device successfully removed",
                              HALB_TAG L"Halb3 SMBUS device successfully removed"});
    RemoveGeneration(kHalb2, {HALB_TAG L"Halb2 BIOS device successfully removed",
                              HALB_TAG L"Halb2 bus I/O device successfully removed",
                              HALB_TAG L"Halb2 SMBUS device successfully removed"});
    return 0;
}
