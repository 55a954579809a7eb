// Figures for the directory copy and the UTF-16 conversion, each a ratio against a baseline
// measured in the same run:
//   CopyDir of 10,000 small files and 10 files of 20 MB against Wine's xcopy /E /I /Y;
//   ConvertToUtf16 of a 50 MB ANSI file against a single-pass conversion (read whole,
//   MultiByteToWideChar, write), with the peak working set of each in a process of its own.
#include "util/CDirectory.h"
#include "util/TextFileConversion.h"
#include "BenchClock.h"
#include "BenchFiles.h"
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace
{
constexpr int kSmallDirs = 100;
constexpr int kSmallFilesPerDir = 100;
constexpr int kBigFiles = 10;
constexpr DWORD kBigFileBytes = 20u << 20;
constexpr DWORD kAnsiFileBytes = 50u << 20;
constexpr DWORD kSmallAnsiFileBytes = 5u << 20;
constexpr int kRounds = 7;

std::wstring TempRoot()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"msica-bench-utils";
}

bool WriteWholeFile(const std::wstring& path, const void* data, DWORD bytes)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, data, bytes, &written, nullptr) && written == bytes;
    CloseHandle(file);
    return ok;
}

std::vector<char> ReadWholeFile(const std::wstring& path)
{
    std::vector<char> bytes;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return bytes;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    CloseHandle(file);
    return bytes;
}

void BuildCopyTree(const std::wstring& root)
{
    CreateDir(root.c_str());
    std::vector<char> small(4096);
    for (size_t i = 0; i < small.size(); ++i)
    {
        small[i] = static_cast<char>('A' + (i * 31) % 26);
    }
    for (int dir = 0; dir < kSmallDirs; ++dir)
    {
        const std::wstring folder = root + L"\\modules" + std::to_wstring(dir);
        CreateDirectoryW(folder.c_str(), nullptr);
        for (int file = 0; file < kSmallFilesPerDir; ++file)
        {
            const DWORD bytes = 256 + DWORD((dir * 131 + file * 17) % 3840);
            WriteWholeFile(folder + L"\\setting" + std::to_wstring(file) + L".ini", small.data(), bytes);
        }
    }
    CreateDirectoryW((root + L"\\data").c_str(), nullptr);
    std::vector<char> big(kBigFileBytes);
    for (size_t i = 0; i < big.size(); ++i)
    {
        big[i] = static_cast<char>(i * 2654435761u >> 24);
    }
    for (int file = 0; file < kBigFiles; ++file)
    {
        big[0] = static_cast<char>(file);
        WriteWholeFile(root + L"\\data\\archive" + std::to_wstring(file) + L".dat", big.data(),
                       kBigFileBytes);
    }
}

void BenchCopyDir(const std::wstring& work)
{
    const std::wstring source = work + L"\\tree";
    wprintf(L"Creating %d small files and %d files of %u MB...\n", kSmallDirs * kSmallFilesPerDir, kBigFiles,
            kBigFileBytes >> 20);
    BuildCopyTree(source);
    std::vector<double> copyDir, xcopy;
    for (int round = 0; round < kRounds; ++round)
    {
        const std::wstring byCopyDir = work + L"\\copydir";
        const std::wstring byXcopy = work + L"\\xcopy";
        // Alternate the order so that neither always meets a busier disk.
        for (int turn = 0; turn < 2; ++turn)
        {
            if ((turn + round) % 2 == 0)
            {
                const double start = Seconds();
                const bool ok = CopyDir(source.c_str(), byCopyDir.c_str());
                copyDir.push_back(Seconds() - start);
                if (!ok)
                {
                    wprintf(L"CopyDir reported a failure\n");
                }
            }
            else
            {
                xcopy.push_back(RunQuietly(L"xcopy \"" + source + L"\" \"" + byXcopy + L"\" /E /I /Y"));
            }
        }
        wprintf(L"  round %d: CopyDir %.2f s, xcopy %.2f s\n", round + 1, copyDir.back(), xcopy.back());
        SameCounts(source, byCopyDir);
        SameCounts(source, byXcopy);
        RemoveDir(byCopyDir.c_str(), true);
        RemoveDir(byXcopy.c_str(), true);
    }
    RemoveDir(source.c_str(), true);
    // Each round's two copies ran side by side under the same load on the shared machine.
    std::vector<double> paired;
    for (size_t i = 0; i < copyDir.size(); ++i)
    {
        paired.push_back(xcopy[i] / copyDir[i]);
    }
    wprintf(
        L"CopyDir: median %.2f s, xcopy /E /I /Y: median %.2f s -> speed ratio %.2f (xcopy time / CopyDir "
        L"time; goal >= 0.9); median of the rounds' ratios %.2f\n",
        Median(copyDir), Median(xcopy), Median(xcopy) / Median(copyDir), Median(paired));
}

// A text file of about bytes bytes: lines of ANSI text with CR LF, some bytes above 0x7F.
void WriteAnsiFile(const std::wstring& path, DWORD bytes)
{
    std::string text;
    text.reserve(bytes + 256);
    for (unsigned line = 0; text.size() < bytes; ++line)
    {
        text += "Parameter" + std::to_string(line) + "=Caf\xE9 " +
                std::string(line % 60, char('a' + line % 26)) + "\r\n";
    }
    WriteWholeFile(path, text.data(), static_cast<DWORD>(text.size()));
}

