#include "support/ChildProcess.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include <gtest/gtest.h>

// The five driver actions in real sessions of the sample package with its drivers as Windows 10
// with the system's IPMI device and an obsolete ORBI device: a first install (vrxCA_RegDriver),
// an upgrade with RUNMODE=MORA (the board driver's devices removed, installed again, the IPMI
// device restarted) and the removal (vrxCA_UnregDriver). Wine's default, Windows 6.1, is the
// end-to-end suite's. Wine's SMBIOS table announces no IPMI controller.
TEST(DriverSession, TheFiveActionsInstallAndRemoveTheWin10GenerationAndTheObsoleteOrbiDevice)
{
    const std::wstring package = L" \"" + BinPath(L"MsiCASample.msi") + L"\" /qn ADDLOCAL=Main,Drivers",
                       upgrade = L" \"" + BinPath(L"MsiCASample-1.1.0.msi") +
                                 L"\" /qn ADDLOCAL=Main,Drivers RUNMODE=MORA",
                       ids = L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\";
    const wchar_t* const defaults = L"Software\\Wine\\AppDefaults\\msiexec.exe";
    CTestDevice ipmi({L"ACPI\\IPI0001"}), orbi({L"Root\\PlxOrbi"});
    RegSetKeyValueW(HKEY_CURRENT_USER, defaults, L"Version", REG_SZ, L"win10", sizeof(L"win10"));
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
