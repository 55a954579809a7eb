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
// A trace writing everything into dir\trace.log, with the limit given as the registry
// stores it.
struct FileTrace
{
    explicit FileTrace(const CTestDir& dir, DWORD limitValue = 0, DWORD prefixes = 0)
    {
        registry.application.SetDword(L"FileDebugLevel", 6).SetString(L"TraceFile", dir / L"trace.log");
        if (limitValue)
        {
            registry.application.SetDword(L"TraceFileLimit", limitValue);
        }
        if (prefixes)
        {
            registry.application.SetDword(L"DateStampOn", 1).SetDword(L"TimeStampOn", 1);
        }
    }
    TraceRegistry registry;
};

std::wstring Utf16(const std::vector<BYTE>& bytes, size_t from)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + from), (bytes.size() - from) / 2);
}
} // namespace

TEST(TraceFile, ANewFileIsUtf16WithMarkAndCrLf)
{
    CTestDir dir;
    FileTrace config(dir);
    {
        CTrace trace;
        trace.Print(1, L"\nTag                 : first %s", L"line");
        trace.Print(2, L"\nTag                 : second\nContinued");
    }
    const std::vector<BYTE> bytes = ReadFileBytes(dir / L"trace.log");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    EXPECT_EQ(L"\r\nTag                 : first line\r\nTag                 : second\r\nContinued",
              Utf16(bytes, 2));
}

TEST(TraceFile, LeadingLineFeedsComeBeforeThePrefixes)
{
    CTestDir dir;
    FileTrace config(dir, 0, 1);
    {
        CTrace trace;
        trace.Print(1, L"\n\nTag                 : text");
    }
    const std::wstring text = ReadUtf16File(dir / L"trace.log");
    // "\r\n\r\n[YYYY-MM-DD] [HH:MM:SS.mmm] Tag                 : text"
    ASSERT_EQ(4u + 13 + 15 + 26, text.size()) << Narrow(text);
    EXPECT_EQ(L"\r\n\r\n[", text.substr(0, 5));
    EXPECT_EQ(L'-', text[9]);
    EXPECT_EQ(L"] [", text.substr(15, 3));
    EXPECT_EQ(L'.', text[26]);
    EXPECT_EQ(L"] Tag                 : text", text.substr(30));
}

TEST(TraceFile, AFileWithoutMarkIsAppendedInAnsi)
{
    CTestDir dir;
    FileTrace config(dir);
    WriteFileBytes(dir / L"trace.log", std::string("old\r\n"));
    WriteFileBytes(dir / L"one.log", std::string("x"));
    {
        CTrace trace;
        trace.Print(1, L"\nnew %d", 1);
    }
    const std::vector<BYTE> bytes = ReadFileBytes(dir / L"trace.log");
    EXPECT_EQ("old\r\n\r\nnew 1", std::string(bytes.begin(), bytes.end()));

    // A one-byte file counts as ANSI too.
    config.registry.application.SetString(L"TraceFile", dir / L"one.log");
    {
        CTrace trace;
        trace.Print(1, L"\nnext");
    }
    const std::vector<BYTE> one = ReadFileBytes(dir / L"one.log");
    EXPECT_EQ("x\r\nnext", std::string(one.begin(), one.end()));
}

TEST(TraceFile, RotatesAtTheLimitKeepingTheLineThatReachedIt)
{
    CTestDir dir;
    FileTrace config(dir, 0x80001000); // 4,096 bytes
    WriteFileBytes(dir / L"trace.log.txt", std::string("older rotation"));
    const std::wstring line(100, L'x'); // "\r\n" and 100 characters: 204 bytes a line
    int written = 0;
    {
        CTrace trace;
        while (FileExists(dir / L"trace.log") || written == 0)
        {
            trace.Print(1, L"\n%s", line.c_str());
            ++written;
            ASSERT_LT(written, 100);
        }
        // The line that reached 4,096 bytes was written before the move: 2 + 21 * 204 bytes.
        EXPECT_EQ(21, written);
        trace.Print(1, L"\nfresh");
    }
    EXPECT_EQ(2u + 21 * 204, ReadFileBytes(dir / L"trace.log.txt").size())
        << "the older rotation is replaced";
    EXPECT_EQ(L"\r\nfresh", ReadUtf16File(dir / L"trace.log")) << "the next line starts a new wide file";
}

