#include "support/ChildProcess.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include <gtest/gtest.h>

// The five driver actions in real sessions of the sample package with its drivers: a first
// install (vrxCA_RegDriver), an upgrade with RUNMODE=MORA (the board driver's devices removed,
// installed again, the IPMI device restarted) and the removal (vrxCA_UnregDriver); as Wine's
// Windows 6.1 without the system's IPMI device, then as Windows 10 with it and with an
// obsolete ORBI device. Wine's SMBIOS table announces no IPMI controller.
TEST(DriverSession, TheFiveActionsInstallAndRemoveTheFittingGenerationUnder61AndWin10)
{
    const std::wstring package = L" \"" + BinPath(L"MsiCASample.msi") + L"\" /qn ADDLOCAL=Main,Drivers",
                       upgrade = L" \"" + BinPath(L"MsiCASample-1.1.0.msi") +
                                 L"\" /qn ADDLOCAL=Main,Drivers RUNMODE=MORA";
    const wchar_t* const defaults = L"Software\\Wine\\AppDefaults\\msiexec.exe";
    for (const std::wstring version : {L"win7", L"win10"}) // win7 is Wine's default: 6.1
    {
        const bool win10 = version == L"win10";
        const std::wstring ids =
            win10 ? L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\" : L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\";
        CTestDevice ipmi({win10 ? L"ACPI\\IPI0001" : L"MSICA\\NONE"}),
            orbi({win10 ? L"Root\\PlxOrbi" : L"MSICA\\NONE"});
        RegSetKeyValueW(HKEY_CURRENT_USER, defaults, L"Version", REG_SZ, version.c_str(),
                        DWORD(version.size() * 2 + 2));
        for (const std::wstring& install : {package, upgrade})
        {
            EXPECT_EQ(0u, RunProcess(L"msiexec /i" + install, 120000));
            for (const wchar_t* device : {L"bios", L"busio", L"smbus"})
                EXPECT_EQ(1u, DevicesWithHardwareId(ids + device).size()) << Narrow(install);
        }
        EXPECT_EQ(0u, RunProcess(L"msiexec /x \"" + BinPath(L"MsiCASample-1.1.0.msi") + L"\" /qn", 120000));
        RegDeleteKeyW(HKEY_CURRENT_USER, defaults);
        for (const std::wstring& id :
             {ids + L"bios", ids + L"busio", ids + L"smbus", std::wstring(L"Root\\PlxOrbi")})
            EXPECT_TRUE(DevicesWithHardwareId(id).empty());
    }
}
