#include "support/ChildProcess.h"
#include "support/FaultInjection.h"
#include "support/PlantedSecurity.h"
#include "support/TestDevices.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TraceCapture.h"
#include "util/CUniqueHandle.h"
#include "trace/CTrace.h"
#include "util/CProtectedAccess.h"
#include <gtest/gtest.h>
#include <sddl.h>
#include <set>
#include <setupapi.h>
#include <algorithm>
#include <sstream>

// MsiCATool on traces that the library itself wrote, configured as a customer's machine is.

namespace
{
// MsiCATool's exit code and what it wrote to its standard output and error.
struct ToolRun
{
    DWORD exitCode;
    std::string output, errors;
};

// Runs MsiCATool with its standard output (unless output is given) and error in files of the
// test's folder, and meanwhile while it runs.
ToolRun RunTool(const CTestDir& dir, const std::wstring& arguments,
                const std::function<void()>& meanwhile = {}, HANDLE output = nullptr)
{
    const std::wstring outputFile = dir / L"tool-output.txt", errorFile = dir / L"tool-errors.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    auto create = [&](const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    };
    DWORD exitCode = 0;
    {
        const CKernelHandle file(create(outputFile)), errors(create(errorFile));
        exitCode = RunProcess(L"\"" + BinPath(L"MsiCATool.exe") + L"\" " + arguments, 60000, meanwhile,
                              output ? output : file.Get(), errors.Get());
    }
    return {exitCode, ReadFileString(outputFile), ReadFileString(errorFile)};
}

// Standard output of a run that succeeded.
std::string ToolOutput(const CTestDir& dir, const std::wstring& arguments)
{
    const ToolRun run = RunTool(dir, arguments);
    EXPECT_EQ(0u, run.exitCode) << run.errors;
    return run.output;
}

// Removes the whole trace configuration before and after a test.
struct CleanTraceKeys
{
    CleanTraceKeys() { DeleteKeyTree(L"SOFTWARE\\Debug"); }
    ~CleanTraceKeys() { DeleteKeyTree(L"SOFTWARE\\Debug"); }
};

std::wstring LineText(int number)
{
    return L"line " + std::to_wstring(number) + L" " + std::wstring(30, L'x');
}

void PrintLines(CTrace& trace, int first, int count)
{
    for (int n = first; n < first + count; ++n)
        trace.Print(1, L"\n%s", LineText(n).c_str());
}

// The numbers of the output's lines, each of which must be a whole line; the oldest text
// of a wrapped ring may begin inside a line, which is left out then. An open ring cannot
// tell where its last round ended when that round filled it to its last characters: a
// line there may carry up to eight older characters (counted in seams).
std::vector<int> LineNumbers(const std::string& output, bool cutStartAllowed, int* seams = nullptr)
{
    std::vector<int> numbers;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const int number = line.rfind("line ", 0) == 0 ? atoi(line.c_str() + 5) : -1;
        const std::string expected = number >= 0 ? Narrow(LineText(number)) : "";
        const bool seam = seams && number >= 0 && line != expected && line.rfind(expected, 0) == 0 &&
                          line.size() - expected.size() <= 8;
        if (seam)
            ++*seams;
        if ((number >= 0 && expected == line) || seam)
            numbers.push_back(number);
        else if (!line.empty() && !(cutStartAllowed && numbers.empty()))
            numbers.push_back(-1);
    }
    return numbers;
}

// Lines first..last, each once and in order.
void ExpectConsecutive(const std::vector<int>& numbers, int first, int last, const char* what)
{
    ASSERT_FALSE(numbers.empty()) << what;
    std::vector<int> expected;
    for (int n = first < 0 ? numbers.front() : first; n <= last; ++n)
        expected.push_back(n);
    EXPECT_EQ(expected, numbers) << what;
}
} // namespace

