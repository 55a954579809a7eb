// Device search at scale and the board driver actions' own time, trace off.
//
// (a) With 1,000 root devices present, CPnpDevice::FindByHardwareId for the one that
//     enumerates last, against a bare loop in the same run that enumerates the same devices,
//     reads the same property, compares the same way and reads the instance ID at the match.
// (b) moraCA_Halb2DriverInstall and moraCA_Halb2DriverRemove with the stand-in Halb2 package,
//     the 1 s legacy pause on a virtual clock (recorded, not slept), against the same Setup
//     API, newdev and service calls made bare: what remains is the actions' own time.
#include "CustomActions.h"
#include "driver/CDeviceInfoList.h"
#include "driver/CPnpDevice.h"
#include "support/TestDevices.h"
#include "support/TestRegistry.h"
#include "trace/CTrace.h"
#include "util/CUniqueHandle.h"
#include "BenchOwnTime.h"
#include <algorithm>
#include <cfgmgr32.h>
#include <cstdio>
#include <newdev.h>
#include <string>
#include <vector>

namespace
{
constexpr int kDevices = 1000;
constexpr int kSearchRounds = 15;
constexpr int kActionRounds = 9;
const GUID kHalbClass = {0xec25d3f0, 0x64b5, 0x44e5, {0x85, 0x22, 0xb9, 0xb7, 0x5a, 0x40, 0x07, 0x49}};
const wchar_t* const kHalb2Ids[] = {L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\bios",
                                    L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\busio",
                                    L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\smbus"};
const wchar_t* const kHalb3Ids[] = {L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\bios",
                                    L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\busio",
                                    L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\smbus"};

std::wstring BenchId(int index)
{
    wchar_t id[32];
    swprintf(id, 32, L"MsiCA\\Bench%04d", index);
    return id;
}

// The bare search: the same enumeration, property read and comparison as the library's.
std::wstring BareFind(const wchar_t* hardwareId, const GUID* classGuid, int* examined = nullptr)
{
    const DWORD flags =
        classGuid ? DIGCF_PRESENT | DIGCF_PROFILE : DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE;
    HDEVINFO list = SetupDiGetClassDevsW(classGuid, nullptr, nullptr, flags);
    SP_DEVINFO_DATA data = EmptyDeviceInfoData();
    std::wstring found;
    DWORD index = 0;
    for (; found.empty() && SetupDiEnumDeviceInfo(list, index, &data); ++index)
    {
        wchar_t ids[4192 / 2 + 2] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(list, &data, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<BYTE*>(ids), 4192, nullptr))
            continue;
        for (const wchar_t* id = ids; *id && found.empty(); id += wcslen(id) + 1)
        {
            wchar_t instanceId[201] = {};
            if (lstrcmpiW(hardwareId, id) == 0 &&
                CM_Get_Device_IDW(data.DevInst, instanceId, 200, 0) == CR_SUCCESS)
                found = instanceId;
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    if (examined)
        *examined = int(index);
    return found;
}

void BareInstall(const std::wstring& inf)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE legacy = OpenServiceW(scm, L"Halb", SERVICE_ALL_ACCESS);
    if (legacy)
        CloseServiceHandle(legacy);
    CloseServiceHandle(scm);
    for (const wchar_t* hardwareId : kHalb2Ids)
    {
        wchar_t fullPath[MAX_PATH], className[32], list[MAX_PATH] = {};
        GUID classGuid;
        GetFullPathNameW(inf.c_str(), MAX_PATH, fullPath, nullptr);
        lstrcpynW(list, hardwareId, 256);
        SetupDiGetINFClassW(fullPath, &classGuid, className, 32, nullptr);
        HDEVINFO devices = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
        SP_DEVINFO_DATA data = EmptyDeviceInfoData();
        SetupDiCreateDeviceInfoW(devices, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data);
        SetupDiSetDeviceRegistryPropertyW(devices, &data, SPDRP_HARDWAREID, reinterpret_cast<BYTE*>(list),
                                          DWORD((wcslen(list) + 2) * sizeof(wchar_t)));
        SetupDiCallClassInstaller(DIF_REGISTERDEVICE, devices, &data);
        HMODULE newdev = LoadLibraryW(L"newdev");
        auto update = reinterpret_cast<decltype(&UpdateDriverForPlugAndPlayDevicesW)>(
            reinterpret_cast<void*>(GetProcAddress(newdev, "UpdateDriverForPlugAndPlayDevicesW")));
        update(nullptr, hardwareId, fullPath, INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE, nullptr);
        FreeLibrary(newdev);
        SetupDiDestroyDeviceInfoList(devices);
    }
}

void BareRemove()
{
    for (const auto* ids : {kHalb3Ids, kHalb2Ids})
        for (int device = 0; device < 3; ++device)
        {
            std::wstring found = BareFind(ids[device], &kHalbClass);
            if (found.empty())
                found = BareFind(ids[device], nullptr);
            HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
            SP_DEVINFO_DATA data = EmptyDeviceInfoData();
            if (!found.empty() &&
                SetupDiOpenDeviceInfoW(list, found.c_str(), nullptr, DIOD_INHERIT_CLASSDRVS, &data))
                SetupDiRemoveDevice(list, &data);
            SetupDiDestroyDeviceInfoList(list);
        }
}

// Time the library spends inside the system's calls (Setup API, newdev, services, registry).
void TimeSystemCalls(CFaultInjector& injector)
{
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetClassDevsW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiEnumDeviceInfo);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetDeviceRegistryPropertyW);
    TIME_IMPORT(injector, "setupapi.dll", CM_Get_Device_IDW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiCreateDeviceInfoList);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiOpenDeviceInfoW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiRemoveDevice);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiDestroyDeviceInfoList);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiGetINFClassW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiCreateDeviceInfoW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiSetDeviceRegistryPropertyW);
    TIME_IMPORT(injector, "setupapi.dll", SetupDiCallClassInstaller);
    TIME_IMPORT(injector, "kernel32.dll", LoadLibraryW);
    TIME_IMPORT(injector, "kernel32.dll", FreeLibrary);
    TIME_IMPORT(injector, "advapi32.dll", OpenSCManagerW);
    TIME_IMPORT(injector, "advapi32.dll", OpenServiceW);
    TIME_IMPORT(injector, "advapi32.dll", CloseServiceHandle);
    TIME_IMPORT(injector, "advapi32.dll", RegOpenKeyExW);
    TIME_IMPORT(injector, "advapi32.dll", RegQueryValueExW);
    TIME_IMPORT(injector, "advapi32.dll", RegDeleteKeyW);
    TIME_IMPORT(injector, "advapi32.dll", RegCloseKey);
    TIME_LOOKUP(injector, "newdev.dll", UpdateDriverForPlugAndPlayDevicesW);
}

