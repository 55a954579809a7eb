#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CFileVersionInfo.h"
#include <gtest/gtest.h>

namespace
{
CFileVersionInfo LoadStandin(const wchar_t* name)
{
    CFileVersionInfo info;
    info.Load(BinPath(name).c_str());
    return info;
}

std::wstring SystemDirectory()
{
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return dir;
}
} // namespace

TEST(CFileVersionInfo, ProductVersionOfTheFirstTranslation)
{
    CTraceCapture trace;
    std::wstring version;
    CFileVersionInfo german = LoadStandin(L"version_german.dll");
    ASSERT_FALSE(german.Data().empty());
    EXPECT_TRUE(german.QueryProductVersion(version));
    EXPECT_EQ(L"4.2.1 (deutsch)", version);
    EXPECT_TRUE(trace.Contains(L"CFileVersionInfo    : Query version info string "
                               L"\"\\StringFileInfo\\040704E4\\ProductVersion\""));
    EXPECT_TRUE(trace.Contains(L"CVersionResource    : ... version info entry found (Return: Lang ID 0x0407, "
                               L"Code page 1252)!"));

    CFileVersionInfo several = LoadStandin(L"version_several.dll");
    EXPECT_TRUE(several.QueryProductVersion(version));
    EXPECT_EQ(L"7.0 en", version);
    EXPECT_TRUE(trace.Contains(L"Version resource contains 3 language(s):"));
    WORD language = 0x0407;
    WORD codePage = 0;
    EXPECT_TRUE(several.ContainsLangId(language, codePage));
    EXPECT_EQ(1252, codePage);
    language = 0x0411;
    codePage = 77;
    EXPECT_FALSE(several.ContainsLangId(language, codePage));
    EXPECT_EQ(0x0411, language);
    EXPECT_EQ(77, codePage);
    EXPECT_TRUE(trace.Contains(L"... version info entry NOT found (Return: Lang ID 0x0411, Code page 77)!"));

    CFileVersionInfo control = LoadStandin(L"version_control.dll");
    EXPECT_TRUE(control.QueryProductVersion(version));
    EXPECT_EQ(L"5.0?beta?", version);
    EXPECT_TRUE(trace.Contains(L"Version info string for \"ProductVersion\": \"5.0?beta?\""));

    trace.Clear();
    CFileVersionInfo none = LoadStandin(L"version_none.dll");
    EXPECT_TRUE(none.Data().empty());
    version = L"kept";
    EXPECT_FALSE(none.QueryProductVersion(version));
    EXPECT_EQ(L"kept", version);
    EXPECT_EQ(1u, trace.Count(L"ERROR 0x")) << "only the size query's failure is traced";
    VS_FIXEDFILEINFO fixed{};
    EXPECT_FALSE(none.QueryFixedFileInfo(fixed));
}

TEST(CFileVersionInfo, FromALoadedModule)
{
    HMODULE module = LoadLibraryW(BinPath(L"version_several.dll").c_str());
    ASSERT_NE(nullptr, module);
    CFileVersionInfo info(module);
    FreeLibrary(module);
    EXPECT_EQ(BinPath(L"version_several.dll"), info.Path());
    VS_FIXEDFILEINFO fixed{};
    ASSERT_TRUE(info.QueryFixedFileInfo(fixed));
    EXPECT_EQ(0x00070000u, fixed.dwFileVersionMS);
    EXPECT_EQ(0x00000001u, fixed.dwFileVersionLS);
}

TEST(CFileVersionInfo, MissingFileIsLookedForInTheWow64SystemDirectoryOnly)
{
    CTraceCapture trace;
    const std::wstring missing = BinPath(L"no_such_module.dll");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(0u, CFileVersionInfo::GetVersionInfoSize(missing.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_TRUE(trace.Contains(L"System dir is: \"" + SystemDirectory() + L"\""));
    EXPECT_FALSE(trace.Contains(L"Module system location"));
    EXPECT_TRUE(trace.Contains(L"CFileVersionInfo    : ERROR 0x2! GetFileVersionInfoSize() (\"" + missing +
                               L"\") FAILED!"));

    wchar_t wow64Dir[MAX_PATH];
    ASSERT_NE(0u, GetSystemWow64DirectoryW(wow64Dir, MAX_PATH));
    CreateDirectoryW(wow64Dir, nullptr);
    const std::wstring placed = std::wstring(wow64Dir) + L"\\msica_wow64_probe.dll";
    ASSERT_TRUE(CopyFileW(BinPath(L"version_german.dll").c_str(), placed.c_str(), FALSE));
    const std::wstring asked = SystemDirectory() + L"\\msica_wow64_probe.dll";

    trace.Clear();
    EXPECT_NE(0u, CFileVersionInfo::GetVersionInfoSize(asked.c_str()));
    EXPECT_TRUE(trace.InOrder({L"System dir is:", L"Module system location is: \"\\msica_wow64_probe.dll\"",
                               L"Check WOW64 system path: \"" + placed + L"\""}));
    CFileVersionInfo info;
    EXPECT_TRUE(info.Load(asked.c_str()));
    std::wstring version;
    EXPECT_TRUE(info.QueryProductVersion(version));
    EXPECT_EQ(L"4.2.1 (deutsch)", version);

    std::wstring otherCase = asked;
    CharUpperW(&otherCase[0]);
    EXPECT_EQ(0u, CFileVersionInfo::GetVersionInfoSize(otherCase.c_str()))
        << "the prefix is compared as it is";
    DeleteFileW(placed.c_str());

    BYTE buffer[16];
    EXPECT_EQ(0u, CFileVersionInfo::GetVersionInfoSize(nullptr));
    EXPECT_FALSE(CFileVersionInfo::ReadVersionInfo(nullptr, buffer, sizeof(buffer)));
    EXPECT_FALSE(CFileVersionInfo::ReadVersionInfo(L"", buffer, sizeof(buffer)));
    EXPECT_FALSE(CFileVersionInfo::ReadVersionInfo(asked.c_str(), nullptr, sizeof(buffer)));
    EXPECT_FALSE(CFileVersionInfo::ReadVersionInfo(asked.c_str(), buffer, 0));
}

TEST(CFileVersionInfo, MakePrintable)
{
    std::wstring text = L"1.0.0 (x64) \u00e9\u4e2d";
    EXPECT_TRUE(CFileVersionInfo::MakePrintable(text));
    EXPECT_EQ(L"1.0.0 (x64) \u00e9\u4e2d", text);
    text = std::wstring(L"a\tb\rc\x7f") + L'\0' + L"d";
    EXPECT_FALSE(CFileVersionInfo::MakePrintable(text));
    EXPECT_EQ(std::wstring(L"a?b?c??d"), text);
}