TEST(MsiCATool, ReadsRingsAndOrdinaryFilesInTimeOrder)
{
    struct Case
    {
        const char* name;
        bool ring;
        DWORD limit;
        int lines;
        const wchar_t* options;
        bool allKept;
    } cases[] = {
        {"ordinary UTF-16 file", false, 1 << 20, 100, L"", true},
        {"ring never wrapped", true, 65536, 100, L"", true},
        {"ring wrapped in a line's text", true, 4096, 60, L"", false},
        {"ring wrapped twice", true, 4096, 130, L"", false},
        {"rotated pair, both", false, 4096, 60, L" --rotated", true},
        {"rotated pair, newer only", false, 4096, 60, L"", false},
    };
    for (const Case& c : cases)
    {
        CTestDir dir;
        FileTraceRegistry config(dir / L"trace.log", 0x80000000u | c.limit, c.ring);
        const std::wstring command = L"read \"" + dir / L"trace.log\"" + c.options;
        auto check = [&](const std::string& output, bool open) {
            int seams = 0;
            const std::vector<int> numbers = LineNumbers(output, c.ring, open ? &seams : nullptr);
            ExpectConsecutive(numbers, c.allKept ? 0 : -1, c.lines - 1, c.name);
            EXPECT_EQ(c.allKept, numbers.front() == 0) << c.name;
            EXPECT_EQ(std::string::npos, output.find("[EOF]")) << c.name;
            EXPECT_LE(seams, 1) << c.name;
        };
        {
            CTrace trace;
            PrintLines(trace, 0, c.lines);
            if (c.ring)
                check(ToolOutput(dir, command), true); // mapped at its full size
        }
        check(ToolOutput(dir, command), false);
    }
}

TEST(MsiCATool, ReadsAnAnsiFileAndKeepsTheMarkedLinesInOrder)
{
    CTestDir dir;
    const std::wstring path = dir / L"trace.log";
    WriteFileBytes(path, std::string("x")); // too short for a mark: ANSI, and the library appends so
    FileTraceRegistry config(path, 0x80000000u | (1 << 20));
    const wchar_t* lines[] = {L"CFoo : ERROR 0x5! e", L"CFoo : fine", L"CFoo : WARNING! w",
                              L"CFoo : ## FATAL ERROR! f", L"CFoo : done"};
    std::string all = "x";
    {
        CTrace trace;
        for (const wchar_t* line : lines)
            trace.Print(1, L"\n%s", line), all += "\r\n" + Narrow(line);
    }
    EXPECT_EQ(all + "\r\n", ToolOutput(dir, L"read \"" + path + L"\""));
    EXPECT_EQ(Narrow(lines[0]) + "\r\n" + Narrow(lines[2]) + "\r\n" + Narrow(lines[3]) + "\r\n",
              ToolOutput(dir, L"read --errors \"" + path + L"\""));
    EXPECT_EQ(Narrow(lines[1]) + "\r\n" + Narrow(lines[4]) + "\r\n",
              ToolOutput(dir, L"read \"" + path + L"\" --find FINE,Done --ignore-case"));
}

// While the library writes, the tool follows an ordinary file across its rotations and a
// ring across its wraps, and loses no line.
TEST(MsiCATool, FollowsAGrowingTraceAcrossRotationsAndWraps)
{
    for (const bool ring : {false, true})
    {
        CTestDir dir;
        FileTraceRegistry config(dir / L"trace.log", 0x80000000u | 4096, ring);
        const ToolRun tool = RunTool(dir, L"read --follow --seconds 8 \"" + dir / L"trace.log\"", [] {
            Sleep(1500);
            CTrace trace;
            for (int batch = 0; batch < 40; ++batch)
                PrintLines(trace, batch * 4, 4), Sleep(100);
        });
        EXPECT_EQ(0u, tool.exitCode);
        int seams = 0;
        ExpectConsecutive(LineNumbers(tool.output, false, ring ? &seams : nullptr), 0, 159,
                          ring ? "ring" : "ordinary");
        EXPECT_LE(seams, 4); // one per wrap at most
    }
}

// Like tail -f: the last lines first, then what is written, until the reader closes the pipe.
TEST(MsiCATool, FollowsFromTheLastLinesUntilItsReaderCloses)
{
    CTestDir dir;
    FileTraceRegistry config(dir / L"trace.log", 0x80000000u | (1 << 20));
    CTrace trace;
    PrintLines(trace, 0, 20);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    CKernelHandle reader(readEnd), writer(writeEnd);
    std::string output;
    auto readUntil = [&](const std::string& line) {
        char buffer[4096];
        DWORD size = 0;
        while (output.find(line) == std::string::npos &&
               ReadFile(readEnd, buffer, sizeof(buffer), &size, nullptr))
            output.append(buffer, size);
    };
    const ToolRun tool = RunTool(
        dir, L"read --follow --lines 3 \"" + dir / L"trace.log\"",
        [&] {
            writer.Reset();
            readUntil(Narrow(LineText(19)));
            PrintLines(trace, 20, 5);
            readUntil(Narrow(LineText(24)));
            reader.Reset();
        },
        writeEnd);
    ExpectConsecutive(LineNumbers(output, false), 17, 24, "the last 3, then the new");
    EXPECT_EQ(0u, tool.exitCode) << "ends once its output is closed";
}

