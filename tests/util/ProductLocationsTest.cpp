#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "util/ProductLocations.h"
#include <gtest/gtest.h>
#include <sddl.h>
#include <vector>

namespace
{
const wchar_t kUuidKey[] = L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25";
const wchar_t kDefaultKey[] = L"SOFTWARE\\Arvetta\\Management\\Sentrel";
const wchar_t kRedirected[] = L"SOFTWARE\\MsiCATest\\Core";
const wchar_t kMiniNtKey[] = L"SYSTEM\\CurrentControlSet\\Control\\MiniNT";

std::wstring SentrelKey()
{
    std::wstring key;
    GetSentrelRegistryKey(key);
    return key;
}
std::wstring FileRoot()
{
    std::wstring root = L"stale";
    GetFileRoot(root);
    return root;
}
std::wstring DataRoot()
{
    std::wstring root = L"stale";
    GetDataRoot(root);
    return root;
}
std::wstring TempWithoutBackslash()
{
    std::wstring temp;
    EXPECT_TRUE(GetTempDirectory(temp));
    EXPECT_EQ(L'\\', temp.back());
    temp.pop_back();
    return temp;
}
} // namespace

namespace
{
std::vector<REGSAM> g_openAccess;

LONG WINAPI HideFromThe64BitView(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    g_openAccess.push_back(access);
    if (!(access & KEY_WOW64_32KEY))
    {
        return ERROR_FILE_NOT_FOUND;
    }
    auto original = reinterpret_cast<decltype(&RegOpenKeyExW)>(CFaultInjector::Original("RegOpenKeyExW"));
    return original(parent, subKey, options, access, result);
}
} // namespace

TEST(ProductLocations, SentrelKeyFollowsTheUuidRedirectInEitherView)
{
    DeleteKeyTree(kUuidKey);
    EXPECT_EQ(kDefaultKey, SentrelKey());
    {
        CTestKey uuid(kUuidKey);
        EXPECT_EQ(kDefaultKey, SentrelKey()) << "a key without the value";
        uuid.SetString(L"Sentrel", kRedirected);
        EXPECT_EQ(kRedirected, SentrelKey());
        uuid.SetString(L"Sentrel", L"SOFTWARE\\%MSICA_TEST_VENDOR%\\Core", REG_EXPAND_SZ);
        SetEnvironmentVariableW(L"MSICA_TEST_VENDOR", L"Expanded");
        EXPECT_EQ(L"SOFTWARE\\Expanded\\Core", SentrelKey());
        SetEnvironmentVariableW(L"MSICA_TEST_VENDOR", nullptr);
    }
    {
        // HKLM\SYSTEM is one key in both views, so the 64-bit view's miss is injected.
        CTestKey uuid(kUuidKey);
        uuid.SetString(L"Sentrel", L"SOFTWARE\\MsiCATest\\Core32");
        CFaultInjector injector;
        injector.Replace("advapi32.dll", "RegOpenKeyExW", &HideFromThe64BitView);
        g_openAccess.clear();
        EXPECT_EQ(L"SOFTWARE\\MsiCATest\\Core32", SentrelKey());
        EXPECT_EQ((std::vector<REGSAM>{KEY_READ, KEY_READ | KEY_WOW64_32KEY}), g_openAccess);
    }
    EXPECT_EQ(kDefaultKey, SentrelKey());
}

TEST(ProductLocations, FileRootFromTheRegistryEitherViewOrTheHostFolder)
{
    CTestKey uuid(kUuidKey);
    uuid.SetString(L"Sentrel", kRedirected);
    const std::wstring setup = std::wstring(kRedirected) + L"\\Setup";

    EXPECT_EQ(BinDir(), FileRoot()) << "no FileRoot: the folder of the process's executable";
    {
        CTestKey key(setup);
        key.SetString(L"FileRoot", L"C:\\Program Files\\X\\");
        EXPECT_EQ(L"C:\\Program Files\\X", FileRoot());
        key.SetString(L"FileRoot", L"C:\\");
        EXPECT_EQ(L"C:\\", FileRoot());
        key.SetString(L"FileRoot", L"%MSICA_TEST_ROOT%\\Sentrel\\", REG_EXPAND_SZ);
        SetEnvironmentVariableW(L"MSICA_TEST_ROOT", L"D:\\Apps");
        EXPECT_EQ(L"D:\\Apps\\Sentrel", FileRoot());
        SetEnvironmentVariableW(L"MSICA_TEST_ROOT", nullptr);
    }
    {
        CTestKey key32(setup, KEY_WOW64_32KEY);
        key32.SetString(L"FileRoot", L"C:\\Program Files (x86)\\X");
        EXPECT_EQ(L"C:\\Program Files (x86)\\X", FileRoot()) << "present in the 32-bit view only";
    }

    std::wstring out;
    EXPECT_FALSE(ReadRegistryString(nullptr, L"FileRoot", out));
    EXPECT_FALSE(ReadRegistryString(setup.c_str(), nullptr, out));
    out = L"unchanged";
    EXPECT_FALSE(ReadRegistryString(setup.c_str(), L"FileRoot", out));
    EXPECT_EQ(L"unchanged", out);
}

