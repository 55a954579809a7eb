#include "support/FaultInjection.h"
#include "support/TestRegistry.h"
#include "util/CRegistryKey.h"
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace
{
const wchar_t kTestKey[] = L"SOFTWARE\\MsiCATest\\RegistryKey";
const wchar_t* const kBadText = reinterpret_cast<const wchar_t*>(16);

std::wstring TextOf(const BYTE* data)
{
    return data ? reinterpret_cast<const wchar_t*>(data) : L"<null>";
}
} // namespace

TEST(CRegistryKey, QueryValueReadsAndExpands)
{
    CTestKey test(kTestKey);
    test.SetString(L"Plain", L"C:\\Plain").SetString(L"Expand", L"%SystemRoot%\\x", REG_EXPAND_SZ);
    const wchar_t noTerminator[] = L"ABC";
    test.SetBytes(L"NoTerminator", noTerminator, 6, REG_SZ);
    test.SetBytes(L"OddBytes", noTerminator, 5, REG_SZ);
    test.SetString(L"Empty", L"");

    CRegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(kTestKey, KEY_READ));
    EXPECT_EQ(L"C:\\Plain", TextOf(key.QueryValue(L"Plain")));
    EXPECT_EQ(DWORD(REG_SZ), key.DataType());
    EXPECT_EQ(18u, key.DataSize());

    wchar_t windows[MAX_PATH];
    ASSERT_NE(0u, GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH));
    EXPECT_EQ(std::wstring(windows) + L"\\x", TextOf(key.QueryValue(L"Expand")));
    EXPECT_EQ(DWORD(REG_EXPAND_SZ), key.DataType());
    EXPECT_EQ(30u, key.DataSize()) << "the size the registry reported, not the expanded one";
    key.SetExpand(false);
    EXPECT_EQ(L"%SystemRoot%\\x", TextOf(key.QueryValue(L"Expand")));
    key.SetExpand(true);

    // Wine reports room for a terminator; Windows reports the stored bytes (see below).
    EXPECT_EQ(L"ABC", TextOf(key.QueryValue(L"NoTerminator")));
    EXPECT_GE(key.DataSize(), 6u);
    EXPECT_EQ(L"", TextOf(key.QueryValue(L"Empty")));
    EXPECT_EQ(ERROR_SUCCESS, key.Status());

    EXPECT_EQ(nullptr, key.QueryValue(L"Missing"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Status());
    EXPECT_EQ(0u, key.DataSize());
    EXPECT_STREQ(L"", key.Text());
}

namespace
{
// RegQueryValueExW as Windows answers for a string stored without its terminator: exactly
// the stored bytes, nothing added. The bytes are "ABC" with the last one cut to its low half.
DWORD g_storedBytes = 0;

LONG WINAPI FakeUnterminatedQuery(HKEY, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    static const wchar_t stored[] = L"ABC";
    if (type)
    {
        *type = REG_SZ;
    }
    if (data)
    {
        if (*size < g_storedBytes)
        {
            return ERROR_MORE_DATA;
        }
        memcpy(data, stored, g_storedBytes);
    }
    *size = g_storedBytes;
    return ERROR_SUCCESS;
}
} // namespace

TEST(CRegistryKey, StringWithoutTerminatorEndsAtTheBlocksEnd)
{
    CTestKey test(kTestKey);
    CRegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(kTestKey, KEY_READ));
    CFaultInjector injector;
    injector.Replace("advapi32.dll", "RegQueryValueExW", &FakeUnterminatedQuery);
    g_storedBytes = 6;
    EXPECT_EQ(L"ABC", TextOf(key.QueryValue(L"Any")));
    EXPECT_EQ(6u, key.DataSize());
    g_storedBytes = 5;
    EXPECT_EQ(L"ABC", TextOf(key.QueryValue(L"Any"))) << "the half character reads as a whole one";
    EXPECT_EQ(5u, key.DataSize());
    EXPECT_EQ(ERROR_SUCCESS, key.Status());
}

