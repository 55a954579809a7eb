#include "support/FaultInjection.h"
#include "support/TestFiles.h"
#include "support/TraceCapture.h"
#include "util/TextFileConversion.h"
#include <gtest/gtest.h>

namespace
{
// FF FE and the UTF-16LE form of text whose characters are all below 0x100.
std::string Utf16(const std::string& text)
{
    std::string bytes("\xFF\xFE");
    for (char c : text)
        bytes.append({c, '\0'});
    return bytes;
}

std::wstring g_replacedFrom; // the converted file that the last replace was asked to move
} // namespace

TEST(TextFileConversion, ConvertsReadOnlyAnsiTextAndLeavesAMarkedFileAlone)
{
    CTestDir dir;
    CTraceCapture trace;
    const std::tuple<const wchar_t*, std::string, std::string> cases[] = {
        // name, input, output
        // CR LF to LF; Latin-1, a lone CR, a zero and ^Z kept as they are, up to a final CR.
        {L"mixed.ccs", std::string("a=1\r\nb=caf\xE9 \x80\r\nx\ry\0z\x1A\r", 22),
         Utf16(std::string("a=1\nb=caf\xE9 \x80\nx\ry\0z\x1A\r", 20))},
        {L"empty.ccs", "", "\xFF\xFE"},
        {L"one.ccs", "\xFF", Utf16("\xFF")},
        // CRs as the last byte of a 64 KiB read: one pairs with the next read's LF, one not.
        {L"boundary.ccs", std::string(65535, 'x') + "\r\n" + std::string(65534, 'y') + "\r\r\n",
         Utf16(std::string(65535, 'x') + "\n" + std::string(65534, 'y') + "\r\n")},
        {L"marked.ccs", Utf16("k=v\r\n"), Utf16("k=v\r\n")},
    };
    for (const auto& [name, input, output] : cases)
    {
        const std::wstring path = dir / name;
        WriteFileBytes(path, input);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
        const bool marked = input.compare(0, 2, "\xFF\xFE") == 0;
        EXPECT_EQ(marked, HasUtf16Bom(path.c_str())) << Narrow(name);
        EXPECT_EQ(!marked, ConvertToUtf16(path.c_str())) << Narrow(name);
        EXPECT_TRUE(output == ReadFileString(path)) << Narrow(name);
    }
    EXPECT_TRUE(trace.Contains(L"File \"" + dir / L"marked.ccs" + L"\" already has a UTF16 BOM"));

    // A missing file fails its mark check and then its input open, each with its own line.
    const std::wstring missing = dir / L"missing.ccs";
    EXPECT_FALSE(ConvertToUtf16(missing.c_str()));
    EXPECT_TRUE(trace.InOrder({L"CStdioFile          : ERROR 0x2! Failed to open file \"" + missing,
                               L"ERROR 0x2! Failed to open input file \"" + missing}));
}

TEST(TextFileConversion, TheGivenFileIsReplacedInOneStepAndNoConvertedCopyIsLeft)
{
    CTestDir dir;
    const std::wstring path = dir / L"CommonConfig.ccs";
    const std::string original = "a=1\r\nb=\xE9\r\n";
    WriteFileBytes(path, original);
    CTraceCapture trace;
    {
        CFaultInjector injector;
        // Only the mark fits on the disk.
        FAKE_IMPORT(injector, "kernel32.dll", WriteFile,
                    [](HANDLE file, auto data, DWORD bytes, auto... rest) {
                        SetLastError(ERROR_DISK_FULL);
                        return BOOL{bytes <= 2 && ORIGINAL(WriteFile)(file, data, bytes, rest...)};
                    });
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        EXPECT_EQ(original, ReadFileString(path)) << "a failed write leaves the file as it was";
        EXPECT_EQ(1u, trace.Count(L"ERROR 0x70! Failed to write output file"));
    }
    {
        // The replace fails: the file stays as it was, and so does its folder.
        CFaultInjector injector;
        FAKE_IMPORT(injector, "kernel32.dll", MoveFileExW, [](LPCWSTR from, LPCWSTR, DWORD) {
            g_replacedFrom = from;
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        });
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(ConvertToUtf16(path.c_str()));
        EXPECT_EQ(DWORD(ERROR_DISK_FULL), GetLastError());
    }
    EXPECT_EQ(original, ReadFileString(path));
    EXPECT_EQ(dir.Path(), g_replacedFrom.substr(0, g_replacedFrom.rfind(L'\\')))
        << "converted beside the file, not in the temporary directory every user can write into";
    EXPECT_EQ(TreeListing({{L"\\CommonConfig.ccs", original}}), ListTree(dir.Path()))
        << "no converted file left";
    EXPECT_TRUE(ConvertToUtf16(path.c_str()));
    EXPECT_EQ(TreeListing({{L"\\CommonConfig.ccs", Utf16("a=1\nb=\xE9\n")}}), ListTree(dir.Path()));

    WriteFileBytes(dir / L"other", std::string("x"));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(CopyFileNoOverwrite((dir / L"other").c_str(), path.c_str()));
    EXPECT_EQ(DWORD(ERROR_FILE_EXISTS), GetLastError());
}