void Report(const char* action, const std::vector<ActionTiming>& library,
            const std::vector<ActionTiming>& bare)
{
    std::vector<double> wall, inSystem, own, bareWall;
    for (size_t round = 0; round < library.size(); ++round)
    {
        wall.push_back(library[round].wallMs);
        inSystem.push_back(library[round].inSystemMs);
        own.push_back(library[round].OwnMs());
        bareWall.push_back(bare[round].wallMs);
    }
    std::printf(
        "  %-26s wall %6.1f ms, in system calls %6.1f ms, own %5.2f ms (max %5.2f); bare calls %6.1f ms, "
        "ratio %.2f\n",
        action, Median(wall), Median(inSystem), Median(own), *std::max_element(own.begin(), own.end()),
        Median(bareWall), Median(bareWall) / Median(wall));
}

std::wstring g_inf;

void BenchActions(const char* title)
{
    wchar_t bin[MAX_PATH];
    std::wstring folder(bin, GetModuleFileNameW(nullptr, bin, MAX_PATH));
    folder = folder.substr(0, folder.rfind(L'\\')) + L"\\drivers";
    g_inf = folder + L"\\Halb2.inf";
    CTestKey vendor(L"SOFTWARE\\Arvetta"), setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", folder);
    // Loaded through all rounds, so that neither the library's nor the bare LoadLibrary pays
    // for mapping newdev each time.
    const CModuleHandle newdev(LoadLibraryW(L"newdev"));
    CFaultInjector injector;
    CVirtualClock clock(injector);
    TimeSystemCalls(injector);
    std::vector<ActionTiming> install, remove, bareInstall, bareRemove;
    for (int round = 0; round < kActionRounds; ++round)
    {
        // Alternating which goes first: Wine's own time varies with what ran just before.
        for (int turn = 0; turn < 2; ++turn)
        {
            if ((turn + round) % 2 == 0)
            {
                install.push_back(TimeAction([] { moraCA_Halb2DriverInstall(0); }));
                remove.push_back(TimeAction([] { moraCA_Halb2DriverRemove(0); }));
            }
            else
            {
                bareInstall.push_back(TimeAction([] { BareInstall(g_inf); }));
                bareRemove.push_back(TimeAction(BareRemove));
            }
        }
    }
    std::printf("(b) board driver actions, %s, medians of %d rounds; %zu legacy pauses of 1 s taken on the "
                "virtual clock:\n",
                title, kActionRounds, clock.Sleeps().size());
    Report("moraCA_Halb2DriverInstall", install, bareInstall);
    Report("moraCA_Halb2DriverRemove", remove, bareRemove);
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(scm, L"Halb2", DELETE);
    DeleteService(service);
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
}

