#include "TraceSinks.h"
#include "support/TestFiles.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace
{
constexpr DWORD kRingBytes = 0x80000000u | 65536; // a 64 KiB ring
const wchar_t kMarker[] = L"\r\n[EOF]\r\n";

struct RingTrace
{
    explicit RingTrace(const CTestDir& dir, DWORD limit = kRingBytes)
    {
        registry.application.SetDword(L"FileDebugLevel", 6)
            .SetString(L"TraceFile", dir / L"ring.log")
            .SetDword(L"TraceFileMemoryMapped", 1)
            .SetDword(L"TraceFileLimit", limit);
    }
    TraceRegistry registry;
};
} // namespace

TEST(RingFile, ARunThatNeverFillsTheRingIsCutAtTheEndOfItsText)
{
    CTestDir dir;
    RingTrace config(dir);
    {
        CTrace trace;
        EXPECT_TRUE(trace.IsMemoryMapped());
        trace.Print(1, L"\nfirst");
        trace.Print(1, L"\nsecond");
        EXPECT_EQ(65536u, ReadFileBytes(dir / L"ring.log").size()) << "mapped at its full size while open";
    }
    EXPECT_EQ(L"\r\nfirst\r\nsecond", ReadUtf16File(dir / L"ring.log"));
}

TEST(RingFile, WrapsToJustAfterTheMarkAndCarriesTheEndMarker)
{
    CTestDir dir;
    RingTrace config(dir);
    const std::wstring filler(1000, L'a'); // "\r\n" + 1,000 characters: 2,004 bytes a line
    {
        CTrace trace;
        for (int line = 0; line < 32; ++line) // 2 + 32 * 2,004 = 64,130 bytes: fits
        {
            trace.Print(1, L"\n%s", filler.c_str());
        }
        // Its "\r\n" still fits (64,134); its text does not and goes to the ring's start.
        trace.Print(1, L"\nnewest %s", filler.c_str());
    }
    const std::vector<BYTE> bytes = ReadFileBytes(dir / L"ring.log");
    ASSERT_EQ(64134u, bytes.size()) << "cut at the wrap point, where the old text ends";
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    EXPECT_EQ(L"newest " + filler + kMarker, text.substr(0, 7 + 1000 + 9));
    EXPECT_EQ(L"a\r\n", text.substr(text.size() - 3));
}

TEST(RingFile, ALongRunKeepsTheNewestTextBeforeTheMarker)
{
    CTestDir dir;
    RingTrace config(dir);
    {
        CTrace trace;
        for (int line = 0; line < 5000; ++line)
        {
            trace.Print(1, L"\nline %05d", line);
        }
    }
    const std::wstring text = ReadUtf16File(dir / L"ring.log");
    const size_t marker = text.find(kMarker);
    ASSERT_NE(std::wstring::npos, marker);
    EXPECT_EQ(L"line 04999", text.substr(marker - 10, 10));
    // Only complete lines of the last lap follow the marker, in order.
    const size_t next = text.find(L"line ", marker);
    ASSERT_NE(std::wstring::npos, next);
    EXPECT_LT(std::stoi(text.substr(next + 5, 5)), 4999);
}

TEST(RingFile, AnExistingFileIsContinuedFromItsEnd)
{
    CTestDir dir;
    RingTrace config(dir);
    {
        CTrace trace;
        trace.Print(1, L"\nfirst run");
    }
    {
        CTrace trace;
        trace.Print(1, L"\nsecond run");
    }
    EXPECT_EQ(L"\r\nfirst run\r\nsecond run", ReadUtf16File(dir / L"ring.log"));
}

TEST(RingFile, TextLongerThanTheRingStaysInsideIt)
{
    CTestDir dir;
    RingTrace config(dir, 0x80000000u | 64);
    {
        CTrace trace;
        trace.Print(1, L"\n%s", std::wstring(300, L'z').c_str());
        trace.Print(1, L"\nafter");
    }
    EXPECT_LE(ReadFileBytes(dir / L"ring.log").size(), 64u);
}

