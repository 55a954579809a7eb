#include "TraceSinks.h"
#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

namespace
{
// A trace writing everything into dir\trace.log; limit as the registry stores it.
struct FileTrace
{
    explicit FileTrace(const CTestDir& dir, DWORD limit = 0)
    {
        registry.application.SetDword(L"FileDebugLevel", 6).SetString(L"TraceFile", dir / L"trace.log");
        if (limit)
        {
            registry.application.SetDword(L"TraceFileLimit", limit);
        }
    }
    TraceRegistry registry;
};

std::string Bytes(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}
} // namespace

TEST(TraceFile, ANewFileIsUtf16WithMarkCrLfAndLineFeedsBeforeThePrefixes)
{
    CTestDir dir;
    FileTrace config(dir);
    config.registry.application.SetDword(L"DateStampOn", 1).SetDword(L"TimeStampOn", 1);
    {
        CTrace trace;
        trace.Print(1, L"\n\nTag                 : %s\nContinued", L"text");
    }
    EXPECT_EQ("\xFF\xFE", Bytes(dir / L"trace.log").substr(0, 2));
    const std::wstring text = ReadUtf16File(dir / L"trace.log");
    // "\r\n\r\n[YYYY-MM-DD] [HH:MM:SS.mmm] Tag                 : text\r\nContinued"
    ASSERT_EQ(4u + 13 + 15 + 26 + 11, text.size()) << Narrow(text);
    EXPECT_EQ(L"\r\n\r\n[", text.substr(0, 5));
    EXPECT_EQ(L"] [", text.substr(15, 3));
    EXPECT_EQ(L"] Tag                 : text\r\nContinued", text.substr(30));
}

TEST(TraceFile, AFileWithoutMarkIsAppendedInAnsi)
{
    CTestDir dir;
    FileTrace config(dir);
    for (const std::string old : {"old\r\n", "x"}) // a one-byte file is ANSI too
    {
        WriteFileBytes(dir / L"trace.log", old);
        {
            CTrace trace;
            trace.Print(1, L"\nnew %d", 1);
        }
        EXPECT_EQ(old + "\r\nnew 1", Bytes(dir / L"trace.log"));
    }
}

TEST(TraceFile, RotatesAtTheLimitKeepingTheLineThatReachedIt)
{
    CTestDir dir;
    FileTrace config(dir, 0x80001000); // 4,096 bytes
    WriteFileBytes(dir / L"trace.log.txt", std::string("older rotation"));
    const std::wstring line(100, L'x'); // "\r\n" and 100 characters: 204 bytes a line
    {
        CTrace trace;
        for (int i = 0; i < 21; ++i) // 2 + 21 * 204 = 4,286 bytes: the 21st reaches the limit
        {
            EXPECT_TRUE(FileExists(dir / L"trace.log") || i == 0) << i;
            trace.Print(1, L"\n%s", line.c_str());
        }
        EXPECT_FALSE(FileExists(dir / L"trace.log"));
        trace.Print(1, L"\nfresh");
    }
    EXPECT_EQ(2u + 21 * 204, ReadFileBytes(dir / L"trace.log.txt").size())
        << "the older rotation is replaced";
    EXPECT_EQ(L"\r\nfresh", ReadUtf16File(dir / L"trace.log"));
}

TEST(TraceFile, ABusyMutexDelaysALineByAtMost100ms)
{
    CTestDir dir;
    FileTrace config(dir);
    CTrace trace;
    // The mutex is named after the path; another writer holds it for longer than the wait.
    std::wstring name = L"CFileDebug_" + (dir / L"trace.log");
    for (auto& c : name)
    {
        c = (c == L'\\' || c == L':') ? L'_' : static_cast<wchar_t>(towupper(c));
    }
    CKernelHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    ASSERT_TRUE(mutex) << Narrow(name);
    std::thread holder([raw = mutex.Get()] {
        WaitForSingleObject(raw, INFINITE);
        Sleep(1500);
        ReleaseMutex(raw);
    });
    Sleep(200);
    const ULONGLONG start = GetTickCount64();
    trace.Print(1, L"\nwritten anyway");
    const ULONGLONG waited = GetTickCount64() - start;
    holder.join();
    EXPECT_TRUE(waited >= 90 && waited < 1000) << waited;
    EXPECT_EQ(L"\r\nwritten anyway", ReadUtf16File(dir / L"trace.log"));
}

TEST(TraceFile, TwoProcessesTracingIntoOneFileLoseNoLine)
{
    CTestDir dir;
    FileTrace config(dir);
    constexpr int kLines = 1500;
    const std::wstring writer = L"\"" + BinPath(L"trace_writer.exe") + L"\" ";
    DWORD results[2] = {};
    std::thread alpha([&] { results[0] = RunProcess(writer + L"alpha " + std::to_wstring(kLines)); });
    results[1] = RunProcess(writer + L"beta " + std::to_wstring(kLines));
    alpha.join();
    ASSERT_EQ(0u, results[0] | results[1]);

    std::wstringstream text(ReadUtf16File(dir / L"trace.log"));
    std::multiset<std::wstring> lines;
    for (std::wstring line; std::getline(text, line);)
    {
        if (line.find(L" line ") != std::wstring::npos) // not the library's own DllMain lines
        {
            lines.insert(line.substr(0, line.find(L'\r')));
        }
    }
    EXPECT_EQ(2u * kLines, lines.size());
    EXPECT_EQ(2u * kLines, std::set<std::wstring>(lines.begin(), lines.end()).size());
    EXPECT_EQ(1u, lines.count(L"beta line 1499"));
}