// The single-pass reference: the whole file in memory, converted at once, written back.
bool ReferenceConversion(const std::wstring& path)
{
    const std::vector<char> bytes = ReadWholeFile(path);
    std::vector<wchar_t> text(bytes.size() + 1);
    text[0] = 0xFEFF;
    const int converted = bytes.empty()
                              ? 0
                              : MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                    text.data() + 1, static_cast<int>(bytes.size()));
    return WriteWholeFile(path, text.data(), static_cast<DWORD>((converted + 1) * sizeof(wchar_t)));
}

SIZE_T PeakWorkingSet()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PeakWorkingSetSize;
}

// Child: converts one file one way and writes "seconds peak-bytes" to the result file.
int RunConversionChild(const std::wstring& mode, const std::wstring& path, const std::wstring& resultPath)
{
    const double start = Seconds();
    bool ok = true;
    if (mode == L"--convert")
    {
        ok = ConvertToUtf16(path.c_str());
    }
    else if (mode == L"--reference")
    {
        ok = ReferenceConversion(path);
    }
    const double seconds = Seconds() - start;
    char result[96];
    const int length = snprintf(result, sizeof(result), "%.6f %llu", seconds,
                                static_cast<unsigned long long>(PeakWorkingSet()));
    WriteWholeFile(resultPath, result, static_cast<DWORD>(length));
    return ok ? 0 : 1;
}

std::set<std::wstring> TempFiles()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::set<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((std::wstring(temp) + L"tmp*.tmp").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            names.insert(std::wstring(temp) + entry.cFileName);
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    return names;
}

struct ChildResult
{
    double seconds = 0;
    double peakMb = 0;
};

ChildResult RunChild(const std::wstring& self, const wchar_t* mode, const std::wstring& path,
                     const std::wstring& resultPath)
{
    const std::set<std::wstring> before = TempFiles();
    RunQuietly(L"\"" + self + L"\" " + mode + L" \"" + path + L"\" \"" + resultPath + L"\"");
    // ConvertToUtf16 leaves its temporary file behind by design; the benchmark does not.
    for (const std::wstring& name : TempFiles())
    {
        if (!before.count(name))
        {
            DeleteFileW(name.c_str());
        }
    }
    ChildResult result;
    const std::vector<char> text = ReadWholeFile(resultPath);
    unsigned long long peak = 0;
    sscanf(std::string(text.begin(), text.end()).c_str(), "%lf %llu", &result.seconds, &peak);
    result.peakMb = double(peak) / (1 << 20);
    return result;
}

void BenchConversion(const std::wstring& work, const std::wstring& self)
{
    const std::wstring resultPath = work + L"\\result.txt";
    const ChildResult idle = RunChild(self, L"--idle", L"", resultPath);
    wprintf(L"Idle child process: peak working set %.1f MB\n", idle.peakMb);
    for (DWORD size : {kSmallAnsiFileBytes, kAnsiFileBytes})
    {
        const std::wstring pristine = work + L"\\pristine.txt";
        const std::wstring path = work + L"\\CommonConfig.ccs";
        WriteAnsiFile(pristine, size);
        std::vector<double> converted, reference;
        double convertPeak = 0, referencePeak = 0;
        for (int round = 0; round < kRounds; ++round)
        {
            for (int turn = 0; turn < 2; ++turn)
            {
                const bool ours = (turn + round) % 2 == 0;
                CopyFileW(pristine.c_str(), path.c_str(), FALSE);
                const ChildResult result =
                    RunChild(self, ours ? L"--convert" : L"--reference", path, resultPath);
                (ours ? converted : reference).push_back(result.seconds);
                double& peak = ours ? convertPeak : referencePeak;
                peak = std::max(peak, result.peakMb);
            }
        }
        DeleteFileW(path.c_str());
        DeleteFileW(pristine.c_str());
        wprintf(
            L"%u MB: ConvertToUtf16 median %.3f s, peak %.1f MB (%+.1f over idle); reference median %.3f s, "
            L"peak %.1f MB (%+.1f) -> speed ratio %.2f (reference time / ConvertToUtf16 time; goal >= 0.3)\n",
            size >> 20, Median(converted), convertPeak, convertPeak - idle.peakMb, Median(reference),
            referencePeak, referencePeak - idle.peakMb, Median(reference) / Median(converted));
    }
    DeleteFileW(resultPath.c_str());
}
} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc == 4)
    {
        return RunConversionChild(argv[1], argv[2], argv[3]);
    }
    const std::wstring work = TempRoot();
    RemoveDir(work.c_str(), true);
    CreateDir(work.c_str());
    const std::wstring self = argv[0];
    const bool onlyConversion = argc > 1 && std::wstring(argv[1]) == L"--conversion";
    const bool onlyCopy = argc > 1 && std::wstring(argv[1]) == L"--copy";
    if (!onlyConversion)
    {
        BenchCopyDir(work);
    }
    if (!onlyCopy)
    {
        BenchConversion(work, self);
    }
    RemoveDir(work.c_str(), true);
    return 0;
}
