#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/CDirectory.h"
#include <gtest/gtest.h>
#include <map>

namespace
{
// Relative path -> content ("<dir>" for a directory) of everything below root.
using TreeListing = std::map<std::wstring, std::string>;

void ListTree(const std::wstring& root, const std::wstring& relative, TreeListing& listing)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((root + relative + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
    {
        return;
    }
    do
    {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
        {
            continue;
        }
        const std::wstring child = relative + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        {
            listing[child] = "<dir>";
            ListTree(root, child, listing);
        }
        else
        {
            const std::vector<BYTE> bytes = ReadFileBytes(root + child);
            listing[child] = std::string(bytes.begin(), bytes.end());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

TreeListing ListTree(const std::wstring& root)
{
    TreeListing listing;
    ListTree(root, L"", listing);
    return listing;
}

void MakeReadOnly(const std::wstring& path)
{
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY)) << Narrow(path);
}

bool IsReadOnly(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// A tree with nested folders, non-ASCII names, an empty folder, read-only files and a
// binary file larger than one copy buffer.
void BuildSampleTree(const std::wstring& root)
{
    for (const wchar_t* dir :
         {L"", L"\\Config", L"\\Config\\Caf\u00e9", L"\\Config\\Caf\u00e9\\\u8bbe\u7f6e", L"\\Empty"})
    {
        CreateDirectoryW((root + dir).c_str(), nullptr);
    }
    WriteFileBytes(root + L"\\top.ini", std::string("[Top]\r\nValue=1\r\n"));
    WriteFileBytes(root + L"\\Config\\CommonConfig.ccs", std::string("a=1\r\nb=\xE9\r\n"));
    WriteFileBytes(root + L"\\Config\\Caf\u00e9\\\u8bbe\u7f6e\\\u6570\u636e.dat", std::string(1, '\0'));
    std::string binary(300 * 1024, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
    {
        binary[i] = static_cast<char>((i * 7919) >> 3);
    }
    WriteFileBytes(root + L"\\Config\\blob.bin", binary);
    MakeReadOnly(root + L"\\top.ini");
    MakeReadOnly(root + L"\\Config\\Caf\u00e9\\\u8bbe\u7f6e\\\u6570\u636e.dat");
}
} // namespace

TEST(CDirectory, CreateDirMakesEveryMissingParent)
{
    CTestDir dir;
    CTraceCapture trace;
    const std::wstring deep = dir / L"a\\\u00e9t\u00e9\\\u4e2d\u6587\\d";
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(CreateDir(deep.c_str()));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError()) << "the error of the first attempt";
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(deep.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(3u, trace.Count(L"parent directory does not exist")) << "d, \u4e2d\u6587, \u00e9t\u00e9";
    EXPECT_TRUE(trace.Contains(L"CDirectory          : CreateDir (" + dir.Path() + L"\\a)"));

    trace.Clear();
    EXPECT_TRUE(CreateDir(deep.c_str()));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(trace.Contains(L"  already exists -> OK"));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateDir(nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    // A file where a parent should be: refused, no hang.
    WriteFileBytes(dir / L"file", std::string("x"));
    EXPECT_FALSE(CreateDir((dir / L"file\\sub\\sub").c_str()));

    // Close to MAX_PATH.
    std::wstring longPath = dir.Path();
    while (longPath.size() < 250)
    {
        longPath += L"\\" + std::wstring(12, L'L');
    }
    EXPECT_TRUE(CreateDir(longPath.c_str())) << longPath.size();
}

namespace
{
int g_createCalls = 0;

BOOL WINAPI AlwaysPathNotFound(LPCWSTR, LPSECURITY_ATTRIBUTES)
{
    ++g_createCalls;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
}
} // namespace

TEST(CDirectory, CreateDirGivesUpWhenTheParentStepCannotHelp)
{
    CFaultInjector injector;
    injector.Replace("kernel32.dll", "CreateDirectoryW", &AlwaysPathNotFound);
    g_createCalls = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CreateDir(L"nobackslash"));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ(1, g_createCalls);

    g_createCalls = 0;
    EXPECT_FALSE(CreateDir(L"C:\\a\\b"));
    EXPECT_EQ(3, g_createCalls) << "C:\\a\\b, C:\\a, C: - then no backslash is left";
}

namespace
{
// CopyFileW as Windows answers it: a read-only destination is refused. (Wine, run as
// root here, overwrites it.)
BOOL WINAPI RefusingReadOnlyCopyFileW(LPCWSTR source, LPCWSTR destination, BOOL failIfExists)
{
    if (IsReadOnly(destination))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto original = reinterpret_cast<decltype(&CopyFileW)>(CFaultInjector::Original("CopyFileW"));
    return original(source, destination, failIfExists);
}
} // namespace

TEST(CDirectory, CopyDirReproducesANestedTreeAndOverwrites)
{
    CTestDir dir;
    const std::wstring source = dir / L"source";
    const std::wstring target = dir / L"backup\\Sentrel";
    BuildSampleTree(source);
    CreateDir(target.c_str());
    WriteFileBytes(target + L"\\top.ini", std::string("stale content that is longer than the new one"));
    MakeReadOnly(target + L"\\top.ini");

    CTraceCapture trace;
    EXPECT_TRUE(CopyDir(source.c_str(), target.c_str()));
    EXPECT_EQ(ListTree(source), ListTree(target));
    EXPECT_TRUE(IsReadOnly(target + L"\\top.ini")) << "the copy keeps the source's attributes";
    EXPECT_TRUE(trace.Contains(L"Copy directory \"" + source + L"\" -->  \"" + target + L"\""));
    EXPECT_FALSE(trace.Contains(L"ERROR"));

    // Back again over the read-only copies, as the restore after a backup does.
    WriteFileBytes(target + L"\\Config\\CommonConfig.ccs", std::string("changed"));
    {
        CFaultInjector injector;
        injector.Replace("kernel32.dll", "CopyFileW", &RefusingReadOnlyCopyFileW);
        EXPECT_TRUE(CopyDir(target.c_str(), source.c_str()));
    }
    EXPECT_EQ(ListTree(target), ListTree(source));
    EXPECT_FALSE(trace.Contains(L"ERROR"));

    const std::wstring nowhere = dir / L"copy-of-nothing";
    EXPECT_TRUE(CopyDir((dir / L"missing").c_str(), nowhere.c_str()));
    EXPECT_FALSE(FileExists(nowhere)) << "a missing source creates nothing";
    EXPECT_FALSE(CopyDir(nullptr, nowhere.c_str()));
    EXPECT_FALSE(CopyDir(L"", nowhere.c_str()));
}

TEST(CDirectory, CopyDirTracesEachFailureAndGoesOn)
{
    CTestDir dir;
    const std::wstring source = dir / L"source";
    BuildSampleTree(source);
    // Open without sharing: the copy of this one file fails.
    HANDLE locked = CreateFileW((source + L"\\Config\\blob.bin").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    const std::wstring target = dir / L"target";
    CTraceCapture trace;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopyDir(source.c_str(), target.c_str()));
    EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(locked);
    EXPECT_TRUE(trace.Contains(L"ERROR 0x20! Failed to copy file : \"" + source +
                               L"\\Config\\blob.bin\" --> \"" + target + L"\\Config\\blob.bin\"!"));
    TreeListing expected = ListTree(source);
    expected.erase(L"\\Config\\blob.bin");
    EXPECT_EQ(expected, ListTree(target)) << "every other entry is copied";

    // A destination that cannot be created.
    WriteFileBytes(dir / L"file", std::string("x"));
    trace.Clear();
    EXPECT_FALSE(CopyDir(source.c_str(), (dir / L"file\\sub").c_str()));
    EXPECT_EQ(1u, trace.Count(L"ERROR 0x"));
}

TEST(CDirectory, CopyDirNearMaxPathCopiesOrTracesEveryFile)
{
    CTestDir dir;
    std::wstring source = dir / L"s";
    while (source.size() < 225)
    {
        source += L"\\" + std::wstring(10, L'n');
    }
    ASSERT_TRUE(CreateDir(source.c_str()));
    for (const wchar_t* name :
         {L"short.txt", L"a-name-that-reaches-259.txt", L"\u00e9\u4e2d-wide-name-beyond.txt"})
    {
        WriteFileBytes(source + L"\\" + name, Narrow(name));
    }
    const std::wstring target = dir / L"a-longer-destination-root";
    CTraceCapture trace;
    const bool copied = CopyDir((dir / L"s").c_str(), target.c_str());
    const TreeListing from = ListTree(dir / L"s");
    const TreeListing to = ListTree(target);
    for (const auto& [relative, content] : from)
    {
        const auto found = to.find(relative);
        const bool same = found != to.end() && found->second == content;
        EXPECT_TRUE(same || trace.Contains(target + relative)) << Narrow(relative);
    }
    EXPECT_EQ(copied, from == to);
    EXPECT_TRUE(RemoveDir(target.c_str(), true));
}

TEST(CDirectory, RemoveDirDeletesReadOnlyFilesWithAndWithoutTheTop)
{
    CTestDir dir;
    const std::wstring tree = dir / L"tree";
    BuildSampleTree(tree);
    CTraceCapture trace;
    EXPECT_TRUE(RemoveDir(tree.c_str(), false));
    EXPECT_TRUE(ListTree(tree).empty());
    EXPECT_TRUE(FileExists(tree)) << "the top directory stays";
    EXPECT_TRUE(trace.Contains(L"Removed 'read-only' file attribute to delete file 'top.ini'!"));
    EXPECT_TRUE(trace.Contains(L"Removed file \"" + tree +
                               L"\\Config\\Caf\u00e9\\\u8bbe\u7f6e\\\u6570\u636e.dat\" - OK!"));
    EXPECT_FALSE(trace.Contains(L"ERROR"));

    BuildSampleTree(tree);
    SetFileAttributesW((tree + L"\\Empty").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(RemoveDir(tree.c_str(), true));
    EXPECT_FALSE(FileExists(tree));
    EXPECT_TRUE(trace.Contains(L"Removed directory parent \"" + tree + L"\" - OK!"));
    EXPECT_FALSE(trace.Contains(L"ERROR"));

    EXPECT_FALSE(RemoveDir(nullptr, true));
    EXPECT_FALSE(RemoveDir(tree.c_str(), true)) << "already gone";
}

TEST(CDirectory, RemoveDirTracesAFileItCannotDeleteAndGoesOn)
{
    CTestDir dir;
    const std::wstring tree = dir / L"tree";
    BuildSampleTree(tree);
    const std::wstring held = tree + L"\\Config\\blob.bin";
    HANDLE file =
        CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CTraceCapture trace;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveDir(tree.c_str(), true));
    const DWORD error = GetLastError();
    CloseHandle(file);
    EXPECT_NE(0xdeadbeefu, error);
    EXPECT_TRUE(trace.Contains(L"FAILED to remove file \"" + held + L"\""));
    EXPECT_TRUE(trace.Contains(L"FAILED to remove directory \"" + tree + L"\\Config\""));
    EXPECT_TRUE(trace.Contains(L"FAILED to remove directory parent \"" + tree + L"\""));
    const TreeListing left = ListTree(tree);
    EXPECT_EQ(2u, left.size()) << "everything else is gone";
    EXPECT_EQ(1u, left.count(L"\\Config\\blob.bin"));
}