TEST(MsiCATool, TurnsTheTraceOnAndOffAsTheLibraryReadsIt)
{
    CleanTraceKeys clean;
    CTestDir dir;
    SetEnvironmentVariableW(L"TRACE_DIR", dir.Path().c_str()); // the tool's too
    EXPECT_EQ(0u,
              RunTool(dir, L"Trace ON --Sink RING,debugger,msilog /LEVEL:3 --limit 4k --prefix Date,THREAD "
                           L"--path %TRACE_DIR%\\ring.log")
                  .exitCode);
    {
        CTrace trace;
        EXPECT_EQ(3u, trace.FileLevel());
        EXPECT_TRUE(trace.IsMemoryMapped());
        EXPECT_EQ(4096u, trace.FileSizeLimit());
        EXPECT_EQ(dir / L"ring.log", trace.FilePath());
        EXPECT_EQ(0u, trace.ConsoleLevel());
        EXPECT_EQ(3u, trace.DebuggerLevel());
        EXPECT_EQ(3u, trace.MsiLogLevel());
        trace.Print(3, L"\nshown");
    }
    const std::wstring written = ReadUtf16File(dir / L"ring.log");
    EXPECT_EQ(0u, written.find(L"\r\n[20")) << Narrow(written);
    EXPECT_NE(std::wstring::npos, written.find(L") shown")) << Narrow(written);
    const std::string shown = ToolOutput(dir, L"trace show");
    EXPECT_NE(std::string::npos, shown.find("MsiCA trace: on")) << shown;
    EXPECT_NE(std::string::npos, shown.find("TraceFile = %TRACE_DIR%\\ring.log  [REG_EXPAND_SZ]")) << shown;
    EXPECT_EQ(0u, RunTool(dir, L"trace on --limit 10M --path \"" + dir / L"t.log\"").exitCode);
    EXPECT_EQ(10u << 20, CTrace().FileSizeLimit());
}

// The global key is every tracing application's: trace on overrides no one's choice unasked,
// and trace off puts back what it changed.
TEST(MsiCATool, TraceOnAndOffLeaveTheSharedSwitchesAsTheyFoundThem)
{
    CTestDir dir;
    auto valueOf = [](const wchar_t* name) {
        DWORD value = 0;
        return ReadDwordValue(L"SOFTWARE\\Debug", name, value) ? static_cast<int>(value) : -1;
    };
    const struct
    {
        const char* name;
        int enabled, dynamic; // before; -1: absent
        const wchar_t* options;
        DWORD exitCode;
        int enabledOn, dynamicOn;
    } rows[] = {
        {"absent stays absent", -1, -1, L"", 0, -1, -1},
        {"another's 0 is kept", 0, 60, L"", 1, 0, 60},
        {"--force sets it to 1", 0, 60, L"--FORCE --dynamic 30", 0, 1, 30},
        {"--dynamic 0 removes it", 1, 60, L"--dynamic 0", 0, 1, -1},
    };
    for (const auto& row : rows)
    {
        CleanTraceKeys clean;
        CTestKey global(L"SOFTWARE\\Debug");
        for (const auto& [name, value] :
             {std::pair(L"TraceEnabled", row.enabled), {L"DynamicUpdate", row.dynamic}})
            if (value >= 0)
                global.SetDword(name, value);
        const ToolRun on = RunTool(dir, L"trace on --path \"" + dir / L"t.log\" " + row.options);
        EXPECT_EQ(row.exitCode, on.exitCode) << row.name;
        EXPECT_EQ(row.exitCode != 0, on.errors.find("has TraceEnabled 0") != std::string::npos) << row.name;
        EXPECT_EQ(row.enabledOn, valueOf(L"TraceEnabled")) << row.name;
        EXPECT_EQ(row.dynamicOn, valueOf(L"DynamicUpdate")) << row.name;
        EXPECT_EQ(0u, RunTool(dir, L"trace off").exitCode) << row.name;
        EXPECT_EQ(row.enabled, valueOf(L"TraceEnabled")) << row.name;
        EXPECT_EQ(row.dynamic, valueOf(L"DynamicUpdate")) << row.name;
        EXPECT_FALSE(KeyExists(L"SOFTWARE\\Debug\\MsiCA")) << row.name;
        EXPECT_EQ(row.enabled >= 0 || row.dynamic >= 0, KeyExists(L"SOFTWARE\\Debug")) << "gone once empty";
    }
}

