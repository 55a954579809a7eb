#include "support/ChildProcess.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CFileVersionInfo.h"
#include "util/COSVersion.h"
#include <gtest/gtest.h>

namespace
{
// Major, minor and build as osversion_child packs them into its exit code.
DWORD Packed(DWORD major, DWORD minor, DWORD build)
{
    return major << 24 | (minor & 0xFF) << 16 | (build & 0xFFFF);
}

// kernel32.dll's file version, read independently of the library.
DWORD Kernel32Version()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(GetModuleHandleW(L"kernel32"), path, MAX_PATH);
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path, nullptr) + 1);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    GetFileVersionInfoW(path, 0, DWORD(data.size()), data.data());
    VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length);
    const VS_FIXEDFILEINFO found = fixed ? *fixed : VS_FIXEDFILEINFO{};
    return Packed(HIWORD(found.dwFileVersionMS), LOWORD(found.dwFileVersionMS),
                  HIWORD(found.dwFileVersionLS));
}

OSVERSIONINFOEXW g_answer;

BOOL WINAPI FakeGetVersionExW(OSVERSIONINFOW* info)
{
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), info->dwOSVersionInfoSize);
    *reinterpret_cast<OSVERSIONINFOEXW*>(info) = g_answer;
    return g_answer.dwOSVersionInfoSize != 0;
}
} // namespace

TEST(Versions, ProductVersionOfTheFirstTranslationAndTheOSVersionFrom62OnFromKernel32)
{
    CTraceCapture trace;
    const struct
    {
        const wchar_t* dll;
        const wchar_t* version;
        const wchar_t* translation;
    } cases[] = {
        {L"version_german.dll", L"4.2.1 (deutsch)", L"040704E4"},
        {L"version_several.dll", L"7.0 en", L"040904B0"},
        {L"version_control.dll", L"5.0?beta?", L"040904B0"},
    };
    for (const auto& c : cases)
    {
        CFileVersionInfo info;
        std::wstring version;
        EXPECT_TRUE(info.Load(BinPath(c.dll).c_str()) && info.QueryProductVersion(version)) << Narrow(c.dll);
        EXPECT_EQ(c.version, version);
        EXPECT_TRUE(trace.Contains(L"CFileVersionInfo    : Query version info string \"\\StringFileInfo\\" +
                                   std::wstring(c.translation) + L"\\ProductVersion\""));
    }
    std::wstring printable = L"1.0 \u00e9\u4e2d";
    EXPECT_TRUE(CFileVersionInfo::MakePrintable(printable));

    trace.Clear();
    CFileVersionInfo none;
    EXPECT_FALSE(none.Load(BinPath(L"version_none.dll").c_str()));
    std::wstring version = L"kept";
    EXPECT_FALSE(none.QueryProductVersion(version));
    EXPECT_EQ(L"kept", version);
    EXPECT_EQ(1u, trace.Count(L"ERROR 0x")) << "only the size query's failure is traced";

    COSVersion os;
    ASSERT_TRUE(os.Retrieve());
    EXPECT_EQ(Packed(6, 1, 0), Packed(os.dwMajorVersion, os.dwMinorVersion, 0)) << "Wine's default";

    const wchar_t kChildDefaults[] = L"Software\\Wine\\AppDefaults\\osversion_child.exe";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, kChildDefaults, L"Version", REG_SZ, L"win10",
                                             sizeof(L"win10")));
    const DWORD child = RunProcess(L"\"" + BinPath(L"osversion_child.exe") + L"\"");
    RegDeleteKeyW(HKEY_CURRENT_USER, kChildDefaults);
    EXPECT_EQ(10u, child >> 24) << std::hex << child;
    EXPECT_EQ(Kernel32Version(), child) << "the numbers of kernel32.dll's file version";

    trace.Clear();
    CFaultInjector injector;
    injector.Replace("kernel32.dll", "GetVersionExW", &FakeGetVersionExW);
    g_answer = {
        sizeof(g_answer), 6, 1, 7601, VER_PLATFORM_WIN32_NT, L"Service Pack 1", 1, 0, VER_SUITE_ENTERPRISE,
        VER_NT_SERVER,    0};
    ASSERT_TRUE(os.Retrieve());
    EXPECT_EQ(Packed(6, 1, 7601), Packed(os.dwMajorVersion, os.dwMinorVersion, os.dwBuildNumber));
    EXPECT_FALSE(trace.Contains(L"kernel32")) << "below 6.2 the answer is real";
    g_answer.dwMinorVersion = 2;
    g_answer.dwBuildNumber = 9200;
    ASSERT_TRUE(os.Retrieve());
    EXPECT_EQ(Kernel32Version(), Packed(os.dwMajorVersion, os.dwMinorVersion, os.dwBuildNumber));
    EXPECT_EQ(VER_NT_SERVER, os.wProductType) << "everything else stays as reported";
    EXPECT_EQ(VER_SUITE_ENTERPRISE, os.wSuiteMask);
    EXPECT_STREQ(L"Service Pack 1", os.szCSDVersion);
    EXPECT_TRUE(trace.InOrder({L"Use file version info of kernel32.dll to retrieve the real OS version...",
                               L"COSVersion          : OS version read from kernel32.dll: Major "}));
    g_answer.dwOSVersionInfoSize = 0;
    EXPECT_FALSE(os.Retrieve());
}
