#include "support/TraceCapture.h"
#include "support/ChildProcess.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

TEST(TraceFile, RotatesAtTheLimitKeepingTheLineThatReachedIt)
{
    CTestDir dir;
    FileTraceRegistry config(dir / L"trace.log", 0x80001000); // 4,096 bytes
    WriteFileBytes(dir / L"trace.log.txt", std::string("older rotation"));
    const std::wstring line(87, L'x'); // "\r\n" and 87 characters: 178 bytes
    CTrace trace;
    for (int i = 0; i < 23; ++i) // 2 + 23 * 178 = 4,096 bytes: exactly the limit
        trace.Print(1, L"\n%s", line.c_str());
    EXPECT_FALSE(FileExists(dir / L"trace.log"));
    EXPECT_EQ(4096u, ReadFileBytes(dir / L"trace.log.txt").size()) << "the older rotation is replaced";
    trace.Print(1, L"\nfresh");
    EXPECT_EQ(L"\r\nfresh", ReadUtf16File(dir / L"trace.log"));
}

// Another writer holds the mutex named after the path for longer than the wait.
TEST(TraceFile, ABusyMutexDelaysALineByAtMost100ms)
{
    CTestDir dir;
    FileTraceRegistry config(dir / L"trace.log");
    CTrace trace;
    std::wstring name = L"CFileDebug_" + (dir / L"trace.log");
    for (auto& c : name)
        c = (c == L'\\' || c == L':') ? L'_' : static_cast<wchar_t>(towupper(c));
    CKernelHandle mutex(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str()));
    ASSERT_TRUE(mutex) << Narrow(name);
    std::thread holder(
        [raw = mutex.Get()] { WaitForSingleObject(raw, INFINITE), Sleep(1500), ReleaseMutex(raw); });
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
    FileTraceRegistry config(dir / L"trace.log");
    constexpr int kLines = 1500;
    const std::wstring writer = L"\"" + BinPath(L"trace_writer.exe") + L"\" ";
    DWORD results[2] = {};
    std::thread alpha([&] { results[0] = RunProcess(writer + L"alpha " + std::to_wstring(kLines)); });
    results[1] = RunProcess(writer + L"beta " + std::to_wstring(kLines));
    alpha.join();
    ASSERT_EQ(0u, results[0] | results[1]);

    std::wstringstream text(ReadUtf16File(dir / L"trace.log"));
    std::set<std::wstring> lines; // each written once; the library's DllMain lines aside
    for (std::wstring line; std::getline(text, line);)
        EXPECT_TRUE(line.find(L" line ") == std::wstring::npos || lines.insert(line).second) << Narrow(line);
    EXPECT_EQ(2u * kLines, lines.size());
}

// As LocalSystem, a trace file that another account made a second name of (or a link to) one
// it cannot write must not be written through: neither the ordinary file nor the ring.
TEST(TraceFile, AFileWithASecondHardLinkIsNeverWritten)
{
    for (const DWORD mapped : {0, 1})
    {
        CTestDir dir;
        FileTraceRegistry config(dir / L"trace.log", 0x80001000, mapped);
        WriteFileBytes(dir / L"system.ini", std::string("not the trace's"));
        ASSERT_TRUE(CreateHardLinkW((dir / L"trace.log").c_str(), (dir / L"system.ini").c_str(), nullptr));
        CTraceCapture debugger(0);
        {
            CTrace trace;
            trace.Print(1, L"\nfirst");
            trace.Print(1, L"\nsecond");
        }
        EXPECT_EQ("not the trace's", ReadFileString(dir / L"system.ini")) << mapped;
        EXPECT_EQ(1u, debugger.Count(L"is not written: it has more than one hard link")) << mapped;
    }
}