// Help for every command, in any case, on standard output; what an administrator mistypes,
// named in one line with the help to read; nothing changes.
TEST(MsiCATool, HelpsOnEveryCommandAndNamesEachBadCommandLineInOneLine)
{
    CleanTraceKeys clean;
    CTestDir dir;
    const struct
    {
        const wchar_t* arguments;
        const char* text;    // help: its usage line; else the message
        const char* command; // whose help the hint names
    } cases[] = {
        {L"/?", "Usage: MsiCATool [OPTIONS] SUBCOMMAND", nullptr},
        {L"TRACE -h", "Usage: MsiCATool trace [OPTIONS] SUBCOMMAND", nullptr},
        {L"help trace On", "Usage: MsiCATool trace on [OPTIONS]", nullptr},
        {L"trace show --HELP", "Usage: MsiCATool trace show [OPTIONS]", nullptr},
        {L"Read /?", "Usage: MsiCATool read [OPTIONS] FILE", nullptr},
        {L"collect --help", "Usage: MsiCATool collect [OPTIONS] [TARGET]", nullptr},
        {L"", "a command is needed: trace, read, inspect, collect", ""},
        {L"trace", "a command is needed: on, off, show", " trace"},
        {L"trace sideways", "unknown command sideways", " trace"},
        {L"trace on --sinc file", "unknown option --sinc", " trace on"},
        {L"trace on --level", "--level needs a value", " trace on"},
        {L"Trace On --Level 7", "--level needs a number from 1 to 6", " trace on"},
        {L"trace on --sink file,printer", "--sink needs file, ring, console, debugger or msilog, not printer",
         " trace on"},
        {L"trace on --limit 0",
         "--limit needs a size from 1 byte to 2047M, or whole megabytes (4096, 64K, 10M)", " trace on"},
        {L"trace on --prefix colour",
         "--prefix needs date, time, thread, cpu, memory, handles, app or none, not colour", " trace on"},
        {L"trace on --dynamic soon", "--dynamic needs a number of seconds", " trace on"},
        {L"trace off now", "unexpected word now", " trace off"},
        {L"read", "FILE is required", " read"},
        {L"read x --seconds 3", "--seconds requires --follow", " read"},
        {L"read x --follow --lines some", "--lines needs a number of lines, or all", " read"},
        {L"read /colour", "unknown option /colour", " read"},
    };
    for (const auto& row : cases)
    {
        const ToolRun run = RunTool(dir, row.arguments);
        if (!row.command)
        {
            const std::string& help = run.output;
            EXPECT_EQ(0u, run.exitCode) << Narrow(row.arguments);
            EXPECT_NE(std::string::npos, help.find(std::string("\r\n") + row.text + "\r\n")) << help;
            EXPECT_NE(std::string::npos, help.find("\r\nExit codes: 0 done; 1 failed")) << help;
        }
        else
        {
            EXPECT_EQ(2u, run.exitCode) << Narrow(row.arguments);
        }
        const std::string hint =
            row.command ? std::string("\r\nSee \"MsiCATool") + row.command + " --help\".\r\n" : "";
        EXPECT_EQ(row.command ? row.text + hint : "", run.errors) << Narrow(row.arguments);
    }
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Debug"));
}

namespace
{
// A folder's access list as SDDL, read by the test itself.
std::wstring AccessOf(const std::wstring& folder)
{
    std::vector<BYTE> descriptor(4096);
    DWORD size = 0;
    wchar_t* text = nullptr;
    GetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), 4096, &size);
    ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    const std::wstring sddl = text ? text : L"";
    LocalFree(text);
    return sddl;
}

