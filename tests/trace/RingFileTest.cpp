#include "support/TraceCapture.h"
#include "support/PageEndBuffer.h"
#include "support/TestFiles.h"
#include "trace/CRingFile.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace
{
// A reader of the ring file unwraps it at its one marker: behind FF FE, the text after the
// marker, then the text up to it. That must be the newest text written, in order, and at
// least its newest canKeep bytes.
void ExpectNewestText(const std::wstring& path, ULONGLONG limit, const std::string& written, size_t canKeep)
{
    const std::string marker("\r\0\n\0[\0E\0O\0F\0]\0\r\0\n\0", 18);
    const std::string file = ReadFileString(path);
    EXPECT_LE(file.size(), limit);
    EXPECT_EQ("\xFF\xFE", file.substr(0, 2));
    size_t at = file.find(marker, 2);
    EXPECT_TRUE(at == std::string::npos || file.find(marker, at + 1) == std::string::npos) << "one marker";
    at = at == std::string::npos ? file.size() : at;
    const std::string ring = file.substr(std::min(at + 18, file.size())) + file.substr(2, at - 2);
    ASSERT_LE(ring.size(), written.size());
    EXPECT_TRUE(written.compare(written.size() - ring.size(), ring.size(), ring) == 0) << "in order";
    EXPECT_GE(ring.size(), canKeep);
}

int g_ringOpens = 0;
} // namespace

// Loads (a trace object's life) with re-reads, short and long lines, wraps and unloads of
// one ring, grown while full and shrunk while wrapped, some left by a process that died:
// after every unload it reads as the newest text in order, only the oldest lost. Only a
// changed limit reopens it.
TEST(RingFile, EveryUnloadReadsAsTheNewestTextInOrder)
{
    CTestDir dir;
    const std::wstring path = dir / L"ring.log";
    FileTraceRegistry registry(path, 0x80000000u | 1000, 1);
    registry.global.SetDword(L"DynamicUpdate", 1);
    CFaultInjector injector;
    FAKE_IMPORT(injector, "kernel32.dll", CreateFileW, [](auto... arguments) {
        ++g_ringOpens;
        return ORIGINAL(CreateFileW)(arguments...);
    });
    CVirtualClock clock(injector);
    std::string written;
    const auto print = [&](auto&& trace, const std::wstring& text) {
        trace.Print(1, L"%s", text.c_str());
        for (wchar_t c : text)
            written += c == L'\n' ? std::string("\r\0\n\0", 4) : std::string{static_cast<char>(c), '\0'};
    };
    print(CTrace(), L"\n" + std::wstring(497, L'x')); // a line that fills the ring exactly has not wrapped it
    ExpectNewestText(path, 1000, written, written.size());
    EXPECT_EQ(1000u, ReadFileBytes(path).size());
    unsigned seed = 11;
    const auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % range;
    };
    int opens = 1;
    std::vector<BYTE> died;
    for (int load = 1; load < 40; ++load)
    {
        const DWORD limit = load < 30 ? 2000 : 1000;
        registry.application.SetDword(L"TraceFileLimit", 0x80000000u | (load == 30 ? 2000 : limit));
        {
            CTrace trace;
            ++opens;
            for (unsigned line = 0, lines = 1 + next(40); line < lines; ++line)
            {
                if (line == 1 && load == 30)
                {
                    registry.application.SetDword(L"TraceFileLimit", 0x80000000u | limit);
                    clock.Advance(1000);
                    ++opens;
                }
                else if (next(6) == 0)
                {
                    clock.Advance(1000); // re-read, nothing changed
                }
                std::wstring text(next(next(4) == 0 ? 190 : 30), L'a');
                for (auto& c : text)
                    c = next(15) == 0 ? L'\n' : static_cast<wchar_t>(L'a' + next(26));
                print(trace, text);
            }
            died = load % 10 == 5 ? ReadFileBytes(path) : std::vector<BYTE>();
        }
        if (!died.empty())
        {
            WriteFileBytes(path, died); // the process died: the ring stays at its full size
            CTrace trace;
            print(trace, L"\nafter");
            ++opens;
        }
        // At most 400 bytes of a piece that wrapped and the marker are not kept.
        ExpectNewestText(path, limit, written, std::min<size_t>(written.size(), limit - 420));
    }
    EXPECT_EQ(opens, g_ringOpens);
}

TEST(RingFile, ReadsNothingPastALineThatEndsAtAPage)
{
    CTestDir dir;
    const std::wstring path = dir / L"ring.log";
    CPageEndBuffer memory(4096);
    for (size_t length : {0, 1, 7, 8, 15, 16, 17, 33, 100})
    {
        const std::wstring line = L"\n" + std::wstring(length, L'p');
        const auto* text =
            reinterpret_cast<const wchar_t*>(memory.Place(line.c_str(), (line.size() + 1) * sizeof(wchar_t)));
        CRingFile ring;
        EXPECT_TRUE(ring.Write(path.c_str(), 4096, text));
        ring.Reset();
        EXPECT_EQ(2 + (length + 2) * 2, ReadFileBytes(path).size()) << length;
        DeleteFileW(path.c_str());
    }
}