TEST(TraceFile, AFileThatCannotBeOpenedCostsOnlyItsLine)
{
    CTestDir dir;
    FileTrace config(dir);
    config.registry.application.SetDword(L"WinDebugLevel", 1);
    CTraceSinks sinks;
    CTrace trace;
    {
        // Held without sharing: the trace cannot open it.
        CFileHandle locked(CreateFileW((dir / L"trace.log").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(locked);
        SetLastError(0xdeadbeef);
        trace.Print(1, L"\nlost for the file");
        EXPECT_EQ(0xdeadbeefu, GetLastError());
    }
    trace.Print(1, L"\nwritten");
    EXPECT_EQ(2u, sinks.debugger.size()) << "the debugger got both lines";
    EXPECT_EQ(L"\r\nwritten", ReadUtf16File(dir / L"trace.log"));
}

TEST(TraceFile, TheMutexIsNamedAfterThePathAndWaitedForAtMost100ms)
{
    CTestDir dir;
    FileTrace config(dir);
    CTrace trace;
    std::wstring name = L"CFileDebug_" + (dir / L"trace.log");
    for (auto& c : name)
    {
        c = (c == L'\\' || c == L':') ? L'_' : static_cast<wchar_t>(towupper(c));
    }
    CKernelHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    ASSERT_TRUE(mutex) << Narrow(name);

    // Another writer holds the mutex: the line is written anyway after the wait.
    HANDLE raw = mutex.Get();
    std::thread holder([raw] {
        WaitForSingleObject(raw, INFINITE);
        Sleep(2000);
        ReleaseMutex(raw);
    });
    Sleep(200);
    const ULONGLONG start = GetTickCount64();
    trace.Print(1, L"\nwithout the mutex");
    const ULONGLONG waited = GetTickCount64() - start;
    holder.join();
    EXPECT_GE(waited, 90u);
    EXPECT_LT(waited, 1500u);
    EXPECT_EQ(L"\r\nwithout the mutex", ReadUtf16File(dir / L"trace.log"));

    // After a line the mutex is free again.
    trace.Print(1, L"\nsecond");
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(raw, 0));
    ReleaseMutex(raw);
}

TEST(TraceFile, TwoProcessesTracingIntoOneFileLoseNoLine)
{
    CTestDir dir;
    FileTrace config(dir);
    constexpr int kLines = 1500;
    const std::wstring writer = L"\"" + BinPath(L"trace_writer.exe") + L"\"";
    DWORD results[2] = {};
    std::thread first([&] { results[0] = RunProcess(writer + L" alpha " + std::to_wstring(kLines)); });
    std::thread second([&] { results[1] = RunProcess(writer + L" beta " + std::to_wstring(kLines)); });
    first.join();
    second.join();
    ASSERT_EQ(0u, results[0]);
    ASSERT_EQ(0u, results[1]);

    std::wstringstream text(ReadUtf16File(dir / L"trace.log"));
    std::set<std::wstring> seen;
    std::wstring line;
    size_t lines = 0;
    while (std::getline(text, line))
    {
        if (!line.empty() && line.back() == L'\r')
        {
            line.pop_back();
        }
        if (line.find(L" line ") == std::wstring::npos)
        {
            continue; // the library's own DllMain lines
        }
        ++lines;
        seen.insert(line);
    }
    EXPECT_EQ(2u * kLines, lines);
    EXPECT_EQ(2u * kLines, seen.size());
    EXPECT_EQ(1u, seen.count(L"alpha line 0"));
    EXPECT_EQ(1u, seen.count(L"beta line " + std::to_wstring(kLines - 1)));
}
