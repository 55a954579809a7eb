#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/TextFileConversion.h"
#include <gtest/gtest.h>

namespace
{
std::string Bytes(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// FF FE and the UTF-16LE form of text whose characters are all below 0x100.
std::string Utf16(const std::string& text)
{
    std::string bytes("\xFF\xFE");
    for (char c : text)
    {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

// The temporary file that a trace line names between the first pair of quotes after marker.
std::wstring QuotedAfter(const std::wstring& text, const std::wstring& marker)
{
    const size_t at = text.find(marker);
    if (at == std::wstring::npos)
    {
        return std::wstring();
    }
    const size_t open = text.find(L'"', at);
    const size_t close = text.find(L'"', open + 1);
    return text.substr(open + 1, close - open - 1);
}
} // namespace

TEST(TextFileConversion, ConvertsAnsiTextToUtf16)
{
    CTestDir dir;
    const struct
    {
        const char* name;
        std::string input;
        std::string output;
    } cases[] = {
        {"crlf.ccs", "a=1\r\nb=2\r\n", Utf16("a=1\nb=2\n")},
        {"latin1.ccs", "caf\xE9", Utf16("caf\xE9")},
        {"empty.ccs", "", "\xFF\xFE"},
        {"one.ccs", "x", Utf16("x")},
        {"lone-cr.ccs", "x\ry\r", Utf16("x\ry\r")},
        {"zero-byte.ccs", std::string("a\0b\n", 4), Utf16(std::string("a\0b\n", 4))},
    };
    for (const auto& c : cases)
    {
        const std::wstring path = dir / std::wstring(c.name, c.name + strlen(c.name));
        WriteFileBytes(path, c.input);
        EXPECT_FALSE(HasUtf16Bom(path.c_str())) << c.name;
        EXPECT_TRUE(ConvertToUtf16(path.c_str())) << c.name;
        EXPECT_EQ(c.output, Bytes(path)) << c.name;
        EXPECT_TRUE(HasUtf16Bom(path.c_str())) << c.name;
    }

    // More than one read's worth, with CR LF pairs across every boundary.
    std::string big;
    std::string expected;
    for (int line = 0; big.size() < 300 * 1024; ++line)
    {
        const std::string text = "Key" + std::to_string(line) + "=" + std::string(line % 97, '\xC4');
        big += text + "\r\n";
        expected += text + "\n";
    }
    const std::wstring bigPath = dir / L"big.ccs";
    WriteFileBytes(bigPath, big);
    EXPECT_TRUE(ConvertToUtf16(bigPath.c_str()));
    EXPECT_TRUE(Bytes(bigPath) == Utf16(expected));

    const std::wstring readOnly = dir / L"readonly.ccs";
    WriteFileBytes(readOnly, std::string("r=1\r\n"));
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(ConvertToUtf16(readOnly.c_str())) << "a read-only file is replaced all the same";
    EXPECT_EQ(Utf16("r=1\n"), Bytes(readOnly));
}

TEST(TextFileConversion, LeavesAMarkedOrMissingFileAlone)
{
    CTestDir dir;
    CTraceCapture trace;
    const std::wstring marked = dir / L"marked.ccs";
    const std::string content = Utf16("k=v\r\n");
    WriteFileBytes(marked, content);
    EXPECT_TRUE(HasUtf16Bom(marked.c_str()));
    EXPECT_FALSE(ConvertToUtf16(marked.c_str()));
    EXPECT_EQ(content, Bytes(marked));
    EXPECT_TRUE(trace.Contains(L"File \"" + marked + L"\" already has a UTF16 BOM"));

    const std::wstring half = dir / L"half.ccs";
    WriteFileBytes(half, std::string("\xFF"));
    EXPECT_FALSE(HasUtf16Bom(half.c_str()));
    WriteFileBytes(half, std::string("\xFE\xFF"));
    EXPECT_FALSE(HasUtf16Bom(half.c_str())) << "big-endian mark";

    const std::wstring missing = dir / L"missing.ccs";
    trace.Clear();
    EXPECT_FALSE(HasUtf16Bom(missing.c_str()));
    EXPECT_FALSE(ConvertToUtf16(missing.c_str()));
    EXPECT_EQ(2u, trace.Count(L"CStdioFile          : ERROR 0x2! Failed to open file \"" + missing + L"\""));
    EXPECT_FALSE(FileExists(missing));
    EXPECT_FALSE(HasUtf16Bom(nullptr));
    EXPECT_FALSE(ConvertToUtf16(L""));
}

namespace
{
BOOL WINAPI FailingCopyFileW(LPCWSTR, LPCWSTR, BOOL)
{
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

BOOL WINAPI FailingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

UINT WINAPI FailingGetTempFileNameW(LPCWSTR, LPCWSTR, UINT, LPWSTR)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}
} // namespace

TEST(TextFileConversion, FailuresLeaveWhatTheyShould)
{
    CTestDir dir;
    const std::wstring path = dir / L"CommonConfig.ccs";
    const std::string original = "a=1\r\nb=\xE9\r\n";
    CTraceCapture trace;
    {
        // The final copy fails after the delete: the converted text survives in the temporary file.
        WriteFileBytes(path, original);
        CFaultInjector injector;
        injector.Replace("kernel32.dll", "CopyFileW", &FailingCopyFileW);
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        EXPECT_EQ(DWORD(ERROR_DISK_FULL), GetLastError());
        EXPECT_FALSE(FileExists(path));
        EXPECT_TRUE(
            trace.Contains(L"CFile               : Existing destination file \"" + path + L"\" deleted!"));
        const std::wstring temp = QuotedAfter(trace.Text(), L"ERROR 0x70! Failed to copy converted file");
        ASSERT_FALSE(temp.empty());
        EXPECT_EQ(Utf16("a=1\nb=\xE9\n"), Bytes(temp));
        DeleteFileW(temp.c_str());
    }
    {
        // A failed write leaves the given file as it was.
        WriteFileBytes(path, original);
        trace.Clear();
        CFaultInjector injector;
        injector.Replace("kernel32.dll", "WriteFile", &FailingWriteFile);
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        EXPECT_EQ(original, Bytes(path));
        EXPECT_EQ(1u, trace.Count(L"ERROR 0x70! Failed to write output file"));
    }
    {
        trace.Clear();
        CFaultInjector injector;
        injector.Replace("kernel32.dll", "GetTempFileNameW", &FailingGetTempFileNameW);
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        EXPECT_EQ(original, Bytes(path));
        EXPECT_TRUE(trace.Contains(L"ERROR 0x5! Failed to create temp file name"));
    }
    {
        // Held open without delete sharing: the delete fails, so the copy refuses to overwrite.
        trace.Clear();
        HANDLE held =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        CloseHandle(held);
        EXPECT_EQ(original, Bytes(path));
        EXPECT_FALSE(trace.Contains(L"deleted!"));
        EXPECT_TRUE(trace.Contains(L"ERROR 0x50! Failed to copy converted file"));
    }
}

TEST(TextFileConversion, RemoveFileAndCopyFileNoOverwrite)
{
    CTestDir dir;
    const std::wstring file = dir / L"file.txt";
    const std::wstring copy = dir / L"copy.txt";
    WriteFileBytes(file, std::string("one"));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);

    EXPECT_TRUE(CopyFileNoOverwrite(file.c_str(), copy.c_str()));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopyFileNoOverwrite(file.c_str(), copy.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_FALSE(CopyFileNoOverwrite(L"", copy.c_str()));
    EXPECT_FALSE(CopyFileNoOverwrite(file.c_str(), nullptr));

    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveFile(file.c_str(), false));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(RemoveFile(file.c_str(), true));
    EXPECT_FALSE(FileExists(file));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(RemoveFile(file.c_str(), true));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(RemoveFile(nullptr, true));
}
