// Plug and Play devices and the board driver family against Wine's Setup API and newdev,
// installing the stand-in packages of tests/standins/drivers. The library's Setup API calls
// pass through fakes that count its device information lists (all destroyed at the end of
// each test) and answer where Wine cannot: a DIF_PROPERTYCHANGE restart, failing steps, odd
// property data, Windows versions other than Wine's 6.1.
#include "CustomActions.h"
#include "driver/CHalbDriver.h"
#include "driver/COrbiDriver.h"
#include "driver/CPnpDevice.h"
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
const SP_PROPCHANGE_PARAMS kRestart = {{8, DIF_PROPERTYCHANGE}, DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC, 0};

std::map<std::string, DWORD> g_script; // function -> the error it fails with; 0: succeeds without Wine
int g_openLists;
DWORD g_major, g_minor;          // the Windows version answered; major 0: Wine's own
std::vector<BYTE> g_hardwareIds; // answered for every device when not empty
const wchar_t* g_updateFailsFor; // driver updates of hardware IDs containing this fail
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
        g_openLists = g_major = 0;
        g_updateFailsFor = nullptr;
        PASS_OR_FAIL(SetupDiGetClassDevsW, INVALID_HANDLE_VALUE, Counted);
        PASS_OR_FAIL(SetupDiCreateDeviceInfoList, INVALID_HANDLE_VALUE, Counted);
        PASS_OR_FAIL(SetupDiCreateDeviceInfoW, FALSE, );
        FAKE("setupapi.dll", SetupDiDestroyDeviceInfoList,
             [](HDEVINFO list) { return --g_openLists, REAL(SetupDiDestroyDeviceInfoList)(list); });
        FAKE("setupapi.dll", SetupDiGetDeviceRegistryPropertyW,
             [](auto l, auto d, auto p, auto t, PBYTE out, DWORD size, PDWORD needed) {
                 if (Fails("SetupDiGetDeviceRegistryPropertyW"))
                     return FALSE;
                 if (g_hardwareIds.empty())
                     return REAL(SetupDiGetDeviceRegistryPropertyW)(l, d, p, t, out, size, needed);
                 memcpy(out, g_hardwareIds.data(), std::min<size_t>(size, g_hardwareIds.size()));
                 return *needed = DWORD(g_hardwareIds.size()) + 100, TRUE; // overstated
             });
        FAKE("setupapi.dll", CM_Get_Device_IDW, [](DEVINST node, PWSTR id, ULONG length, ULONG flags) {
            return Scripted("CM_Get_Device_IDW") ? CONFIGRET(CR_BUFFER_SMALL)
                                                 : REAL(CM_Get_Device_IDW)(node, id, length, flags);
        });
        FAKE("setupapi.dll", SetupDiSetClassInstallParamsW,
             [](auto l, auto d, PSP_CLASSINSTALL_HEADER params, DWORD size) {
                 return Scripted("SetupDiSetClassInstallParamsW")
                            ? BOOL{size == sizeof(kRestart) && !memcmp(params, &kRestart, size)}
                            : REAL(SetupDiSetClassInstallParamsW)(l, d, params, size);
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
            +[](HWND w, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) {
                if (flags != (INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE) ||
                    (g_updateFailsFor && wcsstr(id, g_updateFailsFor)))
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
    EXPECT_FALSE(device.Remove() || device.Restart());
    EXPECT_EQ(DWORD{ERROR_INVALID_HANDLE}, GetLastError());
    EXPECT_FALSE(device.CreateFromHardwareId(L"msica\\second", kHalbClass)) << "another class";
    ASSERT_TRUE(device.CreateFromHardwareId(L"msica\\SECOND"));
    EXPECT_EQ(system.InstanceId(), device.InstanceId());
    EXPECT_TRUE(IsEqualGUID(kSystemClassGuid, device.ClassGuid()));
    EXPECT_TRUE(trace.InOrder({L"Could not create device from hardware ID msica\\second (Class: \"" +
                                   std::wstring(kHalbClass) + L"\") - device not existing",
                               L"Compare hardware Id msica\\SECOND <-> MsiCA\\First!",
                               L"Compare hardware Id msica\\SECOND <-> MsiCA\\Second!",
                               L"DevInfo data for hardware ID msica\\SECOND FOUND!"}));
    EXPECT_TRUE(RemoveDeviceByHardwareId(L"MSICA\\FIRST", kHalbClass)) << "found among all classes";
    EXPECT_TRUE(DevicesWithHardwareId(L"MsiCA\\First").empty());
    EXPECT_FALSE(RemoveDeviceByHardwareId(L"MsiCA\\First", kHalbClass));
    EXPECT_TRUE(trace.Contains(L"DevInfo data for hardware ID MsiCA\\First NOT FOUND!"));
}

TEST_F(Pnp, OddSetupApiAnswersEndInALineAndACleanResult)
{
    // A list that fills the whole buffer, the wanted ID last and without terminators.
    const std::wstring full = std::wstring(2086, L'x') + L'\0' + L"MsiCA\\Odd";
    const std::vector<BYTE> filled(reinterpret_cast<const BYTE*>(full.data()),
                                   reinterpret_cast<const BYTE*>(full.data() + full.size()));
    const std::tuple<const char*, DWORD, std::vector<BYTE>, DWORD, const wchar_t*> cases[] = {
        {"", 0, {0, 0, 0, 0}, ERROR_NO_DATA, L"DevInfo data for hardware ID MsiCA\\Odd NOT FOUND!"},
        {"SetupDiGetDeviceRegistryPropertyW",
         ERROR_INSUFFICIENT_BUFFER,
         {},
         ERROR_INSUFFICIENT_BUFFER,
         L"SetupDiGetDeviceRegistryProperty failed (0x7A, no device?)"},
        {"", 0, filled, 0, L"Compare hardware Id MsiCA\\Odd <-> MsiCA\\Odd!"},
        {"CM_Get_Device_IDW", 0, filled, ERROR_INSUFFICIENT_BUFFER,
         L"## ERROR 0x7A! CM_Get_Device_ID FAILED (CR 0x1A)!"},
        {"SetupDiGetClassDevsW", 5, {}, 5, L"## ERROR 0x5! SetupDiGetClassDevs FAILED!"},
    };
    for (const auto& [failing, error, ids, result, line] : cases)
    {
        g_script = {{failing, error}};
        g_hardwareIds = ids;
        CPnpDevice device;
        EXPECT_EQ(result == 0, device.CreateFromHardwareId(L"MsiCA\\Odd")) << Narrow(line);
        EXPECT_EQ(result, result ? GetLastError() : 0);
        EXPECT_TRUE(trace.Contains(line) && g_openLists == 0) << Narrow(line);
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
    EXPECT_TRUE(trace.Contains(L"SetupDiCallClassInstaller (DIF_PROPERTYCHANGE) State: 3 OK!"));
    g_script["DIF_PROPERTYCHANGE"] = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(device.Restart());
    EXPECT_TRUE(trace.Contains(L"CPnpDevice          : ERROR 0x5! SetupDiCallClassInstaller FAILED!"));
    g_script = {{"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY}};
    EXPECT_FALSE(device.Restart() || device.Remove());
    EXPECT_TRUE(trace.Contains(L"ERROR! hDevInfo - invalid handle (0xFFFFFFFF)!"));
    g_script.clear();
    EXPECT_TRUE(device.Remove() && DevicesWithHardwareId(L"ACPI\\IPI0001").empty());
}

TEST_F(Pnp, EachGenerationInstallsThreeDevicesFromItsFolderAndRemovalTakesBoth)
{
    CTestKey vendor(L"SOFTWARE\\Arvetta"), setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", folder);
    EXPECT_EQ(0u, moraCA_Halb2DriverInstall(0)) << "Wine's 6.1";
    g_major = 10;
    EXPECT_EQ(0u, CHalbDriver::Install(folder.c_str()));
    EXPECT_EQ(std::vector<DWORD>(2, 1000), clock.Sleeps()) << "the legacy driver's pause, once each";
    for (const std::wstring name : {L"Halb2", L"Halb3"})
    {
        for (const wchar_t* device : kDevices)
            EXPECT_EQ(1u, DevicesWithHardwareId((name == L"Halb2" ? kHalb2 : kHalb3) + device).size());
        EXPECT_TRUE(ServiceExists(name)) << "the package was applied";
        RemoveService(name);
        EXPECT_TRUE(trace.InOrder(
            {L"Start Halb driver deinstallation...", L"ERROR 0x424! Delete Halb driver failed!",
             L"...Halb driver deinstallation completed",
             L"Register " + name + L" PNP driver using INF file \"" + folder + L"\\" + name + L".inf\"",
             name + L" BIOS device successfully loaded", name + L" BUSIO device driver successfully loaded",
             name + L" SMBUS device driver successfully loaded"}));
    }
    EXPECT_EQ(0u, moraCA_Halb2DriverRemove(0));
    EXPECT_EQ(0u, CHalbDriver::Remove());
    for (const auto& name : {L"Halb3", L"Halb2"})
        EXPECT_TRUE(trace.InOrder({name + std::wstring(L" BIOS device successfully removed"),
                                   name + std::wstring(L" bus I/O device successfully removed"),
                                   name + std::wstring(L" SMBUS device successfully removed")}));
    EXPECT_EQ(6u, trace.Count(L"CHalbDriver         : Did not remove device {")) << "the second removal's";
}

TEST_F(Pnp, InstallReportsEachFailingDeviceAndAnswersTheLastError)
{
    const std::wstring tooLong = folder + L"\\" + std::wstring(250, L'x');
    const std::tuple<DWORD, DWORD, const wchar_t*, const char*, DWORD, DWORD, size_t, size_t, const wchar_t*>
        cases[] = {
            {0, 0, L"", "", 0, 0xFFFFFFFF, 0, 1, L"CHalbDriver         : Install Halbx driver from folder "},
            {5, 1, folder.c_str(), "", 0, 0xFFFFFFFF, 0, 1,
             L"Unsupported Windows version 5.1 - no driver available!"},
            {5, 2, folder.c_str(), "", 0, ERROR_NOT_FOUND, 3, 1,
             L"## ERROR 0x490! Installing Halb2 BUSIO device FAILED!"},
            {6, 3, folder.c_str(), "LoadLibraryW", 126, 126, 3, 3,
             L"CWdmInstaller       : ERROR 0x7E! Loading \"newdev.dll\" FAILED!"},
            {0, 0, folder.c_str(), "SetupDiCreateDeviceInfoW", 5, 5, 0, 3,
             L"## ERROR 0x5! SetupDiCreateDeviceInfo FAILED!"},
            {0, 0, folder.c_str(), "DIF_REGISTERDEVICE", 5, 5, 0, 3,
             L"Installer : ## ERROR 0x5! SetupDiCallClassInstaller FAILED!"},
            {0, 0, BinDir().c_str(), "", 0, ERROR_FILE_NOT_FOUND, 0, 3, L"SetupDiGetINFClass FAILED!"},
            {0, 0, tooLong.c_str(), "", 0, ERROR_FILENAME_EXCED_RANGE, 0, 3,
             L"## ERROR 0xCE! GetFullPathName() FAILED!"},
        };
    for (const auto& [major, minor, from, failing, error, result, devices, lines, line] : cases)
    {
        trace.Clear();
        std::tie(g_major, g_minor) = std::pair(major, minor);
        g_script = {{failing, error}};
        g_updateFailsFor = result == ERROR_NOT_FOUND ? L"busio" : nullptr;
        EXPECT_EQ(result, CHalbDriver::Install(from)) << Narrow(line);
        EXPECT_EQ(lines, trace.Count(line)) << Narrow(line);
        EXPECT_EQ(result == 0xFFFFFFFF, !trace.Contains(L"Start Halb driver")) << "nothing uninstalled";
        EXPECT_EQ(g_updateFailsFor ? 2u : 0u, trace.Count(L"successfully loaded"))
            << "BIOS and SMBus all the same";
        size_t left = 0;
        for (const wchar_t* device : kDevices)
            left += RemoveDevicesWithHardwareId(kHalb2 + device);
        EXPECT_EQ(devices, left) << "a registered device stays when its driver fails";
    }
    RemoveService(L"Halb2");
}

TEST_F(Pnp, GenerationAndOrbiRemovalFollowTheWindowsVersion)
{
    const std::tuple<DWORD, DWORD, int> cases[] = {{10, 0, 3}, {11, 0, 3}, {6, 3, 2}, {6, 0, 2},
                                                   {5, 2, 2},  {5, 1, 0},  {4, 0, 0}};
    for (const auto& [major, minor, generation] : cases)
    {
        trace.Clear();
        std::tie(g_major, g_minor) = std::pair(major, minor);
        EXPECT_EQ(generation, CHalbDriver::GetDriverGeneration()) << major << "." << minor;
        EXPECT_EQ(0, COrbiDriver::Remove());
        EXPECT_EQ(major >= 10, trace.InOrder({L"Remove ORBI driver ...",
                                              L"## ERROR 0xE8! Remove device Root\\PlxOrbi FAILED!",
                                              L"... ORBI driver removed!"}));
        EXPECT_EQ(
            major < 10,
            trace.Contains(
                L"Windows Server 20016 or higher not detected! ORBI driver(s) are not installed here!"));
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
