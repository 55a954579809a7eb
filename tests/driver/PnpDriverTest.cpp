// Plug and Play devices and the board driver family against Wine's Setup API and newdev,
// installing the stand-in packages of tests/standins/drivers. The library's Setup API calls
// pass through fakes that count its device information lists (all destroyed at the end of
// each test) and answer where Wine cannot: a DIF_PROPERTYCHANGE restart, failing steps, odd
// property data, Windows versions other than Wine's 6.1.
#include "CustomActions.h"
#include "driver/CHalbDriver.h"
#include "driver/COrbiDriver.h"
#include "driver/CPnpDevice.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestServices.h"
#include "support/TraceCapture.h"
#include <gtest/gtest.h>
#include <algorithm>
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

#define FAKE(dll, f, ...) FAKE_IMPORT(injector, dll, f, __VA_ARGS__)
// Wine answers unless the script does: with the given answer (and the scripted error).
#define OR_SCRIPTED(dll, f, when, answer, wrap)                                                              \
    FAKE(dll, f, [](auto... a) { return when(#f) ? answer : wrap(ORIGINAL(f)(a...)); })

class Pnp : public testing::Test
{
  protected:
    // function (or device, for its driver update) -> its error; 0: succeeds without Wine
    using Script = std::map<std::string, DWORD>;
    static inline Script script;
    static inline int openLists;
    static inline DWORD osMajor, osMinor;   // the Windows version answered; major 0: Wine's own
    static inline std::wstring hardwareIds; // answered for every device when not empty
    static inline DWORD hardwareIdBytes;    // the size answered with them
    static inline decltype(&UpdateDriverForPlugAndPlayDevicesW) update;
    static bool Scripted(const char* f) { return script.count(f) && (SetLastError(script[f]), true); }
    static bool Fails(const char* f) { return Scripted(f) && GetLastError() != 0; }
    static HDEVINFO Counted(HDEVINFO list) { return openLists += list != INVALID_HANDLE_VALUE, list; }

    Pnp()
    {
        script.clear(), openLists = osMajor = 0;
        OR_SCRIPTED("setupapi.dll", SetupDiGetClassDevsW, Fails, INVALID_HANDLE_VALUE, Counted);
        OR_SCRIPTED("setupapi.dll", SetupDiCreateDeviceInfoList, Fails, INVALID_HANDLE_VALUE, Counted);
        OR_SCRIPTED("setupapi.dll", CM_Get_Device_IDW, Scripted, CONFIGRET(CR_BUFFER_SMALL), );
        OR_SCRIPTED("setupapi.dll", SetupDiRemoveDevice, Fails, FALSE, );
        // Clears the last error, as Windows may.
        FAKE("setupapi.dll", SetupDiDestroyDeviceInfoList, [](HDEVINFO list) {
            const BOOL destroyed = ORIGINAL(SetupDiDestroyDeviceInfoList)(list);
            return --openLists, SetLastError(0), destroyed;
        });
        FAKE("setupapi.dll", SetupDiGetDeviceRegistryPropertyW, [](auto... a) {
            if (Fails("SetupDiGetDeviceRegistryPropertyW"))
                return FALSE;
            if (hardwareIds.empty())
                return ORIGINAL(SetupDiGetDeviceRegistryPropertyW)(a...);
            const auto [l, d, p, t, out, size, needed] = std::tuple(a...);
            memcpy(out, hardwareIds.data(), std::min<size_t>(size, hardwareIds.size() * 2));
            return *needed = hardwareIdBytes, TRUE;
        });
        FAKE("setupapi.dll", SetupDiSetClassInstallParamsW, [](auto l, auto d, auto params, DWORD size) {
            return Scripted("SetupDiSetClassInstallParamsW")
                       ? BOOL{size == 20 && !memcmp(params, &kRestart, size)}
                       : ORIGINAL(SetupDiSetClassInstallParamsW)(l, d, params, size);
        });
        FAKE("setupapi.dll", SetupDiCallClassInstaller, [](DI_FUNCTION f, HDEVINFO l, PSP_DEVINFO_DATA d) {
            return Scripted(f == DIF_PROPERTYCHANGE ? "DIF_PROPERTYCHANGE" : "DIF_REGISTERDEVICE")
                       ? BOOL{GetLastError() == 0}
                       : ORIGINAL(SetupDiCallClassInstaller)(f, l, d);
        });
        FAKE("kernel32.dll", GetVersionExW, [](LPOSVERSIONINFOW info) {
            const BOOL got = ORIGINAL(GetVersionExW)(info);
            if (osMajor)
                std::tie(info->dwMajorVersion, info->dwMinorVersion) = std::pair(osMajor, osMinor);
            return got;
        });
        // Keeps kernel32's file version, Wine's own, out of a version the test chose.
        FAKE("version.dll", GetFileVersionInfoSizeW,
             [](auto... a) { return osMajor ? 0 : ORIGINAL(GetFileVersionInfoSizeW)(a...); });
        update = reinterpret_cast<decltype(update)>(reinterpret_cast<void*>(
            GetProcAddress(LoadLibraryW(L"newdev"), "UpdateDriverForPlugAndPlayDevicesW")));
        injector.ReplaceLookup(
            "UpdateDriverForPlugAndPlayDevicesW",
            +[](HWND w, LPCWSTR id, LPCWSTR inf, DWORD flags, PBOOL reboot) {
                const bool fails = flags != (INSTALLFLAG_FORCE | INSTALLFLAG_NONINTERACTIVE);
                for (const wchar_t* device : kDevices)
                    if (wcsstr(id, device) && Fails(Narrow(device).c_str()))
                        return FALSE;
                return fails ? (SetLastError(ERROR_NOT_FOUND), FALSE) : update(w, id, inf, flags, reboot);
            });
    }
    ~Pnp() override { EXPECT_EQ(0, openLists) << "device information lists left open"; }

    CFaultInjector injector;
    CVirtualClock clock{injector};
    CTraceCapture trace;
    const std::wstring folder = BinDir() + L"\\drivers";
};
} // namespace

TEST_F(Pnp, SearchIgnoresCaseReadsEveryEntryFallsBackToAllClassesAndRestarts)
{
    CTestDevice ipmi({L"MsiCA\\First", L"ACPI\\IPI0001"});
    CPnpDevice device;
    EXPECT_TRUE(!device.Restart() && !device.Remove() && GetLastError() == ERROR_INVALID_HANDLE);
    EXPECT_FALSE(device.CreateFromHardwareId(L"acpi\\ipi0001", kHalbClass)) << "another class";
    ASSERT_TRUE(device.CreateFromHardwareId(L"acpi\\IPI0001"));
    EXPECT_TRUE(IsEqualGUID(kSystemClassGuid, device.ClassGuid()) &&
                ipmi.InstanceId() == device.InstanceId());

    script = {{"SetupDiSetClassInstallParamsW", 0}, {"DIF_PROPERTYCHANGE", 0}};
    EXPECT_TRUE(device.Restart());
    script["DIF_PROPERTYCHANGE"] = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(device.Restart());
    script = {{"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY}};
    EXPECT_FALSE(device.Restart() || device.Remove());
    EXPECT_TRUE(trace.InOrder({L"CPnpDevice          : ERROR 0x5! SetupDiCallClassInstaller FAILED!",
                               L"ERROR! hDevInfo - invalid handle (0xFFFFFFFF)!"}));
    script.clear();
    EXPECT_TRUE(RemoveDeviceByHardwareId(L"MSICA\\FIRST", kHalbClass)) << "found among all classes";
    EXPECT_TRUE(DevicesWithHardwareId(L"MsiCA\\First").empty());
    EXPECT_FALSE(RemoveDeviceByHardwareId(L"MsiCA\\First", kHalbClass) || device.Remove());
}

TEST_F(Pnp, OddSetupApiAnswersEndInALineAndACleanResult)
{
    // Lists without terminators: one that fills the whole buffer with the wanted ID last, its
    // size overstated, and one whose odd size cuts its last character in half.
    const std::wstring full = std::wstring(2086, L'x') + L'\0' + L"MsiCA\\Odd";
    const std::tuple<const char*, DWORD, std::wstring, DWORD, DWORD, const wchar_t*> cases[] = {
        {"", 0, std::wstring(2, L'\0'), 4, ERROR_NO_DATA, L"hardware ID MsiCA\\Odd NOT FOUND!"},
        {"SetupDiGetDeviceRegistryPropertyW", 122, L"", 0, 122, L"Property failed (0x7A, no device?)"},
        {"", 0, full, 4292, 0, L"Compare hardware Id MsiCA\\Odd <-> MsiCA\\Odd!"},
        {"", 0, L"MsiCA\\Odd", 17, 0, L"Compare hardware Id MsiCA\\Odd <-> MsiCA\\Odd!"},
        {"CM_Get_Device_IDW", 0, full, 4292, 122, L"## ERROR 0x7A! CM_Get_Device_ID FAILED (CR 0x1A)!"},
        {"SetupDiGetClassDevsW", 5, L"", 0, 5, L"## ERROR 0x5! SetupDiGetClassDevs FAILED!"},
    };
    for (const auto& [failing, error, ids, bytes, result, line] : cases)
    {
        script = {{failing, error}};
        std::tie(hardwareIds, hardwareIdBytes) = std::tie(ids, bytes);
        CPnpDevice device;
        EXPECT_EQ(result == 0, device.CreateFromHardwareId(L"MsiCA\\Odd")) << Narrow(line);
        EXPECT_EQ(result, result ? GetLastError() : 0);
        EXPECT_TRUE(trace.Contains(line) && openLists == 0) << Narrow(line);
    }
}

TEST_F(Pnp, EachGenerationInstallsThreeDevicesFromItsFolderAndRemovalTakesBoth)
{
    CTestKey vendor(L"SOFTWARE\\Arvetta"), setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", folder);
    CTestService legacy(L"Halb");
    EXPECT_EQ(0u, moraCA_Halb2DriverInstall(0)) << "Wine's 6.1";
    EXPECT_FALSE(ServiceExists(L"Halb"));
    std::tie(osMajor, osMinor) = std::pair(10u, 0u); // real sessions under Windows 10: DriverSession
    EXPECT_EQ(0u, moraCA_Halb2DriverInstall(0)) << "Windows 10";
    EXPECT_EQ(2, std::count(clock.Sleeps().begin(), clock.Sleeps().end(), 1000u))
        << "the legacy driver's pause, after its removal and where there was none";
    // The devices of each generation the real sessions count; here the packages were applied.
    EXPECT_TRUE(ServiceExists(L"Halb2"));
    EXPECT_TRUE(ServiceExists(L"Halb3"));
    EXPECT_EQ(0u, moraCA_Halb2DriverRemove(0));
    EXPECT_EQ(0u, CHalbDriver::Remove());
    EXPECT_TRUE(
        trace.InOrder({L"Halb3 SMBUS device successfully removed", L"Halb2 BIOS device successfully"}));
    EXPECT_EQ(6u, trace.Count(L"CHalbDriver         : Did not remove device {")) << "the second removal's";
}

TEST_F(Pnp, InstallReportsEachFailingDeviceAndAnswersTheLastError)
{
    const std::wstring tooLong = folder + L"\\" + std::wstring(250, L'x'), bin = BinDir();
    using Row =
        std::tuple<DWORD, DWORD, const wchar_t*, Script, DWORD, size_t, size_t, size_t, const wchar_t*>;
    const Row cases[] = {
        {0, 0, L"", {}, 0xFFFFFFFF, 0, 0, 1, L"CHalbDriver         : Install Halbx driver from folder "},
        {5, 1, folder.c_str(), {}, 0xFFFFFFFF, 0, 0, 1, L"Unsupported Windows version 5.1 - no"},
        {5, 2, folder.c_str(), {{"busio", 0x490}}, 0x490, 3, 2, 1, L"## ERROR 0x490! Installing Halb2 BUSIO"},
        {5, 2, folder.c_str(), {{"bios", 0x490}, {"smbus", 5}}, 5, 3, 1, 1, L"0x5! Installing Halb2 SMBUS"},
        {0, 0, folder.c_str(), {{"DIF_REGISTERDEVICE", 5}}, 5, 0, 0, 3, L"0x5! SetupDiCallClassInstaller"},
        {0, 0, bin.c_str(), {}, ERROR_FILE_NOT_FOUND, 0, 0, 3, L"## ERROR 0x2! SetupDiGetINFClass FAILED!"},
        {0, 0, tooLong.c_str(), {}, 206, 0, 0, 3, L"## ERROR 0xCE! GetFullPathName() FAILED!"},
    };
    for (const auto& [major, minor, from, failing, result, devices, loaded, lines, line] : cases)
    {
        trace.Clear();
        std::tie(osMajor, osMinor, script) = std::tie(major, minor, failing);
        EXPECT_EQ(result, CHalbDriver::Install(from)) << Narrow(line);
        EXPECT_EQ(lines, trace.Count(line)) << Narrow(line);
        EXPECT_EQ(result == 0xFFFFFFFF, !trace.Contains(L"Start Halb driver")) << "nothing uninstalled";
        EXPECT_EQ(loaded, trace.Count(L"successfully loaded")) << "the other devices all the same";
        size_t left = 0;
        for (const wchar_t* device : kDevices)
            for (const auto& id : DevicesWithHardwareId(kHalb2 + device))
                left += RemoveDeviceInstance(id);
        EXPECT_EQ(devices, left) << "a registered device stays when its driver fails";
    }
}

TEST_F(Pnp, GenerationAndOrbiRemovalFollowTheWindowsVersion)
{
    CTestDevice orbi({L"Root\\PlxOrbi"});
    const std::tuple<DWORD, DWORD, int, Script, const wchar_t*> cases[] = {
        {0, 0, 2, {}, L"Windows Server 20016 or higher not detected! ORBI driver(s) are not installed here!"},
        {6, 3, 2, {}, L"not detected!"},
        {10, 0, 3, {{"SetupDiRemoveDevice", 5}}, L"## ERROR 0x5! Remove device Root\\PlxOrbi FAILED!"},
        {10, 0, 3, {}, L"PlxOrbi device driver successfully removed"},
        {10, 0, 3, {}, L"## ERROR 0xE8! Remove device Root\\PlxOrbi FAILED!"}};
    for (const auto& [major, minor, generation, failing, line] : cases)
    {
        trace.Clear();
        std::tie(osMajor, osMinor, script) = std::tie(major, minor, failing);
        EXPECT_EQ(generation, CHalbDriver::GetDriverGeneration()) << major << "." << minor;
        EXPECT_EQ(0, COrbiDriver::Remove());
        EXPECT_TRUE(trace.Contains(line)) << Narrow(line);
    }
}