TEST(RingFile, AReconfiguredTraceReleasesItsRing)
{
    CTestDir dir;
    RingTrace config(dir);
    CTrace trace;
    trace.Print(1, L"\nbefore");
    trace.ReadConfig(); // releases the file, cut to its text
    EXPECT_EQ(L"\r\nbefore", ReadUtf16File(dir / L"ring.log"));
    trace.Print(1, L"\nafter");
    trace.ConfigureFileSink(0, L"", false, CTrace::kDefaultFileSizeLimit);
    EXPECT_EQ(L"\r\nbefore\r\nafter", ReadUtf16File(dir / L"ring.log"));
}

namespace
{
// The ring as the plain piece-by-piece rule places it, to hold the writer's single-pass
// copy against.
struct RingModel
{
    RingModel(ULONGLONG ringLimit, const std::vector<BYTE>& existing) : limit(ringLimit), view(ringLimit, 0)
    {
        std::copy(existing.begin(), existing.end(), view.begin());
        write = existing.size();
        if (existing.empty() && limit >= 2)
        {
            view[0] = 0xFF;
            view[1] = 0xFE;
            write = start = 2;
        }
    }
    void Place(const BYTE* bytes, ULONGLONG count, bool advance)
    {
        if (write + count > limit)
        {
            wrap = write;
            write = start;
        }
        const ULONGLONG room = limit > write ? limit - write : 0;
        count = count > room ? room & ~1ull : count;
        std::copy(bytes, bytes + count, view.begin() + static_cast<long>(write));
        write += advance ? count : 0;
    }
    void Line(const std::wstring& text)
    {
        size_t runStart = 0;
        for (size_t i = 0; i <= text.size(); ++i)
        {
            if (i < text.size() && text[i] != L'\n')
            {
                continue;
            }
            if (i > runStart)
            {
                Place(reinterpret_cast<const BYTE*>(text.data() + runStart), (i - runStart) * 2, true);
            }
            if (i < text.size())
            {
                Place(reinterpret_cast<const BYTE*>(L"\r\n"), 4, true);
            }
            runStart = i + 1;
        }
        if (wrap)
        {
            Place(reinterpret_cast<const BYTE*>(L"\r\n[EOF]\r\n"), 18, false);
        }
    }
    std::vector<BYTE> File() const
    {
        return std::vector<BYTE>(view.begin(), view.begin() + static_cast<long>(wrap ? wrap : write));
    }
    ULONGLONG limit, write = 0, start = 0, wrap = 0;
    std::vector<BYTE> view;
};
} // namespace

TEST(RingFile, PlacesEveryPieceAsThePlainRuleDoes)
{
    const struct
    {
        DWORD limit;
        size_t existingBytes;
    } rings[] = {{1001, 0}, {4096, 0}, {4097, 333}, {512, 7}, {64, 0}};
    unsigned seed = 12345;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % range;
    };
    for (const auto& ring : rings)
    {
        CTestDir dir;
        std::vector<BYTE> existing(ring.existingBytes, 'E');
        if (!existing.empty())
        {
            WriteFileBytes(dir / L"ring.log", existing);
        }
        RingTrace config(dir, 0x80000000u | ring.limit);
        RingModel model(ring.limit, existing);
        {
            CTrace trace;
            for (int line = 0; line < 200; ++line)
            {
                std::wstring text;
                const unsigned length = next(300);
                for (unsigned i = 0; i < length; ++i)
                {
                    text += next(12) == 0 ? L'\n' : static_cast<wchar_t>(L'a' + next(26));
                }
                trace.Print(1, L"%s", text.c_str());
                model.Line(text);
            }
        }
        EXPECT_EQ(model.File(), ReadFileBytes(dir / L"ring.log")) << "ring of " << ring.limit << " bytes";
    }
}
