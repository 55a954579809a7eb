#include "TraceSinks.h"
#include "support/TestFiles.h"
#include "support/PageEndBuffer.h"
#include "trace/CRingFile.h"
#include "trace/CTrace.h"
#include <gtest/gtest.h>
#include <algorithm>

namespace
{
const wchar_t kMarker[] = L"\r\n[EOF]\r\n";

struct RingTrace
{
    RingTrace(const CTestDir& dir, DWORD limit)
    {
        registry.application.SetDword(L"FileDebugLevel", 6)
            .SetString(L"TraceFile", dir / L"ring.log")
            .SetDword(L"TraceFileMemoryMapped", 1)
            .SetDword(L"TraceFileLimit", 0x80000000u | limit);
    }
    TraceRegistry registry;
};

// The ring as the plain piece-by-piece rule places it, to hold the writer's single-pass
// copy against.
struct RingModel
{
    RingModel(ULONGLONG ringLimit, const std::vector<BYTE>& existing) : limit(ringLimit), view(ringLimit, 0)
    {
        std::copy(existing.begin(), existing.end(), view.begin());
        write = existing.size();
        if (existing.empty())
        {
            view[0] = 0xFF;
            view[1] = 0xFE;
            write = start = 2;
        }
    }
    void Place(const wchar_t* text, ULONGLONG count, bool advance)
    {
        if (write + count > limit)
        {
            wrap = write;
            write = start;
        }
        const ULONGLONG room = limit > write ? limit - write : 0;
        count = count > room ? room & ~1ull : count;
        memcpy(view.data() + write, text, count);
        write += advance ? count : 0;
    }
    void Line(const std::wstring& text)
    {
        for (size_t run = 0, end; run <= text.size(); run = end + 1)
        {
            end = std::min(text.find(L'\n', run), text.size());
            if (end > run)
            {
                Place(text.data() + run, (end - run) * 2, true);
            }
            if (end < text.size())
            {
                Place(L"\r\n", 4, true);
            }
        }
        if (wrap)
        {
            Place(kMarker, 18, false);
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

// The ring wraps to just after its byte order mark, the marker follows the newest text and
// the file is cut at the wrap point on release; a ring never filled is cut at its text's
// end, and an existing file is continued where it ends.
TEST(RingFile, PlacesEveryPieceAsThePlainRuleDoes)
{
    const std::pair<DWORD, size_t> rings[] = {{1001, 0}, {4096, 0}, {4097, 333},
                                              {512, 7},  {64, 0},   {1 << 20, 0}};
    unsigned seed = 12345;
    auto next = [&seed](unsigned range) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % range;
    };
    for (const auto& [limit, existingBytes] : rings)
    {
        CTestDir dir;
        const std::vector<BYTE> existing(existingBytes, 'E');
        if (!existing.empty())
        {
            WriteFileBytes(dir / L"ring.log", existing);
        }
        RingTrace config(dir, limit);
        RingModel model(limit, existing);
        {
            CTrace trace;
            for (int line = 0; line < 200; ++line)
            {
                std::wstring text(next(300), L'a');
                for (auto& c : text)
                {
                    c = next(12) == 0 ? L'\n' : static_cast<wchar_t>(L'a' + next(26));
                }
                trace.Print(1, L"%s", text.c_str());
                model.Line(text);
            }
        }
        EXPECT_EQ(model.File(), ReadFileBytes(dir / L"ring.log")) << "ring of " << limit << " bytes";
        EXPECT_EQ(limit == (1 << 20), model.wrap == 0);
    }
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
        EXPECT_EQ(2 + (length + 2) * 2, ring.WriteOffset()) << length;
        ring.Reset();
        DeleteFileW(path.c_str());
    }
}