// A folder whose access list lets everyone write, as Wine can show it (Unix mode 0777).
void CreateOpenFolder(const std::wstring& folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &descriptor,
                                                         nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(SetFileSecurityW(folder.c_str(), DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
}
} // namespace

// The trace writes its file as LocalSystem: no folder that ordinary users may create files in
// goes unmentioned.
TEST(MsiCATool, TraceOnWarnsOfAFolderOrdinaryUsersMayCreateFilesIn)
{
    {
        // Owners and entries Wine cannot give.
        CFaultInjector injector;
        injector.Replace("advapi32.dll", "GetNamedSecurityInfoW", &PlantedGetNamedSecurityInfoW);
        const struct
        {
            const wchar_t* access;
            const wchar_t* why; // nullptr: closed
        } cases[] = {
            {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", nullptr},
            {L"O:SYD:(A;;FA;;;SY)(A;;0x100026;;;BU)", L"S-1-5-32-545 may create files in it"},
            {L"O:SYD:(A;;FA;;;SY)(A;;GW;;;IU)", L"S-1-5-4 may create files in it"},
            {L"O:SYD:(A;;FA;;;SY)(A;IO;FA;;;AU)(A;;0x100004;;;AU)", nullptr}, // folders only, as in C:\ .
            {L"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)", L"it is owned by S-1-5-21-1-2-3-1001"},
        };
        for (const auto& row : cases)
        {
            PlantSecurity(L"\\planted", row.access);
            std::wstring why;
            EXPECT_EQ(!row.why, CProtectedAccess::IsClosedToUsers(L"C:\\planted", why)) << Narrow(row.access);
            EXPECT_EQ(row.why ? row.why : L"", why) << Narrow(row.access);
        }
    }
    // Under Wine, Everyone's entry follows the folder's Unix mode bits.
    CleanTraceKeys clean;
    CTestDir dir;
    wchar_t programData[MAX_PATH];
    ExpandEnvironmentStringsW(L"%ProgramData%\\MsiCA", programData, MAX_PATH);
    const std::wstring open = dir / L"open", defaultFolder = programData;
    CreateOpenFolder(open);
    CreateOpenFolder(defaultFolder);
    const struct
    {
        std::wstring arguments;
        DWORD exitCode;
        std::wstring errors;
    } runs[] = {
        {L"trace on", 1,
         defaultFolder +
             L" is not used for the trace: S-1-1-0 may write into it. Remove it, or give --path.\r\n"},
        {L"trace on", 0, L""}, // with the folder removed first
        {L"trace on --path \"" + open + L"\\trace.log\"", 0,
         L"WARNING: other users may create files in " + open +
             L" (S-1-1-0 may create files in it): they could read the trace or plant files beside it.\r\n"},
        {L"trace on --path \"" + dir / L"trace.log\"", 0, L""},
    };
    for (const auto& run : runs)
    {
        const ToolRun tool = RunTool(dir, run.arguments);
        EXPECT_EQ(run.exitCode, tool.exitCode) << Narrow(run.arguments);
        EXPECT_EQ(Narrow(run.errors), tool.errors) << Narrow(run.arguments);
        if (run.exitCode)
            RemoveTree(defaultFolder);
    }
    EXPECT_EQ(std::wstring::npos, AccessOf(defaultFolder).find(L";;;WD)")) << Narrow(AccessOf(defaultFolder));
    RemoveTree(defaultFolder);
}

namespace
{
// What inspect must leave as it was: the registry (where services and devices are kept too)
// and the files of the temporary folder, where the test's layout lies too.
std::string MachineSnapshot(const CTestDir& scratch)
{
    std::string snapshot;
    for (const wchar_t* hive : {L"HKLM\\SOFTWARE", L"HKLM\\SYSTEM"})
    {
        const std::wstring file = scratch / L"export.reg";
        EXPECT_EQ(0u, RunProcess(L"reg export " + std::wstring(hive) + L" \"" + file + L"\" /y"));
        snapshot += ReadFileString(file);
        DeleteFileW(file.c_str());
    }
    wchar_t temp[MAX_PATH];
    const std::wstring tempDir(temp, GetTempPathW(MAX_PATH, temp) - 1);
    for (const auto& [path, content] : ListTree(tempDir))
        if ((tempDir + path).rfind(scratch / L"tool-", 0) != 0) // the tool's output
            snapshot += Narrow(path) + " " + std::to_string(std::hash<std::string>()(content)) + "\n";
    return snapshot;
}

// The names of a cabinet's files, each extracted (so decompressed) into folder by setupapi.
std::set<std::string> CabinetFiles(const std::wstring& path, const std::wstring& folder)
{
    std::pair<std::set<std::string>, std::wstring> context{{}, folder};
    const auto extract = [](PVOID named, UINT notification, UINT_PTR parameter, UINT_PTR) -> UINT {
        auto& [names, into] = *static_cast<decltype(context)*>(named);
        auto* file = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(parameter);
        if (notification != SPFILENOTIFY_FILEINCABINET)
            return NO_ERROR;
        names.insert(Narrow(file->NameInCabinet));
        wcscpy_s(file->FullTargetName, (into + L"\\" + std::to_wstring(names.size())).c_str());
        return FILEOP_DOIT;
    };
    EXPECT_TRUE(SetupIterateCabinetW(path.c_str(), 0, extract, &context)) << GetLastError();
    return context.first;
}

// Equal, or the first differing line of each (a diff of megabytes would not fit).
testing::AssertionResult Same(const std::string& before, const std::string& after)
{
    if (before == after)
        return testing::AssertionSuccess();
    const size_t at =
        std::mismatch(before.begin(), before.end(), after.begin(), after.end()).first - before.begin();
    const size_t line = before.rfind('\n', at) + 1; // 0 when there is none
    return testing::AssertionFailure() << before.substr(line, 200) << "\n" << after.substr(line, 200);
}

std::string Between(const std::string& text, const std::string& from, const std::string& to)
{
    const size_t start = text.find(from);
    return start == std::string::npos ? "" : text.substr(start, text.find(to, start + from.size()) - start);
}
} // namespace

TEST(MsiCATool, InspectShowsTheModuleDecisionsOfTheSampleLayoutAndChangesNothing)
{
    CleanTraceKeys clean;
    CTestDir scratch;
    const std::wstring layout = scratch / L"Sentrel";
    CreateDirectoryW(layout.c_str(), nullptr);
    CTestKey setup(L"SOFTWARE\\Arvetta\\Management\\Sentrel\\Setup");
    setup.SetString(L"FileRoot", layout + L"\\");
    WriteFileBytes(layout + L"\\Module.ini",
                   "[Modes]\r\n5=MORA\r\n[Modules]\r\nEM_DEF=1\r\nEM_OFF=0\r\n"
                   "[Modules.MORA]\r\nEM_UPDATE=1\r\nEM_DEF=1\r\nEM_DRVMON=1\r\nEM_NEW=1\r\n"
                   "[EM_DEF]\r\nInstall=1\r\n[EM_UPDATE]\r\nInstall=1\r\n[EM_DRVMON]\r\n"
                   "Install=1\r\n[EM_NEW]\r\nInstall.Windows=1\r\n[EM_OFF]\r\nInstall=1\r\n");
    using StandIn = std::pair<const wchar_t*, const wchar_t*>; // module, stand-in DLL
    for (const auto& [module, standIn] :
         {StandIn{L"EM_DEF", L"em_v7_10"}, StandIn{L"EM_UPDATE", L"em_v7_9"},
          StandIn{L"EM_DRVMON", L"em_noentry"}, StandIn{L"EM_NEW", L"em_v8_0"}})
        ASSERT_TRUE(CopyFileW(BinPath(std::wstring(standIn) + L".dll").c_str(),
                              (layout + L"\\" + module + L".dll").c_str(), FALSE));
    // A machine that traces everything: inspect must not write to its trace.
    CTestKey traced(L"SOFTWARE\\Debug\\MsiCA");
    traced.SetDword(L"FileDebugLevel", 6)
        .SetString(L"TraceFile", layout + L"\\trace.log")
        .SetDword(L"MsiLogDebugLevel", 6);

    wchar_t temp[MAX_PATH];
    const std::wstring installerLog = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"MSIc0ffee.LOG";
    WriteFileBytes(installerLog, std::string("=== Verbose logging started"));

    const std::string before = MachineSnapshot(scratch);
    const std::string text = ToolOutput(scratch, L"inspect");
    const std::string json = ToolOutput(scratch, L"inspect --json --structures");
    const std::string collected = ToolOutput(scratch, L"collect \"" + scratch / L"tool-support.cab\"");
    EXPECT_TRUE(Same(before, MachineSnapshot(scratch)));
    DeleteFileW(installerLog.c_str());
    const std::set<std::string> listing = CabinetFiles(scratch / L"tool-support.cab", scratch.Path());
    for (const char* name : {"trace-settings.txt", "inspect.json", "installer-logs\\user\\MSIc0ffee.LOG",
                             "registry\\Sentrel.reg", "registry\\Debug.reg", "not-collected.txt"})
        EXPECT_EQ(1u, listing.count(name)) << name << "\n" << collected;
    EXPECT_NE(std::string::npos, collected.find(Narrow(layout) + "\\trace.log: code 2 (0x2)")) << collected;

    const std::string root = Narrow(layout);
    EXPECT_NE(std::string::npos,
              text.find("  installation folder:\r\n    path: " + root + "\r\n    from: value \"FileRoot\""))
        << text;
    // Module, file version, exports EM_SetupAction, special backup; in the order of the mode's section.
    const char* const modules[][4] = {
        {"EM_UPDATE", "7.9.3.4", "yes", "applies: the action saves the data folder's folder EM_UPDATE"},
        {"EM_DEF", "7.10.3.4", "yes", "applies: the action saves the data folder's file CommonConfig.ccs"},
        {"EM_DRVMON", "none", "no", "applies: the action saves the data folder's file loggetd.bookmark"},
        {"EM_NEW", "8.0.3.4", "yes", "none: newer than 7.10, it saves its settings itself"}};
    std::string expected =
        "- run mode: 5\r\n      backup: each module backs up its own data\r\n      modules:\r\n";
    for (const auto& [module, version, exports, backup] : modules)
        expected += std::string("        - module: ") + module + "\r\n          file: " + root + "\\" +
                    module + ".dll\r\n          file version: " + version +
                    "\r\n          exports EM_SetupAction: " + exports +
                    "\r\n          special backup: " + backup + "\r\n";
    EXPECT_EQ(expected, text.substr(std::min(text.size(), text.find("- run mode: 5"))));
    for (const char* mode : {"- run mode: 0", "- run mode: 1"}) // the table "Modules"
    {
        EXPECT_NE(std::string::npos, Between(text, mode, "- run mode: ").find("- module: EM_DEF")) << mode;
        EXPECT_EQ(std::string::npos, Between(text, mode, "- run mode: ").find("EM_OFF")) << mode;
    }
    EXPECT_EQ(0u, json.find("{\r\n  \"product locations\": {")) << json;
    EXPECT_NE(std::string::npos, json.find("\"structures\": [")) << json;
    EXPECT_NE(std::string::npos, json.find("\"module\": \"EM_NEW\"")) << json;
}

TEST(MsiCATool, InspectExplainsAMachineWithoutTheProductAndFindsItsDevices)
{
    CleanTraceKeys clean;
    CTestDir scratch;
    DeleteKeyTree(L"SOFTWARE\\Arvetta");
    CTestDevice ipmi({L"ACPI\\IPI0001"});
    CTestDevice bios({L"other", L"{30437798-7FF8-4400-BF8A-C9B24A04D43B}\\bios"});
    const std::string text = ToolOutput(scratch, L"inspect");
    for (const std::string& expected : std::initializer_list<std::string>{
             "from: fallback: the UUID key has no \"Sentrel\" value",
             "from: process folder: no \"FileRoot\" value", "service: ImbDrvNT\r\n    state: not registered",
             "install ImbDrvNT:\r\n    decision: no",
             "Module.ini: " + Narrow(BinDir()) + "\\Module.ini\r\n  present: no",
             "- run mode: 5\r\n      backup: each module backs up its own data\r\n      modules: (none)",
             "hardware id: ACPI\\IPI0001\r\n    present: yes\r\n    instance id: " +
                 Narrow(ipmi.InstanceId()),
             "bios\r\n    present: yes\r\n    instance id: " + Narrow(bios.InstanceId()),
             "restart the IPMI device:\r\n    decision: yes",
             "write SlaveAddressDetectionMethod:\r\n    decision: no\r\n    because: SMBIOS has no type-38 "
             "structure"})
        EXPECT_NE(std::string::npos, text.find(expected)) << expected << "\n" << text;
}
