#include "support/ChildProcess.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TestServices.h"
#include <gtest/gtest.h>
#include <memory>

// The five driver actions in real installer sessions (every result checked by the package):
// once as Wine's Windows 6.1 without the system's IPMI device, once as Windows 10 with it
// and with an obsolete ORBI device. Wine's SMBIOS table has no IPMI controller.
TEST(DriverSession, TheFiveActionsInstallAndRemoveTheFittingGenerationUnder61AndWin10)
{
    CTestDir dir;
    CTestKey global(L"SOFTWARE\\Debug"), application(L"SOFTWARE\\Debug\\MsiCA");
    application.SetDword(L"FileDebugLevel", 3).SetString(L"TraceFile", dir / L"drivers.log");
    const std::wstring package = L" \"" + BinPath(L"MsiCADrivers.msi") + L"\" /qn";
    const wchar_t msiexecDefaults[] = L"Software\\Wine\\AppDefaults\\msiexec.exe";
    const struct
    {
        const wchar_t* version;
        std::wstring ids;
        std::vector<std::wstring> lines;
    } sessions[] = {
        {nullptr,
         L"{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\",
         {L": vrxCA_RegDriver", L"requires Halb2 driver", L"Halb2 SMBUS device driver successfully loaded",
          L"SMBIOS structure type 38 not found on system!", L"restart supported on Windows Server 2008",
          L": moraCA_Halb2DriverInstall", L"Halb2 BIOS device successfully loaded",
          L": moraCA_RestartMicrosoftIpmi", L"restart supported on Windows Server 2008",
          L": vrxCA_UnregDriver", L"Halb2 BIOS device successfully removed", L"ImbDrvNT driver uninstalled",
          L"Windows Server 20016 or higher not detected!", L": moraCA_Halb2DriverRemove",
          L"Halb2 SMBUS device successfully removed"}},
        {L"win10",
         L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\",
         {L": vrxCA_RegDriver", L"requires Halb3 driver", L"Halb3 SMBUS device driver successfully loaded",
          L"SMBIOS structure type 38 not found on system!", L"Found ACPI device ACPI\\IPI0001",
          L"Restart device ACPI\\IPI0001 FAILED!", L": moraCA_Halb2DriverInstall",
          L"Halb3 BIOS device successfully loaded", L": moraCA_RestartMicrosoftIpmi",
          L"Restart device ACPI\\IPI0001 FAILED!", L": vrxCA_UnregDriver",
          L"Halb3 BIOS device successfully removed", L"ImbDrvNT driver uninstalled",
          L"PlxOrbi device driver successfully removed", L": moraCA_Halb2DriverRemove",
          L"Halb3 SMBUS device successfully removed"}},
    };
    for (const auto& session : sessions)
    {
        std::unique_ptr<CTestDevice> ipmi, orbi;
        if (session.version)
        {
            RegSetKeyValueW(HKEY_CURRENT_USER, msiexecDefaults, L"Version", REG_SZ, session.version,
                            static_cast<DWORD>(wcslen(session.version) + 1) * sizeof(wchar_t));
            ipmi.reset(new CTestDevice({L"ACPI\\IPI0001"}));
            orbi.reset(new CTestDevice({L"Root\\PlxOrbi"}));
        }
        EXPECT_EQ(0u, RunProcess(L"msiexec /i" + package, 120000));
        for (const wchar_t* device : {L"bios", L"busio", L"smbus"}) // one set from each installing action
            EXPECT_EQ(2u, DevicesWithHardwareId(session.ids + device).size()) << Narrow(session.ids + device);
        EXPECT_FALSE(ServiceExists(L"ImbDrvNT"));
        EXPECT_EQ(0u, RunProcess(L"msiexec /x" + package, 120000));
        for (const wchar_t* device : {L"bios", L"busio", L"smbus"})
            EXPECT_TRUE(DevicesWithHardwareId(session.ids + device).empty());
        EXPECT_TRUE(DevicesWithHardwareId(L"Root\\PlxOrbi").empty());
        EXPECT_EQ(bool(ipmi), !DevicesWithHardwareId(L"ACPI\\IPI0001").empty());
        RegDeleteKeyW(HKEY_CURRENT_USER, msiexecDefaults);

        const std::wstring trace = ReadUtf16File(dir / L"drivers.log");
        DeleteFileW((dir / L"drivers.log").c_str());
        size_t at = 0;
        for (const std::wstring& line : session.lines)
        {
            at = trace.find(line, at);
            ASSERT_NE(std::wstring::npos, at) << Narrow(line) << "\n" << Narrow(trace);
        }
    }
}