namespace
{
std::wstring g_imagePath;

DWORD WINAPI FakeGetModuleFileNameW(HMODULE, LPWSTR buffer, DWORD size)
{
    if (g_imagePath.size() + 1 > size)
    {
        // As Windows does: the truncated text, the buffer size and ERROR_INSUFFICIENT_BUFFER.
        std::copy_n(g_imagePath.c_str(), size - 1, buffer);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy_n(g_imagePath.c_str(), g_imagePath.size() + 1, buffer);
    return static_cast<DWORD>(g_imagePath.size());
}

DWORD WINAPI FakeLongGetTempPathW(DWORD, LPWSTR)
{
    return 300;
}
} // namespace

TEST(ProductLocations, ImagePathOfAnyLengthAndTheTempDirectory)
{
    DeleteKeyTree(kUuidKey);
    DeleteKeyTree(std::wstring(kDefaultKey) + L"\\Setup");
    CFaultInjector injector;
    injector.Replace("kernel32.dll", "GetModuleFileNameW", &FakeGetModuleFileNameW);

    g_imagePath = L"C:\\msiexec.exe";
    EXPECT_EQ(L"C:", FileRoot()) << "an executable directly in C:\\ gives C:";

    g_imagePath = L"C:\\" + std::wstring(600, L'd') + L"\\host.exe";
    std::wstring image;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetProcessImagePath(image));
    EXPECT_EQ(g_imagePath, image);
    EXPECT_EQ(L"C:\\" + std::wstring(600, L'd'), FileRoot());

    g_imagePath.clear();
    EXPECT_FALSE(GetProcessImagePath(image));

    std::wstring temp;
    EXPECT_TRUE(GetTempDirectory(temp));
    injector.Replace("kernel32.dll", "GetTempPathW", &FakeLongGetTempPathW);
    EXPECT_FALSE(GetTempDirectory(temp)) << "a temporary path that does not fit";
    EXPECT_TRUE(temp.empty());
}

TEST(ProductLocations, DataRootFallsBackToFileRootDataThenTemp)
{
    CTestKey uuid(kUuidKey);
    uuid.SetString(L"Sentrel", kRedirected);
    CTestDir dir;
    CTestKey setup(std::wstring(kRedirected) + L"\\Setup");
    setup.SetString(L"FileRoot", dir.Path() + L"\\");

    EXPECT_EQ(TempWithoutBackslash(), DataRoot()) << "FileRoot\\Data does not exist";
    WriteFileBytes(dir / L"Data", std::string("a file, not a folder"));
    EXPECT_EQ(TempWithoutBackslash(), DataRoot());
    DeleteFileW((dir / L"Data").c_str());
    ASSERT_TRUE(CreateDirectoryW((dir / L"Data").c_str(), nullptr));
    EXPECT_EQ(dir / L"Data", DataRoot());

    CTestKey data(std::wstring(kRedirected) + L"\\DATA");
    data.SetString(L"DataRoot", L"E:\\SentrelData\\");
    EXPECT_EQ(L"E:\\SentrelData", DataRoot());
}

TEST(ProductLocations, PathHelpers)
{
    const struct
    {
        const wchar_t* path;
        const wchar_t* withoutLast;
        const wchar_t* stripped;
    } cases[] = {
        {L"C:\\a\\b", L"C:\\a", L"C:\\a\\b"},
        {L"C:\\a\\b\\", L"C:\\a", L"C:\\a\\b"},
        {L"C:\\x.exe", L"C:", L"C:\\x.exe"},
        {L"C:\\", L"C:\\", L"C:\\"},
        {L"\\top", L"\\top", L"\\top"},
        {L"name", L"name", L"name"},
        {L"", L"", L""},
        {L"ab\\", L"ab\\", L"ab\\"},
        {L"abc\\", L"abc\\", L"abc"},
        {L"\\\\srv\\share\\", L"\\\\srv", L"\\\\srv\\share"},
    };
    for (const auto& c : cases)
    {
        std::wstring path = c.path;
        RemoveLastPathComponent(path);
        EXPECT_EQ(c.withoutLast, path) << Narrow(c.path);
        path = c.path;
        StripTrailingBackslash(path);
        EXPECT_EQ(c.stripped, path) << Narrow(c.path);
    }
}

TEST(ProductLocations, IsWinPEOnlyWhenTheMiniNTKeyOpensWithFullAccess)
{
    DeleteKeyTree(kMiniNtKey);
    EXPECT_FALSE(IsWinPE());
    CTestKey miniNt(kMiniNtKey);
    EXPECT_TRUE(IsWinPE());

    // Readable by everyone, writable by no one: the key exists but full access is refused.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMiniNtKey, 0, KEY_ALL_ACCESS, &key));
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1,
                                                                     &readOnly, nullptr));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                     &open, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, readOnly));
    EXPECT_FALSE(IsWinPE());
    EXPECT_TRUE(KeyExists(kMiniNtKey));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, open));
    RegCloseKey(key);
    LocalFree(readOnly);
    LocalFree(open);
}
