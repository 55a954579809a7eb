#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CDirectory.h"
#include <gtest/gtest.h>

namespace
{
// A folder of the sample tree with non-ASCII names, its path near MAX_PATH.
std::wstring DeepFolder(const std::wstring& root)
{
    std::wstring deep = root + L"\\Config\\Caf\u00e9";
    while (deep.size() < 220)
        deep += L"\\\u8bbe\u7f6e-\u00e9t\u00e9";
    return deep;
}

// Nested folders, a read-only empty folder, read-only files and a file name beyond 260
// characters in a copy below a longer root.
void BuildSampleTree(const std::wstring& root)
{
    const std::wstring deepFile = DeepFolder(root) + L"\\\u6570\u636e-a-name-that-reaches-259.dat";
    CreateDir(DeepFolder(root).c_str());
    CreateDir((root + L"\\Empty").c_str());
    WriteFileBytes(root + L"\\top.ini", std::string("[Top]\r\nValue=1\r\n"));
    WriteFileBytes(root + L"\\Config\\CommonConfig.ccs", std::string(70000, '\xE9'));
    WriteFileBytes(deepFile, std::string(1, '\0'));
    for (const std::wstring& readOnly : {root + L"\\top.ini", deepFile, root + L"\\Empty"})
        SetFileAttributesW(readOnly.c_str(), GetFileAttributesW(readOnly.c_str()) | FILE_ATTRIBUTE_READONLY);
}

std::wstring g_walked; // the folder the removal empties, and the error of its renaming
DWORD g_renameError;
} // namespace

TEST(CDirectory, CopyADeepTreeOverReadOnlyFilesThenRemoveItWithAndWithoutTheTop)
{
    CTestDir dir;
    const std::wstring source = dir / L"source", target = dir / L"backup\\Sentrel";
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CreateDir(DeepFolder(source).c_str()) && GetLastError() == ERROR_PATH_NOT_FOUND)
        << "the error of the first attempt";
    EXPECT_TRUE(CreateDir(DeepFolder(source).c_str()) && GetLastError() == ERROR_ALREADY_EXISTS);
    BuildSampleTree(source);
    CreateDir(target.c_str());
    WriteFileBytes(target + L"\\top.ini", std::string("stale content that is longer than the new one"));
    SetFileAttributesW((target + L"\\top.ini").c_str(), FILE_ATTRIBUTE_READONLY);
    CTraceCapture trace;
    {
        CFaultInjector injector;
        // As Windows answers: a read-only destination is refused. (Wine, run as root here,
        // overwrites it.)
        FAKE_IMPORT(injector, "kernel32.dll", CopyFileW,
                    [](LPCWSTR source, LPCWSTR destination, BOOL failIfExists) {
                        const DWORD attributes = GetFileAttributesW(destination);
                        SetLastError(ERROR_ACCESS_DENIED);
                        return BOOL{(attributes == INVALID_FILE_ATTRIBUTES ||
                                     !(attributes & FILE_ATTRIBUTE_READONLY)) &&
                                    ORIGINAL(CopyFileW)(source, destination, failIfExists)};
                    });
        EXPECT_TRUE(CopyDir(source.c_str(), target.c_str()) && CopyDir(source.c_str(), target.c_str()));
    }
    EXPECT_EQ(ListTree(source), ListTree(target));

    const std::wstring nowhere = dir / L"copy-of-nothing";
    EXPECT_TRUE(CopyDir((dir / L"missing").c_str(), nowhere.c_str()));
    EXPECT_FALSE(FileExists(nowhere)) << "a missing source creates nothing";
    EXPECT_FALSE(CopyDir(L"", nowhere.c_str())) << "not the root of the current drive";

    EXPECT_TRUE(RemoveDir(target.c_str(), false));
    EXPECT_TRUE(FileExists(target) && ListTree(target).empty()) << "only the top directory stays";
    EXPECT_TRUE(RemoveDir(source.c_str(), true) && !FileExists(source));
    EXPECT_FALSE(trace.Contains(L"ERROR"));
}

