#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "util/CRegistryKey.h"
#include "util/ProductLocations.h"
#include <gtest/gtest.h>
#include <cstring>

namespace
{
const wchar_t kUuidKey[] = L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25";
const wchar_t kCoreKey[] = L"SOFTWARE\\MsiCATest\\Core";
const wchar_t kMiniNtKey[] = L"SYSTEM\\CurrentControlSet\\Control\\MiniNT";

std::wstring Location(const wchar_t* (*get)(std::wstring&))
{
    std::wstring out = L"stale";
    return get(out);
}

DWORD g_storedBytes = 0; // of "ABC" as the fake registry value holds it
} // namespace

TEST(ProductLocations, RedirectViewsExpansionAndFallbacks)
{
    DeleteKeyTree(kUuidKey);
    EXPECT_EQ(L"SOFTWARE\\Arvetta\\Management\\Sentrel", Location(GetSentrelRegistryKey));
    CTestKey uuid(kUuidKey);
    uuid.SetString(L"Sentrel", kCoreKey);
    EXPECT_EQ(kCoreKey, Location(GetSentrelRegistryKey));
    EXPECT_EQ(BinDir(), Location(GetFileRoot)) << "no FileRoot: the folder of the host's executable";
    const std::wstring setup = std::wstring(kCoreKey) + L"\\Setup";
    {
        CTestKey only32(setup, KEY_WOW64_32KEY);
        only32.SetString(L"FileRoot", L"C:\\Program Files (x86)\\X\\");
        EXPECT_EQ(L"C:\\Program Files (x86)\\X", Location(GetFileRoot)) << "in the 32-bit view only";
    }
    CTestKey key(setup);
    key.SetString(L"FileRoot", L"C:\\");
    EXPECT_EQ(L"C:\\", Location(GetFileRoot)) << "a root keeps its backslash";
    CTestDir dir;
    SetEnvironmentVariableW(L"MSICA_TEST_ROOT", dir.Path().c_str());
    key.SetString(L"FileRoot", L"%MSICA_TEST_ROOT%\\", REG_EXPAND_SZ);
    EXPECT_EQ(dir.Path(), Location(GetFileRoot));

    std::wstring temp;
    ASSERT_TRUE(GetTempDirectory(temp));
    temp.pop_back();
    EXPECT_EQ(temp, Location(GetDataRoot)) << "FileRoot\\Data does not exist";
    WriteFileBytes(dir / L"Data", std::string("a file, not a folder"));
    EXPECT_EQ(temp, Location(GetDataRoot));
    DeleteFileW((dir / L"Data").c_str());
    ASSERT_TRUE(CreateDirectoryW((dir / L"Data").c_str(), nullptr));
    EXPECT_EQ(dir / L"Data", Location(GetDataRoot));
    CTestKey data(std::wstring(kCoreKey) + L"\\DATA");
    data.SetString(L"DataRoot", L"E:\\SentrelData\\");
    EXPECT_EQ(L"E:\\SentrelData", Location(GetDataRoot));
    SetEnvironmentVariableW(L"MSICA_TEST_ROOT", nullptr);

    DeleteKeyTree(kMiniNtKey);
    EXPECT_FALSE(IsWinPE());
    EXPECT_TRUE((CTestKey(kMiniNtKey), IsWinPE()));
}

TEST(CRegistryKey, WithoutAKeyWithoutATerminatorAndAfterAFault)
{
    CRegistryKey key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(L"SOFTWARE\\MsiCATest\\Missing", KEY_READ));
    DWORD value = 0x1234;
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.QueryDword(value, L"Any"));
    EXPECT_TRUE(key.Status() == ERROR_FILE_NOT_FOUND && value == 0x1234) << "status and value left";

    CTestKey test(L"SOFTWARE\\MsiCATest\\RegistryKey");
    ASSERT_EQ(ERROR_SUCCESS, key.Open(test.Path().c_str(), KEY_ALL_ACCESS));
    EXPECT_EQ(ERROR_SUCCESS, key.SetString(L"Text", L"Wert"));
    EXPECT_STREQ(L"Wert", reinterpret_cast<const wchar_t*>(key.QueryValue(L"Text")));
    const wchar_t* const badText = reinterpret_cast<const wchar_t*>(16);
    EXPECT_EQ(LONG(ERROR_UNHANDLED_EXCEPTION), key.SetString(L"Bad", badText));
    EXPECT_TRUE(!key.QueryValue(badText) && key.Status() == LONG(ERROR_UNHANDLED_EXCEPTION));
    EXPECT_EQ(ERROR_SUCCESS, key.SetDword(L"After", 1)) << "the holder stays usable after a fault";

    CFaultInjector injector;
    // "ABC" stored without its terminator: exactly the stored bytes. (A real value is hard to
    // store so: RegSetValueExW adds a terminator that follows the text in memory.)
    FAKE_IMPORT(injector, "advapi32.dll", RegQueryValueExW,
                [](HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE data, LPDWORD size) {
                    if (data)
                        memcpy(data, L"ABC", g_storedBytes);
                    *size = g_storedBytes;
                    return LONG{ERROR_SUCCESS};
                });
    for (DWORD bytes : {6u, 5u}) // 5: the last character cut to its low half
    {
        g_storedBytes = bytes;
        EXPECT_NE(nullptr, key.QueryValue(L"Any"));
        EXPECT_STREQ(L"ABC", key.Text()) << bytes;
        EXPECT_EQ(bytes, key.DataSize());
    }
}