TEST(CRegistryKey, WithoutAKeyEveryOperationGivesInvalidHandle)
{
    CRegistryKey key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(L"SOFTWARE\\MsiCATest\\Missing", KEY_READ));
    EXPECT_FALSE(key.IsOpen());

    DWORD value = 0x1234;
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.QueryDword(value, L"Any"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Status()) << "QueryDword without a key leaves the status";
    EXPECT_EQ(0x1234u, value);

    EXPECT_EQ(nullptr, key.QueryValue(L"Any"));
    EXPECT_EQ(0u, key.DataSize());
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.SetDword(L"Any", 1));
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.Status());
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.SetString(L"Any", L"x"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.DeleteValue(L"Any"));
}

TEST(CRegistryKey, DescendsWritesAndReadsBack)
{
    CTestKey test(std::wstring(kTestKey) + L"\\Child");
    CRegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(kTestKey, KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    ASSERT_EQ(ERROR_SUCCESS, key.Open(L"Child", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.Open(L"Missing", KEY_READ));
    EXPECT_TRUE(key.IsOpen()) << "a failed descent keeps the held key";

    EXPECT_EQ(ERROR_SUCCESS, key.SetDword(L"Number", 0xCAFE));
    EXPECT_EQ(ERROR_SUCCESS, key.SetString(L"Text", L"Wert"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.SetString(nullptr, L"x"));
    EXPECT_EQ(ERROR_INVALID_HANDLE, key.SetString(L"Text", nullptr));

    DWORD number = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.QueryDword(number, L"Number"));
    EXPECT_EQ(0xCAFEu, number);
    EXPECT_EQ(DWORD(REG_DWORD), key.DataType());
    EXPECT_EQ(4u, key.DataSize());
    EXPECT_EQ(ERROR_MORE_DATA, key.QueryDword(number, L"Text")) << "only four bytes are offered";

    const std::wstring path = test.Path();
    std::wstring text;
    ASSERT_TRUE(ReadStringValue(path, L"Text", text));
    EXPECT_EQ(L"Wert", text);
    key.QueryValue(L"Text");
    EXPECT_EQ(10u, key.DataSize()) << "the text is written with its terminator";

    EXPECT_EQ(ERROR_SUCCESS, key.DeleteValue(L"Number"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.DeleteValue(L"Number"));
    EXPECT_FALSE(ReadDwordValue(path, L"Number", number));
}

namespace
{
std::vector<REGSAM> g_openAccess;

LONG WINAPI DenyThe64BitView(HKEY parent, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    g_openAccess.push_back(access);
    if (access & KEY_WOW64_64KEY)
    {
        return ERROR_ACCESS_DENIED;
    }
    auto original = reinterpret_cast<decltype(&RegOpenKeyExW)>(CFaultInjector::Original("RegOpenKeyExW"));
    return original(parent, subKey, options, access, result);
}
} // namespace

TEST(CRegistryKey, AccessDeniedRetriesWithoutThe64BitViewAndFaultsGive574)
{
    CTestKey test(kTestKey);
    {
        CFaultInjector injector;
        injector.Replace("advapi32.dll", "RegOpenKeyExW", &DenyThe64BitView);
        g_openAccess.clear();
        CRegistryKey key;
        EXPECT_EQ(ERROR_SUCCESS, key.Open(kTestKey, KEY_READ | KEY_WOW64_64KEY));
        ASSERT_EQ(2u, g_openAccess.size());
        EXPECT_EQ(REGSAM(KEY_READ | KEY_WOW64_64KEY), g_openAccess[0]);
        EXPECT_EQ(REGSAM(KEY_READ), g_openAccess[1]);

        g_openAccess.clear();
        CRegistryKey other;
        EXPECT_EQ(ERROR_SUCCESS, other.Open(kTestKey, KEY_READ));
        EXPECT_EQ(1u, g_openAccess.size()) << "no retry without the 64-bit view bit";
    }

    CRegistryKey key;
    ASSERT_EQ(ERROR_SUCCESS, key.Open(kTestKey, KEY_ALL_ACCESS));
    EXPECT_EQ(LONG(ERROR_UNHANDLED_EXCEPTION), key.SetString(L"Bad", kBadText));
    EXPECT_EQ(LONG(ERROR_UNHANDLED_EXCEPTION), key.Status());
    EXPECT_EQ(nullptr, key.QueryValue(kBadText));
    EXPECT_EQ(LONG(ERROR_UNHANDLED_EXCEPTION), key.Status());
    EXPECT_EQ(ERROR_SUCCESS, key.SetDword(L"After", 1)) << "the holder stays usable after a fault";
}