TEST(CDirectory, FailuresAreTracedAndTheWalkGoesOn)
{
    CTestDir dir;
    const std::wstring source = dir / L"source", target = dir / L"target";
    BuildSampleTree(source);
    const std::wstring locked = source + L"\\Config\\CommonConfig.ccs";
    // The target's own copy of the file that cannot be copied stays as it was.
    CreateDir((target + L"\\Config").c_str());
    WriteFileBytes(target + L"\\Config\\CommonConfig.ccs", std::string("the customer's"));
    TreeListing expected = ListTree(source);
    expected[L"\\Config\\CommonConfig.ccs"] = "the customer's";
    // Open without sharing: it can be neither copied nor deleted.
    HANDLE file = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CTraceCapture trace;
    EXPECT_TRUE(!CopyDir(source.c_str(), target.c_str()) && GetLastError() == ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(trace.Contains(L"ERROR 0x20! Failed to copy file : \"" + locked + L"\" --> \"" + target +
                               L"\\Config\\CommonConfig.ccs\"!"));
    EXPECT_EQ(expected, ListTree(target)) << "every other entry is copied, the existing file kept";

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveDir(source.c_str(), true));
    EXPECT_NE(0xdeadbeefu, GetLastError());
    CloseHandle(file);
    EXPECT_TRUE(trace.Contains(L"FAILED to remove file \"" + locked + L"\""));
    EXPECT_TRUE(trace.Contains(L"FAILED to remove directory \"" + source + L"\\Config\""));
    EXPECT_TRUE(trace.Contains(L"FAILED to remove directory parent \"" + source + L"\""));
    EXPECT_EQ(2u, ListTree(source).size()) << "only the held file and its folder are left";

    // A file where the destination's parent should be: one line, no endless retry.
    WriteFileBytes(dir / L"file", std::string("x"));
    trace.Clear();
    EXPECT_FALSE(CopyDir(target.c_str(), (dir / L"file\\sub").c_str()));
    EXPECT_EQ(1u, trace.Count(L"ERROR 0x"));
}

TEST(CDirectory, ARemovalNeverWalksThroughAFolderSwappedForALink)
{
    CTestDir dir;
    const std::wstring planted = dir / L"planted";
    g_walked = planted + L"\\Walked";
    for (const std::wstring& folder : {planted + L"\\Swapped", g_walked})
    {
        CreateDir(folder.c_str());
        WriteFileBytes(folder + L"\\victim.txt", std::string("behind the link"));
    }
    CFaultInjector injector;
    // Another account's moves while the removal walks a folder it planted: "Swapped" becomes a
    // link once listed, and the folder being emptied is to be renamed away.
    FAKE_IMPORT(injector, "kernel32.dll", GetFileInformationByHandle, [](HANDLE file, auto information) {
        wchar_t path[MAX_PATH] = L"";
        GetFinalPathNameByHandleW(file, path, MAX_PATH, 0);
        const BOOL got = ORIGINAL(GetFileInformationByHandle)(file, information);
        if (wcsstr(path, L"\\Swapped"))
            information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        return got;
    });
    FAKE_IMPORT(injector, "kernel32.dll", FindFirstFileW, [](LPCWSTR pattern, LPWIN32_FIND_DATAW entry) {
        if (g_walked + L"\\*" == pattern)
            g_renameError =
                MoveFileExW(g_walked.c_str(), (g_walked + L"-moved").c_str(), 0) ? 0 : GetLastError();
        return ORIGINAL(FindFirstFileW)(pattern, entry);
    });
    g_renameError = 0xdeadbeef;
    EXPECT_FALSE(RemoveDir(planted.c_str(), true));
    EXPECT_EQ("behind the link", ListTree(planted)[L"\\Swapped\\victim.txt"]);
    EXPECT_NE(0u, g_renameError) << "the folder being emptied could be renamed and replaced";
    EXPECT_FALSE(FileExists(g_walked)) << "emptied and removed";
}
