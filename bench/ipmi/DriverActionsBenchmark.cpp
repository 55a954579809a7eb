// The own time of vrxCA_RegDriver, moraCA_RestartMicrosoftIpmi and vrxCA_UnregDriver with
// the trace off: wall time minus the sleeps the library takes (passed on to the real Sleep)
// and minus the time spent inside the system's Setup API, service, registry and driver
// installation calls (pass-through fakes of the library's imports time both). The machine
// plays a server whose SMBIOS announces an IPMI controller at slave address 0x22:
// registration installs the board driver's three devices and registers and starts
// ImbDrvNT, removal takes both away again, and the restart finds ACPI\IPI0001, writes the
// slave address value and restarts the device (a restart Wine cannot do is answered by the
// fault layer). The baseline, measured in the same run, is one bare pass over all present
// devices reading their hardware IDs: the unit of every device search.
#include "CustomActions.h"
#include "support/FakeFirmwareTable.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "BenchOwnTime.h"
#include <cfgmgr32.h>
#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <cstdio>
#include <vector>

namespace
{
constexpr int kRounds = 5;

double BareDevicePass()
{
    const double start = Seconds();
    HDEVINFO list = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    BYTE ids[4192];
    for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &data); ++index)
        SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_HARDWAREID, nullptr, ids, sizeof(ids), nullptr);
    SetupDiDestroyDeviceInfoList(list);
    return (Seconds() - start) * 1000;
}

void Report(const char* action, const std::vector<ActionTiming>& timings, double bareMs)
{
    std::vector<double> own, working;
    double worst = 0;
    for (const ActionTiming& timing : timings)
    {
        own.push_back(timing.OwnMs());
        working.push_back(timing.WorkingMs());
        worst = std::max(worst, timing.OwnMs());
    }
    std::printf(
        "  %-28s own %5.2f ms (max %5.2f, goal < 50) beyond %5lu ms of pauses; with the system's calls "
        "%7.1f ms = %5.1f device passes\n",
        action, Median(own), worst, timings.front().sleepsAskedMs, Median(working), Median(working) / bareMs);
}
} // namespace

int main()
{
    CTestDir folder;
    for (const wchar_t* file : {L"Halb2.inf", L"Halb2.sys", L"Halb3.inf", L"Halb3.sys"})
        CopyFileW(BinPath(std::wstring(L"drivers\\") + file).c_str(), (folder / file).c_str(), FALSE);
    CopyFileW(BinPath(L"ImbDrvNT.sys").c_str(), (folder / L"ImbDrvNT.sys").c_str(), FALSE);
    CTestKey setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", folder.Path());
    CTestKey ipmiKey(L"SYSTEM\\CurrentControlSet\\Control\\IPMI");

    CFaultInjector injector;
    injector.Replace("kernel32.dll", "Sleep", &CountingSleep);
    TIME_LOOKUP(injector, "newdev.dll", UpdateDriverForPlugAndPlayDevicesW);
    TIME_IMPORT(injector, "kernel32.dll", LoadLibraryW);
    TIME_IMPORT(injector, "kernel32.dll", FreeLibrary);
    TIME_IMPORT(injector, "setupapi.dll", CM_Get_Device_IDW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiCreateDeviceInfoList);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiCreateDeviceInfoW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiDestroyDeviceInfoList);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiEnumDeviceInfo);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetClassDevsW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetDeviceRegistryPropertyW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetINFClassW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiOpenDeviceInfoW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiRemoveDevice);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiSetDeviceRegistryPropertyW);
    TIME_IMPORT(injector, "advapi32.dll", CreateServiceW);
    TIME_IMPORT(injector, "advapi32.dll", DeleteService);
    TIME_IMPORT(injector, "advapi32.dll", GetServiceDisplayNameW);
    TIME_IMPORT(injector, "advapi32.dll", LockServiceDatabase);
    TimeServiceControl(injector);
    TIME_IMPORT(injector, "advapi32.dll", RegCloseKey);
    TIME_IMPORT(injector, "advapi32.dll", RegCreateKeyExW);
    TIME_IMPORT(injector, "advapi32.dll", RegCreateKeyW);
    TIME_IMPORT(injector, "advapi32.dll", RegDeleteKeyW);
    TIME_IMPORT(injector, "advapi32.dll", RegDeleteValueW);
    TIME_IMPORT(injector, "advapi32.dll", RegOpenKeyExW);
    TIME_IMPORT(injector, "advapi32.dll", RegQueryValueExW);
    TIME_IMPORT(injector, "advapi32.dll", RegSetValueExW);
    TIME_IMPORT(injector, "advapi32.dll", UnlockServiceDatabase);
    FAKE_IMPORT(injector, "setupapi.dll", SetupDiSetClassInstallParamsW, [](auto...) { return TRUE; });
    FAKE_IMPORT(injector, "setupapi.dll", SetupDiCallClassInstaller,
                [](DI_FUNCTION function, auto... rest) -> BOOL {
                    if (function == DIF_PROPERTYCHANGE)
                        return TRUE;
                    const CInSystem scope;
                    return ORIGINAL(SetupDiCallClassInstaller)(function, rest...);
                });
    const std::vector<BYTE> type38 = {38, 16, 1, 0, 1, 0x20, 0x22, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<BYTE> table = type38;
    table.insert(table.end(), {127, 4, 2, 0, 0, 0});
    CFakeFirmwareTable firmware(injector, RsmbData(2, 7, table));

    std::vector<ActionTiming> registrations, removals, restarts;
    std::vector<double> bare;
    for (int round = 0; round < kRounds; ++round)
    {
        registrations.push_back(TimeAction([] { vrxCA_RegDriver(0); }));
        removals.push_back(TimeAction([] { vrxCA_UnregDriver(0); }));
        bare.push_back(BareDevicePass());
    }
    {
        CTestDevice ipmi({L"ACPI\\IPI0001"});
        for (int round = 0; round < kRounds; ++round)
            restarts.push_back(TimeAction([] { moraCA_RestartMicrosoftIpmi(0); }));
    }
    const double bareMs = Median(bare);
    std::printf("Driver actions, trace off (median of %d rounds); one bare pass over the present devices "
                "%.2f ms\n",
                kRounds, bareMs);
    Report("vrxCA_RegDriver", registrations, bareMs);
    Report("moraCA_RestartMicrosoftIpmi", restarts, bareMs);
    Report("vrxCA_UnregDriver", removals, bareMs);
    return 0;
}
