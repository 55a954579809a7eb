#include "support/ChildProcess.h"
#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/COSVersion.h"
#include <gtest/gtest.h>

namespace
{
const wchar_t kChildDefaults[] = L"Software\\Wine\\AppDefaults\\osversion_child.exe";

DWORD RunChild()
{
    return RunProcess(L"\"" + BinPath(L"osversion_child.exe") + L"\"");
}

// kernel32.dll's file version as this test reads it, independently of the library.
void Kernel32FileVersion(DWORD& major, DWORD& minor, DWORD& build)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(GetModuleHandleW(L"kernel32"), path, MAX_PATH);
    std::vector<BYTE> data(GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(data.size()), data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    major = HIWORD(fixed->dwFileVersionMS);
    minor = LOWORD(fixed->dwFileVersionMS);
    build = HIWORD(fixed->dwFileVersionLS);
}
} // namespace

TEST(COSVersion, AsWineReportsIt)
{
    COSVersion version;
    ASSERT_TRUE(version.Retrieve());
    EXPECT_EQ(284u, version.dwOSVersionInfoSize);
    EXPECT_EQ(6u, version.dwMajorVersion) << "a fresh Wine prefix is Windows 7";
    EXPECT_EQ(1u, version.dwMinorVersion);
    EXPECT_EQ(DWORD(VER_PLATFORM_WIN32_NT), version.dwPlatformId);
    EXPECT_EQ(0x06010000u, RunChild() & 0xFFFF0000u);

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kChildDefaults, 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    const wchar_t win10[] = L"win10";
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(win10), sizeof(win10));
    RegCloseKey(key);
    const DWORD child = RunChild();
    RegDeleteKeyW(HKEY_CURRENT_USER, kChildDefaults);
    DWORD major = 0, minor = 0, build = 0;
    Kernel32FileVersion(major, minor, build);
    EXPECT_EQ(10u, child >> 24) << std::hex << child;
    EXPECT_EQ(0u, (child >> 16) & 0xFF);
    EXPECT_EQ(major, child >> 24) << "the numbers of kernel32.dll's file version";
    EXPECT_EQ(build & 0xFFFF, child & 0xFFFF);
}

namespace
{
OSVERSIONINFOEXW g_answer;
BOOL g_answerResult = TRUE;

BOOL WINAPI FakeGetVersionExW(OSVERSIONINFOW* info)
{
    if (!g_answerResult)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    EXPECT_EQ(sizeof(OSVERSIONINFOEXW), info->dwOSVersionInfoSize);
    *reinterpret_cast<OSVERSIONINFOEXW*>(info) = g_answer;
    return TRUE;
}

void Answer(DWORD major, DWORD minor, DWORD build)
{
    g_answer = OSVERSIONINFOEXW{};
    g_answer.dwOSVersionInfoSize = sizeof(g_answer);
    g_answer.dwMajorVersion = major;
    g_answer.dwMinorVersion = minor;
    g_answer.dwBuildNumber = build;
    g_answer.dwPlatformId = VER_PLATFORM_WIN32_NT;
    g_answer.wProductType = VER_NT_SERVER;
    g_answer.wSuiteMask = VER_SUITE_ENTERPRISE;
    g_answer.wServicePackMajor = 1;
    wcscpy(g_answer.szCSDVersion, L"Service Pack 1");
    g_answerResult = TRUE;
}
} // namespace

TEST(COSVersion, From62OnTheNumbersComeFromKernel32)
{
    CTraceCapture trace;
    CFaultInjector injector;
    injector.Replace("kernel32.dll", "GetVersionExW", &FakeGetVersionExW);

    Answer(6, 1, 7601);
    COSVersion version;
    ASSERT_TRUE(version.Retrieve());
    EXPECT_EQ(6u, version.dwMajorVersion);
    EXPECT_EQ(1u, version.dwMinorVersion);
    EXPECT_EQ(7601u, version.dwBuildNumber);
    EXPECT_TRUE(
        trace.Contains(L"COSVersion          : OS version returned by GetVersionEx API: Major 6 Minor 1 "
                       L"Build 7601"));
    EXPECT_TRUE(trace.Contains(L"OS product type: 0x03, platform id: 0x02, suite mask: 0x02"));
    EXPECT_FALSE(trace.Contains(L"kernel32")) << "below 6.2 the answer is real";

    DWORD major = 0, minor = 0, build = 0;
    Kernel32FileVersion(major, minor, build);
    Answer(6, 2, 9200);
    ASSERT_TRUE(version.Retrieve());
    EXPECT_EQ(major, version.dwMajorVersion);
    EXPECT_EQ(minor, version.dwMinorVersion);
    EXPECT_EQ(build, version.dwBuildNumber);
    EXPECT_EQ(VER_NT_SERVER, version.wProductType) << "everything else stays as reported";
    EXPECT_EQ(VER_SUITE_ENTERPRISE, version.wSuiteMask);
    EXPECT_EQ(1, version.wServicePackMajor);
    EXPECT_STREQ(L"Service Pack 1", version.szCSDVersion);
    wchar_t line[128];
    swprintf(line, 128, L"OS version read from kernel32.dll: Major %u Minor %u Build %u", major, minor,
             build);
    EXPECT_TRUE(
        trace.InOrder({L"Use file version info of kernel32.dll to retrieve the real OS version...", line}));

    g_answerResult = FALSE;
    EXPECT_FALSE(version.Retrieve());
}
