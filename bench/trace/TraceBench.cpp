// Trace benchmarks, each a ratio against a baseline measured in the same run:
//  (a) a disabled trace call site against a loop that tests one flag;
//  (b) the ordinary file writer against a bare open-append-close loop writing the same bytes;
//  (c) the ring writer against memcpy of the same bytes into a view of the same size.
#include "support/FaultInjection.h"
#include "trace/CRingFile.h"
#include "trace/CTrace.h"
#include "trace/CTraceFile.h"
#include "BenchClock.h"
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <algorithm>

namespace
{
std::wstring TempPath(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name;
}

int g_formatCalls = 0;
int __cdecl CountingVscwprintf(const wchar_t* format, va_list args)
{
    ++g_formatCalls;
    using Real = int(__cdecl*)(const wchar_t*, va_list);
    return reinterpret_cast<Real>(CFaultInjector::Original("_vscwprintf"))(format, args);
}

volatile bool g_flag = false;
volatile int g_sink = 0;

void DisabledCallSite()
{
    constexpr long long kCalls = 200'000'000;
    int formatCalls = 0;
    CImportPatch counting(TestedModule(), "msvcrt.dll", "_vscwprintf",
                          reinterpret_cast<void*>(&CountingVscwprintf));
    const double baseline = Best(3, [] {
        for (long long i = 0; i < kCalls; ++i)
        {
            if (g_flag)
                g_sink = static_cast<int>(i);
        }
    });
    const double disabled = Best(3, [] {
        for (long long i = 0; i < kCalls; ++i)
        {
            TRACE(2, L"\nBench               : value %d \"%s\"", static_cast<int>(i), L"text");
        }
    });
    formatCalls = g_formatCalls;
    printf(
        "(a) disabled call site: %.2f ns a call, one-flag loop %.2f ns: ratio %.2f; formatting calls: %d\n",
        disabled * 1e9 / kCalls, baseline * 1e9 / kCalls, disabled / baseline, formatCalls);
}

void FileWriter()
{
    constexpr int kLines = 3000;
    const std::wstring text = L"\nBench               : a trace line of ordinary length, with a value 12345";
    std::wstring bytes;
    for (wchar_t c : text)
    {
        bytes += (c == L'\n') ? std::wstring(L"\r\n") : std::wstring(1, c);
    }
    const std::wstring writerPath = TempPath(L"msica-bench-writer.log");
    const std::wstring barePath = TempPath(L"msica-bench-bare.log");
    const ULONGLONG limit = 1ull << 40;

    CTraceFile writer;
    writer.CreateMutexFor(writerPath.c_str());
    double writerTime = 1e30, bareTime = 1e30;
    for (int round = 0; round < 5; ++round)
    {
        DeleteFileW(writerPath.c_str());
        DeleteFileW(barePath.c_str());
        const double w = Best(1, [&] {
            for (int i = 0; i < kLines; ++i)
            {
                writer.Write(writerPath.c_str(), limit, text.c_str());
            }
        });
        const double b = Best(1, [&] {
            for (int i = 0; i < kLines; ++i)
            {
                HANDLE file = CreateFileW(barePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
                SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_END);
                DWORD written = 0;
                WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size() * sizeof(wchar_t)), &written,
                          nullptr);
                CloseHandle(file);
            }
        });
        writerTime = w < writerTime ? w : writerTime;
        bareTime = b < bareTime ? b : bareTime;
    }
    DeleteFileW(writerPath.c_str());
    DeleteFileW(barePath.c_str());
    printf("(b) file writer: %.0f lines/s, open-append-close loop %.0f lines/s: ratio %.2f\n",
           kLines / writerTime, kLines / bareTime, bareTime / writerTime);
}

void RingWriter()
{
    constexpr ULONGLONG kRing = 64ull << 20;
    constexpr ULONGLONG kTotal = 1ull << 30;
    const std::wstring line = L"\nBench               : " + std::wstring(96, L'r');
    std::wstring bytes; // the line as the ring stores it
    for (wchar_t c : line)
    {
        bytes += (c == L'\n') ? std::wstring(L"\r\n") : std::wstring(1, c);
    }
    const ULONGLONG lineBytes = bytes.size() * sizeof(wchar_t);
    const ULONGLONG lines = kTotal / lineBytes;
    const std::wstring ringPath = TempPath(L"msica-bench-ring.log");
    const std::wstring copyPath = TempPath(L"msica-bench-copy.log");
    DeleteFileW(ringPath.c_str());

    CRingFile ring;
    ring.Write(ringPath.c_str(), kRing, L""); // open and map before timing
    CFileHandle file(
        CreateFileW(copyPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    CKernelHandle mapping(
        CreateFileMappingW(file.Get(), nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(kRing), nullptr));
    CMappedView view(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    BYTE* target = static_cast<BYTE*>(view.Get());

    // Rounds alternate between the two, so that both see the same machine; the figure is
    // the median of the rounds' ratios.
    std::vector<double> ringTimes, copyTimes, ratios;
    for (int round = 0; round < 9; ++round)
    {
        const double r = Best(1, [&] {
            for (ULONGLONG i = 0; i < lines; ++i)
            {
                ring.Write(ringPath.c_str(), kRing, line.c_str(), line.size());
            }
        });
        const double c = Best(1, [&] {
            ULONGLONG offset = 2;
            for (ULONGLONG i = 0; i < lines; ++i)
            {
                if (offset + lineBytes > kRing)
                {
                    offset = 2;
                }
                memcpy(target + offset, bytes.data(), lineBytes);
                offset += lineBytes;
            }
        });
        ringTimes.push_back(r);
        copyTimes.push_back(c);
        ratios.push_back(c / r);
    }
    ring.Reset();
    view.Reset();
    mapping.Reset();
    file.Reset();
    DeleteFileW(ringPath.c_str());
    DeleteFileW(copyPath.c_str());
    const double mb = double(lines * lineBytes) / (1 << 20);
    printf("(c) ring writer: %.0f MB/s, memcpy into a view of the same size %.0f MB/s (medians): median "
           "ratio %.2f (rounds %.2f to %.2f)\n",
           mb / Median(ringTimes), mb / Median(copyTimes), Median(ratios),
           *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
}
} // namespace

int main()
{
    DisabledCallSite();
    FileWriter();
    RingWriter();
    return 0;
}
