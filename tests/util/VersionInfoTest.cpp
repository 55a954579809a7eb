#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CFileVersionInfo.h"
#include "util/COSVersion.h"
#include <gtest/gtest.h>

namespace
{
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
} // namespace

TEST(Versions, ProductVersionOfTheFirstTranslationAndTheOSVersionFrom62OnFromKernel32)
{
    CTraceCapture trace;
    CFileVersionInfo info;
    std::wstring version;
    EXPECT_TRUE(info.Load(BinPath(L"util_tests.exe").c_str()) && info.QueryProductVersion(version));
    EXPECT_EQ(L"4.2.1?deutsch?", version);

    trace.Clear();
    CFileVersionInfo none;
    EXPECT_FALSE(none.Load(BinPath(L"msica_testable.dll").c_str()));
    EXPECT_FALSE(none.QueryProductVersion(version));
    EXPECT_EQ(1u, trace.Count(L"ERROR 0x")) << "only the size query's failure is traced";

    CFaultInjector injector;
    FAKE_IMPORT(injector, "kernel32.dll", GetVersionExW, [](OSVERSIONINFOW* info) {
        EXPECT_EQ(sizeof(OSVERSIONINFOEXW), info->dwOSVersionInfoSize);
        *reinterpret_cast<OSVERSIONINFOEXW*>(info) = g_answer;
        return BOOL{g_answer.dwOSVersionInfoSize != 0};
    });
    g_answer = {
        sizeof(g_answer), 6, 1, 1111, VER_PLATFORM_WIN32_NT, L"Service Pack 1", 1, 0, VER_SUITE_ENTERPRISE,
        VER_NT_SERVER,    0};
    COSVersion os;
    ASSERT_TRUE(os.Retrieve());
    EXPECT_EQ(Packed(6, 1, 1111), Packed(os.dwMajorVersion, os.dwMinorVersion, os.dwBuildNumber));
    g_answer.dwMinorVersion = 2; // from 6.2 on the answer is the compatibility layer's
    g_answer.dwBuildNumber = 2222;
    ASSERT_TRUE(os.Retrieve());
    EXPECT_EQ(Kernel32Version(), Packed(os.dwMajorVersion, os.dwMinorVersion, os.dwBuildNumber));
    EXPECT_TRUE(os.wProductType == VER_NT_SERVER && os.wSuiteMask == VER_SUITE_ENTERPRISE &&
                !wcscmp(L"Service Pack 1", os.szCSDVersion))
        << "everything else stays as reported";
    g_answer.dwOSVersionInfoSize = 0;
    EXPECT_FALSE(os.Retrieve());
}