void BenchSearch()
{
    const double start = Seconds();
    std::vector<std::wstring> created;
    for (int index = 0; index < kDevices; ++index)
        created.push_back(CreateRootDevice({L"MsiCA\\BenchOther", BenchId(index)}));
    std::printf("(a) %d root devices created in %.1f s\n", kDevices, Seconds() - start);
    // The bench device that enumerates last.
    const std::wstring lastInstance = DevicesWithHardwareId(L"MsiCA\\BenchOther").back();
    const std::wstring last =
        BenchId(int(std::find(created.begin(), created.end(), lastInstance) - created.begin()));
    int examined = 0;
    BareFind(last.c_str(), nullptr, &examined);
    std::vector<double> library, bare;
    std::wstring found;
    for (int round = 0; round < kSearchRounds; ++round)
    {
        // Alternating which goes first.
        if (round % 2)
            bare.push_back(Best(1, [&] { BareFind(last.c_str(), nullptr); }));
        library.push_back(Best(1, [&] { CPnpDevice::FindByHardwareId(found, last.c_str()); }));
        if (round % 2 == 0)
            bare.push_back(Best(1, [&] { BareFind(last.c_str(), nullptr); }));
    }
    std::printf(
        "  FindByHardwareId(%ls), %d devices examined, medians of %d rounds: library %.1f ms, bare loop "
        "%.1f ms: %.2f of the bare loop's speed (%s)\n",
        last.c_str(), examined, kSearchRounds, Median(library) * 1000, Median(bare) * 1000,
        Median(bare) / Median(library), found == lastInstance ? "found" : "NOT FOUND");
    for (const auto& id : created)
        RemoveDeviceInstance(id);
}
} // namespace

int main()
{
    BenchActions("trace off");
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring traceFile = std::wstring(temp) + L"msica-bench-driver.log";
    {
        CTestKey global(L"SOFTWARE\\Debug"), application(L"SOFTWARE\\Debug\\MsiCA");
        application.SetDword(L"FileDebugLevel", 6).SetString(L"TraceFile", traceFile);
        // The trace reads its configuration when the library loads; this run needs it now.
        g_Trace.ReadConfig();
        BenchActions("trace at level 6 into a file");
    }
    g_Trace.ReadConfig();
    DeleteFileW(traceFile.c_str());
    BenchSearch();
    return 0;
}
