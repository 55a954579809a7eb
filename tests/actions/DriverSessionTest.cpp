#include "support/ChildProcess.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include <gtest/gtest.h>

// The five driver actions in real sessions of the sample package with its drivers (the
// package fails on a non-zero result of all but the IPMI restart): as Wine's Windows 6.1
// without the system's IPMI device, then as Windows 10 with it and with an obsolete ORBI
// device. Wine's SMBIOS table announces no IPMI controller.
TEST(DriverSession, TheFiveActionsInstallAndRemoveTheFittingGenerationUnder61AndWin10)
{
    CTestDir dir;
    CTestKey global(L"SOFTWARE\\Debug"), application(L"SOFTWARE\\Debug\\MsiCA");
    application.SetDword(L"FileDebugLevel", 3).SetString(L"TraceFile", dir / L"drivers.log");
    const std::wstring package = L" \"" + BinPath(L"MsiCASample.msi") + L"\" /qn STANDALONE=1";
    const wchar_t* const defaults = L"Software\\Wine\\AppDefaults\\msiexec.exe";
    for (const bool win10 : {false, true})
    {
        const std::wstring ids =
            win10 ? L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\" : L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\";
        CTestDevice ipmi({win10 ? L"ACPI\\IPI0001" : L"MSICA\\NONE"}),
            orbi({win10 ? L"Root\\PlxOrbi" : L"MSICA\\NONE"});
        const wchar_t* const version = win10 ? L"win10" : L"win7"; // Wine's default: Windows 6.1
        RegSetKeyValueW(HKEY_CURRENT_USER, defaults, L"Version", REG_SZ, version,
                        DWORD(wcslen(version) * 2 + 2));
        EXPECT_EQ(0u, RunProcess(L"msiexec /i" + package + L" ADDLOCAL=Main,Drivers", 120000));
        for (const wchar_t* device : {L"bios", L"busio", L"smbus"}) // one from each installing action
            EXPECT_EQ(2u, DevicesWithHardwareId(ids + device).size()) << Narrow(ids + device);
        EXPECT_FALSE(ServiceExists(L"ImbDrvNT"));
        EXPECT_EQ(0u, RunProcess(L"msiexec /x" + package, 120000));
        RegDeleteKeyW(HKEY_CURRENT_USER, defaults);
        for (const wchar_t* device : {L"bios", L"busio", L"smbus", L"Root\\PlxOrbi"})
            EXPECT_TRUE(DevicesWithHardwareId((device[0] == L'R' ? L"" : ids) + device).empty());
        const std::wstring trace = ReadUtf16File(dir / L"drivers.log");
        DeleteFileW((dir / L"drivers.log").c_str());
        size_t at = 0;
        for (const wchar_t* line : {win10 ? L"requires Halb3" : L"requires Halb2",
                                    win10 ? L"0001 FAILED!" : L"2008", win10 ? L"0001 FAILED!" : L"2008",
                                    win10 ? L"PlxOrbi device driver successfully" : L"20016 or higher"})
            ASSERT_NE(std::wstring::npos, at = trace.find(line, at)) << Narrow(line) << "\n" << Narrow(trace);
    }
}
