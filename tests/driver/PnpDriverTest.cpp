// Plug and Play devices and the board driver family against Wine's Setup API and newdev,
// installing the stand-in packages of tests/standins/drivers. Every Setup API import of the
// library passes through fakes that count the device information lists (each test ends
// with all of them destroyed) and answer where Wine cannot: a restart through
// DIF_PROPERTYCHANGE, failing steps, odd property data, other Windows versions.
#include "CustomActions.h"
#include "driver/CHalbDriver.h"
#include "driver/COrbiDriver.h"
#include "driver/CPnpDevice.h"
#include "driver/CWdmDeviceInstaller.h"
#include "support/ChildProcess.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <cfgmgr32.h>
#include <map>
#include <newdev.h>
#include <setupapi.h>

namespace
{
const wchar_t kHalbClass[] = L"ec25d3f0-64b5-44e5-8522-b9b75a400749";
const std::wstring kHalb3 = L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\",
                   kHalb2 = L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\";
const wchar_t* const kDevices[] = {L"bios", L"busio", L"smbus"};

std::map<std::string, DWORD> g_script; // function -> the error it fails with; 0: succeeds without Wine
int g_openLists;
DWORD g_major, g_minor;          // the Windows version answered; major 0: Wine's own
std::vector<BYTE> g_hardwareIds; // answered for every device when not empty
const wchar_t* g_updateFailsFor; // driver updates for hardware IDs containing this fail
SP_PROPCHANGE_PARAMS g_restart;
DWORD g_restartSize, g_updateFlags;
decltype(&UpdateDriverForPlugAndPlayDevicesW) g_update;

// Whether the script answers f; its error is then the last error.
bool Scripted(const char* f)
{
    const auto found = g_script.find(f);
    return found != g_script.end() && (SetLastError(found->second), true);
}
bool Fails(const char* f)
{
    return Scripted(f) && GetLastError() != 0;
}
HDEVINFO Counted(HDEVINFO list)
{
    g_openLists += list != INVALID_HANDLE_VALUE;
    return list;
}
#define REAL(f) reinterpret_cast<decltype(&f)>(CFaultInjector::Original(#f))
#define FAKE(dll, f, ...) injector.Replace(dll, #f, static_cast<decltype(&f)>(__VA_ARGS__))
#define PASS_OR_FAIL(f, failed, wrap)                                                                        \
    FAKE("setupapi.dll", f, [](auto... a) { return Fails(#f) ? failed : wrap(REAL(f)(a...)); })

class Pnp : public testing::Test
{
  protected:
    Pnp()
    {
        g_script.clear();
        g_openLists = 0;
        g_major = 0;
        g_hardwareIds.clear();
        g_updateFailsFor = nullptr;
        PASS_OR_FAIL(SetupDiGetClassDevsW, INVALID_HANDLE_VALUE, Counted);
        PASS_OR_FAIL(SetupDiCreateDeviceInfoList, INVALID_HANDLE_VALUE, Counted);
        PASS_OR_FAIL(SetupDiCreateDeviceInfoW, FALSE, );
        PASS_OR_FAIL(SetupDiSetDeviceRegistryPropertyW, FALSE, );
        FAKE("setupapi.dll", SetupDiDestroyDeviceInfoList, [](HDEVINFO list) {
            --g_openLists;
            return REAL(SetupDiDestroyDeviceInfoList)(list);
        });
        FAKE("setupapi.dll", SetupDiGetDeviceRegistryPropertyW,
             [](HDEVINFO l, PSP_DEVINFO_DATA d, DWORD p, PDWORD t, PBYTE buffer, DWORD size, PDWORD needed) {
                 if (Fails("SetupDiGetDeviceRegistryPropertyW"))
                     return FALSE;
                 if (g_hardwareIds.empty())
                     return REAL(SetupDiGetDeviceRegistryPropertyW)(l, d, p, t, buffer, size, needed);
                 memcpy(buffer, g_hardwareIds.data(), std::min<size_t>(size, g_hardwareIds.size()));
                 *needed = DWORD(g_hardwareIds.size()) + 100; // overstated
                 return TRUE;
             });
        FAKE("setupapi.dll", CM_Get_Device_IDW, [](DEVINST node, PWSTR id, ULONG length, ULONG flags) {
            return Scripted("CM_Get_Device_IDW") ? CONFIGRET(CR_BUFFER_SMALL)
                                                 : REAL(CM_Get_Device_IDW)(node, id, length, flags);
        });
        FAKE("setupapi.dll", SetupDiSetClassInstallParamsW,
             [](HDEVINFO l, PSP_DEVINFO_DATA d, PSP_CLASSINSTALL_HEADER params, DWORD size) {
                 if (!Scripted("SetupDiSetClassInstallParamsW"))
                     return REAL(SetupDiSetClassInstallParamsW)(l, d, params, size);
                 memcpy(&g_restart, params, std::min<size_t>(size, sizeof(g_restart)));
                 g_restartSize = size;
                 return BOOL{GetLastError() == 0};
             });
        FAKE("setupapi.dll", SetupDiCallClassInstaller, [](DI_FUNCTION f, HDEVINFO l, PSP_DEVINFO_DATA d) {
            return Scripted(f == DIF_PROPERTYCHANGE ? "DIF_PROPERTYCHANGE" : "DIF_REGISTERDEVICE")
                       ? BOOL{GetLastError() == 0}
                       : REAL(SetupDiCallClassInstaller)(f, l, d);
        });
        FAKE("kernel32.dll", LoadLibraryW,
             [](LPCWSTR name) { return Fails("LoadLibraryW") ? nullptr : REAL(LoadLibraryW)(name); });
        FAKE("kernel32.dll", GetVersionExW, [](LPOSVERSIONINFOW info) {
            const BOOL got = REAL(GetVersionExW)(info);
            info->dwMajorVersion = g_major ? g_major : info->dwMajorVersion;
            info->dwMinorVersion = g_major ? g_minor : info->dwMinorVersion;
            return got;
        });
        // Keeps kernel32's file version, Wine's own, out of a version the test chose.
        FAKE("version.dll", GetFileVersionInfoSizeW, [](LPCWSTR file, LPDWORD handle) {
            return g_major ? 0 : REAL(GetFileVersionInfoSizeW)(file, handle);
        });
        g_update = reinterpret_cast<decltype(g_update)>(reinterpret_cast<void*>(
            GetProcAddress(LoadLibraryW(L"newdev"), "UpdateDriverForPlugAndPlayDevicesW")));
        injector.ReplaceLookup(
            "UpdateDriverForPlugAndPlayDevicesW",
            +[](HWND w, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) WINAPI {
                g_updateFlags = flags;
                if (g_updateFailsFor && wcsstr(id, g_updateFailsFor))
                    return SetLastError(ERROR_NOT_FOUND), FALSE;
                return g_update(w, id, inf, flags, reboot);
            });
    }
    ~Pnp() override { EXPECT_EQ(0, g_openLists) << "device information lists left open"; }

    CFaultInjector injector;
    CVirtualClock clock{injector};
    CTraceCapture trace;
    const std::wstring folder = BinDir() + L"\\drivers";
};
} // namespace

TEST_F(Pnp, SearchIgnoresCaseReadsEveryEntryAndFallsBackToAllClasses)
{
    CTestDevice system({L"MsiCA\\First", L"MsiCA\\Second"});
    CPnpDevice device;
    SetLastError(0);
    EXPECT_FALSE(device.Remove());
    EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
    EXPECT_FALSE(device.Restart());
    EXPECT_FALSE(device.CreateFromHardwareId(L"msica\\second", kHalbClass)) << "another class";
    EXPECT_TRUE(trace.Contains(L"Could not create device from hardware ID msica\\second (Class: \"" +
                               std::wstring(kHalbClass) + L"\") - device not existing"));
    ASSERT_TRUE(device.CreateFromHardwareId(L"msica\\SECOND"));
    EXPECT_EQ(system.InstanceId(), device.InstanceId());
    EXPECT_TRUE(IsEqualGUID(kSystemClassGuid, device.ClassGuid()));
    EXPECT_TRUE(trace.InOrder({L"Compare hardware Id msica\\SECOND <-> MsiCA\\First!",
                               L"Compare hardware Id msica\\SECOND <-> MsiCA\\Second!",
                               L"DevInfo data for hardware ID msica\\SECOND FOUND!"}));
    GUID guid{};
    EXPECT_EQ(DWORD{ERROR_INVALID_PARAMETER}, CPnpDevice::GetInstanceClassGuid(nullptr, guid));

    EXPECT_TRUE(RemoveDeviceByHardwareId(L"MSICA\\FIRST", kHalbClass)) << "found among all classes";
    EXPECT_TRUE(DevicesWithHardwareId(L"MsiCA\\First").empty());
    EXPECT_FALSE(RemoveDeviceByHardwareId(L"MsiCA\\First", kHalbClass));
    std::wstring id = L"kept";
    EXPECT_EQ(DWORD{ERROR_NO_DATA}, CPnpDevice::FindByHardwareId(id, L"MsiCA\\First"));
    EXPECT_EQ(L"kept", id);
    EXPECT_TRUE(trace.Contains(L"DevInfo data for hardware ID MsiCA\\First NOT FOUND!"));
}

TEST_F(Pnp, OddSetupApiAnswersEndInALineAndACleanResult)
{
    // A list that fills the whole buffer, the wanted ID last and without terminators.
    const std::wstring full = std::wstring(2086, L'x') + L'\0' + L"MsiCA\\Odd";
    const std::vector<BYTE> filled(reinterpret_cast<const BYTE*>(full.data()),
                                   reinterpret_cast<const BYTE*>(full.data() + full.size()));
    ASSERT_EQ(4192u, filled.size());
    const struct
    {
        const char* failing;
        DWORD error;
        std::vector<BYTE> ids;
        DWORD result;
        const wchar_t* line;
    } cases[] = {
        {"", 0, {0, 0, 0, 0}, ERROR_NO_DATA, L"DevInfo data for hardware ID MsiCA\\Odd NOT FOUND!"},
        {"SetupDiGetDeviceRegistryPropertyW",
         ERROR_INSUFFICIENT_BUFFER,
         {},
         ERROR_INSUFFICIENT_BUFFER,
         L"SetupDiGetDeviceRegistryProperty failed (0x7A, no device?)"},
        {"", 0, filled, 0, L"Compare hardware Id MsiCA\\Odd <-> MsiCA\\Odd!"},
        {"CM_Get_Device_IDW", 0, filled, ERROR_INSUFFICIENT_BUFFER,
         L"## ERROR 0x7A! CM_Get_Device_ID FAILED (CR 0x1A)!"},
        {"SetupDiGetClassDevsW",
         ERROR_ACCESS_DENIED,
         {},
         ERROR_ACCESS_DENIED,
         L"## ERROR 0x5! SetupDiGetClassDevs FAILED!"},
    };
    for (const auto& c : cases)
    {
        g_script = {{c.failing, c.error}};
        g_hardwareIds = c.ids;
        std::wstring id;
        EXPECT_EQ(c.result, CPnpDevice::FindByHardwareId(id, L"MsiCA\\Odd")) << c.failing;
        EXPECT_EQ(c.result == 0, !id.empty());
        CPnpDevice device;
        EXPECT_EQ(c.result == 0, device.CreateFromHardwareId(L"MsiCA\\Odd"));
        EXPECT_EQ(c.result, c.result ? GetLastError() : 0);
        EXPECT_TRUE(trace.Contains(c.line)) << Narrow(c.line);
        EXPECT_EQ(0, g_openLists);
    }
}

TEST_F(Pnp, RestartIsAPropertyChangeThatTheClassInstallerMayRefuse)
{
    CTestDevice ipmi({L"ACPI\\IPI0001"});
    CPnpDevice device;
    ASSERT_TRUE(device.CreateFromHardwareId(L"ACPI\\IPI0001"));
    EXPECT_FALSE(device.Restart()) << "Wine's class install parameters are a stub";
    g_script = {{"SetupDiSetClassInstallParamsW", 0}, {"DIF_PROPERTYCHANGE", 0}};
    EXPECT_TRUE(device.Restart());
    EXPECT_EQ(20u, g_restartSize);
    EXPECT_EQ(8u, g_restart.ClassInstallHeader.cbSize);
    EXPECT_EQ(DWORD{DIF_PROPERTYCHANGE}, g_restart.ClassInstallHeader.InstallFunction);
    EXPECT_EQ(3u, g_restart.StateChange);
    EXPECT_EQ(2u, g_restart.Scope);
    EXPECT_EQ(0u, g_restart.HwProfile);
    EXPECT_TRUE(trace.Contains(L"SetupDiCallClassInstaller (DIF_PROPERTYCHANGE) State: 3 OK!"));
    g_script["DIF_PROPERTYCHANGE"] = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(device.Restart());
    EXPECT_TRUE(trace.Contains(L"CPnpDevice          : ERROR 0x5! SetupDiCallClassInstaller FAILED!"));
    g_script = {{"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY}};
    EXPECT_FALSE(device.Restart());
    EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
    EXPECT_TRUE(trace.Contains(L"ERROR! hDevInfo - invalid handle (0xFFFFFFFF)!"));
    EXPECT_FALSE(device.Remove());
    g_script.clear();
    EXPECT_TRUE(device.Remove());
    EXPECT_TRUE(DevicesWithHardwareId(L"ACPI\\IPI0001").empty());
}

TEST_F(Pnp, EachGenerationInstallsThreeDevicesFromItsFolderAndRemovalTakesBoth)
{
    CTestKey vendor(L"SOFTWARE\\Arvetta");
    CTestKey setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", folder);
    EXPECT_EQ(0u, moraCA_Halb2DriverInstall(0)) << "Wine's 6.1";
    g_major = 10;
    EXPECT_EQ(0u, CHalbDriver::Install(folder.c_str()));
    EXPECT_EQ(std::vector<DWORD>(2, 1000), clock.Sleeps()) << "the legacy driver's pause, once each";
    EXPECT_EQ(5u, g_updateFlags) << "forced, not interactive";
    for (const auto& [prefix, name] : {std::pair{kHalb2, L"Halb2"}, {kHalb3, L"Halb3"}})
    {
        for (const wchar_t* device : kDevices)
            EXPECT_EQ(1u, DevicesWithHardwareId(prefix + device).size()) << Narrow(prefix + device);
        EXPECT_TRUE(ServiceExists(name)) << "the package was applied";
        EXPECT_TRUE(
            trace.InOrder({L"Start Halb driver deinstallation...", L"ERROR 0x424! Delete Halb driver failed!",
                           L"...Halb driver deinstallation completed",
                           L"Register " + std::wstring(name) + L" PNP driver using INF file \"" + folder +
                               L"\\" + name + L".inf\"",
                           name + std::wstring(L" BIOS device successfully loaded"),
                           name + std::wstring(L" BUSIO device driver successfully loaded"),
                           name + std::wstring(L" SMBUS device driver successfully loaded")}));
        RemoveService(name);
    }
    EXPECT_EQ(0u, moraCA_Halb2DriverRemove(0));
    for (const auto& prefix : {kHalb2, kHalb3})
        for (const wchar_t* device : kDevices)
            EXPECT_TRUE(DevicesWithHardwareId(prefix + device).empty());
    EXPECT_TRUE(trace.InOrder(
        {L"Halb3 BIOS device successfully removed", L"Halb3 bus I/O device successfully removed",
         L"Halb3 SMBUS device successfully removed", L"Halb2 BIOS device successfully removed",
         L"Halb2 bus I/O device successfully removed", L"Halb2 SMBUS device successfully removed"}));
    trace.Clear();
    EXPECT_EQ(0u, CHalbDriver::Remove());
    EXPECT_EQ(6u, trace.Count(L"CHalbDriver         : Did not remove device {"));
}

TEST_F(Pnp, InstallReportsEachFailingDeviceAndAnswersTheLastError)
{
    const std::wstring longFolder = folder + L"\\" + std::wstring(250, L'x');
    const struct
    {
        DWORD major, minor;
        const wchar_t* folder;
        const char* failing;
        DWORD error;
        DWORD result;
        size_t devices, lines;
        const wchar_t* line;
    } cases[] = {
        {0, 0, L"", "", 0, 0xFFFFFFFF, 0, 1, L"CHalbDriver         : Install Halbx driver from folder "},
        {5, 1, folder.c_str(), "", 0, 0xFFFFFFFF, 0, 1,
         L"Unsupported Windows version 5.1 - no driver available!"},
        {5, 2, folder.c_str(), "", 0, ERROR_NOT_FOUND, 3, 1,
         L"## ERROR 0x490! Installing Halb2 BUSIO device FAILED!"},
        {6, 3, folder.c_str(), "LoadLibraryW", ERROR_MOD_NOT_FOUND, ERROR_MOD_NOT_FOUND, 3, 3,
         L"CWdmInstaller       : ERROR 0x7E! Loading \"newdev.dll\" FAILED!"},
        {0, 0, folder.c_str(), "SetupDiCreateDeviceInfoW", 5, 5, 0, 3,
         L"## ERROR 0x5! SetupDiCreateDeviceInfo FAILED!"},
        {0, 0, folder.c_str(), "SetupDiSetDeviceRegistryPropertyW", 5, 5, 0, 3,
         L"## ERROR 0x5! SetupDiSetDeviceRegistryProperty FAILED!"},
        {0, 0, folder.c_str(), "DIF_REGISTERDEVICE", 5, 5, 0, 3,
         L"CWdmDeviceInstaller : ## ERROR 0x5! SetupDiCallClassInstaller FAILED!"},
        {0, 0, BinDir().c_str(), "", 0, ERROR_FILE_NOT_FOUND, 0, 3, L"SetupDiGetINFClass FAILED!"},
        {0, 0, longFolder.c_str(), "", 0, ERROR_FILENAME_EXCED_RANGE, 0, 3,
         L"## ERROR 0xCE! GetFullPathName() FAILED!"},
    };
    for (const auto& c : cases)
    {
        trace.Clear();
        g_major = c.major;
        g_minor = c.minor;
        g_script = {{c.failing, c.error}};
        g_updateFailsFor = c.result == ERROR_NOT_FOUND ? L"busio" : nullptr;
        EXPECT_EQ(c.result, CHalbDriver::Install(c.folder)) << Narrow(c.line);
        EXPECT_EQ(c.lines, trace.Count(c.line)) << Narrow(c.line);
        EXPECT_EQ(c.result == 0xFFFFFFFF, !trace.Contains(L"Start Halb driver")) << Narrow(c.line);
        EXPECT_EQ(g_updateFailsFor ? 2u : 0u, trace.Count(L"successfully loaded"))
            << "BIOS and SMBus all the same";
        size_t devices = 0;
        for (const wchar_t* device : kDevices)
            devices += RemoveDevicesWithHardwareId(kHalb2 + device);
        EXPECT_EQ(c.devices, devices) << Narrow(c.line);
        EXPECT_EQ(0, g_openLists);
    }
    RemoveService(L"Halb2");
}

TEST_F(Pnp, GenerationAndOrbiRemovalFollowTheWindowsVersion)
{
    const struct
    {
        DWORD major, minor;
        int generation;
    } cases[] = {{10, 0, 3}, {11, 0, 3}, {6, 3, 2}, {6, 0, 2}, {5, 2, 2}, {5, 1, 0}, {4, 0, 0}};
    for (const auto& c : cases)
    {
        trace.Clear();
        g_major = c.major;
        g_minor = c.minor;
        EXPECT_EQ(c.generation, CHalbDriver::GetDriverGeneration()) << c.major << "." << c.minor;
        EXPECT_EQ(0, COrbiDriver::Remove());
        EXPECT_EQ(c.major >= 10, trace.InOrder({L"Remove ORBI driver ...",
                                                L"## ERROR 0xE8! Remove device Root\\PlxOrbi FAILED!",
                                                L"... ORBI driver removed!"}));
        EXPECT_EQ(c.major < 10,
                  trace.Contains(L"Windows Server 20016 or higher not detected! ORBI driver(s) are "
                                 L"not installed here!"));
    }
    EXPECT_TRUE(trace.Contains(L"Unsupported Windows version 4.0 - no driver available!"));

    CTestDevice orbi({L"Root\\PlxOrbi"});
    g_major = 10;
    EXPECT_EQ(0, COrbiDriver::Remove());
    EXPECT_TRUE(trace.Contains(L"PlxOrbi device driver successfully removed"));

    // The same choice in a program that Wine gives Windows 6.1, then 10.0.
    CTestDevice child({L"Root\\PlxOrbi"});
    const std::wstring command = L"\"" + BinPath(L"driver_child.exe") + L"\"";
    EXPECT_EQ(2u, RunProcess(command));
    EXPECT_EQ(1u, DevicesWithHardwareId(L"Root\\PlxOrbi").size());
    const wchar_t kChildDefaults[] = L"Software\\Wine\\AppDefaults\\driver_child.exe";
    RegSetKeyValueW(HKEY_CURRENT_USER, kChildDefaults, L"Version", REG_SZ, L"win10", sizeof(L"win10"));
    EXPECT_EQ(3u, RunProcess(command));
    RegDeleteKeyW(HKEY_CURRENT_USER, kChildDefaults);
    EXPECT_TRUE(DevicesWithHardwareId(L"Root\\PlxOrbi").empty());
}
